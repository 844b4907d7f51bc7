// Loudness (K-weighted, 100 ms blocks, 400 ms / 3 s windows, gated histogram) and level (RMS,
// peak, crest) metering of the raw input, plus the transport watch that restarts both.
#include "meter/meter.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

// K-weighting stage 1 (high shelf), bilinear design for the actual rate.
constexpr double kShelfOmegaTimesRateHz = 5284.078578647628;  // pi * 1681.974450955533 Hz
constexpr double kShelfOneOverQ = 1.414076664088621;          // 1 / 0.7071752369554196
constexpr double kShelfGainHigh = 1.5848647011308556;         // Vh: +3.999843853973347 dB
constexpr double kShelfGainBandOverQ = 1.7799278940417869;    // Vb / Q
// K-weighting stage 2 (high-pass).
constexpr double kHighPassOmegaTimesRateHz = 119.8061151453059;  // pi * 38.13547087602444 Hz
constexpr double kHighPassOneOverQ = 1.9986927057725021;         // 1 / 0.5003270373238773

constexpr double kLoudnessOffsetLu = 0.691;  // BS.1770 offset of the K-weighted mean square
constexpr uint64_t kShortTermBlocks = kLoudnessRingBlocks;  // 3 s window
constexpr double kHistogramBinsPerLu = 10.0;
constexpr double kHistogramOffsetBins = 700.0;  // bin of -70 LUFS is 0
constexpr int32_t kTopBin = static_cast<int32_t>(kHistogramBins) - 1;
// Bin of the relative gate: 10 * (10 log10(mean) - 0.691 - 10 + 70) = 100 log10(mean) + 593.09.
constexpr double kRelativeGateBinsPerDecade = 100.0;
constexpr double kRelativeGateOffsetBins = 593.09;
// Relative difference between the RMS running total and the fresh sum of its slots beyond
// which the running total counts as spoilt. Ordinary rounding stays many decades below it (an
// hour of audio adds up to about 1e-11); a residue left by a far louder block exceeds it.
constexpr double kRmsTotalTolerance = 1e-9;
constexpr double kTransportSecondsPerUnit = 1.0 / 2147483648.0;  // 1 / CLAP_SECTIME_FACTOR

// Filter delay values below this magnitude are set to exactly 0, at fixed points of the 100 ms
// block (every kFlushIntervalFrames samples and at its end), the same in the per-frame and the
// per-block path. Below it a value contributes nothing to any squared output (14 * 1e-170
// squared underflows to zero), so only the last bits of later values can change. Without it a
// decay into digital silence reaches subnormal numbers, which cost far more per operation, and
// can cycle there for ever. The faster shelf stage decays by at most 94 decades per 256
// samples (its poles have radius 0.43 at 8 kHz, 0.86 at 48 kHz), so from the flush magnitude it
// cannot reach the subnormal range (below 2.2e-308) before the next check.
constexpr double kFilterFlushMagnitude = 1e-170;
constexpr uint64_t kFlushIntervalFrames = 256;

// Left and right side by side: one packed operation does the same IEEE arithmetic on each
// lane as a scalar one, so a frame costs half the instructions and rounds exactly alike.
typedef double Pair __attribute__((vector_size(16)));
typedef int64_t PairBits __attribute__((vector_size(16)));
constexpr PairBits kMagnitudeBits = {INT64_MAX, INT64_MAX};  // clears the sign bit

// Delay values of both channels: lane 0 left, lane 1 right.
struct FilterState {
    Pair shelfW1, shelfW2, highPassW1, highPassW2;
};

struct Coeffs {
    double sb0, sb1, sb2, sa1, sa2;  // shelf
    double ha1, ha2;                 // high-pass; b = 1, -2, 1
};

// [audio-thread]
Coeffs loadCoeffs(const LoudnessMeter& m) {
    return {m.shelfCoeffs[0], m.shelfCoeffs[1],    m.shelfCoeffs[2],   m.shelfCoeffs[3],
            m.shelfCoeffs[4], m.highPassCoeffs[3], m.highPassCoeffs[4]};
}

