// The hand-over between the card's callback thread and the encoder pass.
//
// Every frame and packet is copied out of the card's buffers at once (before
// the lock), so the card's objects can be released inside the callback. Two
// first-in-first-out queues, bounded by dropping their oldest entries.
#pragma once

#include "capture/DeckLinkAPI.h"
#include "platform/AlignedBuffer.h"

#include <QMutex>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

// One captured picture: UYVY 4:2:2, row bytes x height, with its time code
// (all zero when the frame carried none).
struct videoPackage {
    qva::AlignedBuffer<uint8_t> buffer;
    size_t size = 0;
    uint8_t hours = 0;
    uint8_t minutes = 0;
    uint8_t seconds = 0;
    uint8_t frames = 0;
};

// One captured audio packet: sampleFrames frames of 8 interleaved channels.
struct audioPackage {
    qva::AlignedBuffer<int16_t> buffer;
    uint32_t sampleFrames = 0;
};

using VideoPackagePtr = std::unique_ptr<videoPackage>;
using AudioPackagePtr = std::unique_ptr<audioPackage>;

class VideoQueue {
public:
    static constexpr size_t kMaxVideo = 150;
    static constexpr size_t kMaxAudio = 1500;

    VideoQueue() = default;
    VideoQueue(const VideoQueue&) = delete;
    VideoQueue& operator=(const VideoQueue&) = delete;
    ~VideoQueue();

    // Called on the card's callback thread.
    void putVideoFrame(IDeckLinkVideoFrame* frame);
    void putAudioFrame(IDeckLinkAudioInputPacket* packet);

    // The oldest package, waiting (polling every 50 ms) until there is one.
    // With giveUp, the wait also ends, with null, once *giveUp is true, so a
    // pass waiting on a card that delivers nothing can still end.
    VideoPackagePtr getVideoFrame(const std::atomic<bool>* giveUp = nullptr);
    AudioPackagePtr getAudioFrame(const std::atomic<bool>* giveUp = nullptr);

    // Drops every queued package, audio first, then video.
    void popQueue();

    size_t videoQueued() const;
    size_t audioQueued() const;

private:
    struct VideoEntry {
        VideoPackagePtr package;
        uint64_t audioSampleFrames = 0;  // audio queued after it, before the next frame
    };
    // Moves the audio that arrived with a dropped frame from the head of the
    // audio queue into dropped.
    void dropAudioOf(const VideoEntry& video, std::deque<AudioPackagePtr>& dropped);

    mutable QMutex lock_;
    std::deque<VideoEntry> video_;
    std::deque<AudioPackagePtr> audio_;
};
