// The menu system on a real drive manager over temporary drive folders. Screens are judged
// by structure only (lines, boxes, bars, icon squares, cell darkness), never by glyph artwork.
#include "panel/LcdGui.h"

#include "core/StartupConfig.h"

#include "LcdGuiFixture.h"

using namespace lcd_gui_fixture;

namespace {

struct LcdGuiTest : LcdGuiFixture {
    std::pair<Menu, int> after(const std::string& keys) { return press(keys), where(); }
    QImage shown(const std::string& keys) { return press(keys), screen(); }
    QImage levels(int16_t left, int16_t right) { return gui->setAudio(left, right), screen(); }
    void open(const std::string& keys) { make(), press(keys); }
};
using LcdGuiScreens = LcdGuiTest;
using LcdGuiNavigation = LcdGuiTest;
using LcdGuiActions = LcdGuiTest;

}  // namespace

TEST(LcdGuiFigures, SizesAndTimeLeftFitTheirColumns) {
    const std::tuple<int, int, float, const char*> cases[] = {
        {1350, 2, 22.5f, "01:00"}, {1350, 2, 60.0f, "00:22"}, {1350, 2, 0.0f, "00:00"},  // no rate: no nonsense
        {59999, 2, 1.0f, "999:59"}, {60000, 2, 1.0f, ">999h"}, {INT32_MAX, 2, 0.001f, ">999h"},
        {0, 1, 0, "0MB"}, {512, 1, 0, "512MB"}, {1023, 1, 0, "1GB"}, {999 * 1024, 1, 0, "999GB"},
        {1048575, 1, 0, "0.9TB"}, {1048576, 1, 0, "1.0TB"}, {2097152 + 524288, 1, 0, "2.5TB"},
        {15 * 1048576, 1, 0, "15TB"}, {INT32_MAX, 1, 0, ">99TB"}};
    for (auto [value, kind, rate, text] : cases) {
        EXPECT_EQ(LcdGui::printInt(value, kind, rate), text) << value;
        // 6 pixels a character: Free (x 156) ends before HH:MM (192), HH:MM before REC (232).
        EXPECT_LE(6 * int(std::strlen(text)), kind == 1 ? 35 : 39) << text;
    }
    EXPECT_EQ(LcdGui::printInt(-7, 3, 0) + LcdGui::printInt(5, 4, 0), "-7");
}

TEST_F(LcdGuiScreens, MainScreenLinesAndTheHighlightedItem) {
    make();
    QImage image = screen();
    EXPECT_EQ(std::pair(image.size(), image.format()), std::pair(QSize(256, 64), QImage::Format_RGB888));
    EXPECT_TRUE(allDark(image, 0, 3, 256, 1) && allDark(image, 0, 17, 256, 1));
    EXPECT_TRUE(allLight(image, 0, 0, 256, 3) && allLight(image, 0, 18, 256, 7));
    EXPECT_TRUE(inverted(image, 30, 25, 12) && plain(image, 30, 45, 8) && plain(image, 165, 25, 6));
    image = shown("D");
    EXPECT_TRUE(plain(image, 30, 25, 12) && inverted(image, 30, 45, 8));
}

TEST_F(LcdGuiScreens, LevelBarsScaleMarksAndPreview) {
    open("O");  // the standard screen shows the preview
    QImage image = levels(32767, 0);
    EXPECT_TRUE(allDark(image, 253, 1, 1, 63) && allLight(image, 253, 0, 1, 1) && allLight(image, 255, 0, 1, 64));
    image = levels(0, 3277);  // -20 dB: 43 pixels
    EXPECT_TRUE(allLight(image, 253, 0, 1, 64) && allDark(image, 255, 21, 1, 43) && allLight(image, 255, 0, 1, 21));
    image = levels(-32768, 1);  // no finite or positive height
    EXPECT_TRUE(allLight(image, 253, 0, 1, 64) && allLight(image, 255, 0, 1, 64) && allLight(image, 139, 0, 113, 64));
    EXPECT_TRUE(allDark(image, 252, 0, 1, 1) && allDark(image, 252, 15, 1, 1) && allDark(image, 252, 25, 1, 1));

    QImage picture(720, 288, QImage::Format_RGB32);  // only its top-left 113x64 is shown
    picture.fill(Qt::white);
    for (int i = 0; i < 64 * 113; ++i) picture.setPixel(i % 113, i / 113, qRgb(0, 0, 0));
    gui->SetSDI(picture);
    image = screen();
    EXPECT_TRUE(allDark(image, 139, 0, 113, 64) && allLight(image, 133, 0, 6, 8) && allLight(image, 252, 1, 1, 14));
    EXPECT_TRUE(allLight(shown("H"), 210, 18, 40, 46));  // the main screen has no preview
}

