// The settings operations of the panel and the web.
#include "panel/LcdGui.h"

#include "core/StartupConfig.h"

#include <gtest/gtest.h>

#include "LcdGuiFixture.h"

using namespace lcd_gui_fixture;

namespace {

struct LcdGuiSettings : LcdGuiFixture {
    void SetUp() override {
        LcdGuiFixture::SetUp();
        make();
        testing::internal::CaptureStderr();  // the operations talk a lot
    }
    void TearDown() override { testing::internal::GetCapturedStderr(); }
    void record(const std::string& name) {
        plug({name});
        QMutexLocker guard(usb->lock());
        ASSERT_EQ(usb->drives()->size(), 1u);
        const int id = usb->drives()->front().id;
        guard.unlock();
        ASSERT_EQ(usb->StartRecord(id), 0);
    }
    bool configWritten() { return fs::exists(config); }
};

}  // namespace

TEST_F(LcdGuiSettings, ChangingTheStandard) {
    store(state.tcBurnIn, 2);
    store(state.logoBurning, true);
    EXPECT_EQ(gui->setPAL(true), 0);
    EXPECT_EQ(load(state.tcBurnIn), 2);  // PAL keeps the burn-in
    EXPECT_TRUE(load(state.logoBurning));

    store(state.restartCapture, false);
    EXPECT_EQ(gui->setPAL(false), 0);
    EXPECT_EQ(load(state.inputMode), kModeNtsc);
    EXPECT_TRUE(load(state.downConvert));
    EXPECT_EQ(load(state.tcBurnIn), 0);
    EXPECT_FALSE(load(state.logoBurning));
    EXPECT_TRUE(load(state.restartCapture));
    const StartupRecord stored = readStartupConfig(config);
    EXPECT_EQ(stored.tcBurnIn, 0);
    EXPECT_TRUE(stored.palMode) << "the standard waits for the card to take it";
}

TEST_F(LcdGuiSettings, OutputModeMarksRateAndFileName) {
    store(state.inputMode, kModePal);
    EXPECT_EQ(gui->set_outputmode(false), 0);  // an SD input records SD
    EXPECT_FLOAT_EQ(gui->get_compression_rate(), 22.5f);
    EXPECT_TRUE(gui->menuState().standardMarks[3]);
    EXPECT_FALSE(load(state.downConvert));

    EXPECT_EQ(gui->set_inputmode(kModeHi50), 0);
    EXPECT_EQ(gui->set_outputmode(false), 0);
    EXPECT_FLOAT_EQ(gui->get_compression_rate(), 60.0f);
    EXPECT_EQ(state.filePrefix.get(), "rec1080");

    EXPECT_EQ(gui->changeFileName("Studio 1"), 0);
    EXPECT_EQ(gui->set_outputmode(true), 0);
    EXPECT_EQ(state.filePrefix.get(), "Studio 1");  // the user's name sticks
}

TEST_F(LcdGuiSettings, WhoWritesTheStartupConfiguration) {
    gui->set_inputmode(kModeHp50);
    gui->setComposite(true);
    gui->setAudio(1);
    gui->set_channel(2);
    gui->changeFileName("x");
    EXPECT_FALSE(configWritten());
    gui->setTCBurnIn(2);
    EXPECT_TRUE(configWritten());
    // The capture settings are those the card last took; the others as they are.
    StartupRecord written = readStartupConfig(config);
    EXPECT_EQ(written.inputMode, kModePal);
    EXPECT_FALSE(written.composite);
    EXPECT_FALSE(written.analogAudio);
    EXPECT_EQ(written.tcBurnIn, 2);
    EXPECT_EQ(written.audioChannel, 2);

    startup->accept(captureSettingsOf(state), state);  // what a capture pass does
    written = readStartupConfig(config);
    EXPECT_EQ(written.inputMode, kModeHp50);
    EXPECT_TRUE(written.composite);
    EXPECT_TRUE(written.analogAudio);
}

