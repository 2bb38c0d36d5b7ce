#include "panel/KeyReports.h"
#include "panel/LcdController.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <QImage>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <sstream>

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Bytes = std::vector<unsigned char>;
using Calls = std::vector<std::string>;

namespace {

struct FakeButtons final : PanelButtons {
    void setSelected(int direction) override { record(direction > 0 ? "up" : "down"); }
    void pressOK() override { record("ok"); }
    void pressBack() override { record("back"); }
    void pressHome() override { record("home"); }
    void record(const char* call) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call), changed.notify_all();
    }
    Calls await(size_t count) {  // then a little longer, so a stray extra call shows too
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, 5s, [&] { return calls.size() >= count; });
        changed.wait_for(guard, 150ms, [&] { return calls.size() > count; });
        return calls;
    }
    std::mutex lock;
    std::condition_variable changed;
    Calls calls;
};

// A raw pseudo-terminal: the controller opens the slave path, the test plays the display on the master.
struct Pty {
    Pty() : master(posix_openpt(O_RDWR | O_NOCTTY)) {
        termios mode{};
        grantpt(master), unlockpt(master), path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(slave, &mode), cfmakeraw(&mode), tcsetattr(slave, TCSANOW, &mode);
    }
    ~Pty() { close(slave), close(master); }
    Bytes written() {  // all the controller wrote, once the line has been quiet a while
        Bytes bytes;
        unsigned char chunk[4096];
        pollfd ready{master, POLLIN, 0};
        for (ssize_t got; poll(&ready, 1, 100) > 0 && (got = read(master, chunk, sizeof chunk)) > 0;)
            bytes.insert(bytes.end(), chunk, chunk + got);
        return bytes;
    }
    void send(const Bytes& bytes) { ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    int master, slave;
    std::string path;
};

struct Image {  // 256x64 RGB
    explicit Image(unsigned char level = 255) : rgb(256 * 64 * 3, level) {}
    void set(int x, int y, unsigned char r, unsigned char g = 0, unsigned char b = 0) {
        unsigned char* p = &rgb[(size_t(y) * 256 + x) * 3];
        p[0] = r, p[1] = g, p[2] = b;
    }
    void dark(int x, int y) { set(x, y, 0); }
    bool isDark(int x, int y) const { return rgb[(size_t(y) * 256 + x) * 3] < 128; }
    std::string text() const {  // as lcd.txt shows it
        std::string lines;
        for (int y = 0; y < 64; ++y, lines += '\n')
            for (int x = 0; x < 256; ++x) lines += isDark(x, y) ? '#' : '.';
        return lines;
    }
    std::vector<unsigned char> rgb;
};

Image noise(unsigned seed) {
    Image image;
    for (int i = 0; i < 256 * 64; ++i)
        if (((seed = seed * 1103515245u + 12345u) >> 16) & 1) image.dark(i % 256, i / 256);
    return image;
}

Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Bytes commands(unsigned char cs, unsigned char first, unsigned char second) {
    return {0, 0x94, cs, 2, 0, 0, first, 0, 0, second};
}
Bytes dataReport(unsigned char cs, const Bytes& half) {
    return Bytes{0, 0x95, static_cast<unsigned char>(cs + 1), 0, 0, 0x20} + half;
}
Bytes dataReport(unsigned char cs, unsigned char fill, size_t index, unsigned char value) {  // 32 fill bytes but one
    Bytes half(32, fill);
    half[index] = value;
    return dataReport(cs, half);
}
// Every controller switched on from row 0, then each page of each with its column.
Bytes wholeUpload(const Image& image) {
    Bytes bytes;
    for (unsigned char cs : {0x00, 0x04, 0x08, 0x0C}) bytes = bytes + commands(cs, 0x3F, 0xC0);
    for (int page = 0; page < 8; ++page)
        for (int x0 = 0; x0 < 256; x0 += 64) {
            Bytes chunk(64);
            for (int x = 0; x < 64; ++x)
                for (int k = 0; k < 8; ++k) chunk[x] |= image.isDark(x0 + x, 8 * page + k) << k;
            const unsigned char cs = static_cast<unsigned char>(x0 / 16);
            bytes = bytes + commands(cs, static_cast<unsigned char>(0xB8 + page), 0x40) +
                    dataReport(cs, Bytes(chunk.begin(), chunk.begin() + 32)) +
                    dataReport(cs, Bytes(chunk.begin() + 32, chunk.end()));
        }
    return bytes;
}
size_t count(const std::string& text, const std::string& line) {
    size_t found = 0;
    for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size()) ++found;
    return found;
}