TEST_F(LcdGuiScreens, DriveListFrameIconsAndPages) {
    plug({"a", "b"});
    open("DO");
    QImage image = screen();
    EXPECT_TRUE(allDark(image, 0, 7, 1, 56) && allDark(image, 255, 7, 1, 56) && allDark(image, 0, 7, 256, 1));
    EXPECT_TRUE(allDark(image, 0, 17, 256, 1) && allDark(image, 0, 63, 255, 1) && allLight(image, 255, 63, 1, 1));
    EXPECT_TRUE(iconAt(image, 2, 19) && iconAt(image, 2, 28) && allLight(image, 2, 37, 7, 25));
    EXPECT_TRUE(inverted(image, 175, 0, 10) && plain(image, 10, 19, 1));

    plug({"c", "d", "e", "f", "g"});
    EXPECT_TRUE(allLight(screen(), 0, 63, 256, 1));  // a second page follows
    EXPECT_EQ(where(), std::pair(Menu::DriveList, 1));  // a changed list: the first drive, never FORMAT ALL
    image = shown("DDDD");
    for (int y : {19, 28, 37, 46, 55}) EXPECT_TRUE(iconAt(image, 2, y)) << y;
    EXPECT_TRUE(inverted(image, 10, 55, 1));
    EXPECT_EQ(after("D"), std::pair(Menu::DriveList, 6));
    image = screen();
    EXPECT_TRUE(plain(image, 175, 0, 10) && darkShare(image, 175, 0, 60, 7) > 0.05);
    EXPECT_TRUE(iconAt(image, 2, 19) && iconAt(image, 2, 28) && allLight(image, 2, 37, 7, 25));
    EXPECT_TRUE(inverted(image, 10, 19, 1) && plain(image, 10, 28, 1) && allDark(image, 0, 63, 255, 1));
    image = shown("D");
    EXPECT_TRUE(plain(image, 10, 19, 1) && inverted(image, 10, 28, 1));
}

TEST_F(LcdGuiScreens, RecordScreenLinesAndBlink) {
    plug({"a", "b"});
    open("DDO");
    auto recShown = [&] { return !allLight(screen(), 116, 1, 18, 7); };
    for (int i = 0; i < 25; ++i) ASSERT_FALSE(recShown()) << "nothing records";
    QImage image = screen();
    EXPECT_TRUE(allDark(image, 0, 9, 139, 1) && allDark(image, 65, 9, 1, 48) && allDark(image, 0, 56, 139, 1));

    gui->startRecord(2);
    EXPECT_EQ(drives(true), "b");
    std::vector<int> changes;
    for (int i = 1, last = recShown(); i < 60; ++i)
        if (const bool now = recShown(); now != last) changes.push_back(i), last = now;
    ASSERT_GE(changes.size(), 4u);
    for (size_t i = 1; i < changes.size(); ++i) EXPECT_EQ(changes[i] - changes[i - 1], 10);
}

TEST_F(LcdGuiNavigation, TransitionsBackHomeAndWrapsAtBothEnds) {
    testing::internal::CaptureStderr();
    make();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "LcdGui start\nLcdGui 00\nLcdGui 0\n");
    EXPECT_EQ(after("U"), std::pair(Menu::Main, 3));
    EXPECT_EQ(after("D"), std::pair(Menu::Main, 0));
    gui->setSelected(0);
    EXPECT_EQ(where(), std::pair(Menu::Main, 0));
    EXPECT_EQ(after("DOD"), std::pair(Menu::DriveList, 0));  // the list with only "FORMAT ALL"
    EXPECT_EQ(after("U"), std::pair(Menu::DriveList, 0));
    const Menu opened[] = {Menu::Standard, Menu::DriveList, Menu::Record, Menu::Info};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(after("H" + std::string(k, 'D') + "O"), std::pair(opened[k], 0));
        EXPECT_EQ(after("DB"), std::pair(Menu::Main, 0));
    }
    EXPECT_EQ(after("B"), std::pair(Menu::Main, 0));
    plug({"a", "b"});
    const std::pair<const char*, std::pair<Menu, int>> steps[] = {{"DOO", {Menu::FormatAll, 1}},  // on NO
        {"B", {Menu::DriveList, 0}}, {"DDO", {Menu::Drive, 0}}, {"DB", {Menu::DriveList, 2}}, {"OH", {Menu::Main, 0}}};
    for (auto& [keys, menu] : steps) EXPECT_EQ(after(keys), menu) << keys;
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

