// The whole recorder in a sandbox, on the simulated card: how it ends and comes back.
#include "Sandbox.h"

#include "core/StartupConfig.h"

#include <gtest/gtest.h>

#include "SocketClient.h"

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::writeFile;

// The simulated card writes its configuration at every stream start.
static std::string cardStateOnceStarted(const Sandbox& sandbox) {
    std::string state;
    within(10s, [&] { return !(state = readFile(sandbox.path("/sim/card"))).empty(); });
    return state;
}

TEST(Process, ARefusedModeIsNeverStoredSoTheBoxComesBack) {
    Sandbox sandbox;
    StartupRecord record;
    record.inputMode = kModeHp50;
    record.tcBurnIn = 2;
    const StartupBytes bytes = encodeStartupRecord(record);
    const std::string stored(bytes.begin(), bytes.end());
    writeFile(sandbox.path("/QVA/startup.cfg"), stored);
    {
        RecorderProcess noCard(sandbox, false);  // no card library: no device, and it says so
        EXPECT_EQ(noCard.waitForExit(10s), 1);
        EXPECT_NE(noCard.errors().find("Decklink NULL\n"), std::string::npos) << noCard.errors();
    }
    {
        RecorderProcess recorder(sandbox);
        ASSERT_NE(cardStateOnceStarted(sandbox).find("mode 'hp50'"), std::string::npos) << recorder.errors();
        writeFile(sandbox.path("/sim/refuse-mode"), "Hi50");
        EXPECT_EQ(SocketClient::ask(sandbox.path("/tmp/domain_socket"), "SET#IN#0#48693530#OUT#0#0#"), "OK");
        EXPECT_EQ(recorder.waitForExit(20s), 1);
        EXPECT_NE(recorder.errors().find("Failed to enable video input 1. Is another application using the card ?\n"),
                  std::string::npos)
            << recorder.errors();
        EXPECT_EQ(readFile(sandbox.path("/QVA/startup.cfg")), stored);
    }
    // Started again (as the service does), it records in the mode it had.
    std::filesystem::remove(sandbox.path("/sim/card"));
    RecorderProcess recorder(sandbox);
    EXPECT_NE(cardStateOnceStarted(sandbox).find("mode 'hp50'"), std::string::npos) << recorder.errors();
    EXPECT_TRUE(recorder.running());
    EXPECT_EQ(readFile(sandbox.path("/QVA/startup.cfg")), stored);
}
