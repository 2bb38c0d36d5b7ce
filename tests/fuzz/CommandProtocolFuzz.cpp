// libFuzzer entry for the web request language: the bytes as one request
// line, then split at line feeds as several, against a stand-in box.
#include "remote/CommandProtocol.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

// A box in a state picked by the input: plain or extreme values (empty, odd,
// out of range) in every report, every change taken or every other refused.
// It reads every string it is given.
struct StandInTarget : CommandTarget {
    const bool extreme, refusing;
    size_t calls = 0, touched = 0;

    explicit StandInTarget(unsigned v) : extreme(v & 1), refusing(v & 2) {}
    int answer() { return refusing && (++calls & 1) ? 1 : 0; }
    int touch(const std::string& text) {
        touched += text.size();
        return answer();
    }

    void updateUsbList() override {}
    void redraw() override {}
    LcdGui::WebInfo webInfo() override {
        LcdGui::WebInfo info{};
        info.inputMode = extreme ? 0xffffffffu : 0x48693530u;
        info.driveCount = extreme ? 0xffff : 1;
        info.audioChannel = extreme ? -128 : 0;
        info.fileName = extreme ? "%s%n%x" : "QVA";
        info.tcBurnIn = extreme ? std::numeric_limits<int>::min() : 0;
        return info;
    }
    std::deque<usbStick> drives() override {
        std::deque<usbStick> list(refusing ? 0 : 2);
        for (usbStick& drive : list) {
            drive.id = extreme ? std::numeric_limits<int>::min() : 0;
            drive.size = extreme ? -1 : 16000;
            drive.freeSpace = extreme ? std::numeric_limits<int>::max() : 1200;
            drive.label = extreme ? std::string(300, '%') : std::string();
            drive.ntfs = drive.rec = extreme;
        }
        return list;
    }
    float compressionRate() override { return extreme ? (refusing ? std::nanf("") : 1e-30f) : 21.97f; }
    NetworkSettings network() override {
        NetworkSettings net;
        net.dhcp = refusing;
        if (extreme) net.ip = std::string(200, '%');
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
    int setFileName(const char* name) override { return touch(name); }
    int setPal(bool) override { return answer(); }
    int setDhcp() override { return answer(); }
    int setStaticNetwork(const NetworkSettings& s) override {
        for (const std::string* piece : {&s.ip, &s.gateway, &s.netmask}) {
            if (piece->size() > CommandProtocol::kNetPieceMax) std::abort();  // must fit the box's address fields
            touch(*piece);
        }
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
    int setLocalDate(const char* date) override { return touch(date); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    StandInTarget target(size ? data[0] : 0);
    CommandProtocol protocol(target);
    const size_t tables = protocol.tableSizes();
    // Every line gets a reply, and junk is not remembered in the tables.
    const auto check = [&](const std::string& line) {
        if (protocol.process_command(line).empty() || protocol.tableSizes() != tables) std::abort();
    };
    check(input);
    size_t begin = 0;
    for (size_t end = input.find('\n'); end != std::string::npos; end = input.find('\n', begin)) {
        check(input.substr(begin, end - begin));
        begin = end + 1;
    }
    if (begin != 0) check(input.substr(begin));
    return 0;
}
