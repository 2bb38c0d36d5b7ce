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
};

}  // namespace

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
}
