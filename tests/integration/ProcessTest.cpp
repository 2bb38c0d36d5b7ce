// The whole recorder in a sandbox, on the simulated card.
#include "Sandbox.h"

#include "core/StartupConfig.h"

#include <gtest/gtest.h>

#include "SocketClient.h"

#include <thread>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

// The simulated card writes its configuration at every stream start.
std::string waitForCardState(const Sandbox& sandbox, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        std::string state = readFile(sandbox.path("/sim/card"));
        if (!state.empty()) return state;
        std::this_thread::sleep_for(20ms);
    }
    return {};
}

}  // namespace

TEST(Process, StartupConfigurationChoosesTheCardMode) {
    Sandbox sandbox;
    StartupRecord record;
    record.inputMode = kModeHi59;
    record.downConvert = true;
    record.aesAudio = true;
    const StartupBytes bytes = encodeStartupRecord(record);
    writeFile(sandbox.path("/QVA/startup.cfg"), std::string(bytes.begin(), bytes.end()));

    RecorderProcess recorder(sandbox);
    const std::string card = waitForCardState(sandbox, 10s);
    EXPECT_NE(card.find("mode 'ntsc'\nconversion '10am'\naudio 'aes '\nvideo 1\n"), std::string::npos)
        << card << recorder.errors();
    EXPECT_TRUE(recorder.running());
}

TEST(Process, ARefusedModeIsNeverStoredSoTheBoxComesBack) {
    Sandbox sandbox;
    StartupRecord record;
    record.inputMode = kModeHp50;
    record.tcBurnIn = 2;
    const StartupBytes bytes = encodeStartupRecord(record);
    const std::string stored(bytes.begin(), bytes.end());
    writeFile(sandbox.path("/QVA/startup.cfg"), stored);
    const std::string refused = "Failed to enable video input 1. Is another application using the card ?\n";
    {
        RecorderProcess recorder(sandbox);
        ASSERT_NE(waitForCardState(sandbox, 10s).find("mode 'hp50'"), std::string::npos) << recorder.errors();
        writeFile(sandbox.path("/sim/refuse-mode"), "Hi50");
        EXPECT_EQ(SocketClient::ask(sandbox.path("/tmp/domain_socket"), "SET#IN#0#48693530#OUT#0#0#"), "OK");
        EXPECT_EQ(recorder.waitForExit(20s), 1);
        EXPECT_NE(recorder.errors().find(refused), std::string::npos) << recorder.errors();
        EXPECT_EQ(readFile(sandbox.path("/QVA/startup.cfg")), stored);
    }
    // Started again (as the service does), it records in the mode it had.
    std::filesystem::remove(sandbox.path("/sim/card"));
    {
        RecorderProcess recorder(sandbox);
        EXPECT_NE(waitForCardState(sandbox, 10s).find("mode 'hp50'"), std::string::npos) << recorder.errors();
        EXPECT_TRUE(recorder.running());
        EXPECT_EQ(readFile(sandbox.path("/QVA/startup.cfg")), stored);
    }
    // A stored mode the card no longer takes gives way to 'pal ', said once, and that is stored.
    writeFile(sandbox.path("/sim/refuse-mode"), "hp50");
    std::filesystem::remove(sandbox.path("/sim/card"));
    RecorderProcess recorder(sandbox);
    EXPECT_NE(waitForCardState(sandbox, 10s).find("mode 'pal '"), std::string::npos) << recorder.errors();
    EXPECT_TRUE(recorder.running());
    const std::string errors = recorder.errors();
    const std::string fallback = "The card refuses the stored mode 'hp50': recording in 'pal ' instead\n";
    EXPECT_NE(errors.find(fallback), std::string::npos) << errors;
    EXPECT_EQ(errors.find(fallback), errors.rfind(fallback));
    EXPECT_TRUE(within(5s, [&] { return readFile(sandbox.path("/QVA/startup.cfg")) != stored; }));
    const StartupRecord now = readStartupConfig(sandbox.path("/QVA/startup.cfg"));
    EXPECT_EQ(now.inputMode, kModePal);
    EXPECT_EQ(now.tcBurnIn, 2);
}

TEST(Process, WithNoModeTheCardTakesItEndsWithStatusOne) {
    Sandbox sandbox;  // no startup file: 'pal ', which the card refuses
    writeFile(sandbox.path("/sim/refuse-mode"), "pal \n");
    RecorderProcess recorder(sandbox);
    EXPECT_EQ(recorder.waitForExit(10s), 1);
    const std::string errors = recorder.errors();
    EXPECT_NE(errors.find("Failed to enable video input 1. Is another application using the card ?\n"),
              std::string::npos)
        << errors;
}

TEST(Process, WithoutTheCardLibraryThereIsNoDevice) {
    Sandbox sandbox;
    RecorderProcess recorder(sandbox, {.withCard = false, .env = {}});
    EXPECT_EQ(recorder.waitForExit(10s), 1);
    const std::string errors = recorder.errors();
    EXPECT_NE(errors.find("libDeckLinkAPI.so"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Decklink NULL\n"), std::string::npos) << errors;
}

TEST(Process, EncoderPassRunsOnTheCardsFrames) {
    Sandbox sandbox;
    RecorderProcess recorder(sandbox);
    ASSERT_TRUE(recorder.waitForErrors("720, 576, 720, 576\n", 10s)) << recorder.errors();
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (readFile(sandbox.path("/preview.uyvy")).size() != 720u * 576u * 2u &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(readFile(sandbox.path("/preview.uyvy")).size(), 720u * 576u * 2u);
    EXPECT_TRUE(recorder.running());
}
