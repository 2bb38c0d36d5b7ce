// The menu system on a real drive manager over temporary drive folders. Screens are judged
// by structure only (lines, bars, icon squares, cell darkness), never by glyph artwork.
#include "panel/LcdGui.h"

#include "core/StartupConfig.h"

#include "LcdGuiFixture.h"

#include <cstring>
#include <tuple>

using namespace lcd_gui_fixture;

namespace {

struct LcdGuiTest : LcdGuiFixture {
    std::pair<Menu, int> after(const std::string& keys) { return press(keys), where(); }
    QImage shown(const std::string& keys) { return press(keys), screen(); }
    void open(const std::string& keys) { make(), press(keys); }
};
using LcdGuiScreens = LcdGuiTest;
using LcdGuiNavigation = LcdGuiTest;
using LcdGuiActions = LcdGuiTest;

}  // namespace

TEST(LcdGuiFigures, SizesAndTimeLeftFitTheirColumns) {
    const std::tuple<int, int, float, const char*> cases[] = {
        {1350, 2, 22.5f, "01:00"}, {1350, 2, 0.0f, "00:00"},  {59999, 2, 1.0f, "999:59"}, {60000, 2, 1.0f, ">999h"},
        {512, 1, 0, "512MB"},      {1023, 1, 0, "1GB"},       {999 * 1024, 1, 0, "999GB"}, {1048575, 1, 0, "0.9TB"},
        {1048576, 1, 0, "1.0TB"},  {15 * 1048576, 1, 0, "15TB"}, {INT32_MAX, 1, 0, ">99TB"}};
    for (auto [value, kind, rate, text] : cases) {
        EXPECT_EQ(LcdGui::printInt(value, kind, rate), text) << value;
        // 6 pixels a character: Free (x 156) ends before HH:MM (192), HH:MM before REC (232).
        EXPECT_LE(6 * int(std::strlen(text)), kind == 1 ? 35 : 39) << text;
    }
}

// One check per screen that a misdrawn one fails: the main menu, the level bars over the
// preview, the drive list and its second page, the record screen's blinking REC.
TEST_F(LcdGuiScreens, EachScreenAsDrawn) {
    plug({"a", "b"});
    make();
    QImage image = screen();
    EXPECT_TRUE(allDark(image, 0, 3, 256, 1) && allDark(image, 0, 17, 256, 1) && allLight(image, 0, 18, 256, 7));
    EXPECT_TRUE(inverted(image, 30, 25, 12) && plain(image, 30, 45, 8));  // the first item highlighted

    press("O");  // the standard screen shows the preview
    gui->setAudio(0, 3277);  // -20 dB: 43 pixels
    QImage picture(720, 288, QImage::Format_RGB32);  // only its top-left 113x64 is shown
    picture.fill(Qt::white);
    for (int i = 0; i < 64 * 113; ++i) picture.setPixel(i % 113, i / 113, qRgb(0, 0, 0));
    gui->SetSDI(picture);
    image = screen();
    EXPECT_TRUE(allLight(image, 253, 0, 1, 64) && allDark(image, 255, 21, 1, 43) && allLight(image, 255, 0, 1, 21));
    EXPECT_TRUE(allDark(image, 139, 0, 113, 64) && allLight(image, 133, 0, 6, 8));

    image = shown("HDO");
    EXPECT_TRUE(allDark(image, 0, 7, 1, 56) && allDark(image, 255, 7, 1, 56) && allDark(image, 0, 63, 255, 1));
    EXPECT_TRUE(iconAt(image, 2, 19) && iconAt(image, 2, 28) && allLight(image, 2, 37, 7, 25));
    plug({"c", "d", "e", "f", "g"});
    EXPECT_TRUE(allLight(screen(), 0, 63, 256, 1));  // a second page follows
    EXPECT_EQ(where(), std::pair(Menu::DriveList, 1));  // a changed list: the first drive, never FORMAT ALL
    EXPECT_EQ(after("DDDDD"), std::pair(Menu::DriveList, 6));
    image = screen();
    EXPECT_TRUE(iconAt(image, 2, 19) && inverted(image, 10, 19, 1) && plain(image, 10, 28, 1));

    press("HDDO");
    auto recShown = [&] { return !allLight(screen(), 116, 1, 18, 7); };
    for (int i = 0; i < 25; ++i) ASSERT_FALSE(recShown()) << "nothing records";
    gui->startRecord(2);
    int shown = 0;
    for (int i = 0; i < 40; ++i) shown += recShown();
    EXPECT_EQ(shown, 20);  // REC blinks: ten frames on, ten off
}