// [audio-thread] Both K-weighting stages, Direct Form II, both channels, one frame. The one
// definition used by the per-frame and the per-block paths, so both round alike. The feedback
// term of the older delay is subtracted first: the newest delay value then waits for one
// multiply and one subtraction only, which sets the pace of the whole loop.
inline Pair kWeight(const Coeffs& c, FilterState& s, Pair x) {
    const Pair w = (x - c.sa2 * s.shelfW2) - c.sa1 * s.shelfW1;
    const Pair y1 = (c.sb2 * s.shelfW2 + c.sb1 * s.shelfW1) + c.sb0 * w;
    s.shelfW2 = s.shelfW1;
    s.shelfW1 = w;
    const Pair v = (y1 - c.ha2 * s.highPassW2) - c.ha1 * s.highPassW1;
    // b0, b1, b2 = 1, -2, 1: multiplying by them is exact.
    const Pair y = (s.highPassW2 - 2.0 * s.highPassW1) + v;
    s.highPassW2 = s.highPassW1;
    s.highPassW1 = v;
    return y;
}

// [audio-thread] |x| per lane; NaN stays NaN.
inline Pair magnitude(Pair x) {
    return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(x) & kMagnitudeBits);
}

// [audio-thread] The sample the filters and the RMS sum take: a NaN or infinite sample counts as
// silence. One such sample would otherwise stay in the filters' delays and the RMS running
// total for good, and every loudness and RMS value would read "no value" (or latch at +inf)
// until the next reset. The peak still sees the raw sample.
inline Pair finiteOrZero(Pair x, Pair magnitudeOfX) {
    constexpr double kLargest = std::numeric_limits<double>::max();
    const PairBits finite = magnitudeOfX <= Pair{kLargest, kLargest};  // false for inf and NaN
    return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(x) & finite);
}
inline Pair finiteOrZero(Pair x) {
    return finiteOrZero(x, magnitude(x));
}

// [audio-thread]
FilterState loadFilters(const LoudnessMeter& m) {
    return {Pair{m.shelfState[0], m.shelfState[2]}, Pair{m.shelfState[1], m.shelfState[3]},
            Pair{m.highPassState[0], m.highPassState[2]},
            Pair{m.highPassState[1], m.highPassState[3]}};
}

// [audio-thread]
void storeFilters(LoudnessMeter& m, const FilterState& s) {
    m.shelfState[0] = s.shelfW1[0];
    m.shelfState[1] = s.shelfW2[0];
    m.shelfState[2] = s.shelfW1[1];
    m.shelfState[3] = s.shelfW2[1];
    m.highPassState[0] = s.highPassW1[0];
    m.highPassState[1] = s.highPassW2[0];
    m.highPassState[2] = s.highPassW1[1];
    m.highPassState[3] = s.highPassW2[1];
}

// [audio-thread] Sets each channel's delay pair of a stage to zero once both are negligible.
inline void flushTiny(Pair& w1, Pair& w2) {
    for (int lane = 0; lane < 2; ++lane) {
        if (std::fabs(w1[lane]) < kFilterFlushMagnitude &&
            std::fabs(w2[lane]) < kFilterFlushMagnitude) {
            w1[lane] = 0.0;
            w2[lane] = 0.0;
        }
    }
}

// [audio-thread]
inline void flushTiny(FilterState& f) {
    flushTiny(f.shelfW1, f.shelfW2);
    flushTiny(f.highPassW1, f.highPassW2);
}

// [audio-thread] The points within a 100 ms block at which the filters are flushed.
inline bool atFlushPoint(const LoudnessMeter& m) {
    return m.blockSamples % kFlushIntervalFrames == 0 || m.blockSamples >= m.blockLength;
}

// [audio-thread] LUFS of a K-weighted mean square.
inline double loudnessOf(double meanSquare) {
    // Also false for NaN: a window of no or undefined energy has no loudness.
    return meanSquare > 0.0 ? 10.0 * std::log10(meanSquare) - kLoudnessOffsetLu : kNoLevel;
}

