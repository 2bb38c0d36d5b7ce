// qva-panel-sim ROOT: stands in for the picoLCD front panel of the box.
//
// ROOT/dev/picolcd is linked to the slave side of a raw pseudo-terminal. What
// the recorder writes there is decoded as the display's four controllers
// would and shown in ROOT/sim/lcd.png and ROOT/sim/lcd.txt; each button name
// written to the FIFO ROOT/sim/buttons becomes the key-state reports of a
// press and its release, which the recorder reads.
// Runs until SIGTERM or SIGINT.

#include <QImage>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 256;
constexpr int kHeight = 64;
constexpr int kPages = kHeight / 8;
constexpr int kControllerColumns = 64;
constexpr int kScale = 3;  // lcd.png is 768x192
// Output files are rewritten at most this often while reports stream in.
constexpr auto kDebounce = std::chrono::milliseconds(30);

// The display as its four controllers see it. Fed the report stream in
// whatever pieces the terminal delivers; a report split across reads waits
// for its remainder. Reports may come with or without the leading 0x00 report
// number, which the HID layer drops.
class Display {
public:
    struct Stats {
        long reports = 0, bytes = 0, commandReports = 0, dataReports = 0, malformed = 0;
        int contrast = -1, backlight = -1;
    };

    // Display memory holds no picture at power-up; a checkerboard stands for
    // it, so a part the driver never writes shows once a controller is on.
    Display() {
        for (int page = 0; page < kPages; ++page)
            for (int x = 0; x < kWidth; ++x) memory_[page][x] = (x & 1) ? 0xAA : 0x55;
    }

    // True when the picture changed.
    bool feed(const unsigned char* data, size_t size) {
        stats_.bytes += static_cast<long>(size);
        pending_.insert(pending_.end(), data, data + size);
        bool changed = false;
        size_t start = 0;
        while (size_t used = parse(pending_.data() + start, pending_.size() - start, changed)) start += used;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(start));
        return changed;
    }

    // A controller that is off shows nothing; one that is on shows its
    // memory from its start line down, wrapping at the bottom.
    bool dark(int x, int y) const {
        const Controller& c = controllers_[x / kControllerColumns];
        const int row = (y + c.startLine) % kHeight;
        return c.on && ((memory_[row / 8][x] >> (row % 8)) & 1);
    }
    const Stats& stats() const { return stats_; }

private:
    struct Controller {
        bool on = false;
        int startLine = 0;
        int page = 0;
        int column = 0;
    };
    static constexpr size_t kMalformed = ~size_t(0);
    static constexpr unsigned char kMaxData = 32;

    // Applies the report at p; returns the bytes it took, 0 when incomplete.
    // A report that cannot be decoded costs one byte and is counted once,
    // however many bytes it takes to get back in step.
    size_t parse(const unsigned char* p, size_t n, bool& changed) {
        if (n == 0) return 0;
        if (p[0] == 0x00) return 1;
        size_t used = kMalformed;
        switch (p[0]) {
            case 0x91:
            case 0x92:
                if (n < 2) return 0;
                (p[0] == 0x92 ? stats_.contrast : stats_.backlight) = p[1];
                used = 2;
                break;
            case 0x93:  // two bytes of its own, ignored; the controllers start over switched off
                if (n < 3) return 0;
                for (Controller& c : controllers_) {
                    changed = changed || c.on;
                    c = Controller{};
                }
                used = 3;
                break;
            case 0x94:
                used = command(p, n, changed);
                break;
            case 0x95:
                used = data(p, n, changed);
                break;
        }
        if (used == kMalformed) {
            if (!outOfStep_) ++stats_.malformed;
            outOfStep_ = true;
            return 1;
        }
        if (used > 0) {
            outOfStep_ = false;
            ++stats_.reports;
        }
        return used;
    }

    // 94 cs count, then count triples 00 00 command. Checked as far as it has
    // arrived, so a broken report is not waited for.
    size_t command(const unsigned char* p, size_t n, bool& changed) {
        if (n < 2) return 0;
        Controller* c = chip(p[1], 0);
        if (c == nullptr) return kMalformed;
        if (n < 3) return 0;
        const size_t length = 3 + 3 * size_t(p[2]);
        for (size_t i = 3; i < std::min(n, length); ++i)
            if ((i - 3) % 3 != 2 && p[i] != 0) return kMalformed;
        if (n < length) return 0;
        for (size_t i = 5; i < length; i += 3) {
            const unsigned char command = p[i];
            const Controller before = *c;
            if ((command & 0xFE) == 0x3E) c->on = command & 1;
            else if ((command & 0xC0) == 0xC0) c->startLine = command & 0x3F;
            else if ((command & 0xF8) == 0xB8) c->page = command & 0x07;
            else if ((command & 0xC0) == 0x40) c->column = command & 0x3F;
            changed = changed || c->on != before.on || c->startLine != before.startLine;
        }
        ++stats_.commandReports;
        return length;
    }

    // 95 cs|1 00 00 length, then length bytes written from the column address on.
    size_t data(const unsigned char* p, size_t n, bool& changed) {
        if (n < 2) return 0;
        Controller* c = chip(p[1], 1);
        if (c == nullptr) return kMalformed;
        if (n < 5) return 0;
        if (p[4] > kMaxData) return kMalformed;
        const size_t length = 5 + size_t(p[4]);
        if (n < length) return 0;
        const int base = int(c - controllers_) * kControllerColumns;
        for (size_t i = 5; i < length; ++i) {
            unsigned char& cell = memory_[c->page][base + c->column];
            changed = changed || (cell != p[i] && c->on);
            cell = p[i];
            c->column = (c->column + 1) % kControllerColumns;
        }
        ++stats_.dataReports;
        return length;
    }

    // Chip selects 0x00, 0x04, 0x08, 0x0C; data reports add one.
    Controller* chip(unsigned char select, unsigned char low) {
        if ((select & 0xF3) != low) return nullptr;
        return &controllers_[select >> 2];
    }

    Controller controllers_[4];
    unsigned char memory_[kPages][kWidth];
    std::vector<unsigned char> pending_;
    bool outOfStep_ = false;
    Stats stats_;
};

