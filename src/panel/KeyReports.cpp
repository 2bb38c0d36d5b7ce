#include "panel/KeyReports.h"

namespace {

constexpr unsigned char kKeyState = 0x11;
constexpr size_t kReportSize = 3;

}  // namespace

std::vector<unsigned char> KeyReports::feed(const unsigned char* bytes, size_t size) {
    std::vector<unsigned char> pressed;
    // hidraw returns one report a read; a pseudo-terminal may run several
    // together, so key-state reports are framed by their length.
    while (size >= kReportSize) {
        if (bytes[0] != kKeyState) {
            // A lone 3-byte report of another form is a bridge that sends the
            // key code in the third byte, once per press. Anything longer is
            // another report, infrared for one: no key in it.
            if (size == kReportSize && bytes[2] != 0) pressed.push_back(bytes[2]);
            break;
        }
        const unsigned char now[2] = {bytes[1], bytes[2]};
        for (int i = 0; i < 2; ++i) {
            const unsigned char code = now[i];
            const bool before = code == held_[0] || code == held_[1];
            if (code != 0 && !before && !(i == 1 && code == now[0])) pressed.push_back(code);
        }
        held_[0] = now[0], held_[1] = now[1];
        bytes += kReportSize, size -= kReportSize;
    }
    return pressed;
}
