#include "capture/DeckLinkCaptureDelegate.h"
#include "capture/VideoQueue.h"

#include <gtest/gtest.h>

#include "SlotCard.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

using Frame = slot_card::VideoFrame;
using Packet = slot_card::AudioPacket;

Packet silence(size_t sampleFrames = 4) { return Packet(std::vector<int16_t>(sampleFrames * 8, 0)); }

struct CaptureDelegate : testing::Test {
    VideoQueue queue;
    QImage preview{720, 288, QImage::Format_RGB888};
    QMutex previewLock;
    std::atomic<int16_t> left{0}, right{0};
    std::atomic<bool> audioOnly{false};
    std::atomic<int8_t> pair{0};
    slot_card::Input input;
    DeckLinkCaptureDelegate* delegate;
    Frame video{16, 16};
    Packet audio = silence();

    CaptureDelegate() {
        CaptureStderr();
        delegate = new DeckLinkCaptureDelegate(&queue, &preview, &previewLock, &left, &right, &audioOnly,
                                               input.api(), &pair);
        delegate->AddRef();
        EXPECT_EQ(GetCapturedStderr(), "Started Decklink\n");
    }
    ~CaptureDelegate() override {
        CaptureStderr();
        EXPECT_EQ(delegate->Release(), 0u);
        EXPECT_EQ(GetCapturedStderr(), "Tar bort capture delegate\n");
    }
    // Runs one callback and returns what it printed; every AddRef must be matched.
    std::string arrive(Frame* v, Packet* a) {
        CaptureStderr();
        EXPECT_EQ(delegate->VideoInputFrameArrived(v ? v->api() : nullptr, a ? a->api() : nullptr), S_OK);
        EXPECT_EQ(std::pair(v ? v->held() : 0, a ? a->held() : 0), std::pair(0L, 0L));
        return GetCapturedStderr();
    }
    // Past the flush of start-up.
    void started(Frame& v, Packet& a) { arrive(&v, &a), queue.popQueue(); }
    long flushes() const {
        const std::vector<std::string> calls = input.log->of("input");
        return std::count(calls.begin(), calls.end(), "16 FlushStreams()");
    }
    std::pair<size_t, size_t> queued() const { return {queue.videoQueued(), queue.audioQueued()}; }
    std::pair<int, int> levels() const { return {left, right}; }
};

}  // namespace

TEST_F(CaptureDelegate, FlushesOnStartSignalLossAndEmptyCallbacks) {
    EXPECT_EQ(arrive(&video, &audio), "Flushing stream\n");
    EXPECT_EQ(flushes(), 1);
    EXPECT_EQ(queue.videoQueued(), 0u);
    EXPECT_EQ(arrive(&video, &audio), "");
    EXPECT_EQ(queued(), std::pair(1ul, 1ul));

    // Lost signal: said once, frames go on being queued.
    video.flags = slot_card::kNoInputSource;
    EXPECT_EQ(arrive(&video, &audio) + arrive(&video, &audio) + arrive(&video, &audio), "No Input detected!\n");
    EXPECT_EQ(queue.videoQueued(), 4u);
    video.flags = 0;
    EXPECT_EQ(arrive(&video, &audio), "Flushing stream\n");
    EXPECT_EQ(flushes(), 2);
    EXPECT_EQ(queue.videoQueued(), 4u);

    // An empty callback: nothing with one object counts until both come.
    EXPECT_EQ(arrive(nullptr, nullptr), "NO AUDIO\nNo audio or video\n");
    EXPECT_EQ(arrive(&video, nullptr), "");
    audioOnly = true;
    EXPECT_EQ(arrive(nullptr, &audio), "");
    EXPECT_EQ(queue.audioQueued(), 4u);
    EXPECT_EQ(arrive(&video, &audio), "Flushing stream\n");
    EXPECT_EQ(arrive(&video, &audio), "");
    EXPECT_EQ(queue.videoQueued(), 5u);
}

TEST_F(CaptureDelegate, AudioAloneIsQueuedOnlyWhenExpected) {
    started(video, audio);
    EXPECT_EQ(arrive(nullptr, &audio), "");
    EXPECT_EQ(queue.audioQueued(), 0u);
    audioOnly = true;
    EXPECT_EQ(arrive(nullptr, &audio), "");
    EXPECT_EQ(queue.audioQueued(), 1u);
    // A frame without audio queues nothing and keeps the levels.
    left = 123;
    EXPECT_EQ(arrive(&video, nullptr), "NO AUDIO\n");
    EXPECT_EQ(queue.videoQueued(), 0u);
    EXPECT_EQ(left, 123);
}