bool writeAtomically(const fs::path& target, const std::string& content) {
    const fs::path temp = target.parent_path() / ("." + target.filename().string() + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.flush()) return false;
    }
    return std::rename(temp.c_str(), target.c_str()) == 0;
}

bool writePicture(const Display& display, const fs::path& simDir) {
    // Scaled by hand: QImage::scaled hands large images to Qt's thread pool,
    // and this program stays single-threaded.
    QImage screen(kWidth * kScale, kHeight * kScale, QImage::Format_Grayscale8);
    std::string text;
    text.reserve((kWidth + 1) * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        uchar* line = screen.scanLine(y * kScale);
        for (int x = 0; x < kWidth; ++x) {
            std::memset(line + x * kScale, display.dark(x, y) ? 0 : 255, kScale);
            text += display.dark(x, y) ? '#' : '.';
        }
        for (int copy = 1; copy < kScale; ++copy) std::memcpy(screen.scanLine(y * kScale + copy), line, kWidth * kScale);
        text += '\n';
    }
    const fs::path png = simDir / "lcd.png";
    const fs::path temp = simDir / ".lcd.png.tmp";
    bool ok = screen.save(QString::fromStdString(temp.string()), "PNG") && std::rename(temp.c_str(), png.c_str()) == 0;
    return writeAtomically(simDir / "lcd.txt", text) && ok;
}

bool writeStats(const Display& display, long buttons, const fs::path& simDir) {
    const Display::Stats& s = display.stats();
    auto level = [](int value) { return value < 0 ? std::string("none") : std::to_string(value); };
    std::string text = "reports " + std::to_string(s.reports) + "\nbytes " + std::to_string(s.bytes) +
                       "\ncommand-reports " + std::to_string(s.commandReports) + "\ndata-reports " +
                       std::to_string(s.dataReports) + "\nmalformed " + std::to_string(s.malformed) +
                       "\ncontrast " + level(s.contrast) + "\nbacklight " + level(s.backlight) + "\nbuttons " +
                       std::to_string(buttons) + "\n";
    return writeAtomically(simDir / "lcd-stats", text);
}

// The raw pseudo-terminal: no echo (the recorder's reports would come back as
// key presses) and no byte translation. Our own slave descriptor stays open
// so the recorder closing and reopening the device never hangs up the master.
struct Terminal {
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

bool openTerminal(Terminal& t) {
    t.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (t.master < 0 || ::grantpt(t.master) != 0 || ::unlockpt(t.master) != 0) return false;
    const char* name = ::ptsname(t.master);
    if (name == nullptr) return false;
    t.slavePath = name;
    t.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.slave < 0) return false;
    termios mode{};
    if (::tcgetattr(t.slave, &mode) != 0) return false;
    ::cfmakeraw(&mode);
    return ::tcsetattr(t.slave, TCSANOW, &mode) == 0;
}

// Replaces whatever is at link in one step, so the recorder never sees it missing.
bool linkDevice(const fs::path& link, const std::string& target) {
    const fs::path temp = link.parent_path() / (".picolcd." + std::to_string(::getpid()));
    ::unlink(temp.c_str());
    return ::symlink(target.c_str(), temp.c_str()) == 0 && std::rename(temp.c_str(), link.c_str()) == 0;
}

// Removes the link only while it is still ours: a newer simulator may have replaced it.
void unlinkDevice(const fs::path& link, const std::string& target) {
    std::error_code error;
    if (fs::read_symlink(link, error) == target) ::unlink(link.c_str());
}

int openButtonFifo(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISFIFO(info.st_mode)) ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) return -1;
    // Read-write: a writer of our own, so the FIFO never reports end of file
    // between the clients that write button names.
    return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

