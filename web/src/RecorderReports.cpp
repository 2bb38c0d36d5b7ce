#include "RecorderReports.h"

#include <QJsonArray>

#include <charconv>

namespace qva_web {
namespace {

std::vector<std::string_view> split(std::string_view text, char delimiter) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t end = text.find(delimiter);
        pieces.push_back(text.substr(0, end));
        if (end == std::string_view::npos) return pieces;
        text.remove_prefix(end + 1);
    }
}

std::optional<long> integer(const std::string& text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) return std::nullopt;
    return value;
}

// The pairs of "INFO#<title>#0#<pairs>" when the title is the one expected.
std::optional<std::map<std::string, std::string>> report(std::string_view reply, std::string_view title) {
    const auto parts = split(reply, '#');
    if (parts.size() != 4 || parts[0] != "INFO" || parts[1] != title) return std::nullopt;
    return reportFields(parts[3]);
}

QString text(const std::string& value) { return QString::fromStdString(value); }

}  // namespace

std::map<std::string, std::string> reportFields(std::string_view pairs) {
    std::map<std::string, std::string> fields;
    for (std::string_view piece : split(pairs, ';')) {
        if (piece.empty()) continue;
        const size_t equals = piece.find('=');
        if (equals == std::string_view::npos) continue;
        fields.emplace(piece.substr(0, equals), piece.substr(equals + 1));
    }
    return fields;
}

std::string modeName(uint32_t code) {
    switch (code) {
        case 0x48693530: return "1080i 50";
        case 0x48693539: return "1080i 59.94";
        case 0x68703530: return "720p 50";
        case 0x68703539: return "720p 59.94";
        case 0x70616c20: return "576i 50";
        case 0x6e747363: return "480i 59.94";
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", code);
    return hex;
}

std::optional<std::vector<Drive>> parseDrives(std::string_view reply) {
    const auto parts = split(reply, '#');
    if (parts.empty() || parts[0] != "INFO" || (parts.size() - 1) % 3 != 0) return std::nullopt;
    std::vector<Drive> drives;
    for (size_t i = 1; i < parts.size(); i += 3) {
        if (parts[i] != "USB") return std::nullopt;
        auto fields = reportFields(parts[i + 2]);
        const auto id = integer(std::string(parts[i + 1]));
        const auto size = integer(fields["size"]);
        const auto free = integer(fields["free space"]);
        const auto rec = integer(fields["rec"]);
        const auto ntfs = integer(fields["ntfs"]);
        if (!id || !size || !free || !rec || !ntfs || !fields.count("label")) return std::nullopt;
        drives.push_back(Drive{int(*id), fields["label"], *size, *free, fields["time left"], *rec != 0, *ntfs != 0});
    }
    return drives;
}

bool anyRecording(const std::vector<Drive>& drives) {
    for (const Drive& drive : drives)
        if (drive.recording) return true;
    return false;
}

std::optional<QJsonObject> statusJson(std::string_view infoReply, const std::vector<Drive>& drives) {
    auto fields = report(infoReply, "Device Information");
    if (!fields) return std::nullopt;
    auto& f = *fields;
    const auto mode = [&](const std::string& key) -> std::optional<QJsonObject> {
        uint32_t code = 0;
        const std::string& hex = f[key];
        const auto result = std::from_chars(hex.data(), hex.data() + hex.size(), code, 16);
        if (hex.empty() || result.ec != std::errc() || result.ptr != hex.data() + hex.size()) return std::nullopt;
        return QJsonObject{{"code", text(hex)}, {"name", text(modeName(code))}};
    };
    const auto input = mode("input");
    const auto output = mode("output");
    const auto uptime = integer(f["uptime"]);
    const auto pair = integer(f["audio-channel"]);
    const auto tcb = integer(f["tcb"]);
    const auto count = integer(f["connected USBs"]);
    if (!input || !output || !uptime || !pair || !tcb || !count) return std::nullopt;
    const auto on = [&](const std::string& key) { return f[key] == "1"; };
    const char* source = on("aes") ? "aes" : on("analog audio") ? "analog" : "embedded";
    return QJsonObject{
        {"input", *input},
        {"output", *output},
        {"downConvert", on("down convert")},
        {"palMode", on("pal mode")},
        {"composite", on("composite")},
        {"audio", QJsonObject{{"source", source}, {"pair", qint64(*pair)}}},
        {"tcBurnIn", qint64(*tcb)},
        {"logo", on("logo burning")},
        {"fileName", text(f["filename"])},
        {"date", text(f["date"])},
        {"time", text(f["local time"])},
        {"uptime", qint64(*uptime)},
        {"version", text(f["version"])},
        {"drives", qint64(*count)},
        {"recording", anyRecording(drives)},
    };
}

QJsonObject drivesJson(const std::vector<Drive>& drives) {
    QJsonArray list;
    for (const Drive& drive : drives)
        list.append(QJsonObject{{"id", drive.id},
                                {"label", text(drive.label)},
                                {"sizeMB", qint64(drive.sizeMB)},
                                {"freeMiB", qint64(drive.freeMiB)},
                                {"timeLeft", text(drive.timeLeft)},
                                {"recording", drive.recording},
                                {"ntfs", drive.ntfs}});
    return QJsonObject{{"drives", list}};
}

std::optional<QJsonObject> networkJson(std::string_view reply) {
    auto fields = report(reply, "NETWORK");
    if (!fields || !fields->count("dhcp")) return std::nullopt;
    auto& f = *fields;
    return QJsonObject{{"dhcp", f["dhcp"] == "1"}, {"ip", text(f["ip"])}, {"gateway", text(f["gateway"])},
                       {"mask", text(f["mask"])}};
}

std::optional<QJsonObject> levelsJson(std::string_view reply) {
    auto fields = report(reply, "LEVEL");
    if (!fields) return std::nullopt;
    const auto left = integer((*fields)["left"]);
    const auto right = integer((*fields)["right"]);
    if (!left || !right) return std::nullopt;
    return QJsonObject{{"left", qint64(*left)}, {"right", qint64(*right)}};
}

}  // namespace qva_web
