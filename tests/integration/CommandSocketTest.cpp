// The command server on a real socket, in-process over the real panel and
// drive manager (temporary drive folders, a recording command runner).
#include "encode/TimeCodeBurner.h"
#include "remote/SocketFile.h"
#include "remote/web_command_listner.h"

#include "LcdGuiFixture.h"
#include "Sandbox.h"
#include "SocketClient.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <future>

namespace {

using namespace lcd_gui_fixture;
using Clock = std::chrono::steady_clock;

using Client = SocketClient;

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
    std::string ask(const std::string& line) {
        Client client(path);
        EXPECT_TRUE(client.connected());
        client.send(line + "\r\n");
        return client.reply();
    }
    // The server still answers a well-formed request correctly.
    void expectServing() {
        network.set(NetworkSettings{"192.168.1.9", "255.255.0.0", "192.168.1.1", false});
        EXPECT_EQ(ask("GET#NET#"), "INFO#NETWORK#0#dhcp=0;ip=192.168.1.9;gateway=192.168.1.1;mask=255.255.0.0");
    }
};

// ---- the server's contract ---------------------------------------------

TEST_F(CommandSocket, ReplacesAStaleFileAndWithoutTheGroupOpensTheSocketToOwnerAndOthers) {
    expectServing();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0707u);  // this machine has no group "qva"
}

