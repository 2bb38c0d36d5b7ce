#include "SlotCard.h"

// Only for the type information the sanitizer's dynamic-type check reads in
// the word before a table's slots; it plays no part in which slot a call reaches.
#include "capture/DeckLinkAPI.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <typeinfo>
#include <utility>

namespace slot_card {
namespace {

// The 16-byte interface id, passed by value.
struct Iid {
    uint8_t bytes[16];
};

// Four printable characters read as a code ('pal '), anything else as a number.
std::string text(int64_t value) {
    char code[4];
    for (int i = 0; i < 4; ++i) {
        code[i] = char(value >> (24 - 8 * i));
        if (value >> 32 != 0 || code[i] < 0x20 || code[i] > 0x7E) return std::to_string(value);
    }
    return std::string(code, 4);
}
std::string text(Iid iid) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", iid.bytes[0], iid.bytes[1], iid.bytes[2], iid.bytes[3]);
    return hex;
}

template <typename... Args>
std::string list(Args... args) {
    std::string joined;
    ((joined += (joined.empty() ? "" : ",") + text(args)), ...);
    return joined;
}

using Fn = const void*;

// Slots of methods the recorder never calls, and the destructor's two: a call
// that lands on one by mistake is logged as such, and writes through none of
// its pointers, so it shows in the log instead of crashing.
template <int Slot>
Hresult trap(Object* o) { return o->note(Slot, "(no method)"); }
template <size_t... Slots>
std::array<Fn, sizeof...(Slots)> traps(std::index_sequence<Slots...>) {
    return {reinterpret_cast<Fn>(&trap<int(Slots)>)...};
}
constexpr size_t kMaxSlots = 21;
const std::array<Fn, kMaxSlots> kTraps = traps(std::make_index_sequence<kMaxSlots>());

struct Entry {
    template <typename F>
    Entry(int slot, F* function) : slot(slot), function(reinterpret_cast<Fn>(function)) {}
    int slot;
    Fn function;
};

// Offset to top and type information, then the slots: the Itanium C++ ABI's
// table, as the library's compiler builds it. Slots past an interface's end trap too.
struct Table {
    Table(const std::type_info& type, std::initializer_list<Entry> entries) : words{nullptr, &type} {
        std::copy(kTraps.begin(), kTraps.end(), words.begin() + 2);
        for (const Entry& e : entries) words[2 + size_t(e.slot)] = e.function;
    }
    const void* const* slots() const { return words.data() + 2; }
    std::array<const void*, kMaxSlots + 2> words;
};

template <typename Result, typename... Args>
Result callSlot(void* object, int slot, Args... args) {
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Result (*)(void*, Args...)>(table[slot])(object, args...);
}

template <typename T>
Hresult handOut(T* object, void** out) {
    ++object->adds;
    *out = object;
    return kOk;
}

Hresult queryInterface(Object* o, Iid iid, void** out) {
    const Hresult answer = o->note(0, "QueryInterface", text(iid));
    *out = nullptr;
    if (answer != kOk) return answer;
    const std::string asked = std::string(o->name) + " for " + text(iid);  // an id by its first four bytes
    if (asked == "device for AF22762B") return handOut(&static_cast<Device*>(o)->input, out);  // IDeckLinkInput
    if (asked == "input for C679A35B") return handOut(&static_cast<Input*>(o)->config, out);  // IDeckLinkConfiguration
    return kNoInterface;
}
Ulong addRef(Object* o) { return Ulong(++o->adds - o->releases); }
Ulong release(Object* o) { return Ulong(o->adds - ++o->releases); }
#define QVA_UNKNOWN {0, &queryInterface}, {1, &addRef}, {2, &release}

const Table kIterator(typeid(IDeckLinkIterator), {QVA_UNKNOWN,
    {3, +[](Object* o, void** out) {
        auto* it = static_cast<Iterator*>(o);
        *out = nullptr;
        if (it->note(3, "Next") != kOk || it->handedOut) return kFalse;
        it->handedOut = true;
        return handOut(&it->device, out);
    }}});

const Table kDevice(typeid(IDeckLink), {QVA_UNKNOWN,
    {3, +[](Object* o, const char** out) {
        const Hresult answer = o->note(3, "GetModelName");
        *out = answer == kOk ? strdup("DeckLink Studio 4K") : nullptr;  // the caller frees it
        return answer;
    }}});

const Table kInput(typeid(IDeckLinkInput), {QVA_UNKNOWN,
    {6, +[](Object* o, uint32_t mode, uint32_t format, uint32_t flags) {
        return o->note(6, "EnableVideoInput", list(mode, format, flags));
    }},
    {7, +[](Object* o) { return o->note(7, "DisableVideoInput"); }},
    {10, +[](Object* o, uint32_t rate, uint32_t type, uint32_t channels) {
        return o->note(10, "EnableAudioInput", list(rate, type, channels));
    }},
    {11, +[](Object* o) { return o->note(11, "DisableAudioInput"); }},
    {13, +[](Object* o) { return o->note(13, "StartStreams"); }},
    {14, +[](Object* o) { return o->note(14, "StopStreams"); }},
    {16, +[](Object* o) { return o->note(16, "FlushStreams"); }},
    {17, +[](Object* o, void* callback) {
        // The library keeps a reference on its callback, through the callback's own slots.
        auto* input = static_cast<Input*>(o);
        if (callback != nullptr) callSlot<Ulong>(callback, 1);  // AddRef
        if (input->callback != nullptr) callSlot<Ulong>(input->callback, 2);  // Release
        input->callback = callback;
        return o->note(17, "SetCallback", callback != nullptr ? "ptr" : "null");
    }}});

const Table kConfiguration(typeid(IDeckLinkConfiguration), {QVA_UNKNOWN,
    {5, +[](Object* o, uint32_t id, int64_t value) { return o->note(5, "SetInt", list(id, value)); }}});

const Table kVideoFrame(typeid(IDeckLinkVideoInputFrame), {QVA_UNKNOWN,
    {3, +[](Object* o) { return o->note(3, "GetWidth"), static_cast<VideoFrame*>(o)->width; }},
    {4, +[](Object* o) { return o->note(4, "GetHeight"), static_cast<VideoFrame*>(o)->height; }},
    {5, +[](Object* o) { return o->note(5, "GetRowBytes"), 2 * static_cast<VideoFrame*>(o)->width; }},
    {7, +[](Object* o) { return o->note(7, "GetFlags"), uint32_t(0); }},
    {8, +[](Object* o, void** bytes) {
        *bytes = static_cast<VideoFrame*>(o)->bytes.data();
        return o->note(8, "GetBytes");
    }},
    {9, +[](Object* o, uint32_t format, void** timecode) {
        auto* frame = static_cast<VideoFrame*>(o);
        *timecode = nullptr;
        if (frame->note(9, "GetTimecode", list(format)) != kOk) return kFail;
        if (!frame->timecode || format != frame->timecodeFormat) return kFail;
        return handOut(&*frame->timecode, timecode);
    }}});

const Table kAudioPacket(typeid(IDeckLinkAudioInputPacket), {QVA_UNKNOWN,
    {3, +[](Object* o) { return o->note(3, "GetSampleFrameCount"), long(static_cast<AudioPacket*>(o)->samples.size() / 8); }},
    {4, +[](Object* o, void** bytes) {
        *bytes = static_cast<AudioPacket*>(o)->samples.data();
        return o->note(4, "GetBytes");
    }}});

const Table kTimecode(typeid(IDeckLinkTimecode), {QVA_UNKNOWN,
    {4, +[](Object* o, uint8_t* h, uint8_t* m, uint8_t* s, uint8_t* f) {
        const uint8_t* c = static_cast<Timecode*>(o)->components;
        *h = c[0], *m = c[1], *s = c[2], *f = c[3];
        return o->note(4, "GetComponents");
    }}});

#undef QVA_UNKNOWN

}  // namespace

