#include "companion/true_peak.h"

#include <algorithm>
#include <cmath>

namespace companion {

namespace {

constexpr double kKaiserBeta = 5.0;

double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 40; ++k) {
        const double f = x / (2.0 * k);
        term *= f * f;
        sum += term;
    }
    return sum;
}

struct TruePeakFilter {
    // coefficient[p][j] weighs sample m - 5 + j for the point m + (p + 1) / 4
    std::array<std::array<float, kTruePeakTaps>, kTruePeakOversampling - 1> coefficient;
};

TruePeakFilter designTruePeakFilter() {
    TruePeakFilter f{};
    const double half = kTruePeakTaps / 2;
    for (size_t p = 0; p < kTruePeakOversampling - 1; ++p) {
        const double frac = static_cast<double>(p + 1) / kTruePeakOversampling;
        std::array<double, kTruePeakTaps> c{};
        double sum = 0.0;
        for (size_t j = 0; j < kTruePeakTaps; ++j) {
            const double d = frac + (half - 1.0) - static_cast<double>(j);  // distance in samples
            const double x = d / half;
            const double window = besselI0(kKaiserBeta * std::sqrt(std::max(0.0, 1.0 - x * x))) /
                                  besselI0(kKaiserBeta);
            c[j] = std::sin(M_PI * d) / (M_PI * d) * window;
            sum += c[j];
        }
        // Unity gain at DC for every phase, so a constant reads the same at every position.
        for (size_t j = 0; j < kTruePeakTaps; ++j) {
            f.coefficient[p][j] = static_cast<float>(c[j] / sum);
        }
    }
    return f;
}

const TruePeakFilter& truePeakFilter() {
    static const TruePeakFilter filter = designTruePeakFilter();
    return filter;
}

// [any-thread] Raises peak[b] to the largest magnitude interpolated between x[b + 5] and
// x[b + 6], for b in [0, count). x holds count + kTruePeakHistory samples. The hot loop of every
// true peak: an AVX2 build of it is picked at load time where the CPU has it (twice as fast).
// Not under ThreadSanitizer, whose runtime is not ready when the loader runs the picker.
#if defined(__SANITIZE_THREAD__)
#define TESSARIN_PICK_AVX2_AT_LOAD
#else
#define TESSARIN_PICK_AVX2_AT_LOAD __attribute__((target_clones("avx2", "default")))
#endif
TESSARIN_PICK_AVX2_AT_LOAD void interpolatedPeaks(const float* x, size_t count,
                                                  const TruePeakFilter& filter, float* peak) {
    for (size_t p = 0; p < kTruePeakOversampling - 1; ++p) {
        const std::array<float, kTruePeakTaps> c = filter.coefficient[p];
        for (size_t b = 0; b < count; ++b) {
            float acc = 0.0f;
            for (size_t j = 0; j < kTruePeakTaps; ++j) {
                acc += c[j] * x[b + j];
            }
            peak[b] = std::max(peak[b], std::fabs(acc));
        }
    }
}

}  // namespace

float addTruePeak(TruePeakChannel& channel, const float* samples, size_t count) {
    count = std::min(count, kTruePeakChunkFrames);
    float* x = channel.work.data();
    std::copy(channel.carried.begin(), channel.carried.end(), x);
    float peak = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        x[kTruePeakHistory + i] = samples[i];
        peak = std::max(peak, std::fabs(samples[i]));
    }
    std::fill_n(channel.pointPeak.begin(), count, 0.0f);
    interpolatedPeaks(x, count, truePeakFilter(), channel.pointPeak.data());
    for (size_t i = 0; i < count; ++i) {
        peak = std::max(peak, channel.pointPeak[i]);
    }
    std::copy_n(x + count, kTruePeakHistory, channel.carried.begin());
    return peak;
}

float truePeakTail(const TruePeakChannel& channel) {
    std::array<float, 2 * kTruePeakHistory> tail{};
    std::array<float, kTruePeakHistory> peaks{};
    std::copy(channel.carried.begin(), channel.carried.end(), tail.begin());
    interpolatedPeaks(tail.data(), kTruePeakHistory, truePeakFilter(), peaks.data());
    return *std::max_element(peaks.begin(), peaks.end());
}

}  // namespace companion
