#include "encode/VideoEncoder.h"

#include "record/StreamBuffer.h"

#include <gtest/gtest.h>

#include "SlotCard.h"
#include "StreamProbe.h"
#include "TestFiles.h"

#include <cmath>
#include <thread>

using namespace std::chrono_literals;
using testing_support::TempDir;

namespace {

// Everything the pass needs, and a card thread that delivers `frames` frames with their audio,
// then raises the restart flag once the pass has taken the last frame and caught up.
struct Pass {
    uint32_t mode;
    VideoQueue queue;
    StreamBuffer buffer;
    std::atomic<bool> restart{false};
    std::atomic<int8_t> pair{0};
    std::atomic<bool> pal{true};
    std::atomic<int32_t> timecode{0};
    std::atomic<bool> logo{false};

    explicit Pass(uint32_t m) : mode(m) {}

    void run(int frames) {
        std::thread card([&] { deliver(frames); });
        VideoEncoder encoder(mode, "/test/test.ts", &queue, &buffer, &restart, &pair, &pal, &timecode, &logo,
                             nullptr);
        card.join();
    }

    void deliver(int frames) {
        const EncoderMode m = encoderModeFor(mode);
        slot_card::VideoFrame frame(m.width, m.height, 128, 60, 128);
        int64_t sample = 0;
        for (int f = 0; f < frames; ++f) {
            while (queue.videoQueued() >= 4) std::this_thread::sleep_for(1ms);
            // A moving bar, so the encoder has motion to code.
            for (int y = 0; y < m.height; ++y)
                frame.bytes[size_t(y * m.width * 2 + (f * 16) % (m.width * 2)) + 1] = 235;
            queue.putVideoFrame(frame.api());
            const int64_t upTo = int64_t(f + 1) * 48000 * m.fpsDen / m.fpsNum;  // 8008 sample frames per 5 at 29.97
            slot_card::AudioPacket packet(std::vector<int16_t>(size_t(upTo - sample) * 8));  // silence
            queue.putAudioFrame(packet.api());
            sample = upTo;
        }
        within(30s, [&] { return queue.videoQueued() == 0; });
        std::this_thread::sleep_for(500ms);
        restart = true;
    }

    int randomAccessBlocks = 0;
    std::string collect() {
        std::string bytes;
        while (buffer.queued() > 0) {
            DataPacketPtr packet = buffer.getData();
            // A block where a file may begin opens with the PAT, before a keyframe.
            if (packet->randomAccess) {
                ++randomAccessBlocks;
                EXPECT_TRUE(packet->size >= 188 && packet->data[0] == 0x47 && (packet->data[1] & 0x1F) == 0 &&
                            packet->data[2] == 0);
            }
            bytes.append(packet->data.get(), size_t(packet->size));
        }
        return bytes;
    }
};

struct ModeCase { uint32_t mode; const char* name; };
class EncoderModes : public testing::TestWithParam<ModeCase> {  // preview.uyvy lands in the working folder
protected:
    void SetUp() override { std::filesystem::current_path(dir.path()); }
    void TearDown() override { std::filesystem::current_path(previous); }
    const std::filesystem::path previous = std::filesystem::current_path();
    TempDir dir;
};

}  // namespace

TEST_P(EncoderModes, OneSecondDecodesWithTheModesParameters) {
    const ModeCase c = GetParam();
    const EncoderMode m = encoderModeFor(c.mode);
    Pass pass(c.mode);
    pass.pal = m.fpsDen == 1;  // 50 Hz: top field first; 59.94: bottom field first
    const int frames = int(std::ceil(1.2 * m.fpsNum / m.fpsDen));
    pass.run(frames);
    const std::string bytes = pass.collect();
    EXPECT_EQ(pass.randomAccessBlocks, 2);  // a keyframe a second

    testing_support::writeFile(dir / "pass.ts", bytes);
    const ProbedStream s = probeStream(dir / "pass.ts");
    // Codec, size, rate and audio parameters are checked end to end on the same path, in every mode.
    EXPECT_EQ(s.complaints, std::vector<std::string>{});
    EXPECT_EQ(s.video.frames, frames);
    EXPECT_EQ(std::pair(s.video.interlacedFrames, s.video.topFieldFirstFrames),
              m.progressive ? std::pair(0, 0) : std::pair(frames, m.fpsDen == 1 ? frames : 0));
    if (m.width == 720) {  // 4:3 on 720-wide pictures
        EXPECT_EQ(s.video.sarNum * (m.height == 576 ? 45 : 27), s.video.sarDen * (m.height == 576 ? 64 : 32));
    }
    EXPECT_NEAR(s.audio.duration, s.video.duration, 1152.0 / 48000.0);

    const TransportCheck ts = checkTransport(bytes);
    EXPECT_EQ(std::pair(ts.syncErrors, ts.continuityErrors), std::pair(0, 0));
    EXPECT_LE(ts.maxPcrGap, 0.040 + 1e-6);
    // From the muxer's very first bytes, every unit is whole well before its decoding time.
    for (const auto* units : {&ts.video, &ts.audio})
        EXPECT_TRUE(units->count > 0 && units->minMargin >= 0.2)
            << units->count << " units, margin " << units->minMargin << " s";
}

INSTANTIATE_TEST_SUITE_P(AllModes, EncoderModes,
                         testing::Values(ModeCase{kModeHi50, "Hi50"}, ModeCase{kModeHi59, "Hi59"},
                                         ModeCase{kModeHp50, "hp50"}, ModeCase{kModeHp59, "hp59"},
                                         ModeCase{kModePal, "pal"}, ModeCase{kModeNtsc, "ntsc"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EncoderAudio, SelectedPairGoesToTheFifo) {
    audioPackage package;
    package.sampleFrames = 2;
    package.buffer = qva::allocateAligned<int16_t>(16);
    for (int i = 0; i < 16; ++i) package.buffer[size_t(i)] = int16_t(i);

    std::deque<int16_t> fifo;
    std::atomic<int8_t> pair{0};
    for (int8_t p : {0, 3, 9, -1}) {  // 9, -1: a damaged setting gives the nearest pair, never past the packet
        pair = p;
        appendAudioPair(package, pair, fifo);
    }
    EXPECT_EQ(fifo, (std::deque<int16_t>{0, 1, 8, 9, 6, 7, 14, 15, 6, 7, 14, 15, 0, 1, 8, 9}));
}

