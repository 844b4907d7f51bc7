// The meters on their own: loudness against libebur128 as the independent reference, known
// values worked out by hand, the level meter's published fields, and the block path against
// the frame-by-frame path.
#include "meter/meter.h"

#include "alloc_counter.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

struct Stereo {
    std::vector<float> left, right;
    size_t frames() const { return left.size(); }
    void append(const Stereo& other) {
        left.insert(left.end(), other.left.begin(), other.left.end());
        right.insert(right.end(), other.right.begin(), other.right.end());
    }
};

Stereo sine(double rateHz, double seconds, double freqHz, double ampL, double ampR) {
    const auto n = static_cast<size_t>(rateHz * seconds);
    Stereo s{std::vector<float>(n), std::vector<float>(n)};
    for (size_t i = 0; i < n; ++i) {
        const double v = std::sin(kTwoPi * freqHz * static_cast<double>(i) / rateHz);
        s.left[i] = static_cast<float>(ampL * v);
        s.right[i] = static_cast<float>(ampR * v);
    }
    return s;
}

// Pink-ish noise: white noise through a three-pole lowpass bank (about -3 dB per octave).
Stereo pinkNoise(double rateHz, double seconds, double amp, uint32_t seed) {
    const auto n = static_cast<size_t>(rateHz * seconds);
    Stereo s{std::vector<float>(n), std::vector<float>(n)};
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> white(-1.0, 1.0);
    for (std::vector<float>* channel : {&s.left, &s.right}) {
        double b0 = 0, b1 = 0, b2 = 0;
        for (size_t i = 0; i < n; ++i) {
            const double w = white(gen);
            b0 = 0.99765 * b0 + w * 0.0990460;
            b1 = 0.96300 * b1 + w * 0.2965164;
            b2 = 0.57000 * b2 + w * 1.0526913;
            (*channel)[i] = static_cast<float>(amp * 0.25 * (b0 + b1 + b2 + w * 0.1848));
        }
    }
    return s;
}

Stereo silence(double rateHz, double seconds) {
    const auto n = static_cast<size_t>(rateHz * seconds);
    return {std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)};
}

// Material that exercises both gates: level steps, quiet noise and digital silence.
Stereo steppedProgramme(double rateHz) {
    Stereo s = pinkNoise(rateHz, 4.0, 0.5, 11);
    s.append(sine(rateHz, 3.0, 440.0, 0.05, 0.02));
    s.append(silence(rateHz, 2.0));
    s.append(pinkNoise(rateHz, 3.0, 0.001, 12));   // about -60 LUFS: inside the absolute gate
    s.append(pinkNoise(rateHz, 2.0, 0.0002, 13));  // below -70 LUFS
    s.append(sine(rateHz, 2.5, 3000.0, 0.8, 0.8));
    s.append(pinkNoise(rateHz, 3.5, 0.05, 14));
    return s;
}

struct Meters {
    LoudnessMeter loudness;
    LevelMeter level;
    std::unique_ptr<ControlBlock> control = std::make_unique<ControlBlock>();
    double rate;

    explicit Meters(double rateHz) : rate(rateHz) {
        prepareMeters(loudness, level, rateHz);
        resetMeters(loudness, level);
    }
    // A transport start, as a host gives it when playback begins: restarts, integrates.
    void startTransport() {
        clap_event_transport t{};
        t.flags = CLAP_TRANSPORT_IS_PLAYING | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE;
        trackTransport(loudness, level, control.get(), &t, 0, rate);
    }
    void block(const float* l, const float* r, uint32_t frames) {
        meterBlock(loudness, level, control.get(), l, r, frames);
        publishMeters(loudness, level, *control);
    }
};

class Reference {
public:
    explicit Reference(unsigned rateHz)
        : state_(ebur128_init(2, rateHz, EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I)) {}
    ~Reference() { ebur128_destroy(&state_); }
    void add(const float* l, const float* r, size_t frames) {
        interleaved_.resize(2 * frames);
        for (size_t i = 0; i < frames; ++i) {
            interleaved_[2 * i] = l[i];
            interleaved_[2 * i + 1] = r[i];
        }
        ASSERT_EQ(ebur128_add_frames_float(state_, interleaved_.data(), frames), EBUR128_SUCCESS);
    }
    double momentary() const { return value(ebur128_loudness_momentary); }
    double shortTerm() const { return value(ebur128_loudness_shortterm); }
    double integrated() const { return value(ebur128_loudness_global); }

private:
    double value(int (*fn)(ebur128_state*, double*)) const {
        double v = 0.0;
        EXPECT_EQ(fn(state_, &v), EBUR128_SUCCESS);
        return v;
    }
    ebur128_state* state_;
    std::vector<float> interleaved_;
};

