// The command language fed plain strings, against a target that records
// every operation and answers as told.
#include "remote/CommandProtocol.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using Strings = std::vector<std::string>;

struct RecordingTarget : CommandTarget {
    Strings calls;       // one line per operation, in order
    int answer = 0;      // what every setting operation returns
    std::map<std::string, int> answers;  // per operation name, overriding answer
    int redraws = 0, usbListUpdates = 0;
    LcdGui::WebInfo info{};
    std::deque<usbStick> driveList;
    float rate = 21.97f;
    NetworkSettings net;

    int done(const std::string& name, const std::string& arguments) {
        calls.push_back(name + "(" + arguments + ")");
        const auto found = answers.find(name);
        return found == answers.end() ? answer : found->second;
    }
    void updateUsbList() override { ++usbListUpdates; }
    void redraw() override { ++redraws; }
    LcdGui::WebInfo webInfo() override { return info; }
    std::deque<usbStick> drives() override { return driveList; }
    float compressionRate() override { return rate; }
    NetworkSettings network() override { return net; }
    int usb(UsbAction action, int drive) override {
        const char* names[] = {"rec", "stop", "format"};
        return done(names[int(action)], std::to_string(drive));
    }
    int setInputMode(uint32_t mode) override {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", mode);
        return done("input", hex);
    }
    int setOutputMode(bool sd) override { return done("output", std::to_string(sd)); }
    int setChannel(int8_t pair) override { return done("channel", std::to_string(pair)); }
    int setLocalTime(int h, int m) override { return done("time", std::to_string(h) + ":" + std::to_string(m)); }
    int setFileName(const char* name) override { return done("file", name); }
    int setPal(bool pal) override { return done("pal", std::to_string(pal)); }
    int setDhcp() override { return done("dhcp", ""); }
    int setStaticNetwork(const NetworkSettings& s) override {
        return done("static", s.ip + " " + s.gateway + " " + s.netmask);
    }
    int setAudio(int source) override { return done("audio", std::to_string(source)); }
    int setComposite(bool on) override { return done("composite", std::to_string(on)); }
    int setTCBurnIn(int mode) override { return done("tcb", std::to_string(mode)); }
    int setLogoBurning(bool on) override { return done("burn", std::to_string(on)); }
    void reloadLogo() override { calls.push_back("logo()"); }
    int setLocalDate(const char* date) override { return done("date", date); }
};

struct WebCommand : testing::Test {
    RecordingTarget target;
    CommandProtocol protocol{target};
    std::string send(const std::string& line) { return protocol.process_command(line); }
};

// ---- request shapes ----------------------------------------------------

TEST_F(WebCommand, RequestsLackingTokensAreRefusedAndTriplesAppliedInOrder) {
    for (const char* request : {"", "\r", "GET#", "GET#INFO", "SET#PAL#", "SET#PAL#0#"})  // GET#INFO: the key lacks "#"
        EXPECT_EQ(send(request), "ERR") << request;
    EXPECT_EQ(send("SET#"), "OK");
    EXPECT_TRUE(target.calls.empty());
    EXPECT_EQ(target.usbListUpdates, 7) << "every request refreshes the drive list first";
    EXPECT_EQ(send("SET#PAL#0#1#\r"), "OK");
    EXPECT_EQ(send("SET#PAL#0#1#TCB#0#"), "ERR");  // a triple then an incomplete one: applied, yet ERR
    // Triples are applied in order, OK only when all succeed; a failure stops nothing after it.
    EXPECT_EQ(send("SET#PAL#0#1#TCB#0#2#BURN#0#1#"), "OK");
    target.answers["tcb"] = 1;
    EXPECT_EQ(send("SET#PAL#0#0#TCB#0#2#BURN#0#0#"), "ERR");
    EXPECT_EQ(target.calls, (Strings{"pal(1)", "pal(1)", "pal(1)", "tcb(2)", "burn(1)", "pal(0)", "tcb(2)", "burn(0)"}));
}

