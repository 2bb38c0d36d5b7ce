// One encoder pass: the frames and audio of the queue become one MPEG
// transport stream (H.264 from x264, MPEG-1 Layer II from FFmpeg) in the
// stream buffer. The whole pass runs inside the constructor and returns once
// the restart flag is set; nothing of it survives into the next pass.
#pragma once

#include "capture/VideoQueue.h"
#include "encode/EncoderMode.h"
#include "encode/FFmpegResources.h"
#include "encode/RandomAccessSplitter.h"
#include "platform/Files.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>

class StreamBuffer;
class TimeCodeBurner;

class VideoEncoder {
public:
    static constexpr int kIOBufferSize = 9400;  // 50 transport packets
    static constexpr int kAudioBitrate = 160000;
    static constexpr int kAudioSampleRate = 48000;

    VideoEncoder(unsigned int mode, const char* filename, VideoQueue* queue, StreamBuffer* buffer,
                 const std::atomic<bool>* restart, const std::atomic<int8_t>* audio_pair,
                 const std::atomic<bool>* pal_flag, const std::atomic<int32_t>* timecode_mode,
                 const std::atomic<bool>* logo_enabled, TimeCodeBurner* burner);
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;
    ~VideoEncoder();

    void reloadPNG();

private:
    void openMuxer(const char* filename);
    void add_video_stream();
    void add_audio_stream();
    void open_video();
    void open_audio();
    void encodeLoop();
    void write_video_frame();
    void encodeVideo(x264_picture_t* input);
    bool get_audio_frame();
    void write_audio_frame();
    void drainAudio();
    void writePacket(AVPacket* packet, const char* failure);
    void tearDown();

    const uint32_t mode_;
    TimeCodeBurner* burner_;
    const EncoderMode format_;
    const std::atomic<bool>* logo_enabled_;
    const std::atomic<int32_t>* timecode_mode_;
    const std::atomic<bool>* pal_flag_;
    const std::atomic<int8_t>* audio_pair_;
    const std::atomic<bool>* restart_;
    VideoQueue* queue_;
    StreamBuffer* buffer_;

    RandomAccessSplitter splitter_;   // the muxer's output on its way to buffer_
    std::deque<int16_t> audio_fifo_;  // stereo samples waiting for a full frame
    int frame_count_ = 0;             // frames since the last preview write
    qva::FileOwner preview_file_;

    av::IOContext io_;
    av::FormatContext oc_;
    AVStream* video_st_ = nullptr;
    AVStream* audio_st_ = nullptr;
    av::CodecContext video_ctx_;  // describes the H.264 stream to the muxer
    av::CodecContext audio_ctx_;
    av::X264Encoder x264_encoder_;
    av::Scaler sws_ctx_;
    av::Frame yuv_picture_;
    av::Frame samples_;
    av::Packet packet_;

    int64_t video_frames_in_ = 0;       // pictures handed to x264
    int64_t video_frames_out_ = 0;      // coded pictures written
    int64_t audio_samples_in_ = 0;      // per channel, handed to the audio encoder
    int64_t audio_samples_out_ = 0;     // per channel, written
};

// Appends the selected pair of every 8-channel sample frame of package to
// fifo, reading the pair anew for each sample frame (a change takes effect at
// once); a pair outside 0..3 is taken as the nearest valid one.
void appendAudioPair(const audioPackage& package, const std::atomic<int8_t>& pair,
                     std::deque<int16_t>& fifo);
