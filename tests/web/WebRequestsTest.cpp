// The recorder's reports read into the API's JSON, and the checks that stand
// between a browser's values and the recorder's request language.
#include "ApiRequests.h"
#include "RecorderReports.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

using namespace qva_web;

namespace {

const std::string kInfo =
    "INFO#Device Information#0#analog audio=0;down convert=1;pal mode=1;composite=0;input=48693530;output=70616c20;"
    "connected USBs=2;uptime=4711;local time=09:05;version=3.1;audio-channel=2;filename=news_1;studio options=1;"
    "aes=1;embedded=0;logo burning=1;tcb=2;date=2026-12-06;";
const std::string kUsb =
    "INFO#USB#3#ntfs=0;rec=0;size=64000;label=CAM A;free space=50000;time left=12:30"
    "#USB#7#ntfs=1;rec=1;size=2000;label=B;free space=0;time left=00:00";

QJsonObject object(const std::string& json) { return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object(); }

template <typename T>
std::string refusedField(const std::variant<T, Refusal>& result) {
    const auto* refused = std::get_if<Refusal>(&result);
    return refused ? refused->field : "(accepted)";
}

}  // namespace

TEST(RecorderReports, StatusAndDrivesFromTheReports) {
    const auto drives = parseDrives(kUsb);
    ASSERT_TRUE(drives);
    ASSERT_EQ(drives->size(), 2u);
    EXPECT_EQ((*drives)[0].id, 3);
    EXPECT_EQ((*drives)[0].label, "CAM A");
    EXPECT_TRUE((*drives)[1].recording && (*drives)[1].ntfs);

    const auto status = statusJson(kInfo, *drives);
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["input"].toObject()["name"].toString(), "1080i 50");
    EXPECT_EQ((*status)["output"].toObject()["code"].toString(), "70616c20");
    EXPECT_EQ((*status)["output"].toObject()["name"].toString(), "576i 50");
    EXPECT_EQ((*status)["audio"].toObject()["source"].toString(), "aes");
    EXPECT_EQ((*status)["audio"].toObject()["pair"].toInt(), 2);
    EXPECT_EQ((*status)["tcBurnIn"].toInt(), 2);
    EXPECT_EQ((*status)["fileName"].toString(), "news_1");
    EXPECT_EQ((*status)["time"].toString(), "09:05");
    EXPECT_EQ((*status)["uptime"].toInt(), 4711);
    EXPECT_TRUE((*status)["recording"].toBool());
    EXPECT_TRUE((*status)["downConvert"].toBool());

    const QJsonObject second = drivesJson(*drives)["drives"].toArray()[1].toObject();
    EXPECT_EQ(second["freeMiB"].toInt(), 0);
    EXPECT_EQ(second["timeLeft"].toString(), "00:00");

    EXPECT_EQ(parseDrives("INFO")->size(), 0u);
    EXPECT_EQ(networkJson("INFO#NETWORK#0#dhcp=1;ip=;gateway=;mask=")->value("dhcp").toBool(), true);
    EXPECT_EQ(levelsJson("INFO#LEVEL#0#left=12;right=32767")->value("right").toInt(), 32767);
}

TEST(RecorderReports, RepliesOfAnotherShapeAreRefused) {
    EXPECT_FALSE(parseDrives("ERR"));
    EXPECT_FALSE(parseDrives("INFO#USB#1"));
    EXPECT_FALSE(parseDrives("INFO#USB#x#ntfs=0;rec=0;size=1;label=a;free space=1;time left=00:01"));
    EXPECT_FALSE(statusJson("ERR", {}));
    EXPECT_FALSE(statusJson("INFO#NETWORK#0#dhcp=1", {}));
    EXPECT_FALSE(levelsJson("INFO#LEVEL#0#left=12"));
    EXPECT_FALSE(networkJson(kUsb));
}

TEST(ApiRequests, SettingsBecomeOneRequestEachAndCaptureOnesAreMarked) {
    const auto changes = settingChanges(object(
        R"({"input":"68703530","sd":true,"pal":false,"audioSource":"analog","audioPair":3,"tcBurnIn":0,"logo":false,"fileName":"Ünterwegs 1"})"));
    ASSERT_TRUE(std::holds_alternative<std::vector<SettingChange>>(changes));
    std::vector<std::string> requests;
    int capture = 0;
    for (const auto& change : std::get<std::vector<SettingChange>>(changes)) {
        requests.push_back(change.request);
        capture += change.capture;
    }
    // The standard first (it resets the input mode), then the input mode with the output choice that stores it.
    EXPECT_EQ(requests, (std::vector<std::string>{"SET#PAL#0#0#", "SET#IN#0#68703530#OUT#0#1#", "SET#AUDIO#0#ANALOG#",
                                                  "SET#CHN#0#3#", "SET#TCB#0#0#", "SET#BURN#0#0#",
                                                  "SET#FILE#0#Ünterwegs 1#"}));
    EXPECT_EQ(capture, 3);
}