// [audio-thread] One gating block (a 400 ms window) for the integrated loudness.
void updateIntegrated(LoudnessMeter& m, double meanSquare, double momentaryLufs) {
    if (!m.integrating || !(meanSquare > 0.0) || !(momentaryLufs >= kAbsoluteGateLufs)) {
        return;
    }
    // Clamped in f64 before the conversion, so no value, however large, meets an integer
    // conversion out of range (which would be undefined).
    double binValue = kHistogramBinsPerLu * momentaryLufs + kHistogramOffsetBins;
    if (!(binValue < static_cast<double>(kTopBin))) {
        binValue = static_cast<double>(kTopBin);
    }
    const int32_t bin = static_cast<int32_t>(binValue);  // >= 0 since momentary >= -70
    m.histCounts[bin] += 1;
    m.histEnergy[bin] += meanSquare;
    m.gatedEnergySum += meanSquare;
    m.gatedBlockCount += 1;

    const double mean = m.gatedEnergySum / static_cast<double>(m.gatedBlockCount);
    int32_t gateBin = 0;
    if (mean > 0.0) {
        const double gateValue =
            kRelativeGateBinsPerDecade * std::log10(mean) + kRelativeGateOffsetBins;
        // Truncation toward zero exceeds the top bin exactly when the value reaches top + 1;
        // tested in f64 so an infinite mean never meets the integer conversion.
        if (gateValue >= static_cast<double>(kTopBin + 1)) {
            m.integrated = kNoLevel;
            return;
        }
        gateBin = static_cast<int32_t>(gateValue);  // >= -31739 for any positive f64 mean
    }
    if (gateBin < 0) {
        gateBin = 0;
    }
    uint64_t count = 0;
    double energy = 0.0;
    for (int32_t b = gateBin; b <= kTopBin; ++b) {
        count += m.histCounts[b];
        energy += m.histEnergy[b];
    }
    if (count > 0) {
        m.integrated = loudnessOf(energy / static_cast<double>(count));
    } else {
        m.integrated = kNoLevel;
    }
}

// [audio-thread] A 100 ms loudness block has just completed with the given channel sums.
void completeLoudnessBlock(LoudnessMeter& m, double sumL, double sumR) {
    m.blockEnergies[m.ringIndex] = sumL + sumR;
    m.ringIndex = (m.ringIndex + 1) % kLoudnessRingBlocks;
    if (m.ringFill < kLoudnessRingBlocks) {
        m.ringFill += 1;
    }
    m.blockSumL = 0.0;
    m.blockSumR = 0.0;
    m.blockSamples = 0;

    if (m.ringFill < kMomentaryBlocks) {
        return;
    }
    double windowEnergy = 0.0;
    for (uint64_t k = 1; k <= kMomentaryBlocks; ++k) {
        windowEnergy +=
            m.blockEnergies[(m.ringIndex + kLoudnessRingBlocks - k) % kLoudnessRingBlocks];
    }
    const double meanSquare =
        windowEnergy / static_cast<double>(uint64_t{kMomentaryBlocks} * m.blockLength);
    m.momentary = loudnessOf(meanSquare);
    updateIntegrated(m, meanSquare, m.momentary);

    if (m.ringFill == kShortTermBlocks) {
        double total = 0.0;
        for (uint64_t k = 0; k < kShortTermBlocks; ++k) {
            total += m.blockEnergies[k];
        }
        m.shortTerm = loudnessOf(total / static_cast<double>(kShortTermBlocks * m.blockLength));
    }
}

// [audio-thread] A 100 ms RMS block has just completed with the given sum of L^2 + R^2.
void completeRmsBlock(LevelMeter& level, ControlBlock* control, double blockSum) {
    const int32_t slot = level.rmsRingIndex;
    level.rmsRingSum = level.rmsRingSum - level.rmsRing[slot];
    level.rmsRing[slot] = blockSum;
    level.rmsRingSum = level.rmsRingSum + blockSum;
    // The running total keeps the rounding residue of every block that passed through it. Once
    // a block far louder than the rest has left, that residue can outweigh the whole window: a
    // single 1e10 sample makes a 0.1 sine read 6 dB too loud, and silence read -92 dB instead
    // of no value. The four slots summed afresh are right to a few units in the last place;
    // where the running total strays further from them it takes their value, so ordinary
    // material keeps the running total's result bit for bit.
    const double fresh =
        ((level.rmsRing[0] + level.rmsRing[1]) + level.rmsRing[2]) + level.rmsRing[3];
    if (std::fabs(level.rmsRingSum - fresh) > kRmsTotalTolerance * fresh) {
        level.rmsRingSum = fresh;
    }
    level.rmsRingIndex = (slot + 1) % static_cast<int32_t>(kRmsRingBlocks);
    if (level.rmsRingFill < static_cast<int32_t>(kRmsRingBlocks)) {
        level.rmsRingFill += 1;
    }
    if (level.rmsRingFill == static_cast<int32_t>(kRmsRingBlocks) && control != nullptr) {
        const double mean = level.rmsRingSum / (static_cast<double>(level.rmsBlockLength) *
                                                static_cast<double>(kRmsRingBlocks));
        const double rmsDb = mean > 0.0 ? 10.0 * std::log10(mean) : kNoLevel;
        storeRelaxed(control->rmsDb, rmsDb);
        if (rmsDb > loadRelaxed(control->rmsMaxDb) && rmsDb > kHoldFloorDb) {
            storeRelaxed(control->rmsMaxDb, rmsDb);
        }
    }
    level.rmsBlockSum = 0.0;
    level.rmsBlockSamples = 0;
}