struct LcdUpload : testing::Test {
    Pty pty;
    FakeButtons gui;
    LcdController lcd{pty.path.c_str(), 256, 64, &gui};
    Bytes draw(const Image& image) { return lcd.DrawRGBBuffer(image.rgb.data()), pty.written(); }
};

TEST_F(LcdUpload, FirstFrameIsWholeThenOnlyTheChangedChunkAndHalfAndContrastAndBacklightReports) {
    lcd.SetContrast(0x20), lcd.SetBacklightStrength(0x40), lcd.SetBacklight(true), lcd.SetBacklight(false);
    EXPECT_EQ(pty.written(), (Bytes{0, 0x92, 0x20, 0, 0x91, 0x40, 0, 0x91, 0xFF, 0, 0x91, 0}));
    Image image;
    image.set(5, 3, 127, 255, 255), image.set(6, 3, 128, 0, 0);  // only red below 128 is dark
    ASSERT_EQ(draw(image), wholeUpload(image));
    EXPECT_EQ(draw(image), Bytes{});
    image.dark(64 + 40, 2 * 8 + 4);
    EXPECT_EQ(draw(image), commands(0x04, 0xBA, 0x60) + dataReport(0x04, 0, 8, 0x10));
    image.dark(192 + 5, 63), image.dark(192 + 63, 56);
    EXPECT_EQ(draw(image), commands(0x0C, 0xBF, 0x40) + dataReport(0x0C, 0, 5, 0x80) + dataReport(0x0C, 0, 31, 0x01));
}

TEST_F(LcdUpload, MissingDeviceIsLoggedOnceAndItsReturnOnceThenAFailedOpenOrWriteMeansAWholeUpload) {
    testing_support::TempDir dir;
    const std::string link = dir / "picolcd";
    auto pointAt = [&](const std::string& target) { unlink(link.c_str()), symlink(target.c_str(), link.c_str()); };
    LcdController viaLink(link.c_str(), 256, 64, &gui);
    Image image = noise(5);
    CaptureStderr();
    for (int frame = 0; frame < 3; ++frame) viaLink.DrawRGBBuffer(image.rgb.data());  // no device
    pointAt(pty.path);
    viaLink.DrawRGBBuffer(image.rgb.data());
    EXPECT_EQ(pty.written(), wholeUpload(image));

    image.set(255, 63, image.isDark(255, 63) ? 255 : 0);
    pointAt("/dev/full");  // every write fails
    viaLink.DrawRGBBuffer(image.rgb.data());
    pointAt(pty.path);
    viaLink.DrawRGBBuffer(image.rgb.data());
    EXPECT_EQ(pty.written(), wholeUpload(image));
    const std::string errors = GetCapturedStderr();
    // The button thread may have found the device missing too, once.
    EXPECT_LE(count(errors, "fd: No such file"), 1 + count(errors, "Error i knappgrejjen\n")) << errors;
    EXPECT_EQ(count(errors, "LCD screen connected\n"), 1u) << errors;
    for (const char* line : {"fd: No such file", "94: No space", "95,2: No space", "bufW: No space"})
        EXPECT_NE(errors.find(line), std::string::npos) << line << " in:\n" << errors;
}

TEST(KeyReports, APressIsAKeyNotHeldBeforeAndAReleaseOrAnotherReportIsNone) {
    struct Case {
        const char* name;
        std::vector<Bytes> reads;
        Bytes pressed;
    };
    const Case cases[] = {
        {"press, release", {{0x11, 6, 0}, {0x11, 0, 0}}, {6}},
        {"second key while the first is held",
         {{0x11, 5, 0}, {0x11, 5, 7}, {0x11, 7, 5}, {0x11, 7, 0}, {0x11, 0, 0}}, {5, 7}},
        {"two at once", {{0x11, 1, 2}, {0x11, 0, 0}}, {1, 2}},
        {"other reports carry no key and leave the held ones",
         {{0x11, 5, 0}, Bytes{0x21, 3} + Bytes(61, 6), {0x11, 5, 0}}, {5}},
        {"old form: the code in the third byte, each one a press", {{0, 0, 6}, {0, 0, 6}, {0, 0, 0}}, {6, 6}},
        {"reports run together in one read", {{0x11, 5, 0, 0x11, 0, 0, 0x11, 5, 0, 0x11, 5, 2}}, {5, 5, 2}},
    };
    for (const Case& c : cases) {
        KeyReports keys;
        Bytes pressed;
        for (const Bytes& read : c.reads) pressed = pressed + keys.feed(read.data(), read.size());
        EXPECT_EQ(pressed, c.pressed) << c.name;
    }
}

using LcdButtons = LcdUpload;

