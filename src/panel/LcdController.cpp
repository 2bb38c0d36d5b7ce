#include "panel/LcdController.h"

#include "panel/KeyReports.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

using namespace std::chrono_literals;

namespace {

// The upload walks the display's fixed geometry: 8 pages of four 64-column
// controllers, 256 bytes a page.
constexpr int kPages = 8;
constexpr int kControllers = 4;
constexpr int kChunk = 64;
constexpr int kHalf = 32;
constexpr size_t kScreenBytes = kPages * kControllers * kChunk;
constexpr size_t kDataReport = 6 + kHalf;

// O_NOCTTY: a terminal-like node (a bridge or the simulator's pty) must never
// become the recorder's controlling terminal, whose hang-up would kill it.
int openDevice(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

// Never smaller than the upload pass reads, whatever the size given.
size_t frameBytes(int width, int height) {
    return std::max(kScreenBytes, size_t(std::max(width, 0)) * size_t((std::max(height, 0) + 7) / 8));
}

qva::AlignedBuffer<unsigned char> frameBuffer(size_t bytes, unsigned char fill) {
    qva::AlignedBuffer<unsigned char> buffer = qva::allocateAligned<unsigned char>(bytes);
    if (!buffer) throw std::bad_alloc();
    std::memset(buffer.get(), fill, bytes);
    return buffer;
}

void pressKey(LcdController* controller, unsigned char code) {
    switch (code) {
        case 1: controller->buttonBack(); break;
        case 2: controller->buttonHome(); break;
        case 5: controller->buttonUp(); break;
        case 6: controller->buttonOK(); break;
        case 7: controller->buttonDown(); break;
        default: break;
    }
}

// Reads key reports until the device is lost (true) or the controller is
// being destroyed (false). The poll timeout bounds how long a stop waits.
bool readButtons(LcdController* controller, int fd) {
    KeyReports keys;  // a device just opened holds no keys
    unsigned char buffer[64];
    while (!controller->stopping()) {
        pollfd ready{fd, POLLIN, 0};
        int count = ::poll(&ready, 1, 100);
        if (count < 0 && errno != EINTR) return true;
        if (count <= 0) continue;
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return true;  // 0: end of file, the other end went away
        for (unsigned char code : keys.feed(buffer, size_t(got))) pressKey(controller, code);
    }
    return false;
}

}  // namespace

void InputThread(LcdController* controller) {
    if (!controller->pause(1s)) return;
    // A missing panel is logged when it goes, not at every retry.
    bool outageReported = false;
    bool wasGone = false;
    while (true) {
        int fd = openDevice(controller->devicePath());
        if (fd < 0) {
            if (!outageReported) {
                std::fputs("Error i knappgrejjen\n", stderr);
                std::perror("fd");
            }
            outageReported = wasGone = true;
            if (!controller->pause(1s)) return;
            continue;
        }
        outageReported = false;
        if (wasGone) controller->deviceReturned();
        bool lost = readButtons(controller, fd);
        ::close(fd);
        if (!lost) return;
        wasGone = true;
        std::fputs("No connection to LCD screen error\n", stderr);
        if (!controller->pause(1s)) return;
    }
}

LcdListener::LcdListener(LcdController* controller) : thread_(InputThread, controller) {}

LcdListener::~LcdListener() { thread_.join(); }

LcdController::LcdController(const char* device, int width, int height, PanelButtons* gui)
    : gui_(gui),
      devicePath_(device),
      width_(width),
      height_(height),
      currentFrame_(frameBuffer(frameBytes(width, height), 0x00)),
      previousFrame_(frameBuffer(frameBytes(width, height), 0x00)),
      commandBuffer_(frameBuffer(64, 0x00)),
      listener_(this) {}

LcdController::~LcdController() {
    {
        std::lock_guard<std::mutex> guard(stopLock_);
        stopRequested_ = true;
    }
    stopSignal_.notify_all();
    // listener_ is destroyed next and joins the thread.
}

bool LcdController::pause(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(stopLock_);
    return !stopSignal_.wait_for(lock, duration, [this] { return stopRequested_; });
}

bool LcdController::stopping() {
    std::lock_guard<std::mutex> guard(stopLock_);
    return stopRequested_;
}

void LcdController::pack(const unsigned char* rgb) {
    for (int row0 = 0; row0 < height_; row0 += 8) {
        unsigned char* out = currentFrame_.get() + size_t(row0 / 8) * width_;
        const int rows = std::min(8, height_ - row0);
        for (int x = 0; x < width_; ++x) {
            const unsigned char* red = rgb + (size_t(row0) * width_ + x) * 3;
            unsigned char bits = 0;
            for (int k = 0; k < rows; ++k, red += size_t(width_) * 3)
                if (*red < 128) bits |= static_cast<unsigned char>(1u << k);
            out[x] = bits;
        }
    }
}

void LcdController::DrawRGBBuffer(const unsigned char* rgb) {
    std::swap(currentFrame_, previousFrame_);
    pack(rgb);

    int fd = openDevice(devicePath_);
    if (fd < 0) {
        if (!outageReported_) std::perror("fd");
        outageReported_ = true;
        displayCurrent_ = false;
        return;
    }
    if (outageReported_) std::fputs("LCD screen connected\n", stderr);
    outageReported_ = false;
    if (deviceReturned_.exchange(false)) displayCurrent_ = false;
    const bool uploadAll = !displayCurrent_;
    bool allSent = true;
    if (uploadAll) {
        // A panel just plugged in has its controllers switched off: each is
        // switched on, showing its memory from row 0.
        for (int c = 0; c < kControllers; ++c)
            allSent = sendCommands(fd, static_cast<unsigned char>(4 * c), 0x3F, 0xC0) && allSent;
    }
    bool lastFailed = false;
    int lastErrno = 0;
    for (int page = 0; page < kPages; ++page) {
        for (int c = 0; c < kControllers; ++c) {
            const size_t offset = size_t(page) * kControllers * kChunk + size_t(c) * kChunk;
            const unsigned char* now = currentFrame_.get() + offset;
            const unsigned char* before = previousFrame_.get() + offset;
            if (!uploadAll && std::memcmp(now, before, kChunk) == 0) continue;
            const unsigned char cs = static_cast<unsigned char>(4 * c);
            const unsigned char pageSelect = static_cast<unsigned char>(0xB8 + page);
            // The column is set with every page, so a report lost on the way
            // cannot shift the rest of a controller's picture.
            bool ok;
            bool lastOk;
            if (uploadAll || std::memcmp(now, before, kHalf) != 0) {
                ok = sendCommands(fd, cs, pageSelect, 0x40);
                ok = sendData(fd, cs, now, "95,1") && ok;
                lastOk = sendData(fd, cs, now + kHalf, "95,2");
            } else {
                ok = sendCommands(fd, cs, pageSelect, 0x40 + kHalf);
                lastOk = sendData(fd, cs, now + kHalf, "95,2");
            }
            allSent = allSent && ok && lastOk;
            if (page == kPages - 1 && c == kControllers - 1 && !lastOk) {
                lastFailed = true;
                lastErrno = errno;
            }
        }
    }
    displayCurrent_ = allSent;
    if (lastFailed) {
        errno = lastErrno;
        std::perror("bufW");
    }
    if (::close(fd) != 0) {
        std::fputs("Error closing file\n", stderr);
        std::perror("fd");
    }
}

// Always two commands: the page (or display on) and the column (or start line).
bool LcdController::sendCommands(int fd, unsigned char cs, unsigned char first, unsigned char second) {
    const unsigned char report[] = {0x00, 0x94, cs, 2, 0x00, 0x00, first, 0x00, 0x00, second};
    std::memcpy(commandBuffer_.get(), report, sizeof report);
    return send(fd, sizeof report, "94");
}

bool LcdController::sendData(int fd, unsigned char cs, const unsigned char* bytes, const char* what) {
    unsigned char* report = commandBuffer_.get();
    const unsigned char header[] = {0x00, 0x95, static_cast<unsigned char>(cs + 1), 0x00, 0x00, kHalf};
    std::memcpy(report, header, sizeof header);
    std::memcpy(report + sizeof header, bytes, kHalf);
    return send(fd, kDataReport, what);
}

bool LcdController::send(int fd, size_t length, const char* what) {
    if (::write(fd, commandBuffer_.get(), length) == static_cast<ssize_t>(length)) return true;
    std::perror(what);
    return false;
}

// A report of its own, not commandBuffer_: these may run while a frame uploads.
void LcdController::sendSmallReport(unsigned char code, unsigned char value, const char* what) {
    int fd = openDevice(devicePath_);
    if (fd < 0) {
        std::perror("fd");
        return;
    }
    const unsigned char report[] = {0x00, code, value};
    if (::write(fd, report, sizeof report) != static_cast<ssize_t>(sizeof report)) std::perror(what);
    ::close(fd);
}

void LcdController::SetContrast(unsigned char value) { sendSmallReport(0x92, value, "bufW contrast"); }

void LcdController::SetBacklightStrength(unsigned char value) { sendSmallReport(0x91, value, "bufW backlight"); }

void LcdController::SetBacklight(bool on) { sendSmallReport(0x91, on ? 0xFF : 0x00, "bufW backlight"); }

void LcdController::buttonUp() { gui_->setSelected(1); }
void LcdController::buttonDown() { gui_->setSelected(-1); }
void LcdController::buttonOK() { gui_->pressOK(); }
void LcdController::buttonHome() { gui_->pressHome(); }
void LcdController::buttonBack() { gui_->pressBack(); }
