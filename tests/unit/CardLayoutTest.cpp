// Every card method the recorder uses, called through our declarations by the
// product's own code, must land on the vendor's slot with the right
// arguments. The objects on the other side are built from the vendor's slot
// tables (SlotCard), not from our declarations; the callback's side is
// checked by DeckLinkCaptureDelegateTest, which the library calls by slot.
#include "capture/CaptureCard.h"
#include "capture/VideoQueue.h"
#include "core/Supervisor.h"

#include <gtest/gtest.h>

#include "SlotCard.h"
#include "TestFiles.h"

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
