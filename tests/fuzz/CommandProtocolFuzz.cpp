// libFuzzer entry for the web request language: the bytes as one request
// line, then split at line feeds as several, against a stand-in box.
#include "remote/CommandProtocol.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

// Answers from a fixed set of box states, picked by the input, so the
// reports see empty, odd and extreme values; touches every string it is given.
struct StandInTarget : CommandTarget {
    unsigned variant;
    size_t calls = 0;
    size_t touched = 0;

    explicit StandInTarget(unsigned v) : variant(v % 4) {}

    int answer() { return (variant == 3 && (++calls & 1)) ? 1 : 0; }
    void touch(const char* text) { touched += std::strlen(text); }
    void touch(const std::string& text) { touched += text.size(); }

    void updateUsbList() override {}
    void redraw() override {}
    LcdGui::WebInfo webInfo() override {
        LcdGui::WebInfo info{};
        info.inputMode = variant == 1 ? 0xffffffffu : 0x48693530u;
        info.driveCount = variant == 1 ? 0xffff : 1;
        info.audioChannel = variant == 1 ? -128 : 0;
        info.fileName = variant == 2 ? std::string("%s%n%x") : std::string("QVA");
        info.tcBurnIn = variant == 1 ? std::numeric_limits<int>::min() : 0;
        return info;
    }
    std::deque<usbStick> drives() override {
        std::deque<usbStick> list;
        if (variant == 0) return list;
        usbStick a;
        a.id = 0;
        a.size = 16000;
        a.freeSpace = variant == 1 ? std::numeric_limits<int>::max() : 1200;
        a.label = "STICK";
        list.push_back(a);
        usbStick b;
        b.id = std::numeric_limits<int>::min();
        b.size = -1;
        b.freeSpace = variant == 1 ? std::numeric_limits<int>::min() : 0;
        b.label = variant == 2 ? std::string(300, '%') : std::string();
        b.ntfs = b.rec = true;
        list.push_back(b);
        return list;
    }
    float compressionRate() override {
        switch (variant) {
            case 0: return 21.97f;
            case 1: return 1e-30f;
            case 2: return std::nanf("");
            default: return 0.0f;
        }
    }
    NetworkSettings network() override {
        NetworkSettings net;
        net.dhcp = variant & 1;
        if (variant == 2) net.ip = std::string(200, '%');
        return net;
    }

    int usb(UsbAction, int) override { return answer(); }
    int setInputMode(uint32_t) override { return answer(); }
    int setOutputMode(bool) override { return answer(); }
    int setChannel(int8_t pair) override {
        if (pair < 0 || pair > 3) std::abort();  // the protocol promises 0..3
        return answer();
    }
    int setLocalTime(int, int) override { return answer(); }
    int setFileName(const char* name) override { touch(name); return answer(); }
    int setPal(bool) override { return answer(); }
    int setDhcp() override { return answer(); }
    int setStaticNetwork(const NetworkSettings& s) override {
        if (s.ip.size() > CommandProtocol::kNetPieceMax || s.gateway.size() > CommandProtocol::kNetPieceMax ||
            s.netmask.size() > CommandProtocol::kNetPieceMax)
            std::abort();  // must fit the box's address fields
        touch(s.ip);
        touch(s.gateway);
        touch(s.netmask);
        return answer();
    }
    int setAudio(int source) override {
        if (source < 0 || source > 2) std::abort();
        return answer();
    }
    int setComposite(bool) override { return answer(); }
    int setTCBurnIn(int) override { return answer(); }
    int setLogoBurning(bool) override { return answer(); }
    void reloadLogo() override {}
    int setLocalDate(const char* date) override { touch(date); return answer(); }
};

void check(CommandProtocol& protocol, size_t tables, const std::string& line) {
    const std::string reply = protocol.process_command(line);
    if (reply.empty()) std::abort();
    if (protocol.tableSizes() != tables) std::abort();  // junk must not be remembered
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    StandInTarget target(size ? data[0] : 0);
    CommandProtocol protocol(target);
    const size_t tables = protocol.tableSizes();

    check(protocol, tables, input);

    size_t begin = 0;
    for (size_t end = input.find('\n'); end != std::string::npos; end = input.find('\n', begin)) {
        check(protocol, tables, input.substr(begin, end - begin));
        begin = end + 1;
    }
    if (begin != 0) check(protocol, tables, input.substr(begin));
    return 0;
}
