#include "remote/CommandProtocol.h"

#include <sys/sysinfo.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, pattern, sizing);
    va_end(sizing);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, pattern, args);
    va_end(args);
    return text;
}

long number(const char* text) { return std::strtol(text, nullptr, 10); }
bool flag(const char* text) { return static_cast<int32_t>(number(text)) != 0; }

// "H:MM" or "HH:MM", digits only, a time of day.
bool parseClock(const std::string& text, int& hours, int& minutes) {
    const size_t colon = text.find(':');
    if (colon != 1 && colon != 2) return false;
    if (text.size() != colon + 3) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != colon && (text[i] < '0' || text[i] > '9')) return false;
    hours = std::stoi(text.substr(0, colon));
    minutes = std::stoi(text.substr(colon + 1));
    return hours <= 23 && minutes <= 59;
}

}  // namespace

std::string reportSafe(std::string text) {
    for (char& c : text)
        if (c == '#' || c == ';' || c == '=') c = '_';
    return text;
}

CommandProtocol::CommandProtocol(CommandTarget& target)
    : target(target),
      commands{{"GET", GET}, {"SET", SET}},
      keys{{"USB", USB},  {"INFO", INFO}, {"IN", IN},       {"OUT", OUT},   {"CHN", CHN},
           {"SYT", SYT},  {"FILE", FILE_KEY}, {"PAL", PAL}, {"NET", NET},   {"AUDIO", AUDIO},
           {"CMP", CMP},  {"TCB", TCB},   {"BURN", BURN},   {"LOGO", LOGO}, {"DATE", DATE},
           {"LEVEL", LEVEL}},
      usb_actions{{"REC", REC}, {"STP", STP}, {"FMT", FMT}},
      audio_inputs{{"EMB", EMB}, {"ANALOG", ANALOG}, {"AES", AES}} {}