TEST_F(WebCommand, UnknownWordsKeepTheirDefaultMeaningWithoutGrowingTheTables) {
    const size_t before = protocol.tableSizes();
    target.driveList = {usbStick{3, 100, 0, "/media/A", "A", false, false}};
    EXPECT_EQ(send("get#USB#"), send("GET#USB#"));           // like GET
    EXPECT_EQ(send("GET#nonsense#"), send("GET#USB#"));       // like USB
    EXPECT_EQ(send("SET#nonsense#3#whatever#"), "OK");       // USB, REC
    EXPECT_EQ(send("SET#AUDIO#0#loud#"), "OK");              // EMB
    EXPECT_EQ(target.calls, (Strings{"rec(3)", "audio(0)"}));
    EXPECT_EQ(protocol.tableSizes(), before);
}

// ---- reports -----------------------------------------------------------

TEST_F(WebCommand, DeviceReportHasEveryFieldInOrder) {
    // 1080i 59.94 down-converted records NTSC, whatever the PAL flag: "output" is the mode recorded.
    target.info = {.downConvert = true, .inputMode = 0x48693539, .outputMode = 0x6e747363, .palMode = true,
                   .driveCount = 2, .audioChannel = 3, .fileName = "news", .studioOptions = true, .composite = false,
                   .analogAudio = false, .aesAudio = false, .embeddedAudio = false, .logoBurning = true, .tcBurnIn = 2};
    const std::regex expected(
        "INFO#Device Information#0#analog audio=0;down convert=1;pal mode=1;composite=0;input=48693539;"
        "output=6e747363;connected USBs=2;uptime=[0-9]+;local time=[0-2][0-9]:[0-5][0-9];version=3\\.1;"
        "audio-channel=3;filename=news;studio options=1;aes=0;embedded=1;logo burning=1;tcb=2;"
        "date=[0-9]{4}-[01][0-9]-[0-3][0-9];");
    const std::string reply = send("GET#INFO#");
    EXPECT_TRUE(std::regex_match(reply, expected)) << reply;
    target.info.aesAudio = true;  // embedded only when neither other source
    EXPECT_NE(send("GET#INFO#").find(";aes=1;embedded=0;"), std::string::npos);
}

TEST_F(WebCommand, NetworkAndLevelReportsHaveNoClosingSemicolonAndSettingKeysNoReport) {
    target.net = NetworkSettings{"10.0.0.5", "255.255.255.0", "10.0.0.1", true};
    EXPECT_EQ(send("GET#NET#"), "INFO#NETWORK#0#dhcp=1;ip=10.0.0.5;gateway=10.0.0.1;mask=255.255.255.0");
    target.info.levelLeft = 32767;
    target.info.levelRight = 12;
    EXPECT_EQ(send("GET#LEVEL#"), "INFO#LEVEL#0#left=32767;right=12");
    EXPECT_EQ(send("SET#LEVEL#0#1#"), "ERR");
    EXPECT_EQ(send("GET#FILE#"), "ERR");
}

TEST_F(WebCommand, DriveReport) {
    EXPECT_EQ(send("GET#USB#"), "INFO");
    target.rate = 20.0f;
    target.driveList = {usbStick{0, 64000, 0, "/media/FULL", "FULL", true, false},
                        usbStick{7, 500, 1259, "/media/B", "B", false, true}};
    // 1259 / 20 = 62.95 minutes, truncated: 1 hour 2 minutes.
    EXPECT_EQ(send("GET#USB#"),
              "INFO#USB#0#ntfs=1;rec=0;size=64000;label=FULL;free space=0;time left=00:00"
              "#USB#7#ntfs=0;rec=1;size=500;label=B;free space=1259;time left=01:02");
    target.rate = 0;  // no rate: no division by zero
    // A folder named like a report cannot add a drive or fields to it.
    target.driveList = {usbStick{1, 10, 500, "/media/X", "X#USB#77#rec=1;x", false, false}};
    EXPECT_EQ(send("GET#USB#"), "INFO#USB#1#ntfs=0;rec=0;size=10;label=X_USB_77_rec_1_x;free space=500;time left=00:00");
}

// ---- settings ----------------------------------------------------------

