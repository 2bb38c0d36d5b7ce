// The recorder's reports read into the API's JSON, and the checks that stand
// between a browser's values and the recorder's request language.
#include "ApiRequests.h"
#include "RecorderReports.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

using namespace qva_web;

namespace {

QJsonObject object(const std::string& json) { return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object(); }

template <typename T>
std::string refusedField(const std::variant<T, Refusal>& result) {
    const auto* refused = std::get_if<Refusal>(&result);
    return refused ? refused->field : "(accepted)";
}

}  // namespace

TEST(RecorderReports, EachDriveValueLandsInItsOwnFieldAndOtherShapesAreRefused) {
    const auto drives = parseDrives("INFO#USB#7#ntfs=1;rec=1;size=2000;label=B;free space=10;time left=00:01");
    ASSERT_TRUE(drives);
    EXPECT_EQ(QJsonDocument(drivesJson(*drives)).toJson(QJsonDocument::Compact),
              R"({"drives":[{"freeMiB":10,"id":7,"label":"B","ntfs":true,"recording":true,"sizeMB":2000,)"
              R"("timeLeft":"00:01"}]})");

    EXPECT_FALSE(parseDrives("INFO#USB#x#ntfs=0;rec=0;size=1;label=a;free space=1;time left=00:01"));
}

TEST(ApiRequests, SettingsBecomeOneRequestEachAndCaptureOnesAreMarked) {
    const auto changes =
        settingChanges(object(R"({"input":"68703530","sd":true,"pal":false,"audioPair":3,"fileName":"Ünterwegs 1"})"));
    ASSERT_TRUE(std::holds_alternative<std::vector<SettingChange>>(changes));
    std::vector<std::pair<std::string, bool>> requests;
    for (const auto& change : std::get<std::vector<SettingChange>>(changes))
        requests.emplace_back(change.request, change.capture);
    // The standard first (it resets the input mode), then the input mode with the output choice that stores it.
    EXPECT_EQ(requests, (std::vector<std::pair<std::string, bool>>{{"SET#PAL#0#0#", true},
                                                                   {"SET#IN#0#68703530#OUT#0#1#", true},
                                                                   {"SET#CHN#0#3#", false},
                                                                   {"SET#FILE#0#Ünterwegs 1#", false}}));
}

TEST(ApiRequests, SettingValuesOutsideTheRecordersLanguageAreRefused) {
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":"a#b"})"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":"a\nSET#NET#0##"})"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":".."})"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"fileName":")" + std::string(64, 'a') + "\"}"))), "fileName");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"input":"48693531"})"))), "input");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"audioPair":4})"))), "audioPair");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"pal":1})"))), "pal");
    EXPECT_EQ(refusedField(settingChanges(object(R"({"volume":3})"))), "volume");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"date":"2026-02-29"})"))), "date");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"date":"--set=x"})"))), "date");
    EXPECT_EQ(refusedField(clockRequest(object(R"({"time":"24:00"})"))), "time");
}

TEST(ApiRequests, NetworkAddressesMustMakeAWorkingNetwork) {
    EXPECT_EQ(std::get<std::string>(networkRequest(
                  object(R"({"dhcp":false,"ip":"10.1.2.3","mask":"255.255.240.0","gateway":"10.1.15.254"})"))),
              "SET#NET#0#10.1.2.3:10.1.15.254:255.255.240.0:#");
    const auto refused = [](const char* ip, const char* mask, const char* gateway) {
        QJsonObject body{{"dhcp", false}, {"ip", ip}, {"mask", mask}, {"gateway", gateway}};
        return refusedField(networkRequest(body));
    };
    EXPECT_EQ(refused("10.1.2.3", "255.0.255.0", "10.1.2.1"), "mask");       // not contiguous
    EXPECT_EQ(refused("10.1.2.3", "255.255.255.0", "10.1.3.1"), "gateway");  // another subnet
    EXPECT_EQ(refused("10.1.2.255", "255.255.255.0", "10.1.2.1"), "ip");     // broadcast
    EXPECT_EQ(refused("10.1.2.03", "255.255.255.0", "10.1.2.1"), "ip");      // octal to some tools
}
