#include "encode/EncoderMode.h"

#include "capture/DeckLinkAPI.h"

EncoderMode encoderModeFor(uint32_t mode) {
    switch (mode) {
        case kModeHi50: return {1920, 1080, 25, 1, false, 7372};
        case kModeHp50: return {1280, 720, 50, 1, true, 7372};
        case kModeHp59: return {1280, 720, 60000, 1001, true, 7372};
        case kModeHi59: return {1920, 1080, 30000, 1001, false, 7372};
        case kModeNtsc: return {720, 480, 30000, 1001, false, 2372};
        default: return {720, 576, 25, 1, false, 2372};
    }
}