TEST_F(WebCommand, ValuesBecomeTheOperationsArguments) {
    EXPECT_EQ(send("SET#IN#0#68703530#"), "OK");
    EXPECT_EQ(send("SET#IN#0#0x48693530#"), "OK");
    EXPECT_EQ(send("SET#OUT#0#1#"), "OK");
    EXPECT_EQ(send("SET#CMP#0#x#"), "OK");
    EXPECT_EQ(send("SET#PAL#0# -7#"), "OK");
    EXPECT_EQ(send("SET#CHN#5#2#"), "OK");  // the index means nothing here
    EXPECT_EQ(send("SET#SYT#0#14:05#"), "OK");
    EXPECT_EQ(send("SET#TCB#0#3#"), "OK");
    EXPECT_EQ(send("SET#FILE#0#match#"), "OK");
    EXPECT_EQ(send("SET#DATE#0#2024-02-29#"), "OK");
    EXPECT_EQ(send("SET#AUDIO#0#ANALOG#AUDIO#0#AES#AUDIO#0#EMB#"), "OK");
    EXPECT_EQ(send("SET#LOGO#0##"), "OK");
    EXPECT_EQ(target.calls, (Strings{"input(68703530)", "input(48693530)", "output(1)", "composite(0)", "pal(1)",
                                     "channel(2)", "time(14:5)", "tcb(3)", "file(match)", "date(2024-02-29)",
                                     "audio(1)", "audio(2)", "audio(0)", "logo()"}));
}

TEST_F(WebCommand, MalformedClocksPairsOutsideTheFourAndNulsAreRefusedBeforeTheBoxIsTouched) {
    EXPECT_EQ(send("SET#SYT#0#9:05#"), "OK");  // H:MM as well as HH:MM
    EXPECT_EQ(send("SET#SYT#0#23:59#"), "OK");
    for (const char* clock : {"ab:cd", "24:00", "9:60", "9:5", "123:00", "09:05:00", "-1:05", "9 :05", ":05", "", "14"})
        EXPECT_EQ(send(std::string("SET#SYT#0#") + clock + "#"), "ERR") << clock;
    // An out-of-range pair must not reach the panel, even wrapped to 8 bits.
    for (const char* pair : {"-1", "4", "260", "-252"}) EXPECT_EQ(send(std::string("SET#CHN#0#") + pair + "#"), "ERR");
    EXPECT_EQ(send(std::string("SET#FILE#0#ab\0cd#", 17)), "ERR");
    EXPECT_EQ(target.calls, (Strings{"time(9:5)", "time(23:59)"}));
}

TEST_F(WebCommand, RefusedOperationsAnswerErr) {
    target.answer = 1;
    for (const char* request : {"SET#IN#0#1#", "SET#PAL#0#1#", "SET#FILE#0#a#", "SET#NET#0##", "SET#USB#0#REC#",
                                "SET#AUDIO#0#AES#", "SET#CMP#0#1#", "SET#DATE#0#1#", "SET#SYT#0#10:00#"})
        EXPECT_EQ(send(request), "ERR") << request;
    EXPECT_EQ(send("SET#LOGO#0##"), "OK");  // reloading has no failure
    EXPECT_EQ(send("SET#INFO#0#x#"), "ERR");
}

TEST_F(WebCommand, UsbActionsOnOneOrAllDrivesRedrawOnlyOnSuccess) {
    EXPECT_EQ(send("SET#USB#4#REC#USB#-1#REC#USB#2#FMT#USB#-1#FMT#USB#3#STP#"), "OK");
    EXPECT_EQ(target.calls, (Strings{"rec(4)", "rec(-1)", "format(2)", "format(-1)", "stop(3)"}));
    EXPECT_EQ(target.redraws, 5);
    target.answer = -1;
    EXPECT_EQ(send("SET#USB#9#REC#"), "ERR");
    EXPECT_EQ(target.redraws, 5);
}

TEST_F(WebCommand, NetworkValues) {
    EXPECT_EQ(send("SET#NET#0##"), "OK");
    EXPECT_EQ(send("SET#NET#0#10.0.0.5:10.0.0.1:255.255.255.0:extra:#"), "OK");
    EXPECT_EQ(target.calls, (Strings{"dhcp()", "static(10.0.0.5 10.0.0.1 255.255.255.0)"}));

    target.calls.clear();
    const std::string longest(CommandProtocol::kNetPieceMax, '1');
    EXPECT_EQ(send("SET#NET#0#" + longest + ":1.1.1.1:1.1.1.1:#"), "OK");
    EXPECT_EQ(send("SET#NET#0#" + longest + "1:1.1.1.1:1.1.1.1:#"), "ERR");
    EXPECT_EQ(send("SET#NET#0#1.1.1.1:1.1.1.1:1.1.1.1#"), "ERR");  // the mask lacks its ":"
    EXPECT_EQ(target.calls.size(), 1u);
}

}  // namespace