TEST_F(LcdButtons, EachKnownKeyIsOneCallOnItsPressOthersNone) {
    for (unsigned char code : {0, 3, 4, 8, 255, 1, 2, 5, 6, 7}) pty.send({0x11, code, 0, 0x11, 0, 0});
    EXPECT_EQ(gui.await(5), (Calls{"back", "home", "up", "ok", "down"}));
}

TEST(LcdButtonsDevice, PanelBackAfterTheButtonSideLostItHoldsNoKeyAndGetsTheWholeScreenAtTheNextFrame) {
    testing_support::TempDir dir;
    const std::string link = dir / "picolcd";
    auto first = std::make_unique<Pty>();
    Pty second;
    symlink(first->path.c_str(), link.c_str());
    FakeButtons gui;
    LcdController lcd(link.c_str(), 256, 64, &gui);
    const Image image = noise(6);
    lcd.DrawRGBBuffer(image.rgb.data());
    ASSERT_EQ(first->written(), wholeUpload(image));
    first->send({0x11, 6, 0});  // held as the panel goes
    ASSERT_EQ(gui.await(1), Calls{"ok"});

    CaptureStderr();
    unlink(link.c_str()), symlink(second.path.c_str(), link.c_str());
    first.reset();  // the button side's read fails; it reopens on the second panel
    second.send({0x11, 6, 0});
    EXPECT_EQ(gui.await(2), (Calls{"ok", "ok"}));
    lcd.DrawRGBBuffer(image.rgb.data());  // the same picture
    EXPECT_EQ(second.written(), wholeUpload(image));
    EXPECT_EQ(GetCapturedStderr(), "No connection to LCD screen error\n");
}