TEST_F(CaptureDelegate, LevelsOfTheSelectedPairFromTheFirst50SampleFrames) {
    started(video, audio);
    // Channel ch of sample frame f holds ch * 100 + 1, negated on odd channels;
    // frame 45 of each packet is louder, frame 60 louder still.
    auto packet = [](size_t frames) {
        std::vector<int16_t> samples(frames * 8);
        for (size_t f = 0; f < frames; ++f)
            for (int ch = 0; ch < 8; ++ch) {
                const int value = ch * 100 + 1 + (f == 45 ? 1000 : 0) + (f == 60 ? 5000 : 0);
                samples[f * 8 + ch] = int16_t(ch % 2 ? -value : value);
            }
        return Packet(samples);
    };
    Packet forty = packet(40), hundred = packet(100);
    for (int8_t p = 0; p < 4; ++p) {
        pair = p;
        arrive(&video, &forty);
        EXPECT_EQ(levels(), std::pair(p * 200 + 1, p * 200 + 101));
        arrive(&video, &hundred);  // frame 45 counts, frame 60 does not
        EXPECT_EQ(levels(), std::pair(p * 200 + 1001, p * 200 + 1101));
    }
    // A pair outside 0..3 (a damaged startup file) is taken as the nearest one.
    for (auto [p, expected] : {std::pair{9, 601}, {-5, 1}}) {
        pair = int8_t(p);
        EXPECT_EQ(arrive(&video, &forty), "");
        EXPECT_EQ(left, expected) << p;
    }
    // Full-scale negative is the loudest there is.
    pair = 0;
    Packet clipped(std::vector<int16_t>{-32768, -32768, 0, 0, 0, 0, 0, 0});
    arrive(&video, &clipped);
    EXPECT_EQ(levels(), std::pair(32767, 32767));
}

TEST_F(CaptureDelegate, PreviewIsAnEighthOfTheFrameInItsColoursAndSampling) {
    Frame hd(1920, 1080), sd(720, 576);
    started(hd, audio);
    arrive(&hd, &audio);
    EXPECT_EQ(preview.size(), QSize(240, 135));
    arrive(&sd, &audio);
    EXPECT_EQ(std::pair(preview.size(), preview.format()), std::pair(QSize(90, 72), QImage::Format_RGB888));

    // Known UYVY values against the formula, worked by hand.
    struct Case { uint8_t u, y, v, r, g, b; };
    for (const Case& k : {Case{128, 235, 128, 254, 254, 254}, Case{128, 16, 128, 0, 0, 0},
                          Case{90, 81, 240, 254, 0, 0}, Case{255, 255, 255, 255, 125, 255}}) {
        Frame frame(64, 16, k.u, k.y, k.v);
        QImage image = renderPreviewImage(frame.bytes.data(), frame.bytes.size(), 64, 16);
        ASSERT_EQ(image.size(), QSize(8, 2));
        const uint8_t* pixel = image.constScanLine(1) + 3 * 7;
        EXPECT_EQ((std::array<int, 3>{pixel[0], pixel[1], pixel[2]}), (std::array<int, 3>{k.r, k.g, k.b}))
            << int(k.u) << " " << int(k.y) << " " << int(k.v);
    }

    // Preview row r is source line 8r; pixel c is the group at byte 16c.
    Frame frame(64, 16);
    for (int i = 0; i < 64 * 2; i += 4) frame.bytes[8 * 128 + i + 1] = 235;  // line 8 white
    frame.bytes[16 * 3 + 1] = 235;                                         // line 0, pixel 24
    QImage image = renderPreviewImage(frame.bytes.data(), frame.bytes.size(), 64, 16);
    EXPECT_EQ((std::array<int, 3>{image.constScanLine(1)[0], image.constScanLine(0)[3 * 3],
                                  image.constScanLine(0)[3 * 2]}), (std::array<int, 3>{254, 254, 0}));
    // Too few bytes for the frame's size: no preview rather than a read past the end.
    EXPECT_TRUE(renderPreviewImage(frame.bytes.data(), 100, 64, 16).isNull());
}