TEST_F(LcdGuiSettings, RefusalsWhileRecording) {
    record("USB1");
    store(state.restartCapture, false);
    EXPECT_EQ(gui->set_inputmode(kModeHi50), 1);
    EXPECT_EQ(gui->set_outputmode(false), 1);
    EXPECT_EQ(gui->setPAL(false), 1);
    EXPECT_EQ(gui->setComposite(true), -1);
    EXPECT_EQ(gui->setAudio(2), -1);
    EXPECT_EQ(gui->set_channel(1), 1);
    EXPECT_EQ(load(state.inputMode), kModePal);
    EXPECT_EQ(load(state.audioChannel), 0);
    EXPECT_FALSE(load(state.restartCapture));
    EXPECT_EQ(gui->formatAllUsb(), 0);
    EXPECT_TRUE(runner->calls.empty());  // nothing formatted
    // Burn-in is not a capture setting.
    EXPECT_EQ(gui->setLogoBurning(true), 0);
    EXPECT_TRUE(load(state.logoBurning));
}

TEST_F(LcdGuiSettings, ValuesFromTheWebAreChecked) {
    EXPECT_EQ(gui->setAudio(3), -1);
    EXPECT_EQ(gui->setAudio(0), 0);
    EXPECT_EQ(gui->set_channel(4), 1);
    EXPECT_EQ(gui->set_channel(-1), 1);
    EXPECT_EQ(gui->set_inputmode(0x12345678), 1);
    EXPECT_EQ(load(state.inputMode), kModePal);
    const std::string tooLong(64, 'x');
    for (const char* bad : {"", ".", "..", "a/b", "tab\there", tooLong.c_str(), "x;aes=1;tcb=99", "a:b", "a#b",
                            "a\\b", "a\"b", "a*", "a?", "<a>", "a|b"}) {
        EXPECT_NE(gui->changeFileName(bad), 0) << bad;
    }
    EXPECT_EQ(state.filePrefix.get(), "rec");
    EXPECT_EQ(gui->changeFileName(std::string(63, 'x').c_str()), 0);

    EXPECT_NE(gui->set_local_date("2026-12-06; reboot"), 0);
    EXPECT_NE(gui->set_local_date("--help"), 0);
    EXPECT_EQ(gui->set_local_date("2026-12-06 10:00"), 0);
    EXPECT_EQ(gui->set_localtime(9, 5), 0);
    EXPECT_EQ(gui->factoryReset(), 0);
    EXPECT_EQ(runner->calls, (std::vector<Argv>{{"date", "--set", "2026-12-06 10:00"},
                                                {"date", "+%T", "-s", "9:5:00"},
                                                {"shutdown", "-hr", "now"}}));
}

TEST_F(LcdGuiSettings, SettingsThatCannotBeStoredAreRefusedAndTheScreenSaysSo) {
    config = root / "no-such-folder/startup.cfg";
    make();
    const QImage stored = screen();
    EXPECT_EQ(std::vector<int>({gui->setTCBurnIn(1), gui->setLogoBurning(true), gui->set_outputmode(true), gui->setPAL(false)}),
              std::vector<int>(4, 1));
    EXPECT_EQ(load(state.tcBurnIn), 0);  // the NTSC change clears it, and that too goes unsaved
    EXPECT_NE(screen(), stored);
    config = root / "startup.cfg";
    make();
    EXPECT_EQ(gui->setTCBurnIn(1), 0);
    EXPECT_EQ(screen(), stored);
}

TEST_F(LcdGuiSettings, WebInfoSnapshot) {
    plug({"A", "B"});
    store(state.downConvert, true);
    store(state.inputMode, kModeHi50);
    store(state.aesAudio, true);
    const LcdGui::WebInfo info = gui->getWebInfo();
    EXPECT_EQ(info.outputMode, kModePal);
    EXPECT_EQ(info.inputMode, kModeHi50);
    // The output is the mode recorded: a down-conversion follows the input's
    // rate and composite the standard, whatever else the flags say.
    store(state.inputMode, kModeHi59);
    EXPECT_EQ(gui->getWebInfo().outputMode, kModeNtsc);
    store(state.composite, true);
    store(state.palMode, false);
    store(state.inputMode, kModeHi50);
    EXPECT_EQ(gui->getWebInfo().outputMode, kModeNtsc);
    EXPECT_EQ(info.driveCount, 2);
    EXPECT_TRUE(info.aesAudio);
    EXPECT_FALSE(info.embeddedAudio);
    EXPECT_EQ(gui->getUSBDeck().size(), 2u);
}
