#include "SimMedia.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <iterator>
#include <numbers>
#include <vector>

namespace sim {

namespace {

constexpr ModeInfo kModes[] = {
    {kModeHi50, 1920, 1080, {25, 1}, 25},
    {kModeHi59, 1920, 1080, {30000, 1001}, 30},
    {kModeHp50, 1280, 720, {50, 1}, 50},
    {kModeHp59, 1280, 720, {60000, 1001}, 60},
    {kModePal, 720, 576, {25, 1}, 25},
    {kModeNtsc, 720, 480, {30000, 1001}, 30},
};
constexpr size_t kModeCount = std::size(kModes);

// One UYVY pixel pair.
struct Uyvy {
    uint8_t u, y, v;
};

// 75% bars in BT.601 video levels, left to right.
constexpr Uyvy kBars[8] = {
    {128, 180, 128},  // white
    {44, 162, 142},   // yellow
    {156, 131, 44},   // cyan
    {72, 112, 58},    // green
    {184, 84, 198},   // magenta
    {100, 65, 212},   // red
    {212, 35, 114},   // blue
    {128, 16, 128},   // black
};
constexpr Uyvy kMarker = {128, 235, 128};
constexpr Uyvy kNoInput = {128, 16, 128};
constexpr long kMarkerWidth = 8;

void paint(uint8_t* line, long fromPixel, long toPixel, Uyvy colour) {
    for (long x = fromPixel; x < toPixel; x += 2) {
        uint8_t* pair = line + 2 * x;
        pair[0] = colour.u;
        pair[1] = colour.y;
        pair[2] = colour.v;
        pair[3] = colour.y;
    }
}

// The bars and the black line of each mode, built once; frames copy them.
struct Lines {
    std::vector<uint8_t> bars[kModeCount];
    std::vector<uint8_t> black[kModeCount];

    Lines() {
        for (size_t m = 0; m < kModeCount; ++m) {
            const long width = kModes[m].width;
            bars[m].resize(2 * width);
            black[m].resize(2 * width);
            for (long b = 0; b < 8; ++b) paint(bars[m].data(), b * width / 8, (b + 1) * width / 8, kBars[b]);
            paint(black[m].data(), 0, width, kNoInput);
        }
    }
};

const Lines& lines() {
    // Never destroyed: a frame may still be built on the card's thread while
    // the process runs its exit handlers.
    static const Lines* const built = new Lines;
    return *built;
}

// Every tone frequency fits a whole number of times into 96 samples at
// 48 kHz, so one 96-frame table holds the signal.
constexpr long kTonePeriod = 96;
using ToneTable = std::array<int16_t, kTonePeriod * kCapturedAudioChannels>;  // interleaved

const ToneTable& tones() {
    static const ToneTable* const table = [] {
        auto* t = new ToneTable;
        for (unsigned c = 0; c < kCapturedAudioChannels; ++c) {
            const double peak = std::round(32767.0 * std::pow(10.0, -(6.0 + 2.0 * c) / 20.0));
            for (long i = 0; i < kTonePeriod; ++i) {
                const double phase = 2.0 * std::numbers::pi * (c + 1) * double(i) / kTonePeriod;
                (*t)[i * kCapturedAudioChannels + c] = int16_t(std::lround(peak * std::sin(phase)));
            }
        }
        return t;
    }();
    return *table;
}

class Timecode final : public RefCounted<IDeckLinkTimecode> {
public:
    Timecode(uint64_t frameNumber, unsigned base) {
        // Non-drop time code running from 10:00:00:00 at frame 0.
        const uint64_t seconds = frameNumber / base;
        frames_ = uint8_t(frameNumber % base);
        seconds_ = uint8_t(seconds % 60);
        minutes_ = uint8_t(seconds / 60 % 60);
        hours_ = uint8_t((10 + seconds / 3600) % 24);
    }

