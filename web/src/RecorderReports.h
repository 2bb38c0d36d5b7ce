// The recorder's reports (GET#INFO#, GET#USB#, GET#NET#, GET#LEVEL#) read
// into the JSON the API answers. Pure functions on the reply text; a reply
// that does not have the report's shape gives nothing.
#pragma once

#include <QJsonObject>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qva_web {

struct Drive {
    int id = -1;
    std::string label;
    long sizeMB = 0;
    long freeMiB = 0;
    std::string timeLeft;  // "HH:MM"
    bool recording = false;
    bool ntfs = false;
};

// "a=1;b=x;" to its pairs.
std::map<std::string, std::string> reportFields(std::string_view pairs);

// "1080i 50" for 0x48693530; the code in hex for a mode the box does not know.
std::string modeName(uint32_t code);

std::optional<std::vector<Drive>> parseDrives(std::string_view reply);
bool anyRecording(const std::vector<Drive>& drives);

std::optional<QJsonObject> statusJson(std::string_view infoReply, const std::vector<Drive>& drives);
QJsonObject drivesJson(const std::vector<Drive>& drives);
std::optional<QJsonObject> networkJson(std::string_view reply);
std::optional<QJsonObject> levelsJson(std::string_view reply);

}  // namespace qva_web
