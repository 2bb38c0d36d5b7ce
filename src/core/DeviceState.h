// The settings and live values that main owns and hands out field by field.
//
// Components hold pointers to single fields. Every field read or written by
// more than one thread is an atomic of its width; nothing orders one field
// against another, so relaxed loads and stores are all that is needed.
// The preview picture is touched only under previewMutex.
#pragma once

#include "capture/DeckLinkAPI.h"
#include "core/FilePrefix.h"

#include <QImage>
#include <QMutex>

#include <atomic>
#include <cstdint>

struct DeviceState {
    // Capture configuration (persisted in the startup configuration).
    std::atomic<uint32_t> inputMode{kModePal};
    std::atomic<bool> downConvert{false};
    std::atomic<bool> palMode{true};
    std::atomic<bool> composite{false};
    std::atomic<bool> analogAudio{false};
    std::atomic<bool> aesAudio{false};
    std::atomic<int8_t> audioChannel{0};  // stereo pair: channels 2n and 2n+1
    std::atomic<int32_t> tcBurnIn{0};     // 0 none, 2 bottom, other top
    std::atomic<bool> logoBurning{false};
    std::atomic<int32_t> spareSetting{0};

    // Control and derived values.
    std::atomic<bool> restartCapture{false};
    std::atomic<bool> studioOptions{false};
    std::atomic<bool> audioWithoutVideo{false};
    FilePrefix filePrefix;

    // Live values.
    std::atomic<int16_t> audioLevelLeft{0};
    std::atomic<int16_t> audioLevelRight{0};
    QImage previewImage{720, 288, QImage::Format_RGB888};
    QMutex previewMutex;
};

// Relaxed access is enough for every field: each is read and written whole
// and no field orders another.
template <typename T>
T load(const std::atomic<T>& field) {
    return field.load(std::memory_order_relaxed);
}
template <typename T, typename V>
void store(std::atomic<T>& field, V value) {
    field.store(static_cast<T>(value), std::memory_order_relaxed);
}

// One copy of the settings that restart the capture: what a pass configures
// the card with, and what the startup file keeps once the card took them.
struct CaptureSettings {
    uint32_t inputMode = kModePal;
    bool downConvert = false;
    bool palMode = true;
    bool composite = false;
    bool analogAudio = false;
    bool aesAudio = false;
    bool operator==(const CaptureSettings&) const = default;
};

inline CaptureSettings captureSettingsOf(const DeviceState& state) {
    return {load(state.inputMode), load(state.downConvert), load(state.palMode),
            load(state.composite), load(state.analogAudio), load(state.aesAudio)};
}