TEST_F(LcdGuiNavigation, FormattingNeverEndsARecordingAndAsksWithNoFirst) {
    plug({"a", "b"});
    open("DO");
    gui->startRecord(1);
    const QImage before = shown("DO");  // drive a's menu
    EXPECT_EQ(after("DDO"), std::pair(Menu::Drive, 2));  // FORMAT DRIVE: refused, said on the screen
    EXPECT_NE(screen(), before);
    EXPECT_EQ(drives(true), "a");
    gui->stopRecord(1);
    EXPECT_EQ(after("BUOO"), std::pair(Menu::DriveList, 0));  // FORMAT ALL, then NO
    EXPECT_TRUE(runner->taken().empty());
    press("OUO");  // FORMAT ALL, YES
    EXPECT_EQ(runner->taken(2).size(), 2u);
}

TEST_F(LcdGuiActions, SettingsRefusedWhileAnyDriveRecords) {
    state.studioOptions = true;
    plug({"a", "b"});
    open("O");
    usb->StartRecord(1);  // from the web, after the panel last looked
    press("ODODODODOHUODDODO");  // every standard and format; CVBS IN, AUDIO
    EXPECT_EQ(load(state.inputMode), kModePal);
    EXPECT_FALSE(load(state.restartCapture) || load(state.composite) || load(state.analogAudio));
    press("HDOOUO");  // FORMAT ALL, YES
    EXPECT_EQ(std::pair(drives(), drives(true)), std::pair(std::string("ab"), std::string("b")));

    usb->StopRecord(1);
    press("HODO");  // HD 720p50
    EXPECT_EQ(load(state.inputMode), kModeHp50);
    EXPECT_TRUE(load(state.restartCapture) && !load(state.downConvert));
}

TEST_F(LcdGuiActions, StartAllStopAllAndADriveMenuFollowsItsDriveAndLeavesWhenItGoes) {
    open("DDO");
    EXPECT_EQ(after("O"), std::pair(Menu::Record, 0));  // no drive: only the configuration is written
    EXPECT_EQ(readStartupConfig(config), startupRecordOf(captureSettingsOf(state), state));
    plug({"a", "b", "c"});
    EXPECT_EQ((press("O"), drives(true)), "abc");
    EXPECT_EQ((press("DO"), drives(true)), "");

    press("HDODDO");  // the menu of b
    pull("a");
    EXPECT_EQ((press("O"), drives(true)), "b");  // START REC
    EXPECT_EQ(after("B"), std::pair(Menu::DriveList, 1));  // b's new place
    press("DODD");  // FORMAT DRIVE of c
    pull("c");
    EXPECT_EQ(after("O"), std::pair(Menu::DriveList, 0));  // meant for c, which is gone
    press("D");
    plug({"d", "e"});
    screen();  // the highlight goes to the moved list's first drive
    press("DDO");  // the menu of e
    pull("d");
    EXPECT_EQ(after("DDO"), std::pair(Menu::DriveList, 0));  // FORMAT DRIVE of e, now item 2
    EXPECT_EQ(drives(), "b");
    EXPECT_EQ(runner->taken(1), (std::vector<Argv>{{"/formatusb.sh", media + "e", "e"}}));
}

// The web's list updates and the drawing race the panel's buttons and the drive scan: for the thread sanitizer.
TEST_F(LcdGuiActions, ConcurrentButtonsDrawingAndDriveChanges) {
    plug({"a"});
    open("DO");
    std::atomic<bool> done{false};
    std::thread web([&] {
        QImage image;
        while (!done) {
            gui->updateUsbList();
            gui->drawMenus();
            gui->GetQImage(&image);
        }
    });
    for (int i = 0; i < 40; ++i) {
        plug({"x" + std::to_string(i)});
        press("DOB");
        if (i % 4 == 3) pull("x" + std::to_string(i - 2));
    }
    done = true;
    web.join();
    EXPECT_EQ(screen().size(), QSize(256, 64));
}
