#include "core/EffectiveMode.h"

#include "capture/DeckLinkAPI.h"

EffectiveMode effectiveModeFor(bool composite, bool downConvert, bool palMode, uint32_t inputMode) {
    if (composite) return {palMode ? kModePal : kModeNtsc, kConversionNone};
    if (downConvert) {
        switch (inputMode) {
            case kModeHi50: return {kModePal, kConversionDown1080Anamorphic};
            case kModeHp50: return {kModePal, kConversionDown720Anamorphic};
            case kModeHi59: return {kModeNtsc, kConversionDown1080Anamorphic};
            case kModeHp59: return {kModeNtsc, kConversionDown720Anamorphic};
            default: break;
        }
    }
    return {inputMode, kConversionNone};
}

bool audioWithoutVideoFor(uint32_t inputMode, bool downConvert) {
    return downConvert && (inputMode == kModeHp50 || inputMode == kModeHp59);
}
