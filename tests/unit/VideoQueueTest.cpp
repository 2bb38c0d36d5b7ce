#include "capture/VideoQueue.h"

#include <gtest/gtest.h>

#include "SlotCard.h"

#include <cstdint>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Each package told apart by the luma value its frame was filled with.
void putFrame(VideoQueue& queue, uint8_t luma) {
    slot_card::VideoFrame frame(16, 2, 128, luma, 128);
    queue.putVideoFrame(frame.api());
}

void putAudio(VideoQueue& queue, int16_t value, size_t sampleFrames = 1920) {
    slot_card::AudioPacket packet(std::vector<int16_t>(sampleFrames * 8, value));
    queue.putAudioFrame(packet.api());
}

size_t count(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(VideoQueue, CopiesFrameAndTimecodeBeforeTheCardReleasesThem) {
    VideoQueue queue;
    slot_card::VideoFrame frame(720, 576, 100, 50, 200);
    frame.withTimecode(kTimecodeRP188VITC2, 10, 20, 30, 24);  // answered only in the last format
    queue.putVideoFrame(frame.api());
    std::fill(frame.bytes.begin(), frame.bytes.end(), 0);  // the card reuses its buffer

    EXPECT_EQ(frame.timecode->held(), 0);  // the formats asked, in order: CardLayoutTest
    VideoPackagePtr package = queue.getVideoFrame();
    EXPECT_EQ(package->size, 720u * 576u * 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(package->buffer.get()) % 16, 0u);
    EXPECT_EQ(package->buffer[0], 100);
    EXPECT_EQ(package->buffer[package->size - 1], 50);
    EXPECT_EQ((std::array<uint8_t, 4>{package->hours, package->minutes, package->seconds, package->frames}),
              (std::array<uint8_t, 4>{10, 20, 30, 24}));

    slot_card::VideoFrame plain(16, 2);
    queue.putVideoFrame(plain.api());
    package = queue.getVideoFrame();
    EXPECT_EQ(package->hours + package->minutes + package->seconds + package->frames, 0);

    slot_card::AudioPacket packet({1, 2, 3, 4, 5, 6, 7, 8, -1, -2, -3, -4, -5, -6, -7, -8});
    queue.putAudioFrame(packet.api());
    AudioPackagePtr audio = queue.getAudioFrame();
    EXPECT_EQ(audio->sampleFrames, 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(audio->buffer.get()) % 16, 0u);
    EXPECT_EQ(audio->buffer[15], -8);
}

TEST(VideoQueue, BoundsDropTheOldestAndSayIt) {
    VideoQueue queue;
    CaptureStderr();
    for (int i = 0; i < 10; ++i) putFrame(queue, uint8_t(i));
    EXPECT_EQ(GetCapturedStderr(), "");
    CaptureStderr();
    putFrame(queue, 10);
    EXPECT_EQ(GetCapturedStderr(), "Buffer size: 11\n");

    CaptureStderr();
    for (int i = 11; i < 151; ++i) putFrame(queue, uint8_t(i));
    const std::string messages = GetCapturedStderr();
    EXPECT_EQ(count(messages, "Popping video\n"), 1u);
    EXPECT_NE(messages.find("Buffer size: 151\nPopping video\n"), std::string::npos);
    EXPECT_EQ(queue.videoQueued(), 150u);
    EXPECT_EQ(queue.getVideoFrame()->buffer[1], 1);  // frame 0 went

    CaptureStderr();
    for (int i = 0; i < 1501; ++i) putAudio(queue, int16_t(i), 4);
    EXPECT_EQ(GetCapturedStderr(), "Popping audio\n");
    EXPECT_EQ(queue.audioQueued(), 1500u);
    EXPECT_EQ(queue.getAudioFrame()->buffer[0], 1);
}

TEST(VideoQueue, DroppedFrameTakesItsSoundAlong) {
    VideoQueue queue;
    CaptureStderr();
    // Down-converted 720p: a frame with its packet, then a packet alone.
    for (int i = 0; i < 151; ++i) {
        putFrame(queue, uint8_t(i));
        putAudio(queue, int16_t(2 * i), 960);
        putAudio(queue, int16_t(2 * i + 1), 960);
    }
    GetCapturedStderr();
    EXPECT_EQ(queue.videoQueued(), 150u);
    EXPECT_EQ(queue.audioQueued(), 300u);
    EXPECT_EQ(queue.getVideoFrame()->buffer[1], 1);
    EXPECT_EQ(queue.getAudioFrame()->buffer[0], 2);  // audio of frame 1 is now first
}

TEST(VideoQueue, WaitingGetterReturnsOnceSomethingIsPut) {
    VideoQueue queue;
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        putFrame(queue, 77);
        putAudio(queue, 5);
    });
    EXPECT_EQ(queue.getVideoFrame()->buffer[1], 77);
    EXPECT_EQ(queue.getAudioFrame()->buffer[0], 5);
    producer.join();
}

TEST(VideoQueue, PopQueueEmptiesBoth) {
    VideoQueue queue;
    queue.popQueue();  // empty: nothing happens
    putFrame(queue, 1);
    putAudio(queue, 1);
    putAudio(queue, 2);
    queue.popQueue();
    EXPECT_EQ(queue.videoQueued(), 0u);
    EXPECT_EQ(queue.audioQueued(), 0u);
}
