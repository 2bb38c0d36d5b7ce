#include "capture/VideoQueue.h"

#include <gtest/gtest.h>

#include "SlotCard.h"

#include <cstdint>

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

}  // namespace

TEST(VideoQueue, BoundsDropTheOldestAndSayIt) {
    VideoQueue queue;
    CaptureStderr();
    for (int i = 0; i < 151; ++i) putFrame(queue, uint8_t(i));
    const std::string messages = GetCapturedStderr();
    EXPECT_EQ(messages.find("Popping video\n"), messages.size() - 14) << "said once, at the last frame";
    EXPECT_EQ(queue.videoQueued(), 150u);
    EXPECT_EQ(queue.getVideoFrame()->buffer[1], 1);  // frame 0 went
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
