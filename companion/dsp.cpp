#include "companion/dsp.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace companion {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// BS.1770's loudness offset and its K-weighting, from the analog prototype of the standard's
// 48 kHz coefficients so that any rate gets the same response: a high shelf, then a high-pass.
constexpr double kLoudnessOffsetDb = -0.691;
constexpr double kShelfHz = 1681.974450955533, kShelfGainDb = 3.999843853973347,
                 kShelfQ = 0.7071752369554196, kShelfSlope = 0.4996667741545416;
constexpr double kHighPassHz = 38.13547087602444, kHighPassQ = 0.5003270373238773;
// Filter state this small is noise; flushed so silence never runs in denormals.
constexpr double kDenormalFloor = 1e-25;
constexpr double kPointsPerSecond = kHistoryPointsPerSecond;
constexpr float kPowerFloor = 1e-30f;

// NaN and infinities count as silence. Tested on the bits: no floating-point compare per sample.
inline float finiteOrZero(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7F800000u) == 0x7F800000u ? 0.0f : x;
}

double linearToDb(double linear) {
    return linear > 0.0 && std::isfinite(linear) ? 20.0 * std::log10(linear) : kNaN;
}

// The frame count at which history point `index` (0-based) ends: points follow the rate exactly
// even where 0.1 s is not a whole number of frames.
uint64_t pointEnd(double rateHz, uint64_t index) {
    return static_cast<uint64_t>(std::floor(double(index + 1) * rateHz / kPointsPerSecond));
}

Biquad shelfStage(double rateHz) {
    const double k = std::tan(M_PI * kShelfHz / rateHz);
    const double vh = std::pow(10.0, kShelfGainDb / 20.0);
    const double vb = std::pow(vh, kShelfSlope);
    const double a0 = 1.0 + k / kShelfQ + k * k;
    return {(vh + vb * k / kShelfQ + k * k) / a0, 2.0 * (k * k - vh) / a0,
            (vh - vb * k / kShelfQ + k * k) / a0, 2.0 * (k * k - 1.0) / a0,
            (1.0 - k / kShelfQ + k * k) / a0};
}

Biquad highPassStage(double rateHz) {
    const double k = std::tan(M_PI * kHighPassHz / rateHz);
    const double a0 = 1.0 + k / kHighPassQ + k * k;
    return {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / kHighPassQ + k * k) / a0};
}

// [feed-thread] K-weights n frames of both channels; returns the sum of their squares.
double kWeightedSquares(LevelAnalysis& a, const float* left, const float* right, size_t n) {
    const Biquad s = a.shelf, h = a.highPass;
    double total = 0.0;
    for (int channel = 0; channel < 2; ++channel) {
        const float* x = channel == 0 ? left : right;
        double* z = a.filterState[channel];
        double s1 = z[0], s2 = z[1], h1 = z[2], h2 = z[3];
        double squares = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const double in = finiteOrZero(x[i]);
            const double shelved = s.b0 * in + s1;
            s1 = s.b1 * in - s.a1 * shelved + s2;
            s2 = s.b2 * in - s.a2 * shelved;
            const double out = h.b0 * shelved + h1;
            h1 = h.b1 * shelved - h.a1 * out + h2;
            h2 = h.b2 * shelved - h.a2 * out;
            squares += out * out;
        }
        for (double* v : {&s1, &s2, &h1, &h2})
            if (std::fabs(*v) < kDenormalFloor)
                *v = 0.0;
        z[0] = s1, z[1] = s2, z[2] = h1, z[3] = h2;
        total += squares;
    }
    return total;
}

// The K-weighted mean square of the newest `points` completed points (0 for none).
double powerOver(const LevelAnalysis& a, int points) {
    double squares = 0.0;
    uint64_t frames = 0;
    for (int i = 1; i <= points; ++i) {
        const PointEnergy& e = a.energies[(a.energyPos - i + kShortTermPoints) % kShortTermPoints];
        squares += e.sumSquares;
        frames += e.frames;
    }
    return frames == 0 || !(squares > 0.0) ? 0.0 : squares / double(frames);
}

