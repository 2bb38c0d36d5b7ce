// Card objects laid out from the vendor's slot tables, not from our
// declarations. Each call logs "<object>.<slot> <Method>(<arguments>)", so a
// call our declarations send to another slot shows as the method that ran.
// Reference counts are only counted; api() hands an object to the product.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class IDeckLinkIterator;
class IDeckLinkInput;
class IDeckLinkVideoInputFrame;
class IDeckLinkAudioInputPacket;

namespace slot_card {

// The vendor's binary types.
using Hresult = int32_t;
using Ulong = unsigned long;
constexpr Hresult kOk = 0;
constexpr Hresult kFalse = 1;
constexpr Hresult kFail = Hresult(0x80000008u);
constexpr Hresult kNoInterface = Hresult(0x80000004u);

// What the objects of one test were asked, in order, and what they refuse.
class Log {
public:
    // Keeps the entry of a call and gives its answer: kOk unless refused.
    Hresult note(std::string entry);
    std::vector<std::string> entries() const;
    // Entries of one object ("input"), without the object's name.
    std::vector<std::string> of(const std::string& object) const;
    // A call whose entry starts with prefix ("config.5 SetInt(aicn") answers result.
    void refuse(const std::string& prefix, Hresult result = kFail);

private:
    mutable std::mutex lock_;
    std::vector<std::string> entries_;
    std::map<std::string, Hresult> refusals_;
};

struct Object {
    Object(const void* const* table, const char* name, Log* shared)
        : vtable(table), name(name), own(shared != nullptr ? nullptr : std::make_unique<Log>()),
          log(shared != nullptr ? shared : own.get()) {}

    Hresult note(int slot, const char* method, const std::string& arguments = "") {
        return log->note(std::string(name) + "." + std::to_string(slot) + " " + method + "(" + arguments + ")");
    }
    long held() const { return adds - releases; }

    const void* const* vtable;  // first: where a virtual call looks for its table
    const char* name;
    std::unique_ptr<Log> own;  // the log of an object made without one
    Log* log;
    long adds = 0;
    long releases = 0;
};

struct Timecode : Object {
    Timecode(uint8_t h, uint8_t m, uint8_t s, uint8_t f, Log* log = nullptr);
    uint8_t components[4];
};

struct VideoFrame : Object {
    // A UYVY frame with every pixel pair u, y, v, y.
    VideoFrame(long width, long height, uint8_t u = 128, uint8_t y = 16, uint8_t v = 128, Log* log = nullptr);
    IDeckLinkVideoInputFrame* api() { return reinterpret_cast<IDeckLinkVideoInputFrame*>(this); }
    void withTimecode(uint32_t format, uint8_t h, uint8_t m, uint8_t s, uint8_t f) {
        timecodeFormat = format;
        timecode.emplace(h, m, s, f, log);
    }
    long width;
    long height;
    std::vector<uint8_t> bytes;
    uint32_t timecodeFormat = 0;
    std::optional<Timecode> timecode;  // handed out for timecodeFormat only
};

struct AudioPacket : Object {
    // samples: interleaved, 8 per sample frame.
    explicit AudioPacket(std::vector<int16_t> samples, Log* log = nullptr);
    IDeckLinkAudioInputPacket* api() { return reinterpret_cast<IDeckLinkAudioInputPacket*>(this); }
    std::vector<int16_t> samples;
};

struct Configuration : Object {
    explicit Configuration(Log* log = nullptr);
};

struct Input : Object {
    explicit Input(Log* log = nullptr);
    IDeckLinkInput* api() { return reinterpret_cast<IDeckLinkInput*>(this); }
    Configuration config;
    void* callback = nullptr;  // what SetCallback was given
};

struct Device : Object {
    explicit Device(Log* log = nullptr);
    Input input;
};

struct Iterator : Object {
    explicit Iterator(Log* log = nullptr);
    IDeckLinkIterator* api() { return reinterpret_cast<IDeckLinkIterator*>(this); }
    Device device;
    bool handedOut = false;
};

// Calls into the callback the product implements, by slot number, as the library does.
Hresult callFrameArrived(void* callback, VideoFrame* video, AudioPacket* audio);  // slot 4

}  // namespace slot_card
