// The whole recorder with the panel simulator: recording started and stopped
// from the front-panel buttons.
#include "Sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

uintmax_t recordedBytes(const Sandbox& sandbox) {
    uintmax_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(sandbox.path("/media"))) {
        if (entry.is_regular_file() && entry.path().extension() == ".ts") bytes += entry.file_size();
    }
    return bytes;
}

}  // namespace

TEST(Panel, ButtonsStartAndStopRecordingOnEveryDrive) {
    Sandbox sandbox;
    fs::create_directories(sandbox.path("/media/USB1"));
    PanelSimulator panel(sandbox);
    RecorderProcess recorder(sandbox);
    ASSERT_TRUE(recorder.waitForErrors("Lägger till dir", 10s)) << recorder.errors();
    ASSERT_TRUE(recorder.waitForErrors("Flushing stream\n", 10s)) << recorder.errors();
    // The button thread opens the device a second after start.
    ASSERT_TRUE(within(10s, [&] { return panel.screenText().find('#') != std::string::npos; }));
    std::this_thread::sleep_for(1500ms);

    for (const char* button : {"HOME", "DOWN", "DOWN", "OK", "OK"}) {  // RECORD, START ALL
        panel.press(button);
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(within(10s, [&] { return recordedBytes(sandbox) > 100000; })) << recorder.errors();
    EXPECT_TRUE(fs::exists(sandbox.path("/media/USB1/recPAL.ts")));

    panel.press("DOWN");  // STOP ALL
    std::this_thread::sleep_for(200ms);
    panel.press("OK");
    ASSERT_TRUE(recorder.waitForErrors("Successfully stopped recording on", 10s)) << recorder.errors();
    std::this_thread::sleep_for(500ms);
    const uintmax_t stopped = recordedBytes(sandbox);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(recordedBytes(sandbox), stopped);
    EXPECT_TRUE(recorder.running());
    EXPECT_TRUE(fs::exists(sandbox.path("/sim/lcd.png")));
}
