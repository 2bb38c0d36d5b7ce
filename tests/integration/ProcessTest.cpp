// The whole recorder in a sandbox, on the simulated card.
#include "Sandbox.h"

#include "core/StartupConfig.h"

#include <gtest/gtest.h>

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

TEST(Process, RefusedModeEndsWithStatusOne) {
    Sandbox sandbox;
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