// [audio-thread] Frames left until the block of the given length completes; a block that is already
// due (a zero length) completes after the next frame.
inline uint64_t framesToBoundary(uint64_t length, uint64_t counted) {
    return counted >= length ? 1 : length - counted;
}

// Running sums of the frame loop, kept in registers between two boundaries.
struct Sums {
    Pair loudness;  // blockSumL, blockSumR
    double rms;     // rmsBlockSum
    Pair peak;      // largest magnitude per channel
};

// [audio-thread] The frame loop between two boundaries. Stereo and mono are separate
// instantiations so the per-frame work carries no test of the channel layout; so are the
// ordinary run and the rerun that counts non-finite samples as silence (see meterBlock).
template <bool kStereo, bool kSanitize>
void runFrames(const Coeffs& c, FilterState& filters, const float* inL, const float* inR,
               uint32_t count, Sums& sums) {
    FilterState f = filters;
    Pair sumSq = sums.loudness;
    double rms = sums.rms;
    Pair peak = sums.peak;
    for (uint32_t i = 0; i < count; ++i) {
        const Pair raw = {inL[i], kStereo ? inR[i] : 0.0};
        const Pair m = magnitude(raw);
        const Pair x = kSanitize ? finiteOrZero(raw, m) : raw;
        const Pair y = kWeight(c, f, x);
        sumSq += y * y;
        const Pair xx = x * x;
        rms += xx[0] + xx[1];  // the per-frame form's left * left + right * right
        // A select, not a branch: a NaN compares false and never becomes the peak.
        peak = m > peak ? m : peak;
    }
    filters = f;
    sums.loudness = sumSq;
    sums.rms = rms;
    sums.peak = peak;
}

}  // namespace

// [main-thread, inactive]
void prepareMeters(LoudnessMeter& loudness, LevelMeter& level, double sampleRate) {
    {
        const double k = std::tan(kShelfOmegaTimesRateHz / sampleRate);
        const double kOverQ = k * kShelfOneOverQ;
        const double vbKOverQ = k * kShelfGainBandOverQ;
        const double k2 = k * k;
        const double a0 = 1.0 + kOverQ + k2;
        loudness.shelfCoeffs[0] = (kShelfGainHigh + vbKOverQ + k2) / a0;
        loudness.shelfCoeffs[1] = 2.0 * (k2 - kShelfGainHigh) / a0;
        loudness.shelfCoeffs[2] = (kShelfGainHigh - vbKOverQ + k2) / a0;
        loudness.shelfCoeffs[3] = 2.0 * (k2 - 1.0) / a0;
        loudness.shelfCoeffs[4] = (1.0 - kOverQ + k2) / a0;
    }
    {
        const double k = std::tan(kHighPassOmegaTimesRateHz / sampleRate);
        const double kOverQ = k * kHighPassOneOverQ;
        const double k2 = k * k;
        const double a0 = 1.0 + kOverQ + k2;
        loudness.highPassCoeffs[0] = 1.0;
        loudness.highPassCoeffs[1] = -2.0;
        loudness.highPassCoeffs[2] = 1.0;
        loudness.highPassCoeffs[3] = 2.0 * (k2 - 1.0) / a0;
        loudness.highPassCoeffs[4] = (1.0 - kOverQ + k2) / a0;
    }
    const auto blockLength = static_cast<uint64_t>(sampleRate * kMeterBlockSeconds);
    loudness.blockLength = blockLength;
    level.rmsBlockLength = blockLength;
}

