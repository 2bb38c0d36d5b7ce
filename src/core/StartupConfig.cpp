#include "core/StartupConfig.h"

#include "core/EffectiveMode.h"

#include "capture/AudioPair.h"
#include "capture/DeckLinkAPI.h"
#include "platform/Files.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

// Field offsets of the record.
constexpr size_t kOffDownConvert = 0;
constexpr size_t kOffInputMode = 4;
constexpr size_t kOffStandard = 8;
constexpr size_t kOffAnalogAudio = 12;
constexpr size_t kOffAesAudio = 13;
constexpr size_t kOffComposite = 14;
constexpr size_t kOffTcBurnIn = 16;
constexpr size_t kOffLogo = 20;
constexpr size_t kOffSpare = 24;
constexpr size_t kOffPalMode = 28;
constexpr size_t kOffAudioChannel = 29;
static_assert(kOffAudioChannel + 1 + 2 == StartupRecord::kSize,
              "the record ends with two bytes of padding after the audio pair");
static_assert(sizeof(StartupBytes) == 32, "the startup record is exactly 32 bytes");

void put32(StartupBytes& bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get32(const StartupBytes& bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t(bytes[offset + i]) << (8 * i);
    return value;
}

}  // namespace

StartupBytes encodeStartupRecord(const StartupRecord& r) {
    StartupBytes bytes{};
    bytes[kOffDownConvert] = r.downConvert ? 1 : 0;
    put32(bytes, kOffInputMode, r.inputMode);
    put32(bytes, kOffStandard, r.standard);
    bytes[kOffAnalogAudio] = r.analogAudio ? 1 : 0;
    bytes[kOffAesAudio] = r.aesAudio ? 1 : 0;
    bytes[kOffComposite] = r.composite ? 1 : 0;
    put32(bytes, kOffTcBurnIn, static_cast<uint32_t>(r.tcBurnIn));
    bytes[kOffLogo] = r.logoBurning ? 1 : 0;
    put32(bytes, kOffSpare, static_cast<uint32_t>(r.spareSetting));
    bytes[kOffPalMode] = r.palMode ? 1 : 0;
    bytes[kOffAudioChannel] = static_cast<uint8_t>(r.audioChannel);
    return bytes;
}

StartupRecord decodeStartupRecord(const StartupBytes& bytes) {
    StartupRecord r;
    r.downConvert = bytes[kOffDownConvert] != 0;
    r.inputMode = get32(bytes, kOffInputMode);
    r.standard = get32(bytes, kOffStandard);
    r.analogAudio = bytes[kOffAnalogAudio] != 0;
    r.aesAudio = bytes[kOffAesAudio] != 0;
    r.composite = bytes[kOffComposite] != 0;
    r.tcBurnIn = static_cast<int32_t>(get32(bytes, kOffTcBurnIn));
    r.logoBurning = bytes[kOffLogo] != 0;
    r.spareSetting = static_cast<int32_t>(get32(bytes, kOffSpare));
    r.palMode = bytes[kOffPalMode] != 0;
    r.audioChannel = static_cast<int8_t>(bytes[kOffAudioChannel]);
    return r;
}

bool isKnownDisplayMode(uint32_t mode) {
    switch (mode) {
        case kModeHi50:
        case kModeHi59:
        case kModeHp50:
        case kModeHp59:
        case kModePal:
        case kModeNtsc:
            return true;
        default:
            return false;
    }
}

std::string filePrefixFor(uint32_t inputMode, bool downConvert, bool palMode) {
    // A down-converted recording is named after the standard it is in: the
    // input's rate decides (50 Hz: PAL, 59.94 Hz: NTSC), not the PAL flag.
    const uint32_t mode = effectiveModeFor(false, downConvert, palMode, inputMode).mode;
    switch (mode) {
        case kModeHi50:
        case kModeHi59:
            return "rec1080";
        case kModeHp50:
        case kModeHp59:
            return "rec720";
        case kModeNtsc:
            return "recNTSC";
        case kModePal:
            return "recPAL";
        default:
            return {};
    }
}

StartupRecord readStartupConfig(const std::string& path) {
    qva::FileOwner file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        ::unlink(path.c_str());
        return StartupRecord{};
    }
    StartupBytes bytes{};
    StartupRecord record;
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) == bytes.size()) {
        record = decodeStartupRecord(bytes);
    }
    if (std::fclose(file.release()) != 0) std::fputs("Fclose failed", stderr);

    if (!isKnownDisplayMode(record.inputMode)) {
        std::fputs("Unknown display mode in startup configuration, using 'pal '\n", stderr);
        record.inputMode = kModePal;
    }
    // The encoder and the meters take the nearest pair; the reports must show that one.
    record.audioChannel = static_cast<int8_t>(validAudioPair(record.audioChannel));
    return record;
}

void applyCaptureSettings(const CaptureSettings& c, DeviceState& state) {
    store(state.downConvert, c.downConvert);
    store(state.inputMode, c.inputMode);
    store(state.analogAudio, c.analogAudio);
    store(state.aesAudio, c.aesAudio);
    store(state.composite, c.composite);
    store(state.palMode, c.palMode);
    state.filePrefix.set(filePrefixFor(c.inputMode, c.downConvert, c.palMode));
}

void applyStartupRecord(const StartupRecord& r, DeviceState& state) {
    applyCaptureSettings(captureSettingsOf(r), state);
    store(state.tcBurnIn, r.tcBurnIn);
    store(state.logoBurning, r.logoBurning);
    store(state.spareSetting, r.spareSetting);
    store(state.audioChannel, r.audioChannel);
}

CaptureSettings captureSettingsOf(const StartupRecord& r) {
    return {r.inputMode, r.downConvert, r.palMode, r.composite, r.analogAudio, r.aesAudio};
}

StartupRecord startupRecordOf(const CaptureSettings& capture, const DeviceState& state) {
    StartupRecord r;
    r.downConvert = capture.downConvert;
    r.inputMode = capture.inputMode;
    r.palMode = capture.palMode;
    r.standard = r.palMode ? kModePal : kModeNtsc;
    r.analogAudio = capture.analogAudio;
    r.aesAudio = capture.aesAudio;
    r.composite = capture.composite;
    r.tcBurnIn = load(state.tcBurnIn);
    r.logoBurning = load(state.logoBurning);
    r.spareSetting = load(state.spareSetting);
    r.audioChannel = load(state.audioChannel);
    return r;
}

bool writeStartupConfig(const std::string& path, const StartupRecord& record) {
    const StartupBytes bytes = encodeStartupRecord(record);
    if (qva::replaceFileAtomically(path, bytes.data(), bytes.size())) return true;
    std::fputs("Error writing config\n", stderr);
    return false;
}
