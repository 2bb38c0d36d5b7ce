// The request language of the web front end: one "#"-separated line in, one
// reply text out. Kept apart from the socket so it can be driven with plain
// strings, and apart from the box through CommandTarget.
#pragma once

#include "panel/LcdGui.h"
#include "panel/NetworkValue.h"
#include "record/USBListener.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// What the commands act on. The box's implementation forwards to the panel,
// the drive manager, the network record and the burner (BoxCommandTarget).
class CommandTarget {
public:
    enum class UsbAction { Record, Stop, Format };

    virtual ~CommandTarget() = default;

    virtual void updateUsbList() = 0;
    virtual void redraw() = 0;
    virtual LcdGui::WebInfo webInfo() = 0;
    virtual std::deque<usbStick> drives() = 0;  // a copy taken under the list lock
    virtual float compressionRate() = 0;       // MiB per minute
    virtual NetworkSettings network() = 0;

    // 0 done, anything else refused, as the panel's operations answer.
    virtual int usb(UsbAction action, int drive) = 0;  // drive -1: all
    virtual int setInputMode(uint32_t mode) = 0;
    virtual int setOutputMode(bool sd) = 0;
    virtual int setChannel(int8_t pair) = 0;
    virtual int setLocalTime(int hour, int minute) = 0;
    virtual int setFileName(const char* name) = 0;
    virtual int setPal(bool pal) = 0;
    virtual int setDhcp() = 0;
    virtual int setStaticNetwork(const NetworkSettings& settings) = 0;
    virtual int setAudio(int source) = 0;  // 0 embedded, 1 analogue, 2 AES/EBU
    virtual int setComposite(bool on) = 0;
    virtual int setTCBurnIn(int mode) = 0;
    virtual int setLogoBurning(bool on) = 0;
    virtual void reloadLogo() = 0;
    virtual int setLocalDate(const char* date) = 0;
};

class CommandProtocol {
public:
    enum network_command { GET = 0, SET = 1 };
    enum network_key { USB = 0, INFO, IN, OUT, CHN, SYT, FILE_KEY, PAL, NET, AUDIO, CMP, TCB, BURN, LOGO, DATE, LEVEL };
    enum usb_value { REC = 0, STP, FMT };
    enum audio_value { EMB = 0, ANALOG, AES };

    explicit CommandProtocol(CommandTarget& target);

    // One request line (without its line feed) to its reply.
    std::string process_command(const std::string& line);

    // Pieces ending at each delimiter, empty ones kept; what follows the last
    // delimiter is dropped.
    static std::vector<std::string> parse_string(const std::string& text, char delimiter);
    static std::vector<std::string> parse_command(const std::string& text) { return parse_string(text, '#'); }

    std::string get_information(const char* key, int index);
    bool set_information(const char* key, int index, const char* value);
    bool manipulate_usb(int drive, usb_value action);
    bool change_audio(audio_value input);
    bool set_composite(bool on);
    bool change_network_settings(const char* value);

    // Table sizes, so tests can see that junk words are not remembered.
    size_t tableSizes() const { return commands.size() + keys.size() + usb_actions.size() + audio_inputs.size(); }

    static constexpr size_t kNetPieceMax = 31;  // the box's 32-byte address fields

private:
    // An unknown word counts as the table's zero value but is not stored:
    // junk requests must not grow the tables.
    template <typename Value>
    static Value lookup(const std::map<std::string, Value>& table, const std::string& word) {
        const auto found = table.find(word);
        return found == table.end() ? Value(0) : found->second;
    }

    std::string deviceReport();
    std::string networkReport();
    std::string usbReport();

    CommandTarget& target;
    std::map<std::string, network_command> commands;
    std::map<std::string, network_key> keys;
    std::map<std::string, usb_value> usb_actions;
    std::map<std::string, audio_value> audio_inputs;
};

// A text as a report field may carry it: the report's own separators ('#',
// ';', '=') become '_', so a drive's label cannot add fields or drives.
std::string reportSafe(std::string text);
