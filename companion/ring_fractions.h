// Ring positions between the companion and the plug-in. The plug-in publishes its write position
// as an f32 fraction of the ring and turns the fractions of a requested stretch into float indices
// in single precision; these helpers make a stretch land on exactly the floats meant.
#pragma once

#include <cstdint>

namespace companion {

// The float index the plug-in makes of a stretch's fraction: clamped to 0..1, times
// float(ringFloats) in single precision, truncated, bit 0 cleared.
uint64_t pluginIndex(float fraction, uint64_t ringFloats);
// A fraction the plug-in turns into exactly `index` (even, below ringFloats; also a length).
float fractionForIndex(uint64_t index, uint64_t ringFloats);
// From 2^25 floats on (60 s above 279.6 kHz) the plug-in's single-precision product reaches only
// every other even index near the ring's end. These give the nearest index it does reach at or
// below `index` (a stretch's start), or at or above it (a stretch's length; 1.0 is the whole ring).
float fractionAtOrBelow(uint64_t index, uint64_t ringFloats);
float fractionAtOrAbove(uint64_t index, uint64_t ringFloats);
// The write position as an even float index, from the plug-in's f32 fraction (exact below 2^24
// floats; within a frame above).
uint64_t indexForFraction(double fraction, uint64_t ringFloats);
// The write position as the even float index the plug-in divided into `fraction` (float(index) /
// float(ringFloats) in single precision): exact for rings below 2^25 floats, where that quotient
// tells every even index apart; above, the lowest index giving the fraction, never past the head
// (two frames behind it at most up to 2^26 floats, four up to 2^27). The nearest even index when
// none matches.
uint64_t headIndexForFraction(float fraction, uint64_t ringFloats);

}  // namespace companion
