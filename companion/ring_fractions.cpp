#include "companion/ring_fractions.h"

#include <algorithm>
#include <cmath>

namespace companion {

uint64_t pluginIndex(float fraction, uint64_t ringFloats) {
    const float product = std::clamp(fraction, 0.0f, 1.0f) * static_cast<float>(ringFloats);
    return static_cast<uint64_t>(product) & ~uint64_t{1};
}

// Aiming at the middle of the frame's first float is enough below 2^24 floats; above, single
// precision steps by 2 or more and the aim is corrected one float step at a time.
float fractionForIndex(uint64_t index, uint64_t ringFloats) {
    float fraction =
        static_cast<float>((static_cast<double>(index) + 0.5) / static_cast<double>(ringFloats));
    for (int step = 0; step < 64 && pluginIndex(fraction, ringFloats) < index; ++step)
        fraction = std::nextafter(fraction, 2.0f);
    for (int step = 0; step < 64 && pluginIndex(fraction, ringFloats) > index; ++step)
        fraction = std::nextafter(fraction, 0.0f);
    return fraction;
}

uint64_t indexForFraction(double fraction, uint64_t ringFloats) {
    const double floats = fraction * static_cast<double>(ringFloats);
    const uint64_t index = static_cast<uint64_t>(std::llround(floats / 2.0)) * 2;
    return index >= ringFloats ? 0 : index;
}

uint64_t headIndexForFraction(float fraction, uint64_t ringFloats) {
    const uint64_t guess = indexForFraction(fraction, ringFloats);
    constexpr uint64_t kSearchFloats = 8;  // the double estimate is off by a float step at most
    const float size = static_cast<float>(ringFloats);
    for (uint64_t step = 0; step <= kSearchFloats; step += 2) {
        for (const uint64_t candidate : {guess + step, guess + ringFloats - step}) {
            const uint64_t index = candidate % ringFloats;
            if (static_cast<float>(index) / size == fraction)
                return index;
        }
    }
    return guess;
}

}  // namespace companion
