#include "Sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <vector>

extern char** environ;

Sandbox::Sandbox() {
    const std::string command = std::string(QVA_SOURCE_DIR) + "/scripts/make-sandbox '" +
                                root.path().string() + "' '" QVA_BUILD_DIR "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "make-sandbox failed";
}

RecorderProcess::RecorderProcess(const Sandbox& sandbox, bool withCard)
    : errorFile_(sandbox.path("/recorder.err")) {
    const std::string root = sandbox.path("");
    std::vector<std::string> argv{"/usr/bin/env", "-u", "LD_LIBRARY_PATH", "QVA_ROOT=" + root};  // env execs: same pid
    if (withCard) argv.push_back("LD_LIBRARY_PATH=" QVA_BUILD_DIR "/sim");
    argv.push_back(QVA_BUILD_DIR "/qva-recorder");
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, root.c_str());
    posix_spawn_file_actions_addopen(&actions, 2, errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start the recorder";
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
    return within(timeout, [&] { return errors().find(text) != std::string::npos; });
}

std::optional<int> RecorderProcess::waitForExit(std::chrono::milliseconds timeout) {
    within(timeout, [&] {
        int status = 0;
        if (!status_ && pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status_ || pid_ <= 0;
    });
    return status_;
}
