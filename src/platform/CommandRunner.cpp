#include "platform/CommandRunner.h"

#include "platform/SandboxRoot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace qva {

CommandRunner::CommandRunner(std::string root) : root_(std::move(root)) {}

CommandRunner::CommandRunner() : CommandRunner(sandboxRoot()) {}

std::string CommandRunner::logLine(const std::vector<std::string>& argv) {
    std::string line;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += ' ';
        for (unsigned char c : argv[i]) {
            if (c == '\n') {
                line += "\\n";
            } else if (c < 0x20 || c == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                line += escaped;
            } else {
                line += static_cast<char>(c);
            }
        }
    }
    line += '\n';
    return line;
}

int spawnAndWait(const std::string& program, const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // A program inherits none of the recorder's descriptors but the standard
    // three: a long-lived child (a DHCP client, a format) holding a command
    // connection open would keep its client waiting for the reply's end.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), std::strerror(error));
        return 127;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 127;
}

int CommandRunner::run(const std::vector<std::string>& argv) {
    if (argv.empty()) return 127;
    if (root_.empty()) return spawnAndWait(argv[0], argv);

    // A sandbox: log the command, and run it only when the sandbox itself
    // provides the program, so the host's tools are never touched.
    const std::string line = logLine(argv);
    int fd = ::open((root_ + "/commands.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                    0644);
    if (fd >= 0) {
        // One write with O_APPEND keeps concurrent commands on lines of their own.
        if (::write(fd, line.data(), line.size()) < 0) std::perror("commands.log");
        ::close(fd);
    } else {
        std::perror("commands.log");
    }

    std::string program = root_;
    if (argv[0].front() != '/') program += '/';
    program += argv[0];
    if (::access(program.c_str(), X_OK) != 0) return 0;
    return spawnAndWait(program, argv);
}

}  // namespace qva
