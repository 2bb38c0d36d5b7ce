#include "platform/CommandRunner.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <fcntl.h>
#include <unistd.h>


namespace fs = std::filesystem;

using namespace testing_support;

namespace {

// A program that records each argument it receives, NUL-separated.
std::vector<std::string> receivedArguments(const fs::path& file) {
    std::vector<std::string> args;
    std::string content = readFile(file), current;
    for (char c : content) {
        if (c == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return args;
}

const std::vector<std::string> kHostileArguments = {
    "it's \"quoted\"", "a; touch pwned-semicolon", "$(touch pwned-subst)", "`touch pwned-tick`",
    "line one\nline two", "-n", "", "two  spaces"};

}  // namespace

TEST(CommandRunner, ArgumentsArriveVerbatimWithoutAShell) {
    TempDir dir;
    const fs::path script = dir.path() / "record-args";
    const fs::path out = dir.path() / "args";
    writeScript(script, "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"" + out.string() + "\"\n");

    std::vector<std::string> argv = {script.string()};
    argv.insert(argv.end(), kHostileArguments.begin(), kHostileArguments.end());
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());  // where an injected "touch" would land
    EXPECT_EQ(qva::CommandRunner("").run(argv), 0);
    fs::current_path(previous);

    EXPECT_EQ(receivedArguments(out), kHostileArguments);
    EXPECT_FALSE(fs::exists(dir.path() / "pwned-semicolon"));
    EXPECT_FALSE(fs::exists(dir.path() / "pwned-subst"));
    EXPECT_FALSE(fs::exists(dir.path() / "pwned-tick"));
}

TEST(CommandRunner, ExitStatusesComeBack) {
    TempDir dir;
    writeScript(dir.path() / "three", "exit 3\n");
    writeScript(dir.path() / "killed", "kill -9 $$\n");
    qva::CommandRunner runner("");
    EXPECT_EQ(runner.run({(dir.path() / "three").string()}), 3);
    EXPECT_EQ(runner.run({(dir.path() / "killed").string()}), 128 + 9);
    EXPECT_EQ(runner.run({(dir.path() / "missing").string()}), 127);
    EXPECT_EQ(runner.run({"true"}), 0);  // bare names are looked up on PATH

    // A descriptor left open without close-on-exec (an accepted connection, say) stays the recorder's.
    const int inherited = ::open("/dev/null", O_RDONLY);
    writeScript(dir.path() / "sees", "test -e /dev/fd/$1 && exit 1; exit 0\n");
    EXPECT_EQ(runner.run({(dir.path() / "sees").string(), std::to_string(inherited)}), 0);
    ::close(inherited);
}

TEST(CommandRunner, SandboxLogsEveryCommandAndRunsOnlyItsOwnPrograms) {
    TempDir root;
    const fs::path out = root.path() / "args";
    writeScript(root.path() / "formatusb.sh",
                "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"" + out.string() + "\"\nexit 5\n");
    qva::CommandRunner runner(root.path().string());

    // The host's date is never run: there is no ROOT/date.
    EXPECT_EQ(runner.run({"date", "-s", "2026-12-06\n10:00"}), 0);
    EXPECT_EQ(runner.run({"/formatusb.sh", "/media/My Drive; rm -rf /", "LABEL"}), 5);
    EXPECT_EQ(runner.run({"/sbin/shutdown", "-hr", "now"}), 0);

    EXPECT_EQ(receivedArguments(out),
              (std::vector<std::string>{"/media/My Drive; rm -rf /", "LABEL"}));
    EXPECT_EQ(readFile(root.path() / "commands.log"),
              "date -s 2026-12-06\\n10:00\n"  // one command, one line
              "/formatusb.sh /media/My Drive; rm -rf / LABEL\n"
              "/sbin/shutdown -hr now\n");
}
