// The command server on a real socket, in-process over the real panel and
// drive manager (temporary drive folders, a recording command runner).
#include "encode/TimeCodeBurner.h"
#include "remote/SocketFile.h"
#include "remote/web_command_listner.h"

#include "LcdGuiFixture.h"
#include "Sandbox.h"
#include "SocketClient.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <future>

namespace {

using namespace lcd_gui_fixture;

struct CommandSocket : LcdGuiFixture {
    std::string path = root / "tmp/domain_socket";  // where qva-ctl finds it with QVA_ROOT=root
    TimeCodeBurner burner{TimeCodeBurner::Paths{root / "none", root / "none", root / "none"}};
    std::unique_ptr<web_command_listner> server;

    void SetUp() override {
        LcdGuiFixture::SetUp();
        make();
        fs::create_directory(root / "tmp");
        testing_support::writeFile(path, "left by a killed recorder");
        server = std::make_unique<web_command_listner>(gui.get(), usb.get(), &network, &burner);
        server->start(path);
    }
    void TearDown() override {
        server->stop();
        server->join();
    }
    std::string ask(const std::string& line) { return SocketClient::ask(path, line); }
    // The server still answers a well-formed request (what it answers is the protocol's test).
    void expectServing() { EXPECT_EQ(ask("GET#NET#").rfind("INFO#NETWORK#", 0), 0u); }
};

TEST_F(CommandSocket, ReplacesAStaleFileAndOnlyRootAndTheGroupMayConnectWhereThereIsOne) {
    expectServing();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0707u);  // this machine has no group "qva"

    if (::geteuid() != 0) GTEST_SKIP() << "giving the socket to root needs root";
    const std::string limited = root / "tmp/limited";
    web_command_listner second(gui.get(), usb.get(), &network, &burner);
    second.start(limited, "daemon");
    EXPECT_EQ(SocketClient::ask(limited, "GET#USB#"), "INFO");
    ASSERT_EQ(::stat(limited.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_gid, 1u);  // daemon
}

TEST_F(CommandSocket, WhatSquatsTheSocketPathIsTakenOverWithoutLosingOrFollowingAnything) {
    const fs::path squatted = root / "tmp/squatted";
    fs::create_directory(squatted);
    EXPECT_NE(qva::clearSocketPath(squatted).find("was a folder, not a socket: removed"), std::string::npos);
    testing_support::writeFile(root / "outside", "keep");
    fs::create_symlink(root / "outside", squatted);
    EXPECT_NE(qva::clearSocketPath(squatted).find("was a symbolic link"), std::string::npos);
    EXPECT_EQ(testing_support::readFile(root / "outside"), "keep");
    fs::create_directory(squatted);
    testing_support::writeFile(squatted / "data", "someone's");
    const std::string moved = qva::clearSocketPath(squatted);
    const std::string aside = moved.substr(moved.find("moved to ") + 9);
    EXPECT_EQ(testing_support::readFile(fs::path(aside) / "data"), "someone's") << moved;
    EXPECT_FALSE(fs::exists(fs::symlink_status(squatted)));

    fs::create_directory(squatted);  // the server takes it over and serves
    testing_support::writeFile(squatted / "data", "again");
    web_command_listner second(gui.get(), usb.get(), &network, &burner);
    second.start(squatted);
    EXPECT_EQ(SocketClient::ask(squatted, "GET#USB#"), "INFO");
}

// One line, however it arrives, is run; what follows it, an unfinished line or
// an overlong one never are.
TEST_F(CommandSocket, OnlyAWholeFirstLineIsRunHoweverItArrives) {
    SocketClient(path).send("SET#PAL#0#0");  // and gone
    expectServing();
    EXPECT_TRUE(load(state.palMode)) << "an unfinished line must not be applied";
    SocketClient client(path);
    for (char c : std::string("SET#PAL#0#0#\r\nSET#PAL#0#1#\r\n")) {
        client.send(std::string(1, c));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(client.reply(), "OK");  // without terminator; reply() returns only at the server's close
    expectServing();  // the leftover must not become this request
    EXPECT_FALSE(load(state.palMode));
    SocketClient overlong(path);
    overlong.send(std::string(1 << 20, 'G') + "\r\n");  // fails part-way once the server has closed
    EXPECT_EQ(overlong.reply(), "ERR");
}

TEST_F(CommandSocket, AnIdleClientIsDroppedAndTheNextOneServed) {
    SocketClient idle(path);
    ASSERT_TRUE(idle.connected());
    const auto began = std::chrono::steady_clock::now();
    auto next = std::async(std::launch::async, [&] { return ask("SET#PAL#0#0#"); });
    EXPECT_EQ(idle.reply(), "");
    const auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_GT(waited, 4s);
    EXPECT_LT(waited, 8s);
    EXPECT_EQ(next.get(), "OK");
    expectServing();
}

// qva-ctl, and drive numbers as the drive report lists them.
TEST_F(CommandSocket, QvaCtlAndDriveCommandsActOnTheListedDrives) {
    const auto ctl = [&](const std::string& arguments) {  // the exit status
        const std::string command = "QVA_ROOT='" + root.path().string() + "' " QVA_BUILD_DIR "/qva-ctl " + arguments;
        return std::system((command + " >/dev/null 2>&1").c_str());
    };
    plug({"A", "B"});
    expectServing();  // qva-ctl does not wait for the server to bind
    EXPECT_EQ(ctl("rec all"), 0);
    EXPECT_EQ(drives(true), "AB");
    EXPECT_EQ(ask("SET#USB#1#STP#"), "OK");
    EXPECT_EQ(drives(true), "A");
    EXPECT_EQ(ctl("stop 0"), 0);
    EXPECT_EQ(drives(true), "");
    EXPECT_NE(ctl("set CHN 9"), 0);
}

}  // namespace
