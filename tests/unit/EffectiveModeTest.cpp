#include "capture/DeckLinkAPI.h"
#include "core/EffectiveMode.h"

#include <gtest/gtest.h>

// Composite follows the PAL flag; a down-conversion the input's rate; standard definition is never converted.
TEST(EffectiveMode, WhatIsRecordedForTheInputAndTheFlags) {
    const std::tuple<bool, bool, bool, uint32_t, EffectiveMode> cases[] = {
        {true, true, false, kModeHi50, {kModeNtsc, kConversionNone}},
        {true, false, true, kModeNtsc, {kModePal, kConversionNone}},
        {false, true, false, kModeHi50, {kModePal, kConversionDown1080Anamorphic}},
        {false, true, true, kModeHp59, {kModeNtsc, kConversionDown720Anamorphic}},
        {false, true, true, kModeNtsc, {kModeNtsc, kConversionNone}},
        {false, false, true, kModeHp50, {kModeHp50, kConversionNone}}};
    for (auto [composite, down, pal, mode, recorded] : cases)
        EXPECT_EQ(effectiveModeFor(composite, down, pal, mode), recorded) << composite << down << pal << mode;
    EXPECT_TRUE(audioWithoutVideoFor(kModeHp59, true));
    EXPECT_FALSE(audioWithoutVideoFor(kModeHp50, false) || audioWithoutVideoFor(kModeHi50, true));
}
