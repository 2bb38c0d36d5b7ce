#include "capture/DeckLinkAPI.h"
#include "core/EffectiveMode.h"

#include <gtest/gtest.h>

// The supervisor's tests configure the card for the down-conversions and composite; here the inputs left alone.
TEST(EffectiveMode, StandardDefinitionIsNeverConvertedAndWithoutTheFlagsNothingIs) {
    EXPECT_EQ(effectiveModeFor(false, true, true, kModeNtsc), (EffectiveMode{kModeNtsc, kConversionNone}));
    EXPECT_EQ(effectiveModeFor(false, false, true, kModeHi59), (EffectiveMode{kModeHi59, kConversionNone}));
    EXPECT_FALSE(audioWithoutVideoFor(kModeHp50, false) || audioWithoutVideoFor(kModeHi50, true));
}
