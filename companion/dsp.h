// What the companion measures on the feed's audio: true peak (ITU-R BS.1770, 4x oversampled,
// true_peak.h), loudness range (EBU Tech 3342) and a loudness history of momentary and
// short-term values per 0.1 s of audio (BS.1770 K-weighting, summed here) (LevelAnalysis); and a
// log-frequency spectrum of the newest frames (SpectrumAnalysis, kissfft).
//
//     companion::LevelAnalysis levels;
//     startLevels(levels, 48000.0);                    // allocates; the frame path does not
//     addLevelFrames(levels, left, right, frames);     // appends to levels.newPoints
//     companion::LevelReadings now = readLevels(levels);
//
//     companion::SpectrumAnalysis spectrum;
//     startSpectrum(spectrum, 48000.0);
//     addSpectrumFrames(spectrum, left, right, frames, 2);
//     analyseSpectrum(spectrum, nowSeconds);           // levelDb and peakDb per band
//
// Non-finite samples count as silence: one NaN would otherwise stay in the filters for good.
#pragma once

#include "companion/feed_monitor.h"
#include "companion/true_peak.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct kiss_fftr_state;

namespace companion {

// The window the current true peak is taken over, in history points (0.1 s each): 400 ms.
inline constexpr int kTruePeakWindowPoints = 4;
// No plug-in runs faster: the feed's rate comes from another process and is not trusted beyond.
inline constexpr double kMaxLevelRateHz = 768000.0;
// Frames measured at a time.
inline constexpr size_t kLevelChunkFrames = 4096;
static_assert(kLevelChunkFrames <= kTruePeakChunkFrames);
// Momentary and short-term windows: no value until this much audio has been measured.
inline constexpr double kMomentaryWindowS = 0.4;
inline constexpr double kShortTermWindowS = 3.0;
// Loudness range: short-term values counted in bins of 0.01 LU from the absolute gate up.
inline constexpr double kRangeLowestLufs = -70.0;  // the absolute gate
inline constexpr double kRangeBinLu = 0.01;
inline constexpr int kRangeBins = 10000;  // up to +30 LUFS; louder blocks go into the last bin
inline constexpr double kRangeRelativeGateLu = 20.0;

struct LevelReadings {
    double truePeakDb;     // dBTP over the newest 400 ms of audio; NaN for none (or silence)
    double truePeakMaxDb;  // dBTP since the start; NaN for none (or silence)
    double lraLu;          // NaN until a short-term window of audio has been measured
    // Per channel (0 left, 1 right), unweighted, over the newest 400 ms of completed points:
    // RMS in dBFS (a full-scale sine reads -3.01) and crest, the channel's sample peak over its
    // own RMS in dB (never negative; 3.01 for a sine). NaN before 400 ms of audio or in silence.
    double channelRmsDb[2];
    double channelCrestDb[2];
    double channelPeakDb[2];  // largest absolute sample over the same 400 ms, dBFS
};

// One completed history point's unweighted level per channel.
struct ChannelLevels {
    double sumSquares[2];
    double samplePeak[2];  // largest absolute sample
    uint64_t frames;
};
inline constexpr int kChannelLevelPoints = 4;  // 400 ms, the plug-in's RMS window

// One biquad section, direct form II transposed, in double precision.
struct Biquad {
    double b0, b1, b2, a1, a2;  // a0 normalised to 1
};

// The K-weighted energy of one history point's frames (both channels' mean squares added).
struct PointEnergy {
    double sumSquares;  // over both channels
    uint64_t frames;
};
inline constexpr int kShortTermPoints = 30;  // 3 s
inline constexpr int kMomentaryPoints = 4;   // 400 ms

struct LevelAnalysis {
    // Momentary, short-term and the range's blocks are summed from the points' K-weighted
    // energies (asking libebur128 ten times a second would sum its whole 3 s window each time,
    // and its filter would weight every frame a second time); the true peak is true_peak.h's.
    bool started = false;  // false while not started or the rate is out of range
    double rateHz = 0.0;
    uint64_t frames = 0;       // measured since the start
    uint64_t points = 0;       // history points completed since the start
    uint64_t nextPointAt = 0;  // frame count at which the current point completes
    uint64_t momentaryFrom = 0, shortTermFrom = 0;  // frame counts from which those have values
    double pointPeak = 0.0;                         // linear true peak of the current point
    double recentPeaks[kTruePeakWindowPoints - 1] =
        {};  // of the latest completed points, newest first
    double maxPeak = 0.0;
    double lraLu = 0.0;  // in LU, as of the latest whole second of audio; NaN for none
    std::vector<uint32_t> rangeCounts;  // short-term blocks per kRangeBinLu bin, over the gate
    double rangePowerSum = 0.0;         // K-weighted mean squares of the counted blocks, summed
    uint64_t rangeBlocks = 0;           // blocks counted
    Biquad shelf{}, highPass{};         // the K-weighting's two stages at rateHz
    double filterState[2][4] = {};      // per channel: shelf z1, z2, high-pass z1, z2
    double pointSquares = 0.0;          // K-weighted, of the current point
    PointEnergy energies[kShortTermPoints] = {};            // completed points, a ring
    int energyPos = 0;                                      // where the next completed point goes
    ChannelLevels pointLevels{};                            // unweighted, of the current point
    ChannelLevels channelLevels[kChannelLevelPoints] = {};  // completed points, a ring
    int channelLevelPos = 0;                                // where the next one goes
    uint64_t channelLevelPoints = 0;                        // completed since the start
    std::vector<float> clean[2];  // kLevelChunkFrames per channel, the same frames, for the peak
    std::unique_ptr<TruePeakChannel[]> truePeak;  // both channels' interpolators (64 KB)
    std::vector<LoudnessPoint> newPoints;         // completed points not yet taken by the caller
};

// [feed-thread] (Re)starts everything at rateHz: the one place that allocates. False when the
// rate is not in 1 .. kMaxLevelRateHz Hz (then nothing is measured and every reading is NaN).
bool startLevels(LevelAnalysis& a, double rateHz);
// [feed-thread] Measures frames of stereo audio (right all zeros for mono input); completes
// history points into newPoints (the caller clears it after taking them).
void addLevelFrames(LevelAnalysis& a, const float* left, const float* right, size_t frames);
// [feed-thread]
LevelReadings readLevels(const LevelAnalysis& a);

// Spectrum: the FFT length for a rate, bands 1/6 octave apart centred on 1 kHz between these.
inline constexpr int kBandsPerOctave = 6;
inline constexpr double kLowestBandHz = 20.0;
inline constexpr double kHighestBandHz = 20000.0;
inline constexpr size_t kMinFftSize = 1024, kMaxFftSize = 65536;
inline constexpr double kPeakHoldS = 1.5;
inline constexpr double kPeakFallDbPerS = 20.0;

// 8192 points at 44.1 and 48 kHz, doubled per doubling of the rate (similar resolution in Hz).
size_t fftSizeForRate(double rateHz);

struct SpectrumAnalysis {
    double rateHz = 0.0;
    size_t fftSize = 0;
    kiss_fftr_state* fft = nullptr;
    // The newest fftSize frames, a ring per channel; mono input fills both.
    std::vector<float> ringL, ringR;
    size_t ringPos = 0;
    std::vector<float> window, timeData, power;
    std::vector<float> freqData;  // fftSize / 2 + 1 complex values, interleaved re, im
    // Per band: the bins it sums, [firstBin[b], endBin[b]).
    std::vector<uint32_t> firstBin, endBin;
    std::vector<float> centreHz, levelDb, peakDb;
    std::vector<double> holdUntilS;
    double lastAnalysisS = 0.0;
    bool analysed = false;
    uint64_t sequence = 0;

    SpectrumAnalysis() = default;
    ~SpectrumAnalysis();
    SpectrumAnalysis(const SpectrumAnalysis&) = delete;
    SpectrumAnalysis& operator=(const SpectrumAnalysis&) = delete;
};

// [feed-thread] (Re)starts at rateHz (allocates): bands, window, FFT plan, empty history.
// False when no band lies below the rate's Nyquist frequency.
bool startSpectrum(SpectrumAnalysis& s, double rateHz);
// [feed-thread] Keeps the newest frames.
void addSpectrumFrames(SpectrumAnalysis& s, const float* left, const float* right, size_t frames,
                       uint32_t channels);
// [feed-thread] Analyses the newest fftSize frames into levelDb and moves the peak hold on to
// nowS (seconds on any monotonic clock).
void analyseSpectrum(SpectrumAnalysis& s, double nowS);
// [feed-thread] Drops the peak hold (a meter reset).
void resetSpectrumPeaks(SpectrumAnalysis& s);

}  // namespace companion
