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

TEST(Supervisor, TheCardIsSetUpAsTheSettingsSay) {
    struct Case {
        uint32_t mode;
        bool downConvert, composite, analog, aes;
        uint32_t recorded, modeAfter;  // composite stores the standard it forces
        Calls calls;
        bool soundAlone;
        int pairAfter;  // reset where an analogue or AES choice leaves no pair to pick
    };
    const Case cases[] = {
        {kModeHi50, false, false, false, false, kModeHi50, kModeHi50,
         {"5 SetInt(vicm,none)", "5 SetInt(aicn,embd)", "5 SetInt(vicn,1)"}, false, 2},
        {kModeHp59, true, false, false, true, kModeNtsc, kModeHp59,
         {"5 SetInt(vicm,72am)", "5 SetInt(aicn,aes )", "5 SetInt(vicn,1)"}, true, 0},
        {kModeHi50, true, true, false, false, kModeNtsc, kModeNtsc,
         {"5 SetInt(vicm,none)", "5 SetInt(aicn,anlg)", "5 SetInt(vicn,16)"}, false, 2},
        {kModePal, false, false, true, false, kModePal, kModePal,
         {"5 SetInt(vicm,none)", "5 SetInt(aicn,anlg)", "5 SetInt(vicn,1)"}, false, 0},
        {kModePal, false, false, true, true, kModePal, kModePal, {"5 SetInt(vicm,none)", "5 SetInt(vicn,1)"}, false, 2},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.storeSettings(c.mode, c.downConvert, false);
        store(f.state.composite, c.composite), store(f.state.analogAudio, c.analog), store(f.state.aesAudio, c.aes);
        store(f.state.audioChannel, 2);
        testing::internal::CaptureStderr();
        EXPECT_EQ(f.supervisor.configureCard(), c.recorded);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.composite ? "Composite***************************************\n" : "");
        EXPECT_EQ(f.configCalls(), c.calls);
        EXPECT_EQ(load(f.state.inputMode), c.modeAfter);
        EXPECT_EQ(load(f.state.audioWithoutVideo), c.soundAlone);
        EXPECT_EQ(load(f.state.audioChannel), c.pairAfter) << c.calls[1];
        EXPECT_EQ(f.input.config.held(), 0);  // the per-pass interface is released
    }
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

TEST(SupervisorDeathTest, APalTheCardRefusesAfterTheFallBackEndsTheProcess) {
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
    EXPECT_EXIT(f.supervisor.configureCard(), testing::ExitedWithCode(1),
                "^Failed to enable video input 1. Is another application using the card \\?\n$");
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
