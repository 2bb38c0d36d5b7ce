// A menu system on a real drive manager over temporary drive folders, with a
// recording command runner and fonts from the asset generator.
#pragma once

#include "panel/LcdGui.h"
#include "record/StreamBuffer.h"
#include "record/TSWriter.h"
#include "record/USBListener.h"

#include <gtest/gtest.h>

#include "RecordingRunner.h"
#include "TestFiles.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace lcd_gui_fixture {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Argv = std::vector<std::string>;
using Menu = LcdGui::Menu;

inline const QVAPainter::Fonts& fonts() {
    static testing_support::TempDir dir;
    static const QVAPainter::Fonts made = [] {
        const std::string command = QVA_BUILD_DIR "/make-assets '" + dir.path().string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return QVAPainter::Fonts{dir / "QVA/ascii2.png", dir / "QVA/ascii3.png", dir / "QVA/ascii_small_white.png"};
    }();
    return made;
}
inline double darkShare(const QImage& image, int x, int y, int w, int h) {
    int dark = 0;
    for (int row = y; row < y + h; ++row)
        for (int column = x; column < x + w; ++column) dark += qRed(image.pixel(column, row)) < 128;
    return double(dark) / (w * h);
}
inline bool allDark(const QImage& image, int x, int y, int w, int h) { return darkShare(image, x, y, w, h) == 1.0; }
inline bool allLight(const QImage& image, int x, int y, int w, int h) { return darkShare(image, x, y, w, h) == 0.0; }
// Small text inverted: dark cells with light ink; plain: the other way round.
inline bool inverted(const QImage& image, int x, int y, int chars) { return darkShare(image, x, y, 6 * chars, 7) > 0.6; }
inline bool plain(const QImage& image, int x, int y, int chars) { return darkShare(image, x, y, 6 * chars, 7) < 0.4; }
// The 7x7 icon square: black frame, some white inside.
inline bool iconAt(const QImage& image, int x, int y) {
    return allDark(image, x, y, 7, 1) && allDark(image, x, y + 6, 7, 1) && allDark(image, x, y, 1, 7) &&
           allDark(image, x + 6, y, 1, 7) && !allDark(image, x + 1, y + 1, 5, 5);
}

struct LcdGuiFixture : testing::Test {
    testing_support::TempDir root;
    std::string media = root / "media/";
    std::string config = root / "startup.cfg";
    DeviceState state;
    StreamBuffer buffer;
    TSWriter writer{&buffer, &state.filePrefix};
    std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
    std::unique_ptr<USBListener> usb;
    networkValue network;
    std::unique_ptr<StartupStore> startup;  // the file as the start found it: the state's capture settings
    std::unique_ptr<LcdGui> gui;

    void SetUp() override {
        fs::create_directory(media);
        usb = std::make_unique<USBListener>(&writer, USBListener::Options{media, runner, false, {}});
        state.filePrefix.set("rec");
    }
    void make() {
        auto store = std::make_unique<StartupStore>(config, captureSettingsOf(state));
        gui = std::make_unique<LcdGui>(usb.get(), state, &network, LcdGui::Options{runner, store.get(), fonts(), root / "interfaces"});
        startup = std::move(store);
    }
    void plug(const std::vector<std::string>& names) {  // one per scan: a known order
        for (const std::string& name : names) {
            fs::create_directory(media + name);
            usb->scanOnce();
        }
    }
    void pull(const std::string& name) {
        fs::remove_all(media + name);
        usb->scanOnce();
    }
    // The labels of the listed drives, or of those that record.
    std::string drives(bool recordingOnly = false) {
        QMutexLocker guard(usb->lock());
        std::string labels;
        for (const usbStick& drive : *usb->drives()) labels += !recordingOnly || drive.rec ? drive.label : "";
        return labels;
    }
    QImage screen() {
        gui->drawMenus();
        QImage image;
        gui->GetQImage(&image);
        return image;
    }
    // Buttons: U(p), D(own), O(K), B(ack), H(ome).
    void press(const std::string& keys) {
        for (char key : keys) {
            if (key == 'U' || key == 'D') gui->setSelected(key == 'U' ? +1 : -1);
            if (key == 'O') gui->pressOK();
            if (key == 'B') gui->pressBack();
            if (key == 'H') gui->pressHome();
        }
    }
    std::pair<Menu, int> where() { return {gui->menuState().menu, gui->menuState().selected}; }
};

}  // namespace lcd_gui_fixture
