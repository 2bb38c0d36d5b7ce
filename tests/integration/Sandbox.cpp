#include "Sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

Sandbox::Sandbox() {
    const std::string command = std::string(QVA_SOURCE_DIR) + "/scripts/make-sandbox '" +
                                root_.path().string() + "' '" QVA_BUILD_DIR "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "make-sandbox failed";
}

RecorderProcess::RecorderProcess(const Sandbox& sandbox, Options options)
    : errorFile_((sandbox.root() / "recorder.err").string()) {
    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        const size_t eq = text.find('=');
        if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
    }
    env.erase("LD_LIBRARY_PATH");
    env["QVA_ROOT"] = sandbox.root().string();
    if (options.withCard) env["LD_LIBRARY_PATH"] = std::string(QVA_BUILD_DIR) + "/sim";
    for (auto& [key, value] : options.env) env[key] = value;

    std::vector<std::string> envText;
    for (auto& [key, value] : env) envText.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& text : envText) envp.push_back(text.data());
    envp.push_back(nullptr);

    std::string program = std::string(QVA_BUILD_DIR) + "/qva-recorder";
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, sandbox.root().c_str());
    posix_spawn_file_actions_addopen(&actions, 2, errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
        ADD_FAILURE() << "cannot start " << program;
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

RecorderProcess::~RecorderProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    // In the sanitizer builds the recorder reports its own faults here.
    const std::string text = errors();
    for (const char* report : {"Sanitizer", "runtime error:"}) {
        EXPECT_EQ(text.find(report), std::string::npos) << text;
    }
}

std::string RecorderProcess::errors() const { return testing_support::readFile(errorFile_); }

bool RecorderProcess::waitForErrors(const std::string& text, std::chrono::milliseconds timeout) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (errors().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::optional<int> RecorderProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!status_ && pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

bool RecorderProcess::running() { return pid_ > 0 && !waitForExit(std::chrono::milliseconds(0)); }

PanelSimulator::PanelSimulator(const Sandbox& sandbox) : sandbox_(sandbox) {
    std::string program = std::string(QVA_BUILD_DIR) + "/qva-panel-sim";
    std::string root = sandbox.root().string();
    char* argv[] = {program.data(), root.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, (root + "/panel-sim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) {
        ADD_FAILURE() << "cannot start " << program;
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    // Ready once the button FIFO and the device link exist.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(std::filesystem::exists(sandbox.path("/sim/buttons")) &&
             std::filesystem::is_symlink(sandbox.path("/dev/picolcd"))) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

PanelSimulator::~PanelSimulator() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

void PanelSimulator::press(const std::string& button) const {
    const int fd = ::open(sandbox_.path("/sim/buttons").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const std::string line = button + "\n";
    EXPECT_EQ(::write(fd, line.data(), line.size()), ssize_t(line.size()));
    ::close(fd);
}

std::string PanelSimulator::screenText() const { return testing_support::readFile(sandbox_.path("/sim/lcd.txt")); }