// [audio-thread or main-thread, inactive]
void resetMeters(LoudnessMeter& loudness, LevelMeter& level) {
    std::memset(loudness.shelfState, 0, sizeof loudness.shelfState);
    std::memset(loudness.highPassState, 0, sizeof loudness.highPassState);
    loudness.blockSumL = 0.0;
    loudness.blockSumR = 0.0;
    loudness.blockSamples = 0;
    std::memset(loudness.blockEnergies, 0, sizeof loudness.blockEnergies);
    loudness.ringIndex = 0;
    loudness.ringFill = 0;
    std::memset(loudness.histCounts, 0, sizeof loudness.histCounts);
    std::memset(loudness.histEnergy, 0, sizeof loudness.histEnergy);
    loudness.gatedEnergySum = 0.0;
    loudness.gatedBlockCount = 0;
    loudness.momentary = kNoLevel;
    loudness.shortTerm = kNoLevel;
    loudness.integrated = kNoLevel;

    std::memset(level.rmsRing, 0, sizeof level.rmsRing);
    level.rmsRingIndex = 0;
    level.rmsBlockSum = 0.0;
    level.rmsBlockSamples = 0;
    level.rmsRingSum = 0.0;
    level.rmsRingFill = 0;
    level.peak = 0.0;
}

// [audio-thread]
void trackTransport(LoudnessMeter& loudness, LevelMeter& level, ControlBlock* control,
                    const clap_event_transport* transport, uint32_t framesCount,
                    double sampleRate) {
    const bool playing = (transport->flags & CLAP_TRANSPORT_IS_PLAYING) != 0;
    bool restart = false;
    if (!playing) {
        level.expectedPosition = -1.0;
    } else if (!level.wasPlaying) {
        restart = true;  // a start, whatever the other flags say
    } else if ((transport->flags & CLAP_TRANSPORT_HAS_SECONDS_TIMELINE) != 0) {
        const double pos =
            static_cast<double>(transport->song_pos_seconds) * kTransportSecondsPerUnit;
        if (level.expectedPosition < 0.0 ||
            std::fabs(pos - level.expectedPosition) <= kTransportJumpSeconds) {
            level.expectedPosition = pos + framesCount / sampleRate;
        } else {
            restart = true;  // a jump of more than 0.1 s, forward or back
        }
    }
    if (restart) {
        resetMeters(loudness, level);
        if (control != nullptr) {
            storeRelaxed(control->momentaryLufs, kNoLevel);
            storeRelaxed(control->shortTermLufs, kNoLevel);
            storeRelaxed(control->shortTermMaxLufs, kNoLevel);
            storeRelaxed(control->integratedLufs, kNoLevel);
            storeRelaxed(control->momentaryMaxLufs, kNoLevel);
            storeRelaxed(control->rmsDb, kNoLevel);
            storeRelaxed(control->rmsMaxDb, kNoLevel);
            storeRelaxed(control->peakDb, kNoLevel);
            storeRelaxed(control->crestDb, kNoLevel);
        }
        level.expectedPosition = -1.0;
    }
    loudness.integrating = playing;
    level.wasPlaying = playing;
}

// [audio-thread]
void addLoudnessSample(LoudnessMeter& loudness, double left, double right) {
    FilterState f = loadFilters(loudness);
    const Pair y = kWeight(loadCoeffs(loudness), f, finiteOrZero(Pair{left, right}));
    loudness.blockSumL += y[0] * y[0];
    loudness.blockSumR += y[1] * y[1];
    loudness.blockSamples += 1;
    if (atFlushPoint(loudness)) {
        flushTiny(f);
    }
    storeFilters(loudness, f);
    if (loudness.blockSamples >= loudness.blockLength) {
        completeLoudnessBlock(loudness, loudness.blockSumL, loudness.blockSumR);
    }
}

// [audio-thread]
void addLevelSample(LevelMeter& level, ControlBlock* control, double left, double right) {
    const double al = std::fabs(left);
    const double ar = std::fabs(right);
    // The larger magnitude that is a number: a NaN in one channel never hides the other.
    const double p = ar > al ? ar : (al == al ? al : ar);
    if (p > level.peak) {
        level.peak = p;
    }
    const Pair x = finiteOrZero(Pair{left, right});
    level.rmsBlockSum += x[0] * x[0] + x[1] * x[1];
    level.rmsBlockSamples += 1;
    if (level.rmsBlockSamples >= level.rmsBlockLength) {
        completeRmsBlock(level, control, level.rmsBlockSum);
    }
}

