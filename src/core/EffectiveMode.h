// What the card is enabled with for one capture pass.
#pragma once

#include <cstdint>

struct EffectiveMode {
    uint32_t mode;        // display mode the video input is enabled with
    int64_t conversion;   // video input conversion mode ('none', '10am', '72am')
    bool operator==(const EffectiveMode&) const = default;
};

// Composite is always standard definition by palMode. A down-conversion
// follows the input's frame rate (50 Hz to PAL, 59.94 Hz to NTSC), not palMode.
EffectiveMode effectiveModeFor(bool composite, bool downConvert, bool palMode, uint32_t inputMode);

// Down-converted 720p arrives as audio packets without a video frame between
// the frames, which the capture callback must then queue.
bool audioWithoutVideoFor(uint32_t inputMode, bool downConvert);
