// What the simulated card delivers: video frames with a moving test pattern
// and time code, and 8-channel tone packets.
#pragma once

#include "capture/DeckLinkAPI.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace sim {

// Base of the objects handed to the product: they live as long as someone
// holds a reference and end in the Release that drops the last one.
template <typename Interface>
class RefCounted : public Interface {
public:
    HRESULT QueryInterface(REFIID, void** out) override {
        if (out != nullptr) *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

protected:
    RefCounted() = default;
    virtual ~RefCounted() = default;

private:
    std::atomic<ULONG> refs_{1};
};

struct Rate {
    int64_t num;
    int64_t den;
};

struct ModeInfo {
    BMDDisplayMode mode;
    long width;
    long height;
    Rate rate;
    unsigned timecodeBase;  // frames per time-code second: the rate rounded
};

// value x scale / rate, in whole units of 1/scale: stream times as the card gives them.
int64_t ticksOf(uint64_t frames, Rate rate, int64_t scale);

// The card's reference clock: the steady clock in nanoseconds.
int64_t referenceNanoseconds();

// Null for a mode the card does not capture.
const ModeInfo* findMode(BMDDisplayMode mode);

// Sample frames at 48 kHz for callback number `tick` of a stream at `rate`:
// the fractional rates spread their samples over a 5-callback cycle.
long samplesForTick(Rate rate, uint64_t tick);

// Frame `frameNumber` of a stream, counted from StartStreams. The picture is
// 75% colour bars with a full-height 8-pixel white stripe at
// x = (frameNumber * 8) % width, or black when there is no input.
class VideoFrame final : public RefCounted<IDeckLinkVideoInputFrame> {
public:
    // rate: of the frames, which a down-conversion halves against the callbacks.
    VideoFrame(const ModeInfo& mode, Rate rate, uint64_t frameNumber, bool noSignal);

    long GetWidth() override { return mode_.width; }
    long GetHeight() override { return mode_.height; }
    long GetRowBytes() override { return 2 * mode_.width; }
    BMDPixelFormat GetPixelFormat() override { return kPixelFormat8BitYUV; }
    BMDFrameFlags GetFlags() override { return flags_; }
    HRESULT GetBytes(void** buffer) override;
    HRESULT GetTimecode(BMDTimecodeFormat format, IDeckLinkTimecode** timecode) override;
    HRESULT GetAncillaryData(IDeckLinkVideoFrameAncillary** ancillary) override;
    HRESULT GetStreamTime(BMDTimeValue* frameTime, BMDTimeValue* frameDuration,
                          BMDTimeScale timeScale) override;
    HRESULT GetHardwareReferenceTimestamp(BMDTimeScale timeScale, BMDTimeValue* frameTime,
                                          BMDTimeValue* frameDuration) override;

private:
    const ModeInfo& mode_;
    const Rate rate_;
    const uint64_t frameNumber_;
    const int64_t capturedAt_;  // steady clock, nanoseconds
    const BMDFrameFlags flags_;
    std::unique_ptr<uint8_t[]> pixels_;
};

// `frames` sample frames starting at sample `firstSample` of the stream:
// channel c is a sine of (c+1)*500 Hz at -(6+2c) dBFS, or silence.
class AudioPacket final : public RefCounted<IDeckLinkAudioInputPacket> {
public:
    AudioPacket(long frames, uint64_t firstSample, bool silent);

    long GetSampleFrameCount() override { return frames_; }
    HRESULT GetBytes(void** buffer) override;
    HRESULT GetPacketTime(BMDTimeValue* packetTime, BMDTimeScale timeScale) override;

private:
    const long frames_;
    const uint64_t firstSample_;
    std::unique_ptr<int16_t[]> samples_;
};

}  // namespace sim
