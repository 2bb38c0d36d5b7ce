// The card's set-up, called through our declarations by the product's own code, must reach the vendor's
// slots with the right arguments: the card here is built from the vendor's slot tables (SlotCard).
#include "capture/VideoQueue.h"
#include "core/Supervisor.h"

#include <gtest/gtest.h>

#include "SlotCard.h"
#include "TestFiles.h"

using Entries = std::vector<std::string>;

TEST(CardLayout, ConfiguringTheCardReachesTheVendorsSlots) {
    slot_card::Input input;
    DeviceState state;
    VideoQueue queue;
    StreamBuffer buffer;
    testing_support::TempDir dir;
    StartupStore startup(dir / "startup.cfg", captureSettingsOf(state));
    Supervisor supervisor(input.api(), state, queue, buffer, startup, [](uint32_t) {}, std::chrono::milliseconds(0));
    supervisor.configureCard();

    EXPECT_EQ(input.log->entries(), (Entries{
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
    EXPECT_EQ(input.config.held(), 0);  // AddRef (slot 1) and Release (slot 2) in pairs
}