    BMDTimecodeBCD GetBCD() override {
        auto bcd = [](uint8_t value) { return uint32_t(value / 10 << 4 | value % 10); };
        return bcd(hours_) << 24 | bcd(minutes_) << 16 | bcd(seconds_) << 8 | bcd(frames_);
    }
    HRESULT GetComponents(uint8_t* hours, uint8_t* minutes, uint8_t* seconds,
                          uint8_t* frames) override {
        if (hours != nullptr) *hours = hours_;
        if (minutes != nullptr) *minutes = minutes_;
        if (seconds != nullptr) *seconds = seconds_;
        if (frames != nullptr) *frames = frames_;
        return S_OK;
    }
    HRESULT GetString(const char** text) override {
        if (text == nullptr) return E_POINTER;
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u:%02u", hours_, minutes_, seconds_, frames_);
        *text = strdup(buffer);  // the caller frees it, as with the vendor's library
        return *text != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    BMDTimecodeFlags GetFlags() override { return 0; }  // non-drop, no field mark
    HRESULT GetTimecodeUserBits(BMDTimecodeUserBits* userBits) override {
        if (userBits == nullptr) return E_POINTER;
        *userBits = 0;
        return S_OK;
    }

private:
    uint8_t hours_, minutes_, seconds_, frames_;
};

}  // namespace

int64_t ticksOf(uint64_t frames, Rate rate, int64_t scale) {
    // Split so that hours of frames at a 1/1000000 scale cannot overflow.
    const int64_t n = int64_t(frames);
    return n / rate.num * rate.den * scale + n % rate.num * rate.den * scale / rate.num;
}

int64_t referenceNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const ModeInfo* findMode(BMDDisplayMode mode) {
    for (const ModeInfo& info : kModes)
        if (info.mode == mode) return &info;
    return nullptr;
}

long samplesForTick(Rate rate, uint64_t tick) {
    static constexpr long k2997[5] = {1602, 1601, 1602, 1601, 1602};  // 8008 per 5
    static constexpr long k5994[5] = {801, 801, 801, 801, 800};       // 4004 per 5
    if (rate.den == 1) return long(48000 / rate.num);
    return rate.num == 30000 ? k2997[tick % 5] : k5994[tick % 5];
}

VideoFrame::VideoFrame(const ModeInfo& mode, Rate rate, uint64_t frameNumber, bool noSignal)
    : mode_(mode),
      rate_(rate),
      frameNumber_(frameNumber),
      capturedAt_(referenceNanoseconds()),
      flags_(noSignal ? kFrameHasNoInputSource : 0),
      pixels_(new uint8_t[size_t(2 * mode.width * mode.height)]) {
    const size_t m = size_t(&mode - kModes);  // modes only come from findMode
    const size_t rowBytes = size_t(2 * mode.width);
    uint8_t* first = pixels_.get();
    if (noSignal) {
        std::memcpy(first, lines().black[m].data(), rowBytes);
    } else {
        std::memcpy(first, lines().bars[m].data(), rowBytes);
        const long x = long(frameNumber * kMarkerWidth % uint64_t(mode.width));
        paint(first, x, x + kMarkerWidth, kMarker);
    }
    for (long y = 1; y < mode.height; ++y) std::memcpy(first + y * rowBytes, first, rowBytes);
}

HRESULT VideoFrame::GetBytes(void** buffer) {
    if (buffer == nullptr) return E_FAIL;
    *buffer = pixels_.get();
    return S_OK;
}

HRESULT VideoFrame::GetTimecode(BMDTimecodeFormat format, IDeckLinkTimecode** timecode) {
    if (timecode == nullptr) return E_FAIL;
    *timecode = nullptr;
    switch (format) {
        case kTimecodeVITC:
        case kTimecodeRP188:
        case kTimecodeRP188LTC:
        case kTimecodeRP188VITC1:
        case kTimecodeRP188VITC2:
            *timecode = new Timecode(frameNumber_, mode_.timecodeBase);
            return S_OK;
        default:
            return E_FAIL;
    }
}

HRESULT VideoFrame::GetAncillaryData(IDeckLinkVideoFrameAncillary** ancillary) {
    if (ancillary != nullptr) *ancillary = nullptr;
    return E_NOTIMPL;  // no VANC is captured
}

HRESULT VideoFrame::GetStreamTime(BMDTimeValue* frameTime, BMDTimeValue* frameDuration,
                                  BMDTimeScale timeScale) {
    if (frameTime == nullptr || frameDuration == nullptr) return E_POINTER;
    if (timeScale <= 0) return E_INVALIDARG;
    *frameTime = ticksOf(frameNumber_, rate_, timeScale);
    *frameDuration = ticksOf(1, rate_, timeScale);
    return S_OK;
}

HRESULT VideoFrame::GetHardwareReferenceTimestamp(BMDTimeScale timeScale, BMDTimeValue* frameTime,
                                                  BMDTimeValue* frameDuration) {
    if (frameTime == nullptr || frameDuration == nullptr) return E_POINTER;
    if (timeScale <= 0) return E_INVALIDARG;
    *frameTime = ticksOf(uint64_t(capturedAt_), {1000000000, 1}, timeScale);
    *frameDuration = ticksOf(1, rate_, timeScale);
    return S_OK;
}

AudioPacket::AudioPacket(long frames, uint64_t firstSample, bool silent)
    : frames_(frames), firstSample_(firstSample), samples_(new int16_t[size_t(frames) * kCapturedAudioChannels]()) {
    if (silent) return;
    const ToneTable& table = tones();
    long done = 0;
    long pos = long(firstSample % kTonePeriod);
    while (done < frames) {
        const long run = std::min(frames - done, kTonePeriod - pos);
        std::memcpy(samples_.get() + done * kCapturedAudioChannels,
                    table.data() + pos * kCapturedAudioChannels,
                    size_t(run) * kCapturedAudioChannels * sizeof(int16_t));
        done += run;
        pos = 0;
    }
}

HRESULT AudioPacket::GetBytes(void** buffer) {
    if (buffer == nullptr) return E_FAIL;
    *buffer = samples_.get();
    return S_OK;
}

HRESULT AudioPacket::GetPacketTime(BMDTimeValue* packetTime, BMDTimeScale timeScale) {
    if (packetTime == nullptr) return E_POINTER;
    if (timeScale <= 0) return E_INVALIDARG;
    *packetTime = ticksOf(firstSample_, {48000, 1}, timeScale);
    return S_OK;
}

}  // namespace sim
