#include "companion/ring_fractions.h"

#include <algorithm>
#include <cmath>
#include <optional>

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

float fractionAtOrBelow(uint64_t index, uint64_t ringFloats) {
    float fraction = fractionForIndex(index, ringFloats);
    for (int step = 0; step < 64 && pluginIndex(fraction, ringFloats) > index; ++step)
        fraction = std::nextafter(fraction, 0.0f);
    return pluginIndex(fraction, ringFloats) <= index ? fraction : 0.0f;
}

float fractionAtOrAbove(uint64_t index, uint64_t ringFloats) {
    float fraction = fractionForIndex(index, ringFloats);
    for (int step = 0; step < 64 && pluginIndex(fraction, ringFloats) < index; ++step)
        fraction = std::nextafter(fraction, 2.0f);
    return pluginIndex(fraction, ringFloats) >= index ? fraction : 1.0f;
}

uint64_t indexForFraction(double fraction, uint64_t ringFloats) {
    const double floats = fraction * static_cast<double>(ringFloats);
    const uint64_t index = static_cast<uint64_t>(std::llround(floats / 2.0)) * 2;
    return index >= ringFloats ? 0 : index;
}

uint64_t headIndexForFraction(float fraction, uint64_t ringFloats) {
    const uint64_t guess = indexForFraction(fraction, ringFloats);
    // The double estimate is off by a float step at most; a ring of 2^25 floats or more (60 s
    // above 279.6 kHz) has steps of 4 or 8, where several even indices give one fraction.
    constexpr uint64_t kSearchFloats = 16;
    const float size = static_cast<float>(ringFloats);
    // Indices that give the fraction lie side by side: the lowest is the one sure to be written.
    std::optional<uint64_t> lowest;
    for (uint64_t back = kSearchFloats; back >= 2; back -= 2) {
        const uint64_t index = (guess + ringFloats - back) % ringFloats;
        if (static_cast<float>(index) / size == fraction) {
            lowest = index;
            break;
        }
    }
    for (uint64_t ahead = 0; ahead <= kSearchFloats && !lowest; ahead += 2) {
        const uint64_t index = (guess + ahead) % ringFloats;
        if (static_cast<float>(index) / size == fraction)
            lowest = index;
    }
    return lowest.value_or(guess);
}

}  // namespace companion
