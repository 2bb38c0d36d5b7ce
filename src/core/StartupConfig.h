// The 32-byte startup configuration record ("/QVA/startup.cfg").
//
// Little-endian, no header, no checksum. Each field is read and written at
// its own offset; the record is never a dump of a compiler-laid-out struct.
#pragma once

#include "capture/DeckLinkAPI.h"
#include "core/DeviceState.h"

#include <array>
#include <cstdint>
#include <string>

struct StartupRecord {
    static constexpr size_t kSize = 32;

    bool downConvert = false;
    uint32_t inputMode = kModePal;
    uint32_t standard = kModePal;  // 'pal ' or 'ntsc' from palMode; never read back
    bool analogAudio = false;
    bool aesAudio = false;
    bool composite = false;
    int32_t tcBurnIn = 0;
    bool logoBurning = false;
    int32_t spareSetting = 0;
    bool palMode = true;
    int8_t audioChannel = 0;

    bool operator==(const StartupRecord&) const = default;
};

using StartupBytes = std::array<uint8_t, StartupRecord::kSize>;

StartupBytes encodeStartupRecord(const StartupRecord& record);
StartupRecord decodeStartupRecord(const StartupBytes& bytes);

// True for the six display modes the box knows.
bool isKnownDisplayMode(uint32_t mode);

// The recording-file prefix of a stored configuration: down-conversion
// records standard definition, so PAL or NTSC decide; otherwise the mode.
// Empty for a mode that is none of the six.
std::string filePrefixFor(uint32_t inputMode, bool downConvert, bool palMode);

// Start-up reading: a missing file gives the defaults (and the path is
// unlinked), a short one the defaults (and is kept). A stored mode that is
// none of the six can only come from a damaged file: it is replaced by 'pal '.
// An audio pair outside 0-3 becomes the nearest one, the pair recorded.
StartupRecord readStartupConfig(const std::string& path);

// Sets the capture settings of state, and the file prefix that follows them.
void applyCaptureSettings(const CaptureSettings& capture, DeviceState& state);

// Sets the capture configuration, the other settings and filePrefix of state from record.
void applyStartupRecord(const StartupRecord& record, DeviceState& state);

CaptureSettings captureSettingsOf(const StartupRecord& record);

// The record of capture and the other settings of state; the standard field
// follows palMode.
StartupRecord startupRecordOf(const CaptureSettings& capture, const DeviceState& state);

// Replaces the file atomically (temporary file, fsync, rename, fsync of the
// folder), so a power cut leaves either the old or the new record. On any
// failure prints "Error writing config\n", leaves the old file and returns false.
bool writeStartupConfig(const std::string& path, const StartupRecord& record);
