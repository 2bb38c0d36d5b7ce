#include "capture/VideoQueue.h"

#include <QMutexLocker>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr BMDTimecodeFormat kTimecodeFormats[] = {kTimecodeVITC, kTimecodeRP188,
                                                  kTimecodeRP188LTC, kTimecodeRP188VITC1,
                                                  kTimecodeRP188VITC2};

void readTimecode(IDeckLinkVideoFrame* frame, videoPackage& package) {
    for (BMDTimecodeFormat format : kTimecodeFormats) {
        IDeckLinkTimecode* raw = nullptr;
        if (frame->GetTimecode(format, &raw) != S_OK || raw == nullptr) continue;
        raw->GetComponents(&package.hours, &package.minutes, &package.seconds, &package.frames);
        raw->Release();
        return;
    }
}

// Polls queue every 50 ms for its oldest entry; take moves it out.
template <typename Queue, typename Take>
auto takeOldest(QMutex& lock, Queue& queue, const std::atomic<bool>* giveUp, Take take) {
    using Package = decltype(take(queue.front()));
    for (;;) {
        {
            QMutexLocker guard(&lock);
            if (!queue.empty()) {
                auto package = take(queue.front());
                queue.pop_front();
                return package;
            }
        }
        if (giveUp != nullptr && giveUp->load(std::memory_order_relaxed)) return Package{};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

VideoQueue::~VideoQueue() {
    std::fputs("Destroying queue\n", stderr);
}

void VideoQueue::putVideoFrame(IDeckLinkVideoFrame* frame) {
    auto package = std::make_unique<videoPackage>();
    readTimecode(frame, *package);

    void* bytes = nullptr;
    const long rowBytes = frame->GetRowBytes();
    const long height = frame->GetHeight();
    if (frame->GetBytes(&bytes) != S_OK || bytes == nullptr || rowBytes <= 0 || height <= 0) return;
    package->size = size_t(rowBytes) * size_t(height);
    package->buffer = qva::alignedCopy<uint8_t>(bytes, package->size);
    if (!package->buffer) return;

    std::deque<VideoEntry> dropped;  // released after the lock
    std::deque<AudioPackagePtr> droppedAudio;
    {
        QMutexLocker guard(&lock_);
        video_.push_back({std::move(package), 0});
        if (video_.size() > 10) std::fprintf(stderr, "Buffer size: %d\n", int(video_.size()));
        while (video_.size() > kMaxVideo) {
            std::fputs("Popping video\n", stderr);
            // The frame's sound goes with it, or audio would run late by
            // every dropped frame for the rest of the recording.
            dropAudioOf(video_.front(), droppedAudio);
            dropped.push_back(std::move(video_.front()));
            video_.pop_front();
        }
    }
}

void VideoQueue::dropAudioOf(const VideoEntry& video, std::deque<AudioPackagePtr>& dropped) {
    uint64_t remaining = video.audioSampleFrames;
    while (remaining > 0 && !audio_.empty()) {
        const uint32_t frames = audio_.front()->sampleFrames;
        dropped.push_back(std::move(audio_.front()));
        audio_.pop_front();
        remaining = frames >= remaining ? 0 : remaining - frames;
    }
}

void VideoQueue::putAudioFrame(IDeckLinkAudioInputPacket* packet) {
    void* bytes = nullptr;
    const long sampleFrames = packet->GetSampleFrameCount();
    if (packet->GetBytes(&bytes) != S_OK || bytes == nullptr || sampleFrames < 0) return;
    auto package = std::make_unique<audioPackage>();
    package->sampleFrames = uint32_t(sampleFrames);
    package->buffer = qva::alignedCopy<int16_t>(bytes, size_t(sampleFrames) * kCapturedAudioChannels);
    if (!package->buffer) return;

    std::deque<AudioPackagePtr> dropped;
    {
        QMutexLocker guard(&lock_);
        if (!video_.empty()) video_.back().audioSampleFrames += package->sampleFrames;
        audio_.push_back(std::move(package));
        while (audio_.size() > kMaxAudio) {
            std::fputs("Popping audio\n", stderr);
            dropped.push_back(std::move(audio_.front()));
            audio_.pop_front();
        }
    }
}

VideoPackagePtr VideoQueue::getVideoFrame(const std::atomic<bool>* giveUp) {
    return takeOldest(lock_, video_, giveUp, [](VideoEntry& entry) { return std::move(entry.package); });
}

AudioPackagePtr VideoQueue::getAudioFrame(const std::atomic<bool>* giveUp) {
    return takeOldest(lock_, audio_, giveUp, [](AudioPackagePtr& package) { return std::move(package); });
}

void VideoQueue::popQueue() {
    std::deque<AudioPackagePtr> audio;
    std::deque<VideoEntry> video;
    QMutexLocker guard(&lock_);
    audio.swap(audio_);
    video.swap(video_);
    guard.unlock();
    audio.clear();
    video.clear();
}

size_t VideoQueue::videoQueued() const {
    QMutexLocker guard(&lock_);
    return video_.size();
}

size_t VideoQueue::audioQueued() const {
    QMutexLocker guard(&lock_);
    return audio_.size();
}