// [audio-thread]
void meterBlock(LoudnessMeter& loudness, LevelMeter& level, ControlBlock* control, const float* inL,
                const float* inR, uint32_t frames) {
    const Coeffs c = loadCoeffs(loudness);
    FilterState filters = loadFilters(loudness);
    // The peak over both channels is the larger of the two channels' peaks: a maximum does not
    // depend on the order in which values arrive.
    Sums sums = {Pair{loudness.blockSumL, loudness.blockSumR}, level.rmsBlockSum,
                 Pair{level.peak, level.peak}};
    uint32_t done = 0;
    while (done < frames) {
        const uint64_t toLoudness = framesToBoundary(loudness.blockLength, loudness.blockSamples);
        const uint64_t toRms = framesToBoundary(level.rmsBlockLength, level.rmsBlockSamples);
        const uint64_t toFlush =
            kFlushIntervalFrames - loudness.blockSamples % kFlushIntervalFrames;
        uint64_t run = toLoudness < toRms ? toLoudness : toRms;
        run = run < toFlush ? run : toFlush;
        run = run < frames - done ? run : frames - done;
        const auto count = static_cast<uint32_t>(run);
        // A missing right channel reads 0.0, which also rings out a right filter left moving
        // by an earlier stereo block.
        auto runSegment = [&](auto sanitize) {
            if (inR != nullptr)
                runFrames<true, sanitize()>(c, filters, inL + done, inR + done, count, sums);
            else
                runFrames<false, sanitize()>(c, filters, inL + done, nullptr, count, sums);
        };
        // f32 input cannot overflow these sums, so they are finite exactly when every sample of
        // the segment was: only then is the ordinary run the same as counting bad samples as
        // silence. Otherwise the segment runs again from where it started, with that count.
        const FilterState filtersBefore = filters;
        const Sums sumsBefore = sums;
        runSegment(std::false_type{});
        if (!std::isfinite(sums.loudness[0] + sums.loudness[1] + sums.rms)) {
            filters = filtersBefore;
            sums = sumsBefore;
            runSegment(std::true_type{});
        }
        done += count;
        loudness.blockSamples += run;
        level.rmsBlockSamples += run;

        if (atFlushPoint(loudness)) {
            flushTiny(filters);
        }
        if (loudness.blockSamples >= loudness.blockLength) {
            completeLoudnessBlock(loudness, sums.loudness[0], sums.loudness[1]);
            sums.loudness = Pair{0.0, 0.0};
        }
        if (level.rmsBlockSamples >= level.rmsBlockLength) {
            completeRmsBlock(level, control, sums.rms);
            sums.rms = 0.0;
        }
    }
    storeFilters(loudness, filters);
    loudness.blockSumL = sums.loudness[0];
    loudness.blockSumR = sums.loudness[1];
    level.rmsBlockSum = sums.rms;
    level.peak = sums.peak[1] > sums.peak[0] ? sums.peak[1] : sums.peak[0];
}

// [audio-thread]
void publishMeters(const LoudnessMeter& loudness, const LevelMeter& level, ControlBlock& control) {
    storeRelaxed(control.momentaryLufs, loudness.momentary);
    if (loudness.momentary > loadRelaxed(control.momentaryMaxLufs) &&
        loudness.momentary > kHoldFloorDb) {
        storeRelaxed(control.momentaryMaxLufs, loudness.momentary);
    }
    storeRelaxed(control.shortTermLufs, loudness.shortTerm);
    if (loudness.shortTerm > loadRelaxed(control.shortTermMaxLufs) &&
        loudness.shortTerm > kHoldFloorDb) {
        storeRelaxed(control.shortTermMaxLufs, loudness.shortTerm);
    }
    storeRelaxed(control.integratedLufs, loudness.integrated);

    const double peakDb = level.peak > 0.0 ? 20.0 * std::log10(level.peak) : kNoLevel;
    storeRelaxed(control.peakDb, peakDb);
    const double rmsMaxDb = loadRelaxed(control.rmsMaxDb);
    if (level.peak > 0.0 && peakDb > kHoldFloorDb && rmsMaxDb > kHoldFloorDb) {
        storeRelaxed(control.crestDb, peakDb - rmsMaxDb);
    }
}
