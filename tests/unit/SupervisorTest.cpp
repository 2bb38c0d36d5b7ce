#include "core/Supervisor.h"

#include "core/StartupConfig.h"

#include <gtest/gtest.h>

#include "SlotCard.h"
#include "TestFiles.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

// The card's input, built from the vendor's slot table.
struct Fixture {
    slot_card::Input input;
    DeviceState state;
    VideoQueue queue;
    StreamBuffer buffer;
    testing_support::TempDir dir;
    std::string config = dir / "startup.cfg";
    StartupStore startup{config, captureSettingsOf(state)};  // the defaults, as without a file
    std::vector<uint32_t> passes;
    size_t leftOverAtPass = 0;
    Supervisor supervisor{input.api(), state, queue, buffer, startup,
                          [this](uint32_t mode) {
                              passes.push_back(mode);
                              leftOverAtPass = queue.audioQueued() + buffer.queued();
                          },
                          std::chrono::milliseconds(0)};
    Calls configCalls() const { return input.log->of("config"); }
    void refuse(const std::string& call, slot_card::Hresult result = slot_card::kFail) { input.log->refuse(call, result); }
    void storeSettings(uint32_t mode, bool downConvert, bool pal) {
        store(state.inputMode, mode), store(state.downConvert, downConvert), store(state.palMode, pal);
    }
};

}  // namespace

TEST(Supervisor, DownConverted720pDeliversAudioWithoutVideo) {
    Fixture f;
    store(f.state.inputMode, kModeHp59);
    store(f.state.downConvert, true);
    store(f.state.aesAudio, true);
    store(f.state.audioChannel, 2);
    EXPECT_EQ(f.supervisor.configureCard(), kModeNtsc);
    EXPECT_EQ(f.configCalls(), (Calls{"5 SetInt(vicm,72am)", "5 SetInt(aicn,aes )", "5 SetInt(vicn,1)"}));
    EXPECT_TRUE(load(f.state.audioWithoutVideo));
    EXPECT_EQ(load(f.state.inputMode), kModeHp59);  // the setting itself stays
    EXPECT_EQ(load(f.state.audioChannel), 0);       // AES/EBU resets the pair
}

