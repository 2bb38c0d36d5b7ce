// Reads a recorded transport stream back, as a player and a stream monitor
// would: stream parameters, decoding with every decoder complaint, the audio
// as samples, and the transport packets themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProbedStream {
    struct Video {
        std::string codec;
        int width = 0, height = 0;
        int rateNum = 0, rateDen = 0;  // frame rate
        int sarNum = 0, sarDen = 0;
        int frames = 0;                 // decoded
        int interlacedFrames = 0;
        int topFieldFirstFrames = 0;
        std::vector<int64_t> pts;       // packets, 1/90000
        int64_t firstPicturePts = -1;   // of the first decoded picture
        double duration = 0;            // decoded frames / rate
        std::vector<std::string> bands;  // of each decoded picture, the luma lines asked for
    } video;
    struct Audio {
        std::string codec;
        int sampleRate = 0, channels = 0;
        std::vector<int16_t> left, right;  // decoded
        double duration = 0;
    } audio;
    std::vector<std::string> complaints;  // decoder and demuxer errors, in order
    std::vector<int> complaintFrames;     // pictures decoded when each complaint came
};

// bandLines > 0: keeps luma lines bandTop .. bandTop + bandLines - 1 of every
// decoded picture, whole lines one after another, in video.bands.
ProbedStream probeStream(const std::string& path, int bandTop = 0, int bandLines = 0);

struct TransportCheck {
    int syncErrors = 0;
    int continuityErrors = 0;
    double maxPcrGap = 0;        // seconds of PCR time
    int firstPat = -1;           // index of the first packet of the PAT
    // The decoder's buffer model: a packet arrives at the PCR time found by
    // interpolating between the PCRs around it, and an access unit must be
    // in whole by its decoding time. Margin: DTS minus the arrival of its
    // last byte, the smallest seen (seconds; negative = late).
    struct Units {
        int count = 0;
        double minMargin = 1e9;
    } video, audio;
};

TransportCheck checkTransport(const std::string& bytes);

// Relative power of frequency hz in samples (Goertzel), 0..1 of a full-scale sine.
double toneLevel(const std::vector<int16_t>& samples, double hz, int rate = 48000);
