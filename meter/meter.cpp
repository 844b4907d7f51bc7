// Loudness (K-weighted, 100 ms blocks, 400 ms / 3 s windows, gated histogram) and level (RMS,
// peak, crest) metering of the raw input, plus the transport watch that restarts both.
#include "meter/meter.h"

#include <cmath>
#include <cstring>

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
constexpr double kTransportSecondsPerUnit = 1.0 / 2147483648.0;  // 1 / CLAP_SECTIME_FACTOR

// Filter delay values below this magnitude are set to exactly 0 at 100 ms block boundaries.
// Below it a value contributes nothing to any squared output (14 * 1e-170 squared underflows to
// zero), so only the last bits of later values can change; without it a decay into silence
// reaches subnormal numbers, which cost ~100x per operation on x86 and can cycle there forever.
constexpr double kFilterFlushMagnitude = 1e-170;

// Delay values of one channel, for the block loop's locals.
struct ChannelState {
    double shelfW1, shelfW2, highPassW1, highPassW2;
};

struct Coeffs {
    double sb0, sb1, sb2, sa1, sa2;  // shelf
    double ha1, ha2;                 // high-pass; b = 1, -2, 1
};

Coeffs loadCoeffs(const LoudnessMeter& m) {
    return {m.shelfCoeffs[0], m.shelfCoeffs[1],    m.shelfCoeffs[2],   m.shelfCoeffs[3],
            m.shelfCoeffs[4], m.highPassCoeffs[3], m.highPassCoeffs[4]};
}

// [audio-thread] Both K-weighting stages, Direct Form II, one channel, one sample.
// The single definition used by the per-frame and the per-block paths, so both round alike.
inline double kWeight(const Coeffs& c, ChannelState& s, double x) {
    const double w = x - c.sa1 * s.shelfW1 - c.sa2 * s.shelfW2;
    const double y1 = c.sb0 * w + c.sb1 * s.shelfW1 + c.sb2 * s.shelfW2;
    s.shelfW2 = s.shelfW1;
    s.shelfW1 = w;
    const double v = y1 - c.ha1 * s.highPassW1 - c.ha2 * s.highPassW2;
    // b0, b1, b2 = 1, -2, 1: multiplying by them is exact, so this equals b0*v + b1*w1 + b2*w2.
    const double y = v - 2.0 * s.highPassW1 + s.highPassW2;
    s.highPassW2 = s.highPassW1;
    s.highPassW1 = v;
    return y;
}

ChannelState loadChannel(const LoudnessMeter& m, int channel) {
    const int i = 2 * channel;
    return {m.shelfState[i], m.shelfState[i + 1], m.highPassState[i], m.highPassState[i + 1]};
}

void storeChannel(LoudnessMeter& m, int channel, const ChannelState& s) {
    const int i = 2 * channel;
    m.shelfState[i] = s.shelfW1;
    m.shelfState[i + 1] = s.shelfW2;
    m.highPassState[i] = s.highPassW1;
    m.highPassState[i + 1] = s.highPassW2;
}

// [audio-thread] Sets a stage's delay pair to zero once both are negligibly small.
inline void flushTiny(double& w1, double& w2) {
    if (std::fabs(w1) < kFilterFlushMagnitude && std::fabs(w2) < kFilterFlushMagnitude) {
        w1 = 0.0;
        w2 = 0.0;
    }
}

inline double loudnessOf(double meanSquare) {
    // Also false for NaN: a window of no or undefined energy has no loudness.
    return meanSquare > 0.0 ? 10.0 * std::log10(meanSquare) - kLoudnessOffsetLu : kNoLevel;
}