TEST(Supervisor, CompositeForcesStandardDefinition) {
    Fixture f;
    store(f.state.inputMode, kModeHi50);
    store(f.state.composite, true);
    store(f.state.palMode, false);
    store(f.state.downConvert, true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(f.supervisor.configureCard(), kModeNtsc);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Composite***************************************\n");
    EXPECT_EQ(f.configCalls(), (Calls{"5 SetInt(vicm,none)", "5 SetInt(aicn,anlg)", "5 SetInt(vicn,16)"}));
    EXPECT_EQ(load(f.state.inputMode), kModeNtsc);
    EXPECT_FALSE(load(f.state.audioWithoutVideo));
}

TEST(Supervisor, AudioConnectionChoices) {
    Fixture embedded;
    store(embedded.state.audioChannel, 3);
    EXPECT_EQ(embedded.supervisor.configureCard(), kModePal);
    EXPECT_EQ(load(embedded.state.audioChannel), 3);  // embedded audio keeps the pair
    EXPECT_EQ(embedded.input.config.held(), 0);       // the per-pass interface is released

    Fixture analog;
    store(analog.state.analogAudio, true);
    store(analog.state.audioChannel, 1);
    analog.supervisor.configureCard();
    EXPECT_EQ(analog.configCalls()[1], "5 SetInt(aicn,anlg)");
    EXPECT_EQ(load(analog.state.audioChannel), 0);

    // Both set: the card's audio input is left as it was, and so is the pair.
    Fixture both;
    store(both.state.analogAudio, true);
    store(both.state.aesAudio, true);
    store(both.state.audioChannel, 1);
    both.supervisor.configureCard();
    EXPECT_EQ(both.configCalls(), (Calls{"5 SetInt(vicm,none)", "5 SetInt(vicn,1)"}));
    EXPECT_EQ(load(both.state.audioChannel), 1);
}

TEST(Supervisor, RefusedSettingsAreReportedAndThePassGoesOn) {
    Fixture f;
    f.refuse("config.5 SetInt");
    testing::internal::CaptureStderr();
    EXPECT_EQ(f.supervisor.configureCard(), kModePal);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to downconvert\nFailed to Embedded\nFailed to SDI\n");
    EXPECT_EQ(f.input.config.held(), 0);  // released on the way out as well
}

TEST(SupervisorDeathTest, CardRefusalsEndTheProcess) {
    EXPECT_EXIT(
        {
            Fixture f;
            f.refuse("input.6 EnableVideoInput");
            f.supervisor.configureCard();
        },
        testing::ExitedWithCode(1),
        "^Failed to enable video input 1. Is another application using the card \\?\n$");
    EXPECT_EXIT(
        {
            Fixture f;  // a stored mode refused, and 'pal ' after it
            f.storeSettings(kModeHp50, false, true);
            f.refuse("input.6 EnableVideoInput");
            f.supervisor.fallBackFromARefusedMode();
            f.supervisor.configureCard();
        },
        testing::ExitedWithCode(1), "Failed to enable video input 1");
}

TEST(Supervisor, PassRunsInTheEffectiveModeAndClearsTheRestartRequest) {
    Fixture f;
    store(f.state.inputMode, kModeHi50);
    store(f.state.downConvert, true);
    store(f.state.restartCapture, true);  // raised while reconfiguring
    slot_card::AudioPacket packet(std::vector<int16_t>(8 * 4, 1));
    f.queue.putAudioFrame(packet.api());
    f.buffer.putData("old pass", 8);
    f.supervisor.runOnePass();
    EXPECT_EQ(f.passes, (std::vector<uint32_t>{kModePal}));
    EXPECT_EQ(f.leftOverAtPass, 0u);  // nothing of the old configuration reached the pass
    EXPECT_FALSE(load(f.state.restartCapture));
}

TEST(Supervisor, CaptureSettingsAreStoredOnlyOnceTheCardTookThem) {
    Fixture f;
    store(f.state.tcBurnIn, 2);
    f.supervisor.configureCard();
    EXPECT_FALSE(std::filesystem::exists(f.config)) << "the defaults, unchanged: nothing to store";

    f.storeSettings(kModeHi59, true, true);
    f.supervisor.configureCard();
    StartupRecord stored = readStartupConfig(f.config);
    EXPECT_EQ(captureSettingsOf(stored), captureSettingsOf(f.state));
    EXPECT_EQ(stored.tcBurnIn, 2);

    // A mode chosen at run time that the card refuses ends the process and is never stored.
    const std::string before = testing_support::readFile(f.config);
    f.refuse("input.6 EnableVideoInput(hp50");
    f.storeSettings(kModeHp50, false, true);
    EXPECT_EXIT(f.supervisor.configureCard(), testing::ExitedWithCode(1), "Failed to enable video input 1");
    EXPECT_EQ(testing_support::readFile(f.config), before);
}

TEST(Supervisor, AStoredModeTheCardRefusesFallsBackToPal) {
    Fixture f;
    f.storeSettings(kModeHi59, true, false);  // recorded as 'ntsc'
    store(f.state.aesAudio, true);
    f.state.filePrefix.set("recNTSC");
    f.refuse("input.6 EnableVideoInput(ntsc");
    testing::internal::CaptureStderr();
    f.supervisor.fallBackFromARefusedMode();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The card refuses the stored mode 'ntsc': recording in 'pal ' instead\n");
    EXPECT_EQ(captureSettingsOf(f.state), (CaptureSettings{.aesAudio = true}));
    EXPECT_EQ(f.state.filePrefix.get(), "recPAL");
    f.supervisor.runOnePass();
    EXPECT_EQ(f.passes, std::vector<uint32_t>{kModePal});
    EXPECT_EQ(captureSettingsOf(readStartupConfig(f.config)), captureSettingsOf(f.state));

    // A mode the card takes stays, and 'pal ' itself is left to the first pass to try.
    for (const uint32_t mode : {kModeHp50, kModePal}) {
        Fixture g;
        g.storeSettings(mode, false, true);
        g.refuse("input.6 EnableVideoInput(pal ");
        testing::internal::CaptureStderr();
        g.supervisor.fallBackFromARefusedMode();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(load(g.state.inputMode), mode);
        EXPECT_EQ(g.input.log->of("input").size(), mode == kModePal ? 0u : 2u);  // enabled and disabled again
    }
}
