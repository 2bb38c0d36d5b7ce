// The picture size, rate, scan and bit rate of each display mode. A mode
// that is none of the six is treated as PAL.
#pragma once

#include <cstdint>

struct EncoderMode {
    int width;
    int height;
    int fpsNum;
    int fpsDen;
    bool progressive;
    int videoBitrate;  // kbit/s
};

EncoderMode encoderModeFor(uint32_t mode);
