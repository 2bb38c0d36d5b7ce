#include "encode/RandomAccessSplitter.h"

#include <algorithm>

namespace {

constexpr size_t kPacket = 188;
constexpr int kPatPid = 0;
constexpr uint8_t kH264StreamType = 0x1B;

int pidOf(const uint8_t* p) { return (p[1] & 0x1F) << 8 | p[2]; }
bool startsUnit(const uint8_t* p) { return (p[1] & 0x40) != 0; }
bool hasPayload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
// The adaptation field's random-access indicator: the muxer sets it on the
// first packet of a keyframe.
bool randomAccessIndicator(const uint8_t* p) { return (p[3] & 0x20) != 0 && p[4] > 0 && (p[5] & 0x40) != 0; }

// The section a packet starts, past its pointer field; null if it holds none.
const uint8_t* section(const uint8_t* p, size_t& length) {
    if (!startsUnit(p) || !hasPayload(p)) return nullptr;
    size_t at = 4;
    if (p[3] & 0x20) at += 1 + size_t(p[4]);
    if (at >= kPacket) return nullptr;
    at += 1 + size_t(p[at]);  // pointer field
    if (at + 3 > kPacket) return nullptr;
    const size_t sectionLength = size_t(p[at + 1] & 0x0F) << 8 | p[at + 2];
    length = std::min(kPacket - at, 3 + sectionLength);
    return p + at;
}

// The first program's PMT PID of a PAT section.
int pmtPidOf(const uint8_t* s, size_t length) {
    for (size_t at = 8; at + 4 + 4 <= length; at += 4)  // the CRC closes the section
        if ((s[at] << 8 | s[at + 1]) != 0) return (s[at + 2] & 0x1F) << 8 | s[at + 3];
    return -1;
}

// The H.264 stream's PID of a PMT section.
int videoPidOf(const uint8_t* s, size_t length) {
    if (length < 12) return -1;
    size_t at = 12 + (size_t(s[10] & 0x0F) << 8 | s[11]);
    while (at + 5 + 4 <= length) {
        if (s[at] == kH264StreamType) return (s[at + 1] & 0x1F) << 8 | s[at + 2];
        at += 5 + (size_t(s[at + 3] & 0x0F) << 8 | s[at + 4]);
    }
    return -1;
}

}  // namespace

void RandomAccessSplitter::write(const uint8_t* data, size_t size) {
    std::vector<uint8_t> joined;
    if (!held_.empty()) {
        joined.swap(held_);
        joined.insert(joined.end(), data, data + size);
        data = joined.data();
        size = joined.size();
    }
    size_t blockStart = 0;
    bool blockMarked = false;
    size_t pat = size;  // the last PAT with no audio or video after it
    size_t at = 0;
    for (; at + kPacket <= size; at += kPacket) {
        const uint8_t* p = data + at;
        const int pid = pidOf(p);
        size_t length = 0;
        if (pid == kPatPid) {
            if (const uint8_t* s = section(p, length)) pmtPid_ = pmtPidOf(s, length);
            pat = at;
        } else if (pid == pmtPid_) {
            if (const uint8_t* s = section(p, length)) videoPid_ = videoPidOf(s, length);
        } else if (hasPayload(p) && pid != 0x11 && pid != 0x1FFF) {  // SDT, null and PCR-only packets come in between
            if (pid == videoPid_ && startsUnit(p) && randomAccessIndicator(p) && pat < at) {
                pass(data + blockStart, pat - blockStart, blockMarked);
                blockStart = pat;
                blockMarked = true;
            }
            pat = size;
        }
    }
    if (at == size && pat < size) {
        pass(data + blockStart, pat - blockStart, blockMarked);
        held_.assign(data + pat, data + size);
        return;
    }
    pass(data + blockStart, size - blockStart, blockMarked);
}

void RandomAccessSplitter::flush() {
    std::vector<uint8_t> held;
    held.swap(held_);
    pass(held.data(), held.size(), false);
}

void RandomAccessSplitter::pass(const uint8_t* data, size_t size, bool randomAccess) {
    if (size > 0) sink_(data, size, randomAccess);
}