TEST_F(CommandSocket, WithTheGroupOnlyRootAndItsMembersMayConnect) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving the socket to root needs root";
    const std::string limited = root / "tmp/limited";
    web_command_listner second(gui.get(), usb.get(), &network, &burner);
    second.start(limited, "daemon");
    EXPECT_EQ(SocketClient::ask(limited, "GET#USB#"), "INFO");
    struct stat info {};
    ASSERT_EQ(::stat(limited.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_gid, 1u);  // daemon
    EXPECT_NE(qva::restrictSocket(limited, "daemon", true).find("sandbox"), std::string::npos);
    ASSERT_EQ(::stat(limited.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0707u) << "a sandbox keeps the socket open to all";
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

TEST_F(CommandSocket, OneReplyWithoutTerminatorThenTheConnectionCloses) {
    Client client(path);
    client.send("SET#PAL#0#0#\r\n");
    EXPECT_EQ(client.reply(), "OK");  // reply() returns only at the server's close
    EXPECT_FALSE(load(state.palMode));
}

TEST_F(CommandSocket, SettingsReachTheRecordersState) {
    EXPECT_EQ(ask("SET#OUT#0#1#PAL#0#1#AUDIO#0#AES#"), "OK");
    const std::string info = ask("GET#INFO#");
    EXPECT_NE(info.find(";output=70616c20;"), std::string::npos) << info;
    EXPECT_NE(info.find(";aes=1;embedded=0;"), std::string::npos) << info;
    EXPECT_EQ(info.back(), ';');
    EXPECT_EQ(ask("SET#CHN#0#4#"), "ERR");
    EXPECT_EQ(ask("SET#CHN#0#3#"), "OK");
    EXPECT_EQ(load(state.audioChannel), 3);
}

TEST_F(CommandSocket, FileNamesOutsideTheRulesAreRefused) {
    EXPECT_EQ(ask("SET#FILE#0#" + std::string(64, 'a') + "#"), "ERR");
    EXPECT_EQ(ask("SET#FILE#0#../x#"), "ERR");
    EXPECT_EQ(ask("SET#FILE#0#" + std::string(63, 'a') + "#"), "OK");
    EXPECT_EQ(state.filePrefix.get(), std::string(63, 'a'));
}

TEST_F(CommandSocket, DriveCommandsActOnTheListedDrives) {
    plug({"A", "B"});
    const std::string report = ask("GET#USB#");
    EXPECT_EQ(report.rfind("INFO#USB#0#ntfs=0;rec=0;", 0), 0u) << report;
    EXPECT_NE(report.find("#USB#1#"), std::string::npos) << report;
    EXPECT_EQ(ask("SET#USB#-1#REC#"), "OK");
    EXPECT_EQ(drives(true), "AB");
    EXPECT_EQ(ask("SET#USB#1#STP#"), "OK");
    EXPECT_EQ(drives(true), "A");
    EXPECT_EQ(ask("SET#USB#-1#STP#"), "OK");
    EXPECT_EQ(drives(true), "");
}

// ---- clients that misbehave --------------------------------------------

TEST_F(CommandSocket, BytesAfterTheFirstLineAreNeverRun) {
    Client client(path);
    client.send("SET#PAL#0#0#\r\nSET#PAL#0#1#\r\n");
    EXPECT_EQ(client.reply(), "OK");
    EXPECT_EQ(ask("GET#NET#").rfind("INFO#NETWORK#", 0), 0u) << "the leftover must not become this request";
    EXPECT_FALSE(load(state.palMode));
}

TEST_F(CommandSocket, ALineSentOneByteAtATimeIsReadWhole) {
    Client client(path);
    for (char c : std::string("SET#PAL#0#0#\r\n")) {
        client.send(std::string(1, c));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(client.reply(), "OK");
    EXPECT_FALSE(load(state.palMode));
    expectServing();
}

TEST_F(CommandSocket, ClientsLeavingEarlyOrSendingBadValuesLeaveTheServerServing) {
    {
        Client early(path);
        early.send("SET#PAL#0#0");
    }
    expectServing();
    EXPECT_EQ(ask("SET#SYT#0#1#"), "ERR");
    expectServing();
    EXPECT_TRUE(load(state.palMode)) << "an unfinished line must not be applied";
}

TEST_F(CommandSocket, AnOverlongLineIsRefused) {
    Client client(path);
    client.send(std::string(1 << 20, 'G') + "\r\n");  // fails part-way once the server has closed
    EXPECT_EQ(client.reply(), "ERR");
    expectServing();
}

TEST_F(CommandSocket, AnIdleClientIsDroppedAndTheNextOneServed) {
    Client idle(path);
    ASSERT_TRUE(idle.connected());
    const auto began = Clock::now();
    auto next = std::async(std::launch::async, [&] { return ask("SET#PAL#0#0#"); });
    EXPECT_EQ(idle.reply(), "");
    const auto waited = Clock::now() - began;
    EXPECT_GT(waited, 4s);
    EXPECT_LT(waited, 8s);
    EXPECT_EQ(next.get(), "OK");
    expectServing();
}

TEST_F(CommandSocket, TwentyClientsAtOnceAreAllAnswered) {
    network.set(NetworkSettings{"10.1.1.1", "255.0.0.0", "10.0.0.1", true});
    std::vector<std::future<std::string>> replies;
    for (int i = 0; i < 20; ++i) replies.push_back(std::async(std::launch::async, [&] { return ask("GET#NET#"); }));
    for (auto& reply : replies) EXPECT_EQ(reply.get(), "INFO#NETWORK#0#dhcp=1;ip=10.1.1.1;gateway=10.0.0.1;mask=255.0.0.0");
}

TEST_F(CommandSocket, ThousandsOfRequestsInARow) {
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(ask(i % 2 ? "SET#TCB#0#" + std::to_string(i) + "#" : "GET#USB#"), i % 2 ? "OK" : "INFO") << i;
    }
    EXPECT_EQ(load(state.tcBurnIn), 9999);
}

TEST_F(CommandSocket, StopEndsTheServerThread) {
    expectServing();
    const auto began = Clock::now();
    server->stop();
    server->join();
    EXPECT_LT(Clock::now() - began, 2s);
}

TEST_F(CommandSocket, ASocketThatCannotBeSetUpIsTriedAgainUntilItCan) {
    const fs::path late = root / "late";
    web_command_listner second(gui.get(), usb.get(), &network, &burner);
    second.start((late / "domain_socket").string());  // its folder comes later
    std::this_thread::sleep_for(1500ms);
    fs::create_directory(late);
    EXPECT_TRUE(within(5s, [&] { return SocketClient::ask((late / "domain_socket").string(), "GET#USB#") == "INFO"; }));
}

// ---- qva-ctl -------------------------------------------------------------

struct CtlRun {
    int status;
    std::string output;
};
CtlRun qvaCtl(const std::string& root, const std::string& arguments) {
    const std::string command = "QVA_ROOT='" + root + "' " QVA_BUILD_DIR "/qva-ctl " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char chunk[512];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST_F(CommandSocket, QvaCtlRawAndFriendlyForms) {
    network.set(NetworkSettings{"10.0.0.5", "255.255.255.0", "10.0.0.1", false});
    const std::string root_ = root.path().string();
    EXPECT_EQ(qvaCtl(root_, "'GET#NET#'").output, "INFO#NETWORK#0#dhcp=0;ip=10.0.0.5;gateway=10.0.0.1;mask=255.255.255.0");
    const CtlRun net = qvaCtl(root_, "net");
    EXPECT_EQ(net.status, 0);
    EXPECT_EQ(net.output, "dhcp:     0\nip:       10.0.0.5\ngateway:  10.0.0.1\nmask:     255.255.255.0\n");

    plug({"CARD"});
    EXPECT_EQ(qvaCtl(root_, "rec all").status, 0);
    EXPECT_EQ(drives(true), "CARD");
    const CtlRun table = qvaCtl(root_, "usb");
    EXPECT_EQ(table.output.rfind("ID  LABEL  REC  SIZE", 0), 0u) << table.output;
    EXPECT_NE(table.output.find("\n0   CARD   yes  "), std::string::npos) << table.output;
    EXPECT_EQ(qvaCtl(root_, "stop 0").status, 0);
    EXPECT_EQ(drives(true), "");

    EXPECT_EQ(qvaCtl(root_, "set CHN 9").status, 1);
    EXPECT_EQ(qvaCtl(root_, "set CHN 1").status, 0);
    EXPECT_EQ(qvaCtl(root_, "info").output.find("audio-channel:   1\n") != std::string::npos, true);
    EXPECT_NE(qvaCtl(root_ + "/nowhere", "info").status, 0);
}

}  // namespace
