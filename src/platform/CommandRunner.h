// Runs the programs through which the box changes the system (date, network,
// shutdown, formatting). Always an argument vector, never a shell, so no text
// from the web front end or a drive name can become shell syntax.
#pragma once

#include <string>
#include <vector>

namespace qva {

class CommandRunner {
public:
    // root empty: the box. Otherwise a sandbox: commands are logged to
    // root/commands.log and only programs that exist under root are run.
    explicit CommandRunner(std::string root);
    CommandRunner();  // root from QVA_ROOT
    virtual ~CommandRunner() = default;

    // Runs argv[0] with argv; returns its exit status (128 + signal when it
    // was killed, 127 when it could not be started).
    virtual int run(const std::vector<std::string>& argv);

    // One line of the sandbox log: arguments separated by single spaces,
    // control characters escaped so that one command stays one line.
    static std::string logLine(const std::vector<std::string>& argv);

private:
    std::string root_;
};

// Starts program with argv and waits for it (no shell, PATH searched when
// program has no slash).
int spawnAndWait(const std::string& program, const std::vector<std::string>& argv);

}  // namespace qva