double powerToLufs(double power) {
    return kLoudnessOffsetDb + 10.0 * std::log10(power);
}

// The loudness of the newest `points` completed points; NaN for silence.
float loudnessOver(const LevelAnalysis& a, int points) {
    const double power = powerOver(a, points);
    return power > 0.0 ? static_cast<float>(powerToLufs(power))
                       : std::numeric_limits<float>::quiet_NaN();
}

// [feed-thread] Counts one short-term block into the range and measures the range again:
// blocks under the absolute gate are left out, then those more than kRangeRelativeGateLu under
// the mean power of the rest; the range is the 95th percentile less the 10th (EBU Tech 3342,
// percentiles taken as libebur128 does, at the bin's centre).
void addRangeBlock(LevelAnalysis& a, double power) {
    const double lufs = power > 0.0 ? powerToLufs(power) : -HUGE_VAL;
    if (lufs >= kRangeLowestLufs) {
        const int bin = std::min(kRangeBins - 1, int((lufs - kRangeLowestLufs) / kRangeBinLu));
        ++a.rangeCounts[static_cast<size_t>(bin)];
        a.rangePowerSum += power;
        ++a.rangeBlocks;
    }
    if (a.rangeBlocks == 0) {
        a.lraLu = 0.0;  // as libebur128 says for silence
        return;
    }
    const double gateLufs =
        powerToLufs(a.rangePowerSum / double(a.rangeBlocks)) - kRangeRelativeGateLu;
    const int firstBin =
        std::clamp(int(std::ceil((gateLufs - kRangeLowestLufs) / kRangeBinLu)), 0, kRangeBins - 1);
    uint64_t gated = 0;
    for (int b = firstBin; b < kRangeBins; ++b)
        gated += a.rangeCounts[static_cast<size_t>(b)];
    if (gated == 0) {
        a.lraLu = 0.0;
        return;
    }
    const uint64_t low = static_cast<uint64_t>(double(gated - 1) * 0.10 + 0.5);
    const uint64_t high = static_cast<uint64_t>(double(gated - 1) * 0.95 + 0.5);
    int lowBin = -1, highBin = -1;
    uint64_t seen = 0;
    for (int b = firstBin; b < kRangeBins && highBin < 0; ++b) {
        seen += a.rangeCounts[static_cast<size_t>(b)];
        if (lowBin < 0 && seen > low)
            lowBin = b;
        if (seen > high)
            highBin = b;
    }
    a.lraLu = double(highBin - lowBin) * kRangeBinLu;
}

// [feed-thread] Closes the history point that just filled up.
void completePoint(LevelAnalysis& a, uint64_t pointFrames) {
    a.energies[a.energyPos] = {a.pointSquares, pointFrames};
    a.energyPos = (a.energyPos + 1) % kShortTermPoints;
    a.pointSquares = 0.0;
    a.pointLevels.frames = pointFrames;
    a.channelLevels[a.channelLevelPos] = a.pointLevels;
    a.channelLevelPos = (a.channelLevelPos + 1) % kChannelLevelPoints;
    ++a.channelLevelPoints;
    a.pointLevels = ChannelLevels{};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    a.newPoints.push_back({a.frames >= a.momentaryFrom ? loudnessOver(a, kMomentaryPoints) : nan,
                           a.frames >= a.shortTermFrom ? loudnessOver(a, kShortTermPoints) : nan});
    for (int i = kTruePeakWindowPoints - 2; i > 0; --i)  // shift, newest first
        a.recentPeaks[i] = a.recentPeaks[i - 1];
    a.recentPeaks[0] = a.pointPeak;
    a.pointPeak = 0.0;
    ++a.points;
    a.nextPointAt = std::max(a.frames + 1, pointEnd(a.rateHz, a.points));
    // The range moves with its 3 s blocks, one a second (2 s overlap), as libebur128 takes them.
    if (a.points % kHistoryPointsPerSecond == 0 && a.frames >= a.shortTermFrom)
        addRangeBlock(a, powerOver(a, kShortTermPoints));
}

}  // namespace

