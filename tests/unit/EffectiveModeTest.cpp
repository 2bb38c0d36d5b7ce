#include "capture/DeckLinkAPI.h"
#include "core/EffectiveMode.h"

#include <gtest/gtest.h>

TEST(EffectiveMode, CompositeIsStandardDefinitionByPalFlag) {
    for (uint32_t mode : {kModeHi50, kModeHp59, kModeNtsc, kModePal}) {
        for (bool down : {false, true}) {
            EXPECT_EQ(effectiveModeFor(true, down, true, mode), (EffectiveMode{kModePal, kConversionNone}));
            EXPECT_EQ(effectiveModeFor(true, down, false, mode), (EffectiveMode{kModeNtsc, kConversionNone}));
        }
    }
}

TEST(EffectiveMode, DownConversionFollowsTheInputRateNotThePalFlag) {
    for (bool pal : {false, true}) {
        EXPECT_EQ(effectiveModeFor(false, true, pal, kModeHi50), (EffectiveMode{kModePal, kConversionDown1080Anamorphic}));
        EXPECT_EQ(effectiveModeFor(false, true, pal, kModeHp50), (EffectiveMode{kModePal, kConversionDown720Anamorphic}));
        EXPECT_EQ(effectiveModeFor(false, true, pal, kModeHi59), (EffectiveMode{kModeNtsc, kConversionDown1080Anamorphic}));
        EXPECT_EQ(effectiveModeFor(false, true, pal, kModeHp59), (EffectiveMode{kModeNtsc, kConversionDown720Anamorphic}));
    }
}

TEST(EffectiveMode, EverythingElseIsTheInputModeUnconverted) {
    for (uint32_t mode : {kModeHi50, kModeHi59, kModeHp50, kModeHp59, kModePal, kModeNtsc}) {
        EXPECT_EQ(effectiveModeFor(false, false, false, mode), (EffectiveMode{mode, kConversionNone}));
    }
    // Standard definition has nothing to down-convert.
    EXPECT_EQ(effectiveModeFor(false, true, false, kModePal), (EffectiveMode{kModePal, kConversionNone}));
    EXPECT_EQ(effectiveModeFor(false, true, true, kModeNtsc), (EffectiveMode{kModeNtsc, kConversionNone}));
}

TEST(EffectiveMode, AudioWithoutVideoOnlyForDownConverted720p) {
    EXPECT_TRUE(audioWithoutVideoFor(kModeHp50, true));
    EXPECT_TRUE(audioWithoutVideoFor(kModeHp59, true));
    EXPECT_FALSE(audioWithoutVideoFor(kModeHp50, false));
    EXPECT_FALSE(audioWithoutVideoFor(kModeHi50, true));
    EXPECT_FALSE(audioWithoutVideoFor(kModePal, true));
}
