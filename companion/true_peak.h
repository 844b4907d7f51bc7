// True peak by 4x oversampling, for a stream fed piece by piece (the exporter's and history's
// analysis of a stretch, the feed's running meter).
//
// Phase 0 of the interpolator is the sample itself (the sinc is zero at every other integer), so
// only the three fractional positions 1/4, 2/4, 3/4 are computed, each from 12 neighbours (6
// before, 6 after) of a Kaiser-windowed sinc. With beta 5 a full-scale sine reads within 0.03 dB
// of its peak up to 15 kHz at 48 kHz and never more than 0.03 dB high.
//
//   TruePeakChannel left{};                      // one per channel, ~32 KB: keep it off the stack
//   float peak = addTruePeak(left, samples, n);  // n <= kTruePeakChunkFrames
//   peak = std::max(peak, truePeakTail(left));   // the ringing after the last sample
#pragma once

#include <array>
#include <cstddef>

namespace companion {

inline constexpr size_t kTruePeakOversampling = 4;
inline constexpr size_t kTruePeakTaps = 12;
inline constexpr size_t kTruePeakHistory = kTruePeakTaps - 1;  // samples carried between calls
inline constexpr size_t kTruePeakChunkFrames = 4096;           // most samples per call

// One channel's running state. The interpolated points between the last samples fed and the
// next ones are measured at the next call (or by truePeakTail).
struct TruePeakChannel {
    std::array<float, kTruePeakHistory>
        carried{};  // the last samples fed, oldest first; 0 at start
    std::array<float, kTruePeakHistory + kTruePeakChunkFrames> work{};  // carried + this call's
    std::array<float, kTruePeakChunkFrames> pointPeak{};  // per position, within one call
};

// [any-thread] Feeds count (at most kTruePeakChunkFrames) finite samples; returns the largest
// magnitude among them and among the interpolated points measured by this call (linear).
float addTruePeak(TruePeakChannel& channel, const float* samples, size_t count);

// [any-thread] The largest interpolated magnitude after the last sample fed, as if silence
// followed (a file that stops rings for a few samples); the state is left as it was.
float truePeakTail(const TruePeakChannel& channel);

}  // namespace companion