bool startLevels(LevelAnalysis& a, double rateHz) {
    a.started = false;
    a.rateHz = rateHz;
    a.frames = 0;
    a.points = 0;
    a.pointPeak = 0.0;
    a.maxPeak = 0.0;
    a.lraLu = kNaN;
    std::fill(std::begin(a.recentPeaks), std::end(a.recentPeaks), 0.0);
    std::fill(&a.filterState[0][0], &a.filterState[0][0] + 8, 0.0);
    std::fill(std::begin(a.energies), std::end(a.energies), PointEnergy{0.0, 0});
    a.energyPos = 0;
    a.pointSquares = 0.0;
    a.pointLevels = ChannelLevels{};
    std::fill(std::begin(a.channelLevels), std::end(a.channelLevels), ChannelLevels{});
    a.channelLevelPos = 0;
    a.channelLevelPoints = 0;
    a.newPoints.clear();
    // At most a ring's worth of frames arrives per poll: enough room for its points at 8 kHz,
    // growing only at lower rates.
    a.newPoints.reserve(1024);
    for (int c = 0; c < 2; ++c)
        a.clean[c].assign(kLevelChunkFrames, 0.0f);
    a.truePeak = std::make_unique<TruePeakChannel[]>(2);
    const double rounded = std::round(rateHz);
    if (!(rounded >= 1.0 && rounded <= kMaxLevelRateHz))
        return false;
    a.rangeCounts.assign(kRangeBins, 0);
    a.rangePowerSum = 0.0;
    a.rangeBlocks = 0;
    a.shelf = shelfStage(rateHz);
    a.highPass = highPassStage(rateHz);
    a.nextPointAt = std::max<uint64_t>(1, pointEnd(rateHz, 0));
    a.momentaryFrom = static_cast<uint64_t>(std::ceil(kMomentaryWindowS * rateHz));
    a.shortTermFrom = static_cast<uint64_t>(std::ceil(kShortTermWindowS * rateHz));
    a.started = true;
    return true;
}

void addLevelFrames(LevelAnalysis& a, const float* left, const float* right, size_t frames) {
    if (!a.started)
        return;
    size_t done = 0;
    while (done < frames) {
        const uint64_t toPoint = a.nextPointAt - a.frames;
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>({frames - done, kLevelChunkFrames, toPoint}));
        const float* l = left + done;
        const float* r = right + done;
        ChannelLevels& lv = a.pointLevels;
        float* cleanLeft = a.clean[0].data();
        float* cleanRight = a.clean[1].data();
        for (size_t i = 0; i < n; ++i) {
            const float x = finiteOrZero(l[i]), y = finiteOrZero(r[i]);
            cleanLeft[i] = x;
            cleanRight[i] = y;
            lv.sumSquares[0] += double(x) * x;
            lv.sumSquares[1] += double(y) * y;
            lv.samplePeak[0] = std::max(lv.samplePeak[0], double(std::fabs(x)));
            lv.samplePeak[1] = std::max(lv.samplePeak[1], double(std::fabs(y)));
        }
        const float peakL = addTruePeak(a.truePeak[0], cleanLeft, n);
        const float peakR = addTruePeak(a.truePeak[1], cleanRight, n);
        a.pointPeak = std::max({a.pointPeak, double(peakL), double(peakR)});
        a.maxPeak = std::max(a.maxPeak, a.pointPeak);
        a.pointSquares += kWeightedSquares(a, l, r, n);
        a.frames += n;
        done += n;
        if (a.frames == a.nextPointAt)
            completePoint(a, a.frames - (a.points == 0 ? 0 : pointEnd(a.rateHz, a.points - 1)));
    }
}