TEST_F(LcdGuiNavigation, TimeEditWrapsAndSetsTheClockAsLocalTime) {
    open("UOO");
    ASSERT_EQ(gui->menuState().sysTime, 1);
    while (gui->menuState().editHour != 23) press("U");
    EXPECT_EQ((press("U"), gui->menuState().editHour), 0);
    EXPECT_EQ(after("DD"), std::pair(Menu::Info, 0));  // the selection stays while editing
    press("HUOO");                                     // Home does not end the edit
    ASSERT_EQ(gui->menuState().sysTime, 2);
    EXPECT_EQ(gui->menuState().editHour, 22);
    while (gui->menuState().editMinute != 0) press("D");
    EXPECT_EQ((press("D"), gui->menuState().editMinute), 59);
    EXPECT_TRUE((press("D"), runner->calls.empty()));
    EXPECT_EQ((press("O"), gui->menuState().sysTime), 0);
    EXPECT_EQ(runner->taken(), (std::vector<Argv>{{"date", "-s", "22:58:00"}}));
    EXPECT_FALSE(load(state.restartCapture));
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
    EXPECT_EQ(gui->menuState().standardMarks, (std::array<bool, 5>{false, true, false, false, true}));
    EXPECT_FLOAT_EQ(gui->menuState().compressionRate, 60.0f);
    state.restartCapture = false;
    EXPECT_FALSE((press("O"), load(state.restartCapture)));  // already chosen
    EXPECT_EQ(after("HDOOUO"), std::pair(Menu::DriveList, 0));  // FORMAT ALL, YES
    EXPECT_EQ(drives(), "");
    EXPECT_EQ(runner->taken(2).size(), 2u);
}

TEST_F(LcdGuiActions, AudioChannelStepsOnlyWithEmbeddedAudio) {
    open("UOD");
    for (int expected : {1, 2, 3, 0, 1}) EXPECT_EQ((press("O"), load(state.audioChannel)), expected);
    state.analogAudio = true;
    EXPECT_EQ((press("OO"), load(state.audioChannel)), 0);
    EXPECT_FALSE(load(state.restartCapture));
}

TEST_F(LcdGuiActions, StartAllAndStopAllActOnEveryListedDrive) {
    open("DDO");
    state.audioChannel = 2;
    ASSERT_EQ(readStartupConfig(config).audioChannel, 0);
    EXPECT_EQ(after("O"), std::pair(Menu::Record, 0));  // no drive: only the configuration is written
    EXPECT_EQ(readStartupConfig(config), startupRecordOf(captureSettingsOf(state), state));
    EXPECT_TRUE(runner->calls.empty());
    EXPECT_FALSE(load(state.restartCapture));
    plug({"a", "b"});
    EXPECT_EQ((press("O"), drives(true)), "ab");
    EXPECT_EQ((press("DO"), drives(true)), "");
}

TEST_F(LcdGuiActions, DriveMenuFollowsItsDriveAndLeavesWhenItGoes) {
    plug({"a", "b", "c"});
    open("DODDO");  // the menu of b
    pull("a");
    EXPECT_EQ((press("O"), drives(true)), "b");  // START REC
    EXPECT_EQ(after("B"), std::pair(Menu::DriveList, 1));  // b's new place

    press("DODD");  // FORMAT DRIVE of c
    pull("c");
    EXPECT_EQ(after("O"), std::pair(Menu::DriveList, 0));  // meant for c, which is gone
    EXPECT_EQ(drives(), "b");

    press("D");
    plug({"d", "e"});
    screen();  // the highlight goes to the moved list's first drive
    EXPECT_EQ(where(), std::pair(Menu::DriveList, 1));
    press("DDO");  // the menu of e
    pull("d");
    EXPECT_EQ(after("DDO"), std::pair(Menu::DriveList, 0));  // FORMAT DRIVE of e, now item 2
    EXPECT_EQ(drives(), "b");
    EXPECT_EQ(runner->taken(1), (std::vector<Argv>{{"/formatusb.sh", media + "e", "e"}}));
}

TEST_F(LcdGuiActions, ConcurrentButtonsDrawingAndDriveChanges) {
    plug({"a"});
    open("DO");
    std::atomic<bool> done{false};
    std::thread drawer([&] {
        QImage image, picture(113, 64, QImage::Format_RGB888);
        picture.fill(Qt::black);
        for (int i = 0; !done; ++i)
            gui->setAudio(int16_t(i * 100), 32767), gui->SetSDI(picture), gui->drawMenus(), gui->GetQImage(&image);
    });
    std::thread web([&] {
        for (int i = 0; !done; ++i) {
            gui->updateUsbList();
            if (i % 16 == 0 && i <= 160) gui->startRecord(1), gui->stopRecord(1);  // each stop: an unwritten file
        }
    });
    for (int i = 0; i < 40; ++i) {
        plug({"x" + std::to_string(i)});
        press("DOB");
        if (i % 4 == 3) pull("x" + std::to_string(i - 2));
    }
    done = true;
    drawer.join(), web.join();
    EXPECT_EQ(screen().size(), QSize(256, 64));
}
