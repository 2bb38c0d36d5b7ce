// A sandbox root made by scripts/make-sandbox, and the recorder running in it.
#pragma once

#include "TestFiles.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

struct Sandbox {
    Sandbox();
    std::string path(const std::string& boxPath) const { return root.path().string() + boxPath; }
    testing_support::TempDir root;
};

class RecorderProcess {
public:
    explicit RecorderProcess(const Sandbox& sandbox, bool withCard = true);  // withCard: the simulated one
    RecorderProcess(const RecorderProcess&) = delete;
    RecorderProcess& operator=(const RecorderProcess&) = delete;
    ~RecorderProcess();  // kills it if it still runs

    std::string errors() const;  // what it wrote to standard error so far
    bool waitForErrors(const std::string& text, std::chrono::milliseconds timeout) const;
    // The exit status once it has ended, or nothing if it still runs after timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool running() { return pid_ > 0 && !waitForExit(std::chrono::milliseconds(0)); }
    pid_t pid() const { return pid_; }

private:
    std::string errorFile_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

