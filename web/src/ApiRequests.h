// What the API's change requests become in the recorder's request language,
// checked before anything is sent: every value has to be one the recorder
// takes, and none may carry the language's own separators.
#pragma once

#include <QJsonObject>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qva_web {

struct Refusal {
    std::string field;  // the setting at fault, or empty
    std::string message;
};

struct SettingChange {
    std::string field;    // the API's key, e.g. "fileName"
    std::string request;  // e.g. "SET#FILE#0#news#"
    bool capture = false; // refused while a drive records
};

bool isFileName(std::string_view name);
std::optional<uint32_t> parseDottedQuad(std::string_view text);

// POST /api/settings: one request per key, in a fixed order; "input" needs
// "sd" beside it and goes with it in one request.
std::variant<std::vector<SettingChange>, Refusal> settingChanges(const QJsonObject& body);
// POST /api/clock: {"date": "YYYY-MM-DD", "time": "HH:MM"}, either or both.
std::variant<std::string, Refusal> clockRequest(const QJsonObject& body);
// POST /api/network: DHCP, or a static address with its mask and gateway.
std::variant<std::string, Refusal> networkRequest(const QJsonObject& body);
// {"id": n} or, where allowAll, {"id": "all"} (-1).
std::variant<int, Refusal> driveId(const QJsonObject& body, bool allowAll);

// Why these bytes are not a PNG logo the box can use, or nothing.
std::optional<std::string> pngProblem(std::string_view png);

}  // namespace qva_web