std::vector<std::string> CommandProtocol::parse_string(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    size_t begin = 0;
    for (size_t end = text.find(delimiter); end != std::string::npos; end = text.find(delimiter, begin)) {
        pieces.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return pieces;
}

std::string CommandProtocol::process_command(const std::string& line) {
    target.updateUsbList();
    const std::vector<std::string> tokens = parse_command(line);
    if (tokens.empty()) return "ERR";

    switch (lookup(commands, tokens[0])) {
        case GET:
            if (tokens.size() < 2) return "ERR";
            return get_information(tokens[1].c_str(), -1);
        case SET: {
            bool allApplied = true;
            size_t next = 1;
            for (; next + 3 <= tokens.size(); next += 3) {
                // A NUL would cut the value short without anyone noticing.
                if (tokens[next + 2].find('\0') != std::string::npos) {
                    allApplied = false;
                    continue;
                }
                const int index = static_cast<int>(number(tokens[next + 1].c_str()));
                if (!set_information(tokens[next].c_str(), index, tokens[next + 2].c_str())) allApplied = false;
            }
            if (next != tokens.size()) {
                std::cerr << "Not enough tokens\n";
                return "ERR";
            }
            return allApplied ? "OK" : "ERR";
        }
    }
    return "ERR";
}

std::string CommandProtocol::get_information(const char* key, int /*index: unused, always -1*/) {
    switch (lookup(keys, key)) {
        case INFO: return deviceReport();
        case NET: return networkReport();
        case LEVEL: {  // the web front end's meters, asked several times a second
            const LcdGui::WebInfo info = target.webInfo();
            return format("INFO#LEVEL#0#left=%d;right=%d", info.levelLeft, info.levelRight);
        }
        case USB: return usbReport();
        default: return "ERR";
    }
}

std::string CommandProtocol::deviceReport() {
    const LcdGui::WebInfo info = target.webInfo();

    struct sysinfo system {};
    ::sysinfo(&system);
    const std::string uptime = format("%ld", static_cast<long>(system.uptime));

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    const std::string time = format("%02d:%02d", local.tm_hour, local.tm_min);
    const std::string date = format("%d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);

    return format(
        "INFO#Device Information#0#analog audio=%d;down convert=%d;pal mode=%d;composite=%d;input=%x;output=%x;"
        "connected USBs=%d;uptime=%s;local time=%s;version=%s;audio-channel=%d;filename=%s;studio options=%d;"
        "aes=%d;embedded=%d;logo burning=%d;tcb=%d;date=%s;",
        int(info.analogAudio), int(info.downConvert), int(info.palMode), int(info.composite), unsigned(info.inputMode),
        unsigned(info.outputMode), int(info.driveCount), uptime.c_str(), time.c_str(), "3.1", int(info.audioChannel),
        reportSafe(info.fileName).c_str(), int(info.studioOptions), int(info.aesAudio), int(!info.aesAudio && !info.analogAudio),
        int(info.logoBurning), info.tcBurnIn, date.c_str());
}

std::string CommandProtocol::networkReport() {
    const NetworkSettings net = target.network();
    return "INFO#NETWORK#0#" + format("dhcp=%d;ip=%s;gateway=%s;mask=%s", int(net.dhcp), net.ip.c_str(),
                                      net.gateway.c_str(), net.netmask.c_str());
}

std::string CommandProtocol::usbReport() {
    const float rate = target.compressionRate();
    std::string reply = "INFO";
    for (const usbStick& drive : target.drives()) {
        // A zero or broken rate would make the division undefined as an int.
        const float minutes = rate > 0 ? float(drive.freeSpace) / rate : 0.0f;
        const int left = minutes > 0 && minutes < 2e9f ? static_cast<int>(minutes) : 0;
        reply += format("#USB#%d#ntfs=%d;rec=%d;size=%d;label=%s;free space=%d;time left=%02d:%02d", drive.id,
                        int(drive.ntfs), int(drive.rec), drive.size, reportSafe(drive.label).c_str(), drive.freeSpace, left / 60,
                        left % 60);
    }
    return reply;
}

bool CommandProtocol::set_information(const char* key, int index, const char* value) {
    switch (lookup(keys, key)) {
        case USB: return manipulate_usb(index, lookup(usb_actions, value));
        case INFO:
        case LEVEL: return false;
        case IN: return target.setInputMode(static_cast<uint32_t>(std::strtoul(value, nullptr, 16))) == 0;
        case OUT: return target.setOutputMode(flag(value)) == 0;
        case CHN: {
            const long pair = number(value);
            if (pair < 0 || pair > 3) return false;  // four stereo pairs on the card
            return target.setChannel(static_cast<int8_t>(pair)) == 0;
        }
        case SYT: {
            int hours = 0, minutes = 0;
            return parseClock(value, hours, minutes) && target.setLocalTime(hours, minutes) == 0;
        }
        case FILE_KEY: return target.setFileName(value) == 0;
        case PAL: return target.setPal(flag(value)) == 0;
        case NET: return change_network_settings(value);
        case AUDIO: return change_audio(lookup(audio_inputs, value));
        case CMP: return set_composite(flag(value));
        case TCB: return target.setTCBurnIn(static_cast<int>(number(value))) == 0;
        case BURN: return target.setLogoBurning(flag(value)) == 0;
        case LOGO: target.reloadLogo(); return true;
        case DATE: return target.setLocalDate(value) == 0;
    }
    return false;
}

bool CommandProtocol::manipulate_usb(int drive, usb_value action) {
    CommandTarget::UsbAction what;
    switch (action) {
        case REC: what = CommandTarget::UsbAction::Record; break;
        case STP: what = CommandTarget::UsbAction::Stop; break;
        case FMT: what = CommandTarget::UsbAction::Format; break;
        default: return false;
    }
    if (target.usb(what, drive) != 0) return false;
    target.redraw();
    return true;
}

bool CommandProtocol::change_audio(audio_value input) {
    switch (input) {
        case EMB: return target.setAudio(0) == 0;
        case ANALOG: return target.setAudio(1) == 0;
        case AES: return target.setAudio(2) == 0;
    }
    return false;
}

bool CommandProtocol::set_composite(bool on) { return target.setComposite(on) == 0; }

bool CommandProtocol::change_network_settings(const char* value) {
    const std::string text = value;
    if (text.empty()) return target.setDhcp() == 0;
    const std::vector<std::string> pieces = parse_string(text, ':');
    if (pieces.size() < 3) return false;
    for (size_t i = 0; i < 3; ++i)
        if (pieces[i].size() > kNetPieceMax) return false;
    NetworkSettings settings;
    settings.ip = pieces[0];
    settings.gateway = pieces[1];
    settings.netmask = pieces[2];
    settings.dhcp = false;
    return target.setStaticNetwork(settings) == 0;
}
