#include "ApiRequests.h"

#include <array>
#include <charconv>
#include <cstring>

namespace qva_web {
namespace {

struct Mode {
    const char* code;
    uint32_t value;
};
constexpr std::array<Mode, 6> kModes{{{"48693530", 0x48693530}, {"48693539", 0x48693539}, {"68703530", 0x68703530},
                                      {"68703539", 0x68703539}, {"70616c20", 0x70616c20}, {"6e747363", 0x6e747363}}};

bool isDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

int number(std::string_view digits) {
    int value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

std::string quad(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

std::optional<int> smallInteger(const QJsonValue& value, int low, int high) {
    if (!value.isDouble()) return std::nullopt;
    const double number = value.toDouble();
    if (number != double(int(number)) || number < low || number > high) return std::nullopt;
    return int(number);
}

}  // namespace

bool isFileName(std::string_view name) {
    // What FAT and exFAT can store, and nothing the reports use as separators.
    if (name.empty() || name.size() > 63 || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f || std::strchr("/\\\"*:<>?|#;=", c) != nullptr) return false;
    return true;
}

std::optional<uint32_t> parseDottedQuad(std::string_view text) {
    uint32_t address = 0;
    int parts = 0;
    for (;;) {
        const size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        // No leading zeros: some tools read them as octal.
        if (!isDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0') || number(part) > 255)
            return std::nullopt;
        address = (address << 8) | uint32_t(number(part));
        ++parts;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    if (parts != 4) return std::nullopt;
    return address;
}

std::variant<std::vector<SettingChange>, Refusal> settingChanges(const QJsonObject& body) {
    static const std::array<const char*, 9> kKnown{"input", "sd",       "pal",  "composite", "audioSource",
                                                   "audioPair", "tcBurnIn", "logo", "fileName"};
    for (auto it = body.begin(); it != body.end(); ++it) {
        const std::string key = it.key().toStdString();
        bool known = false;
        for (const char* name : kKnown) known = known || key == name;
        if (!known) return Refusal{key, "no setting of that name"};
    }
    if (body.isEmpty()) return Refusal{"", "nothing to change"};

    std::vector<SettingChange> changes;
    const auto flag = [&](const char* field, const char* key, bool capture) -> std::optional<Refusal> {
        if (!body.contains(field)) return std::nullopt;
        if (!body[field].isBool()) return Refusal{field, "must be true or false"};
        changes.push_back({field, std::string("SET#") + key + "#0#" + (body[field].toBool() ? "1" : "0") + "#", capture});
        return std::nullopt;
    };

    // The standard first: choosing it resets the input mode. The recorder
    // stores an input mode and restarts the capture only with the output
    // choice that follows it, so the two go in one request.
    if (auto refused = flag("pal", "PAL", true)) return *refused;
    if (body.contains("sd") && !body["sd"].isBool()) return Refusal{"sd", "must be true or false"};
    const std::string sd = body["sd"].toBool() ? "1" : "0";
    if (body.contains("input")) {
        const std::string code = body["input"].toString().toStdString();
        bool known = false;
        for (const Mode& mode : kModes) known = known || code == mode.code;
        if (!known) return Refusal{"input", "not an input mode of the box"};
        if (!body.contains("sd")) return Refusal{"sd", "an input mode goes with its output choice"};
        changes.push_back({"input", "SET#IN#0#" + code + "#OUT#0#" + sd + "#", true});
    } else if (body.contains("sd")) {
        changes.push_back({"sd", "SET#OUT#0#" + sd + "#", true});
    }
    if (auto refused = flag("composite", "CMP", true)) return *refused;
    if (body.contains("audioSource")) {
        const QString source = body["audioSource"].toString();
        const char* word = source == "embedded" ? "EMB" : source == "aes" ? "AES" : source == "analog" ? "ANALOG" : nullptr;
        if (word == nullptr) return Refusal{"audioSource", "must be embedded, aes or analog"};
        changes.push_back({"audioSource", std::string("SET#AUDIO#0#") + word + "#", true});
    }
    if (body.contains("audioPair")) {
        const auto pair = smallInteger(body["audioPair"], 0, 3);
        if (!pair) return Refusal{"audioPair", "must be a pair from 0 to 3"};
        changes.push_back({"audioPair", "SET#CHN#0#" + std::to_string(*pair) + "#", false});
    }
    if (body.contains("tcBurnIn")) {
        const auto position = smallInteger(body["tcBurnIn"], 0, 2);
        if (!position) return Refusal{"tcBurnIn", "must be 0 (off), 1 (top) or 2 (bottom)"};
        changes.push_back({"tcBurnIn", "SET#TCB#0#" + std::to_string(*position) + "#", false});
    }
    if (auto refused = flag("logo", "BURN", false)) return *refused;
    if (body.contains("fileName")) {
        const QJsonValue value = body["fileName"];
        const std::string name = value.toString().toStdString();
        if (!value.isString() || !isFileName(name))
            return Refusal{"fileName", "1 to 63 characters, none of / \\ \" * : < > ? | # ; ="};
        changes.push_back({"fileName", "SET#FILE#0#" + name + "#", false});
    }
    return changes;
}

std::variant<std::string, Refusal> clockRequest(const QJsonObject& body) {
    for (auto it = body.begin(); it != body.end(); ++it)
        if (it.key() != "date" && it.key() != "time") return Refusal{it.key().toStdString(), "no setting of that name"};
    std::string request = "SET#";
    if (body.contains("date")) {
        const std::string date = body["date"].toString().toStdString();
        const bool shaped = date.size() == 10 && date[4] == '-' && date[7] == '-' && isDigits(date.substr(0, 4)) &&
                            isDigits(date.substr(5, 2)) && isDigits(date.substr(8, 2));
        const int year = shaped ? number(date.substr(0, 4)) : 0;
        const int month = shaped ? number(date.substr(5, 2)) : 0;
        const int day = shaped ? number(date.substr(8, 2)) : 0;
        static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        if (!shaped || year < 2000 || year > 2099 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
            (month == 2 && day == 29 && !leap))
            return Refusal{"date", "must be a date YYYY-MM-DD between 2000 and 2099"};
        request += "DATE#0#" + date + "#";
    }
    if (body.contains("time")) {
        const std::string time = body["time"].toString().toStdString();
        if (time.size() != 5 || time[2] != ':' || !isDigits(time.substr(0, 2)) || !isDigits(time.substr(3, 2)) ||
            number(time.substr(0, 2)) > 23 || number(time.substr(3, 2)) > 59)
            return Refusal{"time", "must be a time HH:MM"};
        request += "SYT#0#" + time + "#";
    }
    if (request == "SET#") return Refusal{"", "nothing to change"};
    return request;
}

std::variant<std::string, Refusal> networkRequest(const QJsonObject& body) {
    if (!body["dhcp"].isBool()) return Refusal{"dhcp", "must be true or false"};
    if (body["dhcp"].toBool()) return std::string("SET#NET#0##");

    const auto field = [&](const char* name) { return parseDottedQuad(body[name].toString().toStdString()); };
    const auto ip = field("ip");
    const auto mask = field("mask");
    const auto gateway = field("gateway");
    if (!ip) return Refusal{"ip", "must be an address like 192.168.1.20"};
    if (!mask) return Refusal{"mask", "must be a mask like 255.255.255.0"};
    if (!gateway) return Refusal{"gateway", "must be an address like 192.168.1.1"};
    // A mask is ones then zeros; /31 and /32 leave no room for a gateway.
    const uint32_t hosts = ~*mask;
    if (*mask == 0 || (hosts & (hosts + 1)) != 0 || hosts < 3)
        return Refusal{"mask", "must be a contiguous mask from 128.0.0.0 to 255.255.255.252"};
    const auto usable = [&](uint32_t address) {
        const uint32_t first = address >> 24;
        const uint32_t host = address & hosts;
        return first != 0 && first != 127 && first < 224 && host != 0 && host != hosts;
    };
    if (!usable(*ip)) return Refusal{"ip", "not an address a host can have in this network"};
    if ((*gateway & *mask) != (*ip & *mask)) return Refusal{"gateway", "must be inside the network of the address"};
    if (!usable(*gateway) || *gateway == *ip) return Refusal{"gateway", "not a usable gateway in this network"};
    return "SET#NET#0#" + quad(*ip) + ":" + quad(*gateway) + ":" + quad(*mask) + ":#";
}

std::variant<int, Refusal> driveId(const QJsonObject& body, bool allowAll) {
    const QJsonValue id = body["id"];
    if (allowAll && id.toString() == "all") return -1;
    const auto number = smallInteger(id, 0, 1000000);
    if (!number) return Refusal{"id", allowAll ? "must be a drive's id or \"all\"" : "must be a drive's id"};
    return *number;
}

std::optional<std::string> pngProblem(std::string_view png) {
    static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    static constexpr unsigned char kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
    if (png.size() < 8 + 25 + 12 || std::memcmp(png.data(), kSignature, 8) != 0) return "not a PNG file";
    const auto byte = [&](size_t i) { return uint32_t(static_cast<unsigned char>(png[i])); };
    const auto word = [&](size_t i) { return byte(i) << 24 | byte(i + 1) << 16 | byte(i + 2) << 8 | byte(i + 3); };
    if (word(8) != 13 || png.substr(12, 4) != "IHDR") return "not a PNG file (no image header)";
    const uint32_t width = word(16);
    const uint32_t height = word(20);
    if (width == 0 || height == 0 || width > 4096 || height > 4096)
        return "the picture must be between 1x1 and 4096x4096 pixels";
    const uint32_t depth = byte(24);
    const uint32_t colour = byte(25);
    const bool valid = (colour == 0 && (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16)) ||
                       (colour == 3 && (depth == 1 || depth == 2 || depth == 4 || depth == 8)) ||
                       ((colour == 2 || colour == 4 || colour == 6) && (depth == 8 || depth == 16));
    if (!valid || byte(26) != 0 || byte(27) != 0 || byte(28) > 1) return "not a PNG file (damaged image header)";
    if (std::memcmp(png.data() + png.size() - 12, kEnd, 12) != 0) return "the PNG file is cut short";
    return std::nullopt;
}

}  // namespace qva_web