TEST(ApiRequests, SettingValuesOutsideTheRecordersLanguageAreRefused) {
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":"a#b"})"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":"a\nSET#NET#0##"})"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":".."})"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":")" + std::string(64, 'a') + "\"}"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"input":"48693531"})"))), "input");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"audioPair":4})"))), "audioPair");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"audioPair":1.5})"))), "audioPair");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"pal":1})"))), "pal");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"audioSource":"EMB"})"))), "audioSource");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"volume":3})"))), "volume");
    EXPECT_EQ(refusedField(settingChanges(object("{}"))), "");
}

TEST(ApiRequests, ClockDatesMustExist) {
    EXPECT_EQ(std::get<std::string>(clockRequest(object(R"({"date":"2028-02-29","time":"23:59"})"))),
              "SET#DATE#0#2028-02-29#SYT#0#23:59#");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"date":"2026-02-29"})"))), "date");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"date":"2026-04-31"})"))), "date");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"date":"--set=x"})"))), "date");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"time":"24:00"})"))), "time");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"time":"9:5"})"))), "time");
}

TEST(ApiRequests, NetworkAddressesMustMakeAWorkingNetwork) {
    EXPECT_EQ(std::get<std::string>(networkRequest(object(R"({"dhcp":true})"))), "SET#NET#0##");
    EXPECT_EQ(std::get<std::string>(networkRequest(
                  object(R"({"dhcp":false,"ip":"10.1.2.3","mask":"255.255.240.0","gateway":"10.1.15.254"})"))),
              "SET#NET#0#10.1.2.3:10.1.15.254:255.255.240.0:#");
    const auto refused = [](const char* ip, const char* mask, const char* gateway) {
        QJsonObject body{{"dhcp", false}, {"ip", ip}, {"mask", mask}, {"gateway", gateway}};
        return refusedField(networkRequest(body));
    };
    EXPECT_EQ(refused("10.1.2.3", "255.0.255.0", "10.1.2.1"), "mask");    // not contiguous
    EXPECT_EQ(refused("10.1.2.3", "255.255.255.255", "10.1.2.1"), "mask");
    EXPECT_EQ(refused("10.1.2.3", "255.255.255.0", "10.1.3.1"), "gateway");  // another subnet
    EXPECT_EQ(refused("10.1.2.3", "255.255.255.0", "10.1.2.3"), "gateway");
    EXPECT_EQ(refused("10.1.2.255", "255.255.255.0", "10.1.2.1"), "ip");  // broadcast
    EXPECT_EQ(refused("10.1.2.0", "255.255.255.0", "10.1.2.1"), "ip");    // the network itself
    EXPECT_EQ(refused("10.1.2.03", "255.255.255.0", "10.1.2.1"), "ip");   // octal to some tools
    EXPECT_EQ(refused("10.1.2.3:", "255.255.255.0", "10.1.2.1"), "ip");
    EXPECT_EQ(refused("10.1.2", "255.255.255.0", "10.1.2.1"), "ip");
    EXPECT_EQ(refused("256.1.2.3", "255.0.0.0", "10.1.2.1"), "ip");
}

TEST(ApiRequests, OnlyAWholePngWithASaneHeaderIsALogo) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x02\xd0\0\0\x02\x40\x08\x06\0\0\0", 29);
    png += std::string(4, '\0');                                      // the header's CRC
    png += std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    EXPECT_EQ(pngProblem(png), std::nullopt);
    EXPECT_TRUE(pngProblem(png.substr(0, png.size() - 1)));          // cut short
    EXPECT_TRUE(pngProblem("GIF89a" + png.substr(6)));
    std::string huge = png;
    huge[16] = '\x01';                                                // 16 M pixels wide
    EXPECT_TRUE(pngProblem(huge));
    std::string badDepth = png;
    badDepth[24] = 3;
    EXPECT_TRUE(pngProblem(badDepth));
}