// Windows far below anything audible (a filter ringing out into digital silence) are compared
// only for being that far down: there the reference's single fourth-order section, whose poles
// near z = 1 are less exactly placed than the two second-order sections', drifts by more than
// 0.001 LU over hundreds of decades of decay.
constexpr double kDeepDecayLufs = -300.0;

// The reference reports silence as -inf; the meter as -200.0.
void expectSameLoudness(double ours, double reference, double toleranceLu, const char* what,
                        size_t block) {
    if (std::isinf(reference)) {
        EXPECT_EQ(ours, kNoLevel) << what << " at block " << block;
    } else if (reference < kDeepDecayLufs) {
        EXPECT_LT(ours, kDeepDecayLufs + 1.0) << what << " at block " << block;
    } else {
        EXPECT_NEAR(ours, reference, toleranceLu) << what << " at block " << block;
    }
}

struct Agreement {
    size_t momentaryCompared = 0, shortTermCompared = 0;
    double worstMomentary = 0.0, worstShortTerm = 0.0;
};

// Feeds the signal through both meters in host blocks of irregular size that end on every
// 100 ms boundary, comparing momentary and short-term there and integrated at the end.
Agreement compareWithReference(double rateHz, const Stereo& signal, uint32_t seed) {
    Meters m(rateHz);
    m.startTransport();
    Reference ref(static_cast<unsigned>(rateHz));
    std::mt19937 gen(seed);
    const auto blockLength = static_cast<size_t>(m.loudness.blockLength);
    Agreement a;
    size_t pos = 0;
    for (size_t block = 1; pos + blockLength <= signal.frames(); ++block) {
        size_t left = blockLength;
        while (left > 0) {
            const size_t n = std::min<size_t>(left, std::uniform_int_distribution<>(0, 1500)(gen));
            m.block(&signal.left[pos], &signal.right[pos], static_cast<uint32_t>(n));
            ref.add(&signal.left[pos], &signal.right[pos], n);
            pos += n;
            left -= n;
        }
        if (block >= kMomentaryBlocks) {
            const double r = ref.momentary();
            expectSameLoudness(m.control->momentaryLufs, r, 0.001, "momentary", block);
            if (r >= kDeepDecayLufs) {
                a.worstMomentary =
                    std::max(a.worstMomentary, std::fabs(m.control->momentaryLufs - r));
            }
            ++a.momentaryCompared;
        } else {
            EXPECT_EQ(m.control->momentaryLufs, kNoLevel);
        }
        if (block >= kLoudnessRingBlocks) {
            const double r = ref.shortTerm();
            expectSameLoudness(m.control->shortTermLufs, r, 0.001, "short-term", block);
            if (r >= kDeepDecayLufs) {
                a.worstShortTerm =
                    std::max(a.worstShortTerm, std::fabs(m.control->shortTermLufs - r));
            }
            ++a.shortTermCompared;
        } else {
            EXPECT_EQ(m.control->shortTermLufs, kNoLevel);
        }
    }
    expectSameLoudness(m.control->integratedLufs, ref.integrated(), 0.1, "integrated", 0);
    std::printf("%.0f Hz: %zu momentary, worst %.2e LU; %zu short-term, worst %.2e LU; "
                "integrated %.4f vs %.4f LUFS\n",
                rateHz, a.momentaryCompared, a.worstMomentary, a.shortTermCompared,
                a.worstShortTerm, m.control->integratedLufs, ref.integrated());
    return a;
}

class ReferenceAgreement : public ::testing::TestWithParam<double> {};

TEST_P(ReferenceAgreement, SinesAtSeveralLevels) {
    const double rate = GetParam();
    Stereo s = sine(rate, 3.5, 997.0, 1.0, 1.0);
    s.append(sine(rate, 3.5, 997.0, 0.1, 0.0));
    s.append(sine(rate, 3.5, 100.0, 0.5, 0.25));
    s.append(sine(rate, 3.5, 10000.0, 0.01, 0.01));
    s.append(sine(rate, 3.5, 40.0, 0.9, 0.9));  // the high-pass region
    const Agreement a = compareWithReference(rate, s, 1);
    EXPECT_GT(a.shortTermCompared, 140u);
}