// [audio-thread] One gating block (a 400 ms window) for the integrated loudness.
void updateIntegrated(LoudnessMeter& m, double meanSquare, double momentaryLufs) {
    if (!m.integrating || !(meanSquare > 0.0) || !(momentaryLufs >= kAbsoluteGateLufs)) {
        return;
    }
    // The bin is clamped before the conversion: a float input far above full scale can reach
    // +inf LUFS, whose conversion to an integer would be undefined.
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

    // Once per 100 ms is often enough: a delay value needs far longer than one block to
    // fall from the flush magnitude into the subnormal range.
    flushTiny(m.shelfState[0], m.shelfState[1]);
    flushTiny(m.shelfState[2], m.shelfState[3]);
    flushTiny(m.highPassState[0], m.highPassState[1]);
    flushTiny(m.highPassState[2], m.highPassState[3]);

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

inline bool atRest(const ChannelState& s) {
    return s.shelfW1 == 0.0 && s.shelfW2 == 0.0 && s.highPassW1 == 0.0 && s.highPassW2 == 0.0;
}

// Frames left until the block of the given length completes; a block that is already due (a
// zero length) completes after the next frame.
inline uint64_t framesToBoundary(uint64_t length, uint64_t counted) {
    return counted >= length ? 1 : length - counted;
}

// [audio-thread] The frame loop between two boundaries, with every piece of state in locals.
// Stereo and mono are separate instantiations so the mono loop carries no right-channel work.
template <bool kStereo>
void runFrames(const Coeffs& c, ChannelState& left, ChannelState& right, const float* inL,
               const float* inR, uint32_t count, double& sumL, double& sumR, double& rmsSum,
               double& peak) {
    // Peaks of the two channels kept apart and merged at the end: a maximum does not depend
    // on the order in which it is taken, and two chains halve the loop's dependency on it.
    double peakL = peak;
    double peakR = peak;
    for (uint32_t i = 0; i < count; ++i) {
        const double l = inL[i];
        const double yl = kWeight(c, left, l);
        sumL += yl * yl;
        const double al = std::fabs(l);
        peakL = al > peakL ? al : peakL;  // a select: NaN compares false and never wins
        if constexpr (kStereo) {
            const double r = inR[i];
            const double yr = kWeight(c, right, r);
            sumR += yr * yr;
            rmsSum += l * l + r * r;
            const double ar = std::fabs(r);
            peakR = ar > peakR ? ar : peakR;
        } else {
            rmsSum += l * l;  // equal to l * l + 0.0 * 0.0, since a square is never -0.0
        }
    }
    peak = peakR > peakL ? peakR : peakL;
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
    const Coeffs c = loadCoeffs(loudness);
    ChannelState l = loadChannel(loudness, 0);
    ChannelState r = loadChannel(loudness, 1);
    const double yl = kWeight(c, l, left);
    const double yr = kWeight(c, r, right);
    storeChannel(loudness, 0, l);
    storeChannel(loudness, 1, r);
    loudness.blockSumL += yl * yl;
    loudness.blockSumR += yr * yr;
    loudness.blockSamples += 1;
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
    level.rmsBlockSum += left * left + right * right;
    level.rmsBlockSamples += 1;
    if (level.rmsBlockSamples >= level.rmsBlockLength) {
        completeRmsBlock(level, control, level.rmsBlockSum);
    }
}

// [audio-thread]
void meterBlock(LoudnessMeter& loudness, LevelMeter& level, ControlBlock* control, const float* inL,
                const float* inR, uint32_t frames) {
    const Coeffs c = loadCoeffs(loudness);
    ChannelState left = loadChannel(loudness, 0);
    ChannelState right = loadChannel(loudness, 1);
    double peak = level.peak;
    uint32_t done = 0;
    while (done < frames) {
        const uint64_t toLoudness = framesToBoundary(loudness.blockLength, loudness.blockSamples);
        const uint64_t toRms = framesToBoundary(level.rmsBlockLength, level.rmsBlockSamples);
        const uint64_t left64 = frames - done;
        uint64_t run = toLoudness < toRms ? toLoudness : toRms;
        run = run < left64 ? run : left64;
        const auto count = static_cast<uint32_t>(run);

        double sumL = loudness.blockSumL;
        double sumR = loudness.blockSumR;
        double rmsSum = level.rmsBlockSum;
        if (inR != nullptr) {
            runFrames<true>(c, left, right, inL + done, inR + done, count, sumL, sumR, rmsSum,
                            peak);
        } else if (atRest(right)) {
            // A right filter at rest fed zeros only ever outputs and adds exact zeros.
            runFrames<false>(c, left, right, inL + done, nullptr, count, sumL, sumR, rmsSum, peak);
        } else {
            // The right filter still rings from an earlier stereo block: feed it zeros.
            static constexpr float kZeros[256] = {};
            uint32_t offset = 0;
            while (offset < count) {
                const uint32_t n = count - offset < 256 ? count - offset : 256;
                runFrames<true>(c, left, right, inL + done + offset, kZeros, n, sumL, sumR, rmsSum,
                                peak);
                offset += n;
            }
        }
        done += count;
        loudness.blockSamples += run;
        level.rmsBlockSamples += run;
        loudness.blockSumL = sumL;
        loudness.blockSumR = sumR;
        level.rmsBlockSum = rmsSum;

        if (loudness.blockSamples >= loudness.blockLength) {
            storeChannel(loudness, 0, left);
            storeChannel(loudness, 1, right);
            completeLoudnessBlock(loudness, sumL, sumR);
            left = loadChannel(loudness, 0);  // the boundary may have flushed tiny values
            right = loadChannel(loudness, 1);
        }
        if (level.rmsBlockSamples >= level.rmsBlockLength) {
            completeRmsBlock(level, control, rmsSum);
        }
    }
    storeChannel(loudness, 0, left);
    storeChannel(loudness, 1, right);
    level.peak = peak;
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
