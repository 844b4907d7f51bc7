// What the benchmarks share: seeded Gaussian noise, as separate channels and interleaved (the
// layout libebur128 takes), so both sides of a comparison see the same samples; and the
// reference meter they are compared with.
#pragma once

#include <ebur128.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

struct BenchAudio {
    std::vector<float> left, right, interleaved;
};

inline BenchAudio makeNoise(size_t frames, float sigma, uint32_t seed) {
    BenchAudio a;
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, sigma);
    a.left.resize(frames);
    a.right.resize(frames);
    a.interleaved.resize(2 * frames);
    for (size_t i = 0; i < frames; ++i) {
        a.left[i] = dist(gen);
        a.right[i] = dist(gen);
        a.interleaved[2 * i] = a.left[i];
        a.interleaved[2 * i + 1] = a.right[i];
    }
    return a;
}

// libebur128 measuring momentary, short-term and integrated loudness of stereo at rateHz. The
// histogram mode keeps the integrated value's cost constant, as the plug-in's histogram does.
// Free it with ebur128_destroy.
inline ebur128_state* makeReferenceMeter(double rateHz) {
    return ebur128_init(2, static_cast<unsigned>(rateHz),
                        EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_HISTOGRAM);
}