TEST_P(ReferenceAgreement, PinkNoise) {
    const double rate = GetParam();
    const Agreement a = compareWithReference(rate, pinkNoise(rate, 8.0, 0.7, 5), 2);
    EXPECT_GT(a.momentaryCompared, 70u);
}

TEST_P(ReferenceAgreement, LevelStepsAndQuietPassages) {
    const double rate = GetParam();
    const Agreement a = compareWithReference(rate, steppedProgramme(rate), 3);
    EXPECT_GT(a.shortTermCompared, 170u);
}

TEST_P(ReferenceAgreement, RelativeGateJustAboveAndJustBelowTheQuietHalf) {
    // Equal stretches of a 997 Hz sine (0 LUFS at amplitude 1): with the quiet half at -32 LUFS
    // the gate (about -32.7) keeps it and the result is about -22.7; at -33.3 LUFS the gate
    // (about -32.8) drops it and the result is about -20.
    const double rate = GetParam();
    for (const double quietLufs : {-32.0, -33.3}) {
        Stereo s = sine(rate, 8.0, 997.0, 0.1, 0.1);
        const double amp = std::pow(10.0, quietLufs / 20.0);
        s.append(sine(rate, 8.0, 997.0, amp, amp));
        compareWithReference(rate, s, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, ReferenceAgreement, ::testing::Values(44100.0, 48000.0, 96000.0));

TEST(Coefficients, MatchTheTabulatedValuesAt48k) {
    Meters m(48000.0);
    const double shelf[5] = {1.53512485958697, -2.69169618940638, 1.19839281085285,
                             -1.69065929318241, 0.73248077421585};
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(m.loudness.shelfCoeffs[i], shelf[i], 1e-12) << "shelf " << i;
    }
    EXPECT_EQ(m.loudness.highPassCoeffs[0], 1.0);
    EXPECT_EQ(m.loudness.highPassCoeffs[1], -2.0);
    EXPECT_EQ(m.loudness.highPassCoeffs[2], 1.0);
    EXPECT_NEAR(m.loudness.highPassCoeffs[3], -1.99004745483398, 1e-12);
    EXPECT_NEAR(m.loudness.highPassCoeffs[4], 0.99007225036621, 1e-12);
    EXPECT_EQ(m.loudness.blockLength, 4800u);
    EXPECT_EQ(m.level.rmsBlockLength, 4800u);
    EXPECT_EQ(Meters(44100.0).loudness.blockLength, 4410u);
    EXPECT_EQ(Meters(22050.5).level.rmsBlockLength, 2205u);  // truncated
}

TEST(KnownValues, FullScaleSineReadsMinus3OnOneChannelAnd0OnBoth) {
    for (const bool both : {false, true}) {
        Meters m(48000.0);
        const Stereo s = sine(48000.0, 3.2, 997.0, 1.0, both ? 1.0 : 0.0);
        m.block(s.left.data(), both ? s.right.data() : nullptr, 153600);
        const double expected = both ? 0.0 : -3.01;
        EXPECT_NEAR(m.control->momentaryLufs, expected, 0.01) << both;
        EXPECT_NEAR(m.control->shortTermLufs, expected, 0.01) << both;
    }
}

TEST(KnownValues, FirstMomentaryAt19200AndFirstShortTermAt144000Samples) {
    Meters m(48000.0);
    const Stereo s = sine(48000.0, 3.0, 997.0, 0.5, 0.5);
    m.block(s.left.data(), s.right.data(), 19199);
    EXPECT_EQ(m.control->momentaryLufs, kNoLevel);
    m.block(&s.left[19199], &s.right[19199], 1);
    EXPECT_NEAR(m.control->momentaryLufs, -6.02, 0.01);
    m.block(&s.left[19200], &s.right[19200], 143999 - 19200);
    EXPECT_EQ(m.control->shortTermLufs, kNoLevel);
    m.block(&s.left[143999], &s.right[143999], 1);
    EXPECT_NEAR(m.control->shortTermLufs, -6.02, 0.01);
}

TEST(KnownValues, DigitalSilenceHasNoLoudnessButDecayingFiltersDo) {
    Meters m(48000.0);
    const Stereo quiet = silence(48000.0, 3.5);
    m.block(quiet.left.data(), quiet.right.data(), 168000);
    EXPECT_EQ(m.control->momentaryLufs, kNoLevel);
    EXPECT_EQ(m.control->shortTermLufs, kNoLevel);

    const Stereo loud = pinkNoise(48000.0, 3.0, 0.5, 3);
    m.block(loud.left.data(), loud.right.data(), 144000);
    // The high-pass rings out for a while; half a second on, its window is far below the gate.
    m.block(quiet.left.data(), quiet.right.data(), 24000);
    EXPECT_LT(m.control->momentaryLufs, -70.0);
    EXPECT_NE(m.control->momentaryLufs, kNoLevel);
}

TEST(Integrated, EqualStretchesAtMinus20AndMinus40IntegrateToAboutMinus20) {
    // A 997 Hz sine on both channels reads 0 LUFS at amplitude 1.
    Meters m(48000.0);
    m.startTransport();
    Stereo s = sine(48000.0, 10.0, 997.0, 0.1, 0.1);
    s.append(sine(48000.0, 10.0, 997.0, 0.01, 0.01));
    m.block(s.left.data(), s.right.data(), static_cast<uint32_t>(s.frames()));
    EXPECT_GT(m.control->integratedLufs, -20.2);
    EXPECT_LT(m.control->integratedLufs, -19.99);
}

TEST(Integrated, CollectsOnlyWhileTheTransportPlays) {
    Meters m(48000.0);
    const Stereo s = sine(48000.0, 1.0, 997.0, 0.1, 0.1);
    m.block(s.left.data(), s.right.data(), 48000);  // never played: nothing collected
    EXPECT_EQ(m.control->integratedLufs, kNoLevel);
    EXPECT_EQ(m.loudness.gatedBlockCount, 0u);

    m.startTransport();
    m.block(s.left.data(), s.right.data(), 48000);
    const double played = m.control->integratedLufs;
    EXPECT_NEAR(played, -20.0, 0.05);
    EXPECT_EQ(m.loudness.gatedBlockCount, 7u);  // windows complete at blocks 4..10

    clap_event_transport stopped{};
    trackTransport(m.loudness, m.level, m.control.get(), &stopped, 0, 48000.0);
    const Stereo louder = sine(48000.0, 1.0, 997.0, 1.0, 1.0);
    m.block(louder.left.data(), louder.right.data(), 48000);
    EXPECT_EQ(m.control->integratedLufs, played);  // frozen, still published
    EXPECT_EQ(m.loudness.gatedBlockCount, 7u);
}

TEST(Integrated, AbsoluteGateAndTheTopOfTheHistogram) {
    // Below -70 LUFS nothing is collected.
    Meters quiet(48000.0);
    quiet.startTransport();
    const Stereo low = sine(48000.0, 1.0, 997.0, 0.0002, 0.0002);  // about -74 LUFS
    quiet.block(low.left.data(), low.right.data(), 48000);
    EXPECT_LT(quiet.control->momentaryLufs, -70.0);
    EXPECT_EQ(quiet.control->integratedLufs, kNoLevel);
    EXPECT_EQ(quiet.loudness.gatedBlockCount, 0u);

    // Float input far above full scale: +40 LUFS lands in the top bin and still integrates.
    Meters hot(48000.0);
    hot.startTransport();
    const Stereo loud = sine(48000.0, 1.0, 997.0, 100.0, 100.0);
    hot.block(loud.left.data(), loud.right.data(), 48000);
    EXPECT_NEAR(hot.control->momentaryLufs, 40.0, 0.01);
    EXPECT_EQ(hot.loudness.histCounts[kHistogramBins - 1], 7u);
    EXPECT_NEAR(hot.control->integratedLufs, 40.0, 0.01);

    // A relative gate above the top bin (mean above about +42 LUFS) gives no value.
    Meters hotter(48000.0);
    hotter.startTransport();
    const Stereo louder = sine(48000.0, 1.0, 997.0, 1000.0, 1000.0);  // +60 LUFS
    hotter.block(louder.left.data(), louder.right.data(), 48000);
    EXPECT_NEAR(hotter.control->momentaryLufs, 60.0, 0.01);
    EXPECT_EQ(hotter.control->integratedLufs, kNoLevel);
}

// Level meter readings after 400 ms of a signal, from a transport start.
struct LevelReadings {
    double rmsDb, rmsMaxDb, peakDb, crestDb;
};
LevelReadings levelsAfter400ms(const Stereo& s, bool mono) {
    Meters m(48000.0);
    m.startTransport();
    m.block(s.left.data(), mono ? nullptr : s.right.data(), 19200);
    return {m.control->rmsDb, m.control->rmsMaxDb, m.control->peakDb, m.control->crestDb};
}

TEST(LevelMeter, SineAndConstantReadings) {
    const LevelReadings both = levelsAfter400ms(sine(48000.0, 0.4, 1000.0, 1.0, 1.0), false);
    EXPECT_NEAR(both.rmsDb, 0.0, 1e-6);
    EXPECT_NEAR(both.rmsMaxDb, 0.0, 1e-6);
    EXPECT_NEAR(both.peakDb, 0.0, 1e-6);
    EXPECT_NEAR(both.crestDb, 0.0, 1e-6);

    const LevelReadings leftOnly = levelsAfter400ms(sine(48000.0, 0.4, 1000.0, 1.0, 0.0), true);
    const double halfPowerDb = 10.0 * std::log10(0.5);  // -3.0103
    EXPECT_NEAR(leftOnly.rmsDb, halfPowerDb, 1e-6);
    EXPECT_NEAR(leftOnly.rmsMaxDb, halfPowerDb, 1e-6);
    EXPECT_NEAR(leftOnly.peakDb, 0.0, 1e-6);
    EXPECT_NEAR(leftOnly.crestDb, -halfPowerDb, 1e-6);

    Stereo half = silence(48000.0, 0.4);
    std::fill(half.left.begin(), half.left.end(), 0.5f);
    std::fill(half.right.begin(), half.right.end(), 0.5f);
    const LevelReadings constant = levelsAfter400ms(half, false);
    EXPECT_DOUBLE_EQ(constant.rmsDb, halfPowerDb);
    EXPECT_DOUBLE_EQ(constant.rmsMaxDb, halfPowerDb);
    EXPECT_DOUBLE_EQ(constant.peakDb, 20.0 * std::log10(0.5));
    EXPECT_DOUBLE_EQ(constant.crestDb, 20.0 * std::log10(0.5) - halfPowerDb);
    EXPECT_LT(constant.crestDb, 0.0);
}

TEST(LevelMeter, RmsIsWrittenInsideTheBlockThatCompletes400ms) {
    Meters m(48000.0);
    const Stereo s = sine(48000.0, 0.5, 1000.0, 0.5, 0.5);
    m.control->rmsDb = 123.0;  // marks "not written"
    m.control->rmsMaxDb = -200.0;
    meterBlock(m.loudness, m.level, m.control.get(), s.left.data(), s.right.data(), 19199);
    EXPECT_EQ(m.control->rmsDb, 123.0);
    meterBlock(m.loudness, m.level, m.control.get(), &s.left[19199], &s.right[19199], 1);
    EXPECT_NEAR(m.control->rmsDb, 20.0 * std::log10(0.5), 1e-6);
    EXPECT_EQ(m.control->rmsMaxDb, m.control->rmsDb);

    // Digital silence from a reset on: -200.0 from the 4th RMS block; the hold stays.
    const double held = m.control->rmsMaxDb;
    resetMeters(m.loudness, m.level);
    const Stereo quiet = silence(48000.0, 0.4);
    m.block(quiet.left.data(), quiet.right.data(), 19200);
    EXPECT_EQ(m.control->rmsDb, kNoLevel);
    EXPECT_EQ(m.control->rmsMaxDb, held);
    EXPECT_EQ(m.control->peakDb, kNoLevel);
}

// A sample far louder than anything after it leaves the RMS window after 400 ms and must leave
// no residue behind: the quiet signal that follows reads its own level.
TEST(LevelMeter, RmsForgetsAHugeSampleOnceItLeavesTheWindow) {
    struct Case {
        float spike;
        double amplitude;  // of the 1 kHz sine on both channels that follows; 0 = silence
        double expectedDb;
    };
    for (const Case c :
         {Case{1e10f, 0.1, -20.0}, Case{1e10f, 0.01, -40.0}, Case{1e6f, 0.0, kNoLevel}}) {
        Meters m(48000.0);
        const Stereo before = sine(48000.0, 1.0, 997.0, 0.1, 0.1);
        m.block(before.left.data(), before.right.data(), 48000);
        const float spike[1] = {c.spike};
        m.block(spike, spike, 1);
        const Stereo after = c.amplitude > 0.0
                                 ? sine(48000.0, 5.0, 1000.0, c.amplitude, c.amplitude)
                                 : silence(48000.0, 5.0);
        for (size_t done = 0; done < after.frames(); done += 4800)
            m.block(&after.left[done], &after.right[done], 4800);
        if (c.expectedDb == kNoLevel)
            EXPECT_EQ(m.control->rmsDb, kNoLevel) << c.spike;
        else
            EXPECT_NEAR(m.control->rmsDb, c.expectedDb, 0.01) << c.spike << " " << c.amplitude;
    }
}

// Ordinary material, a 40 dB drop included: every published RMS value is exactly what the
// running total of the 100 ms block sums gives, computed here frame by frame.
TEST(LevelMeter, RmsOfOrdinaryMaterialFollowsTheRunningTotalBitForBit) {
    Stereo s = pinkNoise(48000.0, 3.0, 0.5, 11);
    Stereo quiet = pinkNoise(48000.0, 3.0, 0.005, 12);
    s.append(quiet);
    Meters m(48000.0);
    double ring[4] = {}, total = 0.0, blockSum = 0.0, expected = kNoLevel;
    int index = 0, filled = 0, counted = 0, checked = 0;
    m.control->rmsDb = kNoLevel;
    for (size_t done = 0; done < s.frames(); done += 1000) {
        m.block(&s.left[done], &s.right[done], 1000);
        for (size_t i = done; i < done + 1000; ++i) {
            const double l = s.left[i], r = s.right[i];
            blockSum += l * l + r * r;
            if (++counted < 4800)
                continue;
            total = total - ring[index];
            ring[index] = blockSum;
            total = total + blockSum;
            index = (index + 1) % 4;
            filled = std::min(filled + 1, 4);
            if (filled == 4)
                expected = 10.0 * std::log10(total / (4800.0 * 4.0));
            blockSum = 0.0;
            counted = 0;
        }
        ASSERT_EQ(m.control->rmsDb, expected) << "after frame " << done + 1000;
        checked += expected != kNoLevel;
    }
    EXPECT_GT(checked, 250);
}

TEST(LevelMeter, PeakRisesOnlyAndNaNNeverHidesTheOtherChannel) {
    Meters m(48000.0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float left[4] = {nan, 0.25f, nan, 0.1f};
    const float right[4] = {0.5f, nan, nan, -0.1f};
    m.block(left, right, 4);
    EXPECT_EQ(m.level.peak, 0.5);
    EXPECT_DOUBLE_EQ(m.control->peakDb, 20.0 * std::log10(0.5));

    const float negL[2] = {0.0f, 0.3f};
    const float negR[2] = {-1.0f, 0.2f};
    m.block(negL, negR, 2);
    EXPECT_EQ(m.level.peak, 1.0);
    EXPECT_EQ(m.control->peakDb, 0.0);

    // The same through the per-frame path.
    LevelMeter level = m.level;
    level.peak = 0.0;
    addLevelSample(level, nullptr, nan, 0.5);
    addLevelSample(level, nullptr, 0.25, nan);
    addLevelSample(level, nullptr, nan, nan);
    EXPECT_EQ(level.peak, 0.5);
}

TEST(LevelMeter, NonFiniteSamplesCountAsSilenceAndTheMetersRecover) {
    // One NaN or infinite sample in 4 s of a full-scale sine: once the 3 s window has moved past
    // it, every reading is the sine's again; the peak alone sees the raw sample.
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity()};
    for (const float value : bad) {
        Meters m(48000.0);
        m.startTransport();
        Stereo s = sine(48000.0, 4.0, 997.0, 1.0, 1.0);
        s.left[4800] = value;
        s.right[9600] = -value;
        m.block(s.left.data(), s.right.data(), static_cast<uint32_t>(s.frames()));
        EXPECT_NEAR(m.control->momentaryLufs, 0.0, 0.01) << value;
        EXPECT_NEAR(m.control->shortTermLufs, 0.0, 0.01) << value;
        EXPECT_NEAR(m.control->integratedLufs, 0.0, 0.05) << value;
        EXPECT_NEAR(m.control->rmsDb, 0.0, 0.01) << value;
        EXPECT_NEAR(m.control->rmsMaxDb, 0.0, 0.01) << value;
        if (std::isnan(value))
            EXPECT_NEAR(m.control->peakDb, 0.0, 1e-6);
        else
            EXPECT_EQ(m.control->peakDb, std::numeric_limits<double>::infinity());
    }
}

TEST(Holds, RiseOnlyForStrictlyGreaterValuesAboveMinus70) {
    Meters m(48000.0);
    ControlBlock& c = *m.control;
    c.momentaryMaxLufs = -200.0;
    c.shortTermMaxLufs = -10.0;  // the companion's value is the one to beat
    m.loudness.momentary = -70.0;
    m.loudness.shortTerm = -20.0;
    publishMeters(m.loudness, m.level, c);
    EXPECT_EQ(c.momentaryLufs, -70.0);
    EXPECT_EQ(c.momentaryMaxLufs, -200.0);  // exactly -70 is not held
    EXPECT_EQ(c.shortTermMaxLufs, -10.0);
    m.loudness.momentary = -69.5;
    m.loudness.shortTerm = -5.0;
    publishMeters(m.loudness, m.level, c);
    EXPECT_EQ(c.momentaryMaxLufs, -69.5);
    EXPECT_EQ(c.shortTermMaxLufs, -5.0);
    m.loudness.momentary = -80.0;
    publishMeters(m.loudness, m.level, c);
    EXPECT_EQ(c.momentaryMaxLufs, -69.5);  // never falls by itself
}

TEST(Holds, CrestComparesThePeakWithTheHeldRms) {
    Meters m(48000.0);
    ControlBlock& c = *m.control;
    c.crestDb = 7.0;
    c.rmsMaxDb = -70.0;  // not above -70: the crest keeps its value
    m.level.peak = 0.5;
    publishMeters(m.loudness, m.level, c);
    EXPECT_EQ(c.crestDb, 7.0);
    c.rmsMaxDb = -12.0;
    publishMeters(m.loudness, m.level, c);
    EXPECT_DOUBLE_EQ(c.crestDb, 20.0 * std::log10(0.5) + 12.0);
    m.level.peak = 0.0001;  // -80 dB: no crest
    publishMeters(m.loudness, m.level, c);
    EXPECT_DOUBLE_EQ(c.crestDb, 20.0 * std::log10(0.5) + 12.0);
}

TEST(Reset, StartsAfreshAndKeepsRateAndTransportState) {
    const Stereo s = pinkNoise(48000.0, 1.0, 0.3, 9);
    Meters fresh(48000.0);
    fresh.loudness.integrating = true;
    fresh.block(s.left.data(), s.right.data(), 48000);

    Meters used(48000.0);
    used.loudness.integrating = true;
    used.level.expectedPosition = 2.5;
    used.level.wasPlaying = true;
    const Stereo other = sine(48000.0, 2.0, 300.0, 0.9, 0.1);
    used.block(other.left.data(), other.right.data(), 96000 - 123);
    resetMeters(used.loudness, used.level);
    EXPECT_EQ(used.loudness.momentary, kNoLevel);
    EXPECT_EQ(used.loudness.shortTerm, kNoLevel);
    EXPECT_EQ(used.loudness.integrated, kNoLevel);
    EXPECT_EQ(used.level.peak, 0.0);
    EXPECT_TRUE(used.loudness.integrating);
    EXPECT_EQ(used.level.expectedPosition, 2.5);
    EXPECT_TRUE(used.level.wasPlaying);
    used.block(s.left.data(), s.right.data(), 48000);

    EXPECT_EQ(used.loudness.momentary, fresh.loudness.momentary);
    EXPECT_EQ(used.loudness.integrated, fresh.loudness.integrated);
    EXPECT_EQ(used.control->peakDb, fresh.control->peakDb);
    EXPECT_EQ(used.control->rmsDb, fresh.control->rmsDb);
    EXPECT_EQ(std::memcmp(used.loudness.shelfCoeffs, fresh.loudness.shelfCoeffs,
                          sizeof fresh.loudness.shelfCoeffs),
              0);
}

// Every piece of state the two paths carry, compared bit for bit.
void expectSameState(const Meters& a, const Meters& b, size_t block) {
    auto same = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    const LoudnessMeter& p = a.loudness;
    const LoudnessMeter& q = b.loudness;
    ASSERT_TRUE(same(p.shelfState, q.shelfState) && same(p.highPassState, q.highPassState))
        << "filters differ after block " << block;
    ASSERT_TRUE(same(p.blockSumL, q.blockSumL) && same(p.blockSumR, q.blockSumR) &&
                p.blockSamples == q.blockSamples && same(p.blockEnergies, q.blockEnergies) &&
                p.ringIndex == q.ringIndex && p.ringFill == q.ringFill)
        << "loudness blocks differ after block " << block;
    ASSERT_TRUE(same(p.histCounts, q.histCounts) && same(p.histEnergy, q.histEnergy) &&
                same(p.gatedEnergySum, q.gatedEnergySum) && p.gatedBlockCount == q.gatedBlockCount)
        << "histogram differs after block " << block;
    ASSERT_TRUE(same(p.momentary, q.momentary) && same(p.shortTerm, q.shortTerm) &&
                same(p.integrated, q.integrated))
        << "loudness differs after block " << block;
    const LevelMeter& u = a.level;
    const LevelMeter& v = b.level;
    ASSERT_TRUE(same(u.rmsRing, v.rmsRing) && u.rmsRingIndex == v.rmsRingIndex &&
                same(u.rmsBlockSum, v.rmsBlockSum) && u.rmsBlockSamples == v.rmsBlockSamples &&
                same(u.rmsRingSum, v.rmsRingSum) && u.rmsRingFill == v.rmsRingFill &&
                same(u.peak, v.peak))
        << "level state differs after block " << block;
    ASSERT_EQ(std::memcmp(&a.control->momentaryLufs, &b.control->momentaryLufs, 9 * 8), 0)
        << "published values differ after block " << block;
}

TEST(BlockPath, BitIdenticalToTheFramePath) {
    const double rate = 44100.0;
    Stereo s = pinkNoise(rate, 3.0, 0.8, 21);
    s.append(sine(rate, 1.0, 5000.0, 0.3, -0.7));
    s.append(silence(rate, 4.0));  // the filters decay through the flush magnitude
    s.append(pinkNoise(rate, 2.0, 1e-6, 22));
    s.append(pinkNoise(rate, 2.0, 2.0, 23));
    s.left[1000] = std::numeric_limits<float>::quiet_NaN();  // a NaN sample in one channel
    s.right[1000] = 0.75f;

    Meters block(rate), frame(rate);
    block.startTransport();
    frame.startTransport();
    std::mt19937 gen(77);
    size_t pos = 0;
    for (size_t n = 0; pos < s.frames(); ++n) {
        // Sizes from empty blocks up to several 100 ms blocks; every fifth block is mono.
        const int pick = std::uniform_int_distribution<>(0, 9)(gen);
        size_t frames = pick == 0  ? 0
                        : pick < 8 ? std::uniform_int_distribution<>(1, 700)(gen)
                                   : std::uniform_int_distribution<>(1, 20000)(gen);
        frames = std::min(frames, s.frames() - pos);
        const bool mono = n % 5 == 4;
        block.block(&s.left[pos], mono ? nullptr : &s.right[pos], static_cast<uint32_t>(frames));
        for (size_t i = pos; i < pos + frames; ++i) {
            const double r = mono ? 0.0 : s.right[i];
            addLoudnessSample(frame.loudness, s.left[i], r);
            addLevelSample(frame.level, frame.control.get(), s.left[i], r);
        }
        publishMeters(frame.loudness, frame.level, *frame.control);
        pos += frames;
        expectSameState(block, frame, n);
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST(BlockPath, SilenceAfterLoudMaterialNeverLeavesSubnormalFilterState) {
    for (const double rate : {8000.0, 48000.0, 192000.0}) {
        Meters m(rate);
        const Stereo loud = pinkNoise(rate, 1.0, 0.9, 31);
        for (size_t i = 0; i < loud.frames(); ++i) {
            addLoudnessSample(m.loudness, loud.left[i], loud.right[i]);
        }
        size_t subnormalFrames = 0;
        for (size_t i = 0; i < static_cast<size_t>(rate) * 6; ++i) {
            addLoudnessSample(m.loudness, 0.0, 0.0);
            for (int k = 0; k < 4; ++k) {
                if (std::fpclassify(m.loudness.shelfState[k]) == FP_SUBNORMAL ||
                    std::fpclassify(m.loudness.highPassState[k]) == FP_SUBNORMAL) {
                    ++subnormalFrames;
                    break;
                }
            }
        }
        EXPECT_EQ(subnormalFrames, 0u) << rate;
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(m.loudness.shelfState[k], 0.0) << rate << " " << k;
            EXPECT_EQ(m.loudness.highPassState[k], 0.0) << rate << " " << k;
        }
        EXPECT_EQ(m.loudness.momentary, kNoLevel) << rate;
        EXPECT_EQ(m.loudness.shortTerm, kNoLevel) << rate;
    }
}

TEST(BlockPath, AllocatesNothing) {
    Meters m(48000.0);
    m.startTransport();
    const Stereo s = pinkNoise(48000.0, 4.0, 0.5, 41);
    alloccount::Armed armed;
    for (size_t pos = 0; pos + 512 <= s.frames(); pos += 512) {
        m.block(&s.left[pos], (pos / 512) % 3 == 0 ? nullptr : &s.right[pos], 512);
    }
    EXPECT_EQ(alloccount::count(), 0u);
}

}  // namespace