TEST(LcdButtonsDevice, LostDeviceIsReopenedOnceASecondWithoutSpinningAndAMissingOneLoggedOnce) {
    FakeButtons gui;
    CaptureStderr();
    const std::clock_t cpuBefore = std::clock();
    auto lcd = std::make_unique<LcdController>("/dev/null", 256, 64, &gui);  // every read: 0 bytes
    auto missing = std::make_unique<LcdController>("/nonexistent/picolcd", 256, 64, &gui);
    std::this_thread::sleep_for(2500ms);
    const auto stopAt = std::chrono::steady_clock::now();
    EXPECT_LT((lcd.reset(), missing.reset(), std::chrono::steady_clock::now() - stopAt), 1s);
    EXPECT_LT(double(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.5);
    const std::string errors = GetCapturedStderr();
    const size_t lost = count(errors, "No connection to LCD screen error\n");
    EXPECT_TRUE(lost >= 1 && lost <= 3) << errors;
    EXPECT_EQ(count(errors, "Error i knappgrejjen\n"), 1u) << errors;  // tried twice by now
}

// qva-panel-sim in a temporary root, driven by the real controller.
struct PanelSim : testing::Test {
    void SetUp() override {
        std::string program = QVA_BUILD_DIR "/qva-panel-sim", rootPath = root.path().string();
        char* argv[] = {program.data(), rootPath.data(), nullptr};
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
        for (int i = 0; i < 500 && access(device.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(10ms);
        ASSERT_EQ(access(device.c_str(), F_OK), 0);
    }
    void TearDown() override { if (pid > 0) stop(); }
    int stop() {
        int status = -1;
        return kill(pid, SIGTERM), waitpid(pid, &status, 0), pid = -1, status;
    }
    // Whether the file comes to hold text within 5 s; lcd.txt, of fixed size, then is it.
    testing::AssertionResult holds(const std::string& name, const std::string& text) {
        std::string content;
        for (int i = 0; i < 250; ++i, std::this_thread::sleep_for(20ms))
            if ((content = testing_support::readFile(root / name)).find(text) != std::string::npos)
                return testing::AssertionSuccess();
        return testing::AssertionFailure() << name << " is:\n" << content;
    }
    void press(const std::string& lines) {  // fails rather than blocks when the simulator is gone
        int fifo = open((root / "sim/buttons").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fifo, 0) << strerror(errno);
        EXPECT_EQ(write(fifo, lines.data(), lines.size()), ssize_t(lines.size()));
        close(fifo);
    }
    testing_support::TempDir root;
    const std::string device = root / "dev/picolcd";
    pid_t pid = -1;
};

TEST_F(PanelSim, ShowsTheDrawnScreenAndDeliversButtonsAcrossReopen) {
    FakeButtons gui;
    Image first = noise(1);
    {
        LcdController lcd(device.c_str(), 256, 64, &gui);
        lcd.DrawRGBBuffer(first.rgb.data());
        EXPECT_TRUE(holds("sim/lcd.txt", first.text()));
        EXPECT_TRUE(holds("sim/lcd-stats",
                          "reports 100\nbytes 2792\ncommand-reports 36\ndata-reports 64\nmalformed 0\n"));
        press("OK\n");
        EXPECT_EQ(gui.await(1), Calls{"ok"});  // the release calls nothing
        first.dark(64 + 33, 9), first.set(64 + 34, 9, 255);  // a right-half update: the column command
        lcd.DrawRGBBuffer(first.rgb.data());
        EXPECT_TRUE(holds("sim/lcd.txt", first.text()));
    }
    LcdController reopened(device.c_str(), 256, 64, &gui);
    Image second = noise(2);
    reopened.DrawRGBBuffer(second.rgb.data());
    EXPECT_TRUE(holds("sim/lcd.txt", second.text()));
    press("jump\nHOME\n");
    EXPECT_EQ(gui.await(2), (Calls{"ok", "home"}));

    QImage png(QString::fromStdString(root / "sim/lcd.png"));
    ASSERT_EQ(png.size(), QSize(768, 192));
    for (auto [x, y] : {std::pair{0, 0}, {97, 9}, {255, 63}, {130, 40}})
        EXPECT_EQ(qGray(png.pixel(3 * x + 1, 3 * y + 2)), second.isDark(x, y) ? 0 : 255) << x << "," << y;
    EXPECT_EQ(stop(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(device));  // the link goes with the simulator
}

TEST_F(PanelSim, DecodesReportsAsTheControllersDoAndCountsMalformedOnes) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const Bytes stream =
        // Controller 2 on, page 5, column 62: six bytes run past column 63 to 0..3.
        Bytes{0, 0x94, 0x08, 3, 0, 0, 0x3F, 0, 0, 0xBD, 0, 0, 0x7E} +
        Bytes{0, 0x95, 0x09, 0, 0, 6, 0x01, 0x02, 0x04, 0x08, 0x10, 0x80} +
        // Page 6 without a column (and without the report number): goes on at column 4.
        Bytes{0x94, 0x08, 1, 0, 0, 0xBE} + Bytes{0x95, 0x09, 0, 0, 2, 0xFF, 0x81} +
        // Controller 3 on from line 8: its memory row 0 is shown at row 56.
        Bytes{0x94, 0x0C, 2, 0, 0, 0x3F, 0, 0, 0xC8} + Bytes{0x95, 0x0D, 0, 0, 1, 0x01} +
        // Controller 1 drawn on, then off: blank, as controller 0, never switched on.
        Bytes{0x94, 0x04, 2, 0, 0, 0x3F, 0, 0, 0xB8} + Bytes{0x95, 0x05, 0, 0, 2, 0xFF, 0xFF} +
        Bytes{0x94, 0x04, 1, 0, 0, 0x3E} +
        // Unknown report, chip select 0x10, a triple 00 01 3F, 33 data bytes; contrast between.
        Bytes{0x77, 0x92, 1} + Bytes{0x94, 0x10, 1, 0, 0, 0x3F, 0x92, 2} + Bytes{0x94, 0x08, 1, 0, 1, 0x3F, 0x92, 3} +
        Bytes{0x95, 0x09, 0, 0, 33} + Bytes(33, 0) + Bytes{0x92, 0x21};
    for (unsigned char byte : stream)  // one byte a write: every report arrives in pieces
        ASSERT_EQ((std::this_thread::sleep_for(1ms), write(fd, &byte, 1)), 1);
    close(fd);
    ASSERT_TRUE(holds("sim/lcd-stats", "reports 13\n"));  // the screen is written before the stats
    for (const char* line : {"malformed 4\n", "contrast 33\n"}) EXPECT_TRUE(holds("sim/lcd-stats", line));
    std::vector<std::string> rows;
    std::istringstream text(testing_support::readFile(root / "sim/lcd.txt"));
    for (std::string row; std::getline(text, row);) rows.push_back(row);
    ASSERT_EQ(rows.size(), 64u);
    auto column = [&](int x, int top) {  // 8 rows from top, top row first
        std::string pixels;
        for (int y = top; y < top + 8; ++y) pixels += rows[y][x];
        return pixels;
    };
    const std::pair<int, const char*> page5[] = {{62, "#......."}, {63, ".#......"}, {0, "..#....."},
                                                 {1, "...#...."}, {2, "....#..."}, {3, ".......#"}};
    for (auto [x, pixels] : page5) EXPECT_EQ(column(128 + x, 40), pixels) << x;
    EXPECT_EQ(column(128 + 4, 48), "########");
    EXPECT_EQ(column(128 + 5, 48), "#......#");
    EXPECT_EQ(column(192, 56), "#.......");
    for (const std::string& row : rows) EXPECT_EQ(row.substr(0, 128), std::string(128, '.'));
}

}  // namespace
