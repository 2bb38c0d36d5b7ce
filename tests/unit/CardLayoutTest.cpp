// Every card method the recorder uses, called through our declarations by the
// product's own code, must land on the vendor's slot with the right
// arguments; and the library, calling our callback by slot number, must reach
// it. The objects on the other side are built from the vendor's slot tables
// (SlotCard), not from our declarations.
#include "capture/CaptureCard.h"
#include "capture/DeckLinkCaptureDelegate.h"
#include "capture/VideoQueue.h"
#include "core/Supervisor.h"

#include <gtest/gtest.h>

#include "SlotCard.h"
#include "TestFiles.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Entries = std::vector<std::string>;

TEST(CardLayout, OpeningAndConfiguringTheCardReachTheVendorsSlots) {
    slot_card::Log log;
    slot_card::Iterator iterator(&log);
    CaptureCard card = openFirstCard(iterator.api());
    ASSERT_EQ(card.failure, nullptr);
    EXPECT_TRUE(card.studioOptions);  // "DeckLink Studio 4K", read and freed
    EXPECT_EQ(static_cast<void*>(card.input.get()), static_cast<void*>(&iterator.device.input));

    DeviceState state;
    VideoQueue queue;
    StreamBuffer buffer;
    testing_support::TempDir dir;
    StartupStore startup(dir / "startup.cfg", captureSettingsOf(state));
    Supervisor supervisor(card.input.get(), state, queue, buffer, startup, [](uint32_t) {}, std::chrono::milliseconds(0));
    supervisor.configureCard();
    card.input.reset();

    EXPECT_EQ(log.entries(), (Entries{
        "iterator.3 Next()",
        "device.0 QueryInterface(AF22762B)",
        "device.3 GetModelName()",
        "input.0 QueryInterface(C679A35B)",
        "config.5 SetInt(vicm,none)",
        "config.5 SetInt(aicn,embd)",
        "config.5 SetInt(vicn,1)",
        "input.14 StopStreams()",
        "input.11 DisableAudioInput()",
        "input.7 DisableVideoInput()",
        "input.6 EnableVideoInput(pal ,2vuy,0)",
        "input.10 EnableAudioInput(48000,16,8)",
        "input.13 StartStreams()",
    }));
    // AddRef (slot 1) and Release (slot 2): every reference handed out is given back.
    EXPECT_EQ(iterator.device.adds, 1);
    for (const slot_card::Object* o : {static_cast<slot_card::Object*>(&iterator.device),
                                       static_cast<slot_card::Object*>(&iterator.device.input),
                                       static_cast<slot_card::Object*>(&iterator.device.input.config)})
        EXPECT_EQ(o->held(), 0) << o->name;
}

TEST(CardLayout, TheLibraryReachesOurCallbackAndItReadsFramesPacketsAndTimecodes) {
    slot_card::Log log;
    slot_card::Input input(&log);
    VideoQueue queue;
    QImage preview;
    QMutex previewLock;
    std::atomic<int16_t> left{0}, right{0};
    std::atomic<bool> audioOnly{false};
    std::atomic<int8_t> pair{1};
    CaptureStderr();
    auto* delegate = new DeckLinkCaptureDelegate(&queue, &preview, &previewLock, &left, &right, &audioOnly,
                                                 input.api(), &pair);
    // Registering it: the library holds it through the callback's slot 1.
    input.api()->SetCallback(delegate);
    ASSERT_EQ(input.callback, static_cast<void*>(static_cast<IDeckLinkInputCallback*>(delegate)));
    EXPECT_EQ(slot_card::callFormatChanged(input.callback, 1, 0), slot_card::kOk);

    slot_card::VideoFrame frame(16, 16, 90, 81, 240, &log);
    frame.withTimecode(fourCC("rp12"), 10, 20, 30, 24);  // answered in the last format asked
    std::vector<int16_t> samples(4 * 8);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(100 * (i % 8) + 1);
    slot_card::AudioPacket audio(samples, &log);
    // The first good frame flushes the card; the second is queued.
    EXPECT_EQ(slot_card::callFrameArrived(input.callback, &frame, &audio), slot_card::kOk);
    EXPECT_EQ(slot_card::callFrameArrived(input.callback, &frame, &audio), slot_card::kOk);
    const std::vector<uint8_t> sent = frame.bytes;
    std::fill(frame.bytes.begin(), frame.bytes.end(), 0);  // the card reuses its buffers once the call returns
    std::fill(audio.samples.begin(), audio.samples.end(), 0);

    VideoPackagePtr video = queue.getVideoFrame();
    EXPECT_EQ(std::vector<uint8_t>(video->buffer.get(), video->buffer.get() + video->size), sent);
    EXPECT_EQ((std::array<int, 4>{video->hours, video->minutes, video->seconds, video->frames}),
              (std::array<int, 4>{10, 20, 30, 24}));
    AudioPackagePtr sound = queue.getAudioFrame();
    EXPECT_EQ(std::vector<int16_t>(sound->buffer.get(), sound->buffer.get() + 4 * 8), samples);
    EXPECT_EQ(std::pair(left.load(), right.load()), std::pair(int16_t(201), int16_t(301)));  // pair 1
    EXPECT_EQ(preview.size(), QSize(2, 2));

    EXPECT_EQ(log.of("input"), (Entries{"17 SetCallback(ptr)", "16 FlushStreams()"}));
    for (const std::string& entry : log.entries()) EXPECT_EQ(entry.find("(no method)"), std::string::npos) << entry;
    EXPECT_EQ(std::tuple(frame.held(), audio.held(), frame.timecode->held()), std::tuple(0L, 0L, 0L));

    // Letting go of it: the library's Release through slot 2 ends it.
    input.api()->SetCallback(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "Started Decklink\nFlushing stream\nTar bort capture delegate\n");
}
