// Frames and audio packets implementing the card's interfaces, for the tests
// of the capture path and the encoder. Stack objects: the count is tracked so
// tests can check that every AddRef was matched, but nothing is deleted.
#pragma once

#include "capture/DeckLinkAPI.h"

#include <array>
#include <atomic>
#include <optional>
#include <vector>

class FakeTimecode : public IDeckLinkTimecode {
public:
    explicit FakeTimecode(std::array<uint8_t, 4> components) : components_(components) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetComponents(uint8_t* h, uint8_t* m, uint8_t* s, uint8_t* f) override {
        *h = components_[0];
        *m = components_[1];
        *s = components_[2];
        *f = components_[3];
        return S_OK;
    }
    std::atomic<int> refs{0};

private:
    std::array<uint8_t, 4> components_;
};

class FakeVideoFrame : public IDeckLinkVideoInputFrame {
public:
    // A UYVY frame with every group set to u, y, v, y.
    FakeVideoFrame(long width, long height, uint8_t u = 128, uint8_t y = 16, uint8_t v = 128)
        : width_(width), height_(height), bytes(size_t(width * height * 2)) {
        for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
            bytes[i] = u;
            bytes[i + 1] = y;
            bytes[i + 2] = v;
            bytes[i + 3] = y;
        }
    }
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    long GetWidth() override { return width_; }
    long GetHeight() override { return height_; }
    long GetRowBytes() override { return width_ * 2; }
    BMDPixelFormat GetPixelFormat() override { return kPixelFormat8BitYUV; }
    BMDFrameFlags GetFlags() override { return noSignal ? kFrameHasNoInputSource : 0; }
    HRESULT GetBytes(void** buffer) override {
        *buffer = bytes.data();
        return S_OK;
    }
    HRESULT GetTimecode(BMDTimecodeFormat format, IDeckLinkTimecode** out) override {
        askedFormats.push_back(format);
        if (!timecode || format != timecodeFormat) {
            *out = nullptr;
            return E_FAIL;
        }
        timecode->AddRef();
        *out = &*timecode;
        return S_OK;
    }

    bool noSignal = false;
    std::optional<FakeTimecode> timecode;
    BMDTimecodeFormat timecodeFormat = kTimecodeVITC;
    std::vector<BMDTimecodeFormat> askedFormats;
    std::atomic<int> refs{0};

private:
    long width_, height_;

public:
    std::vector<uint8_t> bytes;
};

class FakeAudioPacket : public IDeckLinkAudioInputPacket {
public:
    // samples: interleaved, 8 per sample frame.
    explicit FakeAudioPacket(std::vector<int16_t> samples) : samples(std::move(samples)) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    long GetSampleFrameCount() override { return long(samples.size() / kCapturedAudioChannels); }
    HRESULT GetBytes(void** buffer) override {
        *buffer = samples.data();
        return S_OK;
    }
    std::vector<int16_t> samples;
    std::atomic<int> refs{0};
};
