// The selected stereo pair is a signed byte that a damaged startup file can
// set to anything. Every reader uses the nearest valid pair, so nothing ever
// reads outside a packet and the meter shows what the encoder records.
#pragma once

#include <cstdint>

constexpr int kAudioPairs = 4;  // of the 8 captured channels

constexpr int validAudioPair(int pair) {
    return pair < 0 ? 0 : pair >= kAudioPairs ? kAudioPairs - 1 : pair;
}
