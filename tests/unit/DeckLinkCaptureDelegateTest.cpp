// The capture callback, registered with and called by the card's library by
// slot number (SlotCard), so that its own layout is checked at every call.
#include "capture/DeckLinkCaptureDelegate.h"
#include "capture/VideoQueue.h"

#include <gtest/gtest.h>

#include "SlotCard.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

using Frame = slot_card::VideoFrame;
using Packet = slot_card::AudioPacket;

struct CaptureDelegate : testing::Test {
    VideoQueue queue;
    QImage preview;
    QMutex previewLock;
    std::atomic<int16_t> left{0}, right{0};
    std::atomic<bool> audioOnly{false};
    std::atomic<int8_t> pair{0};
    slot_card::Input input;
    Frame video{16, 16};
    Packet audio{std::vector<int16_t>(4 * 8, 0)};

    // The library holds the callback through its slot 1 and lets go through slot 2.
    CaptureDelegate() {
        input.api()->SetCallback(new DeckLinkCaptureDelegate(&queue, &preview, &previewLock, &left, &right,
                                                             &audioOnly, input.api(), &pair));
    }
    ~CaptureDelegate() override {
        CaptureStderr();
        input.api()->SetCallback(nullptr);
        EXPECT_EQ(GetCapturedStderr(), "Tar bort capture delegate\n");
    }
    // Runs one callback and returns what it printed; every AddRef must be matched.
    std::string arrive(Frame* v, Packet* a) {
        CaptureStderr();
        EXPECT_EQ(slot_card::callFrameArrived(input.callback, v, a), slot_card::kOk);
        EXPECT_EQ(std::pair(v ? v->held() : 0, a ? a->held() : 0), std::pair(0L, 0L));
        return GetCapturedStderr();
    }
};

}  // namespace

TEST_F(CaptureDelegate, SoundAloneIsQueuedOnlyWhenTheModeHasCallbacksWithoutPictures) {
    EXPECT_EQ(arrive(&video, &audio), "Flushing stream\n");  // the card's backlog from before the start
    EXPECT_EQ(arrive(nullptr, &audio) + arrive(&video, nullptr), "NO AUDIO\n");
    audioOnly = true;
    EXPECT_EQ(arrive(nullptr, &audio), "");
    EXPECT_EQ(arrive(&video, &audio), "");
    EXPECT_EQ(std::pair(queue.videoQueued(), queue.audioQueued()), std::pair(1ul, 2ul));
}

TEST_F(CaptureDelegate, CopiesWhatTheCardLendsAndKeepsLevelsAndPreviewInBounds) {
    Frame frame(16, 16, 90, 81, 240, input.log);
    frame.withTimecode(fourCC("rp12"), 10, 20, 30, 24);  // answered in the last format asked
    // Channel ch holds ch * 100 + 1, negated on odd channels.
    std::vector<int16_t> samples(4 * 8);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t((i % 2 ? -1 : 1) * int(i % 8 * 100 + 1));
    Packet packet(samples, input.log);
    pair = 1;
    EXPECT_EQ(arrive(&frame, &packet), "Flushing stream\n");
    EXPECT_EQ(arrive(&frame, &packet), "");
    const std::vector<uint8_t> sent = frame.bytes;
    std::fill(frame.bytes.begin(), frame.bytes.end(), 0);  // the card reuses its buffers once the call returns
    std::fill(packet.samples.begin(), packet.samples.end(), 0);

    VideoPackagePtr picture = queue.getVideoFrame();
    EXPECT_EQ(std::vector<uint8_t>(picture->buffer.get(), picture->buffer.get() + picture->size), sent);
    EXPECT_EQ((std::array<int, 4>{picture->hours, picture->minutes, picture->seconds, picture->frames}),
              (std::array<int, 4>{10, 20, 30, 24}));
    AudioPackagePtr sound = queue.getAudioFrame();
    EXPECT_EQ(std::vector<int16_t>(sound->buffer.get(), sound->buffer.get() + 4 * 8), samples);
    EXPECT_EQ(std::pair(int(left), int(right)), std::pair(201, 301));
    EXPECT_EQ(preview.size(), QSize(2, 2));  // an eighth
    EXPECT_EQ(frame.timecode->held(), 0);
    for (const std::string& entry : input.log->entries())
        EXPECT_EQ(entry.find("(no method)"), std::string::npos) << entry;  // no call reached a slot it should not

    // A pair outside 0..3 (a damaged startup file) is taken as the nearest one.
    packet.samples = samples;
    for (auto [p, expected] : {std::pair{9, 601}, {-5, 1}}) {
        pair = int8_t(p);
        EXPECT_EQ(arrive(&frame, &packet), "");
        EXPECT_EQ(std::pair(int(left), int(right)), std::pair(expected, expected + 100)) << p;
    }
    // Too few bytes for the frame's size: no preview rather than a read past the end.
    EXPECT_TRUE(renderPreviewImage(frame.bytes.data(), 100, 16, 16).isNull());
}