LevelReadings readLevels(const LevelAnalysis& a) {
    LevelReadings out{kNaN, kNaN, kNaN, {kNaN, kNaN}, {kNaN, kNaN}, {kNaN, kNaN}};
    if (!a.started || a.frames == 0)
        return out;
    if (a.channelLevelPoints >= kChannelLevelPoints) {
        uint64_t frames = 0;
        double squares[2] = {0.0, 0.0}, peak[2] = {0.0, 0.0};
        for (const ChannelLevels& p : a.channelLevels) {
            frames += p.frames;
            for (int c = 0; c < 2; ++c) {
                squares[c] += p.sumSquares[c];
                peak[c] = std::max(peak[c], p.samplePeak[c]);
            }
        }
        for (int c = 0; c < 2; ++c) {
            out.channelPeakDb[c] = linearToDb(peak[c]);
            if (frames == 0 || !(squares[c] > 0.0))
                continue;
            const double rms = std::sqrt(squares[c] / double(frames));
            out.channelRmsDb[c] = linearToDb(rms);
            // The peak is one of the samples the mean is taken over: the ratio is at least 1,
            // up to rounding, so it is held at 0 dB.
            out.channelCrestDb[c] = std::max(0.0, linearToDb(peak[c] / rms));
        }
    }
    // The point being filled and the ones before it, 400 ms of audio at most.
    double recent = a.pointPeak;
    for (int i = 0; i < kTruePeakWindowPoints - 1; ++i)
        recent = std::max(recent, a.recentPeaks[i]);
    out.truePeakDb = linearToDb(recent);
    out.truePeakMaxDb = linearToDb(a.maxPeak);
    out.lraLu = a.lraLu;
    return out;
}

size_t fftSizeForRate(double rateHz) {
    if (!(rateHz > 0.0) || !std::isfinite(rateHz))
        return kMinFftSize;
    const double octaves = std::round(std::log2(rateHz / 48000.0));
    const double size = 8192.0 * std::exp2(std::clamp(octaves, -16.0, 16.0));
    return static_cast<size_t>(std::clamp(size, double(kMinFftSize), double(kMaxFftSize)));
}

SpectrumAnalysis::~SpectrumAnalysis() {
    if (fft != nullptr)
        kiss_fftr_free(fft);
}

bool startSpectrum(SpectrumAnalysis& s, double rateHz) {
    if (s.fft != nullptr)
        kiss_fftr_free(s.fft);
    s.rateHz = rateHz;
    s.fftSize = fftSizeForRate(rateHz);
    const size_t n = s.fftSize;
    s.fft = kiss_fftr_alloc(static_cast<int>(n), 0, nullptr, nullptr);
    s.ringL.assign(n, 0.0f);
    s.ringR.assign(n, 0.0f);
    s.ringPos = 0;
    s.timeData.assign(n, 0.0f);
    s.freqData.assign(2 * (n / 2 + 1), 0.0f);
    s.power.assign(n / 2 + 1, 0.0f);
    s.window.resize(n);
    for (size_t i = 0; i < n; ++i)  // periodic Hann
        s.window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n)));

    // Bands 1/6 octave apart, centred on 1 kHz, edges halfway (in log frequency) between centres;
    // a band reaching past Nyquist is left out.
    s.centreHz.clear();
    s.firstBin.clear();
    s.endBin.clear();
    const double binHz = rateHz / double(n);
    const double nyquistHz = rateHz / 2.0;
    const int firstBand =
        static_cast<int>(std::ceil(kBandsPerOctave * std::log2(kLowestBandHz / 1000.0)));
    const int lastBand =
        static_cast<int>(std::floor(kBandsPerOctave * std::log2(kHighestBandHz / 1000.0)));
    const double halfBand = std::exp2(0.5 / kBandsPerOctave);
    for (int k = firstBand; k <= lastBand; ++k) {
        const double centre = 1000.0 * std::exp2(double(k) / kBandsPerOctave);
        const double low = centre / halfBand, high = centre * halfBand;
        if (high > nyquistHz)
            break;
        // Bins with low <= f < high; a band narrower than a bin takes the bin nearest its centre.
        auto first = static_cast<uint32_t>(std::ceil(low / binHz));
        auto end = static_cast<uint32_t>(std::ceil(high / binHz));
        if (end <= first) {
            first = static_cast<uint32_t>(std::lround(centre / binHz));
            end = first + 1;
        }
        end = std::min<uint32_t>(end, static_cast<uint32_t>(n / 2 + 1));
        s.centreHz.push_back(static_cast<float>(centre));
        s.firstBin.push_back(first);
        s.endBin.push_back(end);
    }
    const size_t bands = s.centreHz.size();
    s.levelDb.assign(bands, kSpectrumFloorDb);
    s.peakDb.assign(bands, kSpectrumFloorDb);
    s.holdUntilS.assign(bands, 0.0);
    s.analysed = false;
    ++s.sequence;
    return s.fft != nullptr && bands > 0;
}

