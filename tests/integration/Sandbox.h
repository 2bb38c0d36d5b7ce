// A sandbox root made by scripts/make-sandbox, and the recorder running in it.
#pragma once

#include "TestFiles.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>

class Sandbox {
public:
    Sandbox();
    std::string path(const std::string& boxPath) const { return root_.path().string() + boxPath; }
    const std::filesystem::path& root() const { return root_.path(); }

private:
    testing_support::TempDir root_;
};

// qva-panel-sim on the sandbox: ROOT/dev/picolcd, ROOT/sim/buttons, ROOT/sim/lcd.txt.
class PanelSimulator {
public:
    explicit PanelSimulator(const Sandbox& sandbox);
    PanelSimulator(const PanelSimulator&) = delete;
    PanelSimulator& operator=(const PanelSimulator&) = delete;
    ~PanelSimulator();  // SIGTERM, then waits
    void press(const std::string& button) const;  // UP, DOWN, OK, BACK, HOME
    std::string screenText() const;                 // ROOT/sim/lcd.txt

private:
    const Sandbox& sandbox_;
    pid_t pid_ = -1;
};

class RecorderProcess {
public:
    struct Options {
        bool withCard = true;                       // LD_LIBRARY_PATH to the simulated card
        std::map<std::string, std::string> env;     // extra variables
    };
    RecorderProcess(const Sandbox& sandbox, Options options);
    explicit RecorderProcess(const Sandbox& sandbox) : RecorderProcess(sandbox, Options{}) {}
    RecorderProcess(const RecorderProcess&) = delete;
    RecorderProcess& operator=(const RecorderProcess&) = delete;
    ~RecorderProcess();  // kills it if it still runs

    std::string errors() const;  // what it wrote to standard error so far
    bool waitForErrors(const std::string& text, std::chrono::milliseconds timeout) const;
    // The exit status once it has ended, or nothing if it still runs after timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool running();
    pid_t pid() const { return pid_; }

private:
    std::string errorFile_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Polls condition until it holds or timeout has passed.
template <typename Condition>
bool within(std::chrono::milliseconds timeout, Condition condition) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}
