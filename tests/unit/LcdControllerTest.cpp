#include "panel/LcdController.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

using namespace std::chrono_literals;
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
    std::vector<unsigned char> rgb;
};

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

struct LcdUpload : testing::Test {
    Pty pty;
    FakeButtons gui;
    LcdController lcd{pty.path.c_str(), 256, 64, &gui};
    Bytes draw(const Image& image) { return lcd.DrawRGBBuffer(image.rgb.data()), pty.written(); }
};

TEST_F(LcdUpload, FirstFrameIsWholeThenOnlyTheChangedChunkAndHalf) {
    Image image;
    image.set(5, 3, 127, 255, 255), image.set(6, 3, 128, 0, 0);  // only red below 128 is dark
    ASSERT_EQ(draw(image), wholeUpload(image));
    EXPECT_EQ(draw(image), Bytes{});
    image.dark(64 + 40, 2 * 8 + 4);
    EXPECT_EQ(draw(image), commands(0x04, 0xBA, 0x60) + dataReport(0x04, 0, 8, 0x10));
    image.dark(192 + 5, 63), image.dark(192 + 63, 56);
    EXPECT_EQ(draw(image), commands(0x0C, 0xBF, 0x40) + dataReport(0x0C, 0, 5, 0x80) + dataReport(0x0C, 0, 31, 0x01));
}

TEST_F(LcdUpload, AfterAMissingDeviceOrAFailedWriteTheNextFrameIsUploadedWhole) {
    testing_support::TempDir dir;
    const std::string link = dir / "picolcd";
    auto pointAt = [&](const std::string& target) { unlink(link.c_str()), symlink(target.c_str(), link.c_str()); };
    LcdController viaLink(link.c_str(), 256, 64, &gui);
    Image image;
    testing::internal::CaptureStderr();  // the missing device is logged
    viaLink.DrawRGBBuffer(image.rgb.data());  // no device yet
    pointAt(pty.path);
    viaLink.DrawRGBBuffer(image.rgb.data());
    EXPECT_EQ(pty.written(), wholeUpload(image));

    image.dark(255, 63);
    pointAt("/dev/full");  // every write fails
    viaLink.DrawRGBBuffer(image.rgb.data());
    pointAt(pty.path);
    viaLink.DrawRGBBuffer(image.rgb.data());
    EXPECT_EQ(pty.written(), wholeUpload(image));
    testing::internal::GetCapturedStderr();
}

using LcdButtons = LcdUpload;

TEST_F(LcdButtons, EachKnownKeyIsOneCallOnItsPressOthersNone) {
    for (unsigned char code : {0, 3, 4, 8, 255, 1, 2, 5, 6, 7}) pty.send({0x11, code, 0, 0x11, 0, 0});
    EXPECT_EQ(gui.await(5), (Calls{"back", "home", "up", "ok", "down"}));
}

}  // namespace