void addSpectrumFrames(SpectrumAnalysis& s, const float* left, const float* right, size_t frames,
                       uint32_t channels) {
    const size_t n = s.fftSize;
    if (n == 0)
        return;
    // Only the newest n frames can matter.
    if (frames > n) {
        left += frames - n;
        right += frames - n;
        frames = n;
    }
    // Mono input goes to both rings, so the average over the channels is the channel's own power.
    const float* r = channels == 1 ? left : right;
    size_t pos = s.ringPos;
    float* ringL = s.ringL.data();
    float* ringR = s.ringR.data();
    for (size_t i = 0; i < frames; ++i) {
        ringL[pos] = finiteOrZero(left[i]);
        ringR[pos] = finiteOrZero(r[i]);
        pos = pos + 1 == n ? 0 : pos + 1;
    }
    s.ringPos = pos;
}

void resetSpectrumPeaks(SpectrumAnalysis& s) {
    std::fill(s.peakDb.begin(), s.peakDb.end(), kSpectrumFloorDb);
    std::fill(s.holdUntilS.begin(), s.holdUntilS.end(), 0.0);
}

void analyseSpectrum(SpectrumAnalysis& s, double nowS) {
    const size_t n = s.fftSize;
    if (s.fft == nullptr || n == 0)
        return;
    const size_t bins = n / 2 + 1;
    auto* freq = reinterpret_cast<kiss_fft_cpx*>(s.freqData.data());
    float* power = s.power.data();
    const float* window = s.window.data();
    float* time = s.timeData.data();
    for (int channel = 0; channel < 2; ++channel) {
        const float* ring = channel == 0 ? s.ringL.data() : s.ringR.data();
        // Oldest frame first: the ring position is where the next frame goes.
        const size_t pos = s.ringPos;
        for (size_t i = 0; i < n - pos; ++i)
            time[i] = ring[pos + i] * window[i];
        for (size_t i = n - pos; i < n; ++i)
            time[i] = ring[i - (n - pos)] * window[i];
        kiss_fftr(s.fft, time, freq);
        for (size_t k = 0; k < bins; ++k) {
            const float p = freq[k].r * freq[k].r + freq[k].i * freq[k].i;
            power[k] = channel == 0 ? p : 0.5f * (power[k] + p);
        }
    }
    // A sine of amplitude A puts (A/2)^2 * n * sum(w^2) into its bins (Parseval over the window's
    // main lobe); the Hann window's sum(w^2) is 3n/8 (coherent gain 1/2, noise bandwidth 1.5
    // bins). Scaled so that a full-scale sine sums to 1, i.e. 0 dBFS.
    const float scale = static_cast<float>(4.0 / (double(n) * 3.0 * double(n) / 8.0));
    const size_t bands = s.centreHz.size();
    for (size_t b = 0; b < bands; ++b) {
        float sum = 0.0f;
        for (uint32_t k = s.firstBin[b]; k < s.endBin[b]; ++k)
            sum += power[k];
        float level = 10.0f * std::log10(std::max(sum * scale, kPowerFloor));
        if (!std::isfinite(level) || level < kSpectrumFloorDb)
            level = kSpectrumFloorDb;
        s.levelDb[b] = level;
        float peak = s.peakDb[b];
        if (level >= peak) {
            peak = level;
            s.holdUntilS[b] = nowS + kPeakHoldS;
        } else if (nowS > s.holdUntilS[b]) {
            // Falls only for the part of the interval after the hold ended.
            const double fallS =
                s.analysed ? std::max(0.0, nowS - std::max(s.lastAnalysisS, s.holdUntilS[b])) : 0.0;
            peak = std::max(level, peak - static_cast<float>(kPeakFallDbPerS * fallS));
        }
        s.peakDb[b] = peak;
    }
    s.lastAnalysisS = nowS;
    s.analysed = true;
    ++s.sequence;
}

}  // namespace companion