// One press as the panel reports it: the key-state report with the key held,
// then the one with no key held.
bool pressButton(int master, const std::string& name, long& presses) {
    static const std::map<std::string, unsigned char> codes = {
        {"BACK", 1}, {"HOME", 2}, {"UP", 5}, {"OK", 6}, {"DOWN", 7}};
    auto code = codes.find(name);
    if (code == codes.end()) {
        std::fprintf(stderr, "qva-panel-sim: unknown button \"%s\" ignored (UP, DOWN, OK, BACK, HOME)\n", name.c_str());
        return false;
    }
    const unsigned char press[3] = {0x11, code->second, 0x00}, release[3] = {0x11, 0x00, 0x00};
    for (const unsigned char* report : {press, release}) {
        if (::write(master, report, 3) != 3) {
            std::fprintf(stderr, "qva-panel-sim: button %s dropped: %s\n", name.c_str(), std::strerror(errno));
            return false;
        }
    }
    ++presses;
    return true;
}

std::string trimmedUpper(const std::string& line) {
    size_t begin = 0, end = line.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(line[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(line[end - 1]))) --end;
    std::string name = line.substr(begin, end - begin);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qva-panel-sim ROOT\n");
        return 2;
    }
    const fs::path root = argv[1];
    const fs::path devLink = root / "dev" / "picolcd";
    const fs::path simDir = root / "sim";
    std::error_code error;
    fs::create_directories(root / "dev", error);
    fs::create_directories(simDir, error);

    // Signals arrive through a descriptor so the one poll loop sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

    Terminal terminal;
    if (signalFd < 0 || !openTerminal(terminal)) {
        std::perror("qva-panel-sim: pseudo-terminal");
        return 1;
    }
    const int buttons = openButtonFifo(simDir / "buttons");
    if (buttons < 0) {
        std::perror("qva-panel-sim: sim/buttons");
        return 1;
    }
    Display display;
    long presses = 0;
    if (!writePicture(display, simDir) || !writeStats(display, presses, simDir))
        std::fprintf(stderr, "qva-panel-sim: cannot write to %s\n", simDir.c_str());
    if (!linkDevice(devLink, terminal.slavePath)) {
        std::perror("qva-panel-sim: dev/picolcd");
        return 1;
    }
    std::printf("qva-panel-sim: %s -> %s; screen in %s\n", devLink.c_str(), terminal.slavePath.c_str(),
                (simDir / "lcd.png").c_str());
    std::fflush(stdout);

    // Files are rewritten a short while after the first change, so a frame's
    // reports are shown together and a stream of them costs a few writes.
    bool pictureDirty = false, statsDirty = false;
    Clock::time_point flushAt{};
    auto changed = [&](bool picture) {
        if (!pictureDirty && !statsDirty) flushAt = Clock::now() + kDebounce;
        statsDirty = true;
        pictureDirty = pictureDirty || picture;
    };
    std::string lineBuffer;
    unsigned char chunk[4096];
    for (;;) {
        int timeout = -1;
        if (pictureDirty || statsDirty) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(flushAt - Clock::now()).count();
            timeout = static_cast<int>(std::max<long long>(0, left));
        }
        pollfd fds[3] = {{terminal.master, POLLIN, 0}, {buttons, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (::poll(fds, 3, timeout) < 0 && errno != EINTR) {
            std::perror("qva-panel-sim: poll");
            break;
        }
        if (fds[2].revents & POLLIN) break;

        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            bool received = false;
            ssize_t got;
            while ((got = ::read(terminal.master, chunk, sizeof chunk)) > 0) {
                changed(display.feed(chunk, size_t(got)));
                received = true;
            }
            // Our slave descriptor keeps the master alive; should it still
            // fail, pace the loop rather than spin on the error.
            if (!received && (got == 0 || (errno != EAGAIN && errno != EINTR))) ::usleep(50000);
        }

        if (fds[1].revents & POLLIN) {
            ssize_t got;
            while ((got = ::read(buttons, chunk, sizeof chunk)) > 0) lineBuffer.append(reinterpret_cast<char*>(chunk), size_t(got));
            size_t newline;
            while ((newline = lineBuffer.find('\n')) != std::string::npos) {
                const std::string name = trimmedUpper(lineBuffer.substr(0, newline));
                lineBuffer.erase(0, newline + 1);
                if (name.empty()) continue;
                if (pressButton(terminal.master, name, presses)) changed(false);
            }
        }

        if ((pictureDirty || statsDirty) && Clock::now() >= flushAt) {
            if (pictureDirty && !writePicture(display, simDir))
                std::fprintf(stderr, "qva-panel-sim: cannot write the screen to %s\n", simDir.c_str());
            writeStats(display, presses, simDir);
            pictureDirty = statsDirty = false;
        }
    }

    if (pictureDirty) writePicture(display, simDir);
    writeStats(display, presses, simDir);
    unlinkDevice(devLink, terminal.slavePath);
    ::close(buttons);
    ::close(terminal.slave);
    ::close(terminal.master);
    ::close(signalFd);
    return 0;
}