Hresult Log::note(std::string entry) {
    std::lock_guard guard(lock_);
    const auto refused = std::find_if(refusals_.begin(), refusals_.end(),
                                      [&](const auto& r) { return entry.compare(0, r.first.size(), r.first) == 0; });
    const Hresult answer = refused == refusals_.end() ? kOk : refused->second;
    entries_.push_back(std::move(entry));
    return answer;
}

std::vector<std::string> Log::entries() const {
    std::lock_guard guard(lock_);
    return entries_;
}

std::vector<std::string> Log::of(const std::string& object) const {
    std::vector<std::string> found;
    for (const std::string& entry : entries())
        if (entry.compare(0, object.size() + 1, object + ".") == 0) found.push_back(entry.substr(object.size() + 1));
    return found;
}

void Log::refuse(const std::string& prefix, Hresult result) {
    std::lock_guard guard(lock_);
    refusals_[prefix] = result;
}

Timecode::Timecode(uint8_t h, uint8_t m, uint8_t s, uint8_t f, Log* log)
    : Object(kTimecode.slots(), "timecode", log), components{h, m, s, f} {}

VideoFrame::VideoFrame(long width, long height, uint8_t u, uint8_t y, uint8_t v, Log* log)
    : Object(kVideoFrame.slots(), "frame", log), width(width), height(height), bytes(size_t(width * height * 2)) {
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) bytes[i] = u, bytes[i + 1] = y, bytes[i + 2] = v, bytes[i + 3] = y;
}

AudioPacket::AudioPacket(std::vector<int16_t> samples, Log* log)
    : Object(kAudioPacket.slots(), "audio", log), samples(std::move(samples)) {}

Configuration::Configuration(Log* log) : Object(kConfiguration.slots(), "config", log) {}
Input::Input(Log* log) : Object(kInput.slots(), "input", log), config(this->log) {}
Device::Device(Log* log) : Object(kDevice.slots(), "device", log), input(this->log) {}
Iterator::Iterator(Log* log) : Object(kIterator.slots(), "iterator", log), device(this->log) {}

Hresult callFrameArrived(void* callback, VideoFrame* video, AudioPacket* audio) {
    return callSlot<Hresult>(callback, 4, static_cast<void*>(video), static_cast<void*>(audio));
}

}  // namespace slot_card
