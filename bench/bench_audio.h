// Test audio for the benchmarks: seeded Gaussian noise, as separate channels and interleaved
// (the layout libebur128 takes), so both sides of a comparison see the same samples.
#pragma once

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
