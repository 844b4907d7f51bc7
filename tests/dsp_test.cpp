// The companion's measurements against signals whose answers are known by hand: true peak of a
// sine that samples miss the crest of, loudness and range of two sine levels, the spectrum of a
// full-scale sine and its peak hold.
#include "alloc_counter.h"
#include "companion/dsp.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace companion;

namespace {

std::vector<float> sine(double rateHz, double hz, double amplitude, double seconds,
                        double phase = 0.0) {
    std::vector<float> x(static_cast<size_t>(seconds * rateHz));
    for (size_t i = 0; i < x.size(); ++i)
        x[i] =
            static_cast<float>(amplitude * std::sin(2.0 * M_PI * hz * double(i) / rateHz + phase));
    return x;
}

// Feeds in uneven pieces, as polls deliver them.
void feedLevels(LevelAnalysis& a, const std::vector<float>& x) {
    for (size_t done = 0, piece = 777; done < x.size(); done += piece, piece = piece * 3 % 9001 + 1)
        addLevelFrames(a, &x[done], &x[done], std::min(piece, x.size() - done));
}

size_t bandOf(const SpectrumAnalysis& s, double hz) {
    size_t best = 0;
    for (size_t b = 0; b < s.centreHz.size(); ++b)
        if (std::abs(std::log2(s.centreHz[b] / hz)) < std::abs(std::log2(s.centreHz[best] / hz)))
            best = b;
    return best;
}

}  // namespace

TEST(Dsp, TruePeakFindsTheCrestBetweenSamplesAndForgetsItAfter400Ms) {
    // At fs/4 with a 45 degree phase every sample sits at 0.7071 A; the crest lies between them.
    constexpr double kRate = 48000.0, kAmplitude = 0.5;
    LevelAnalysis a;
    ASSERT_TRUE(startLevels(a, kRate));
    feedLevels(a, sine(kRate, kRate / 4, kAmplitude, 1.0, M_PI / 4));
    const double samplePeakDb = 20.0 * std::log10(kAmplitude * std::sqrt(0.5));
    // The newest 400 ms hold the steady sine; the maximum also saw the abrupt start's overshoot.
    const LevelReadings loud = readLevels(a);
    EXPECT_NEAR(loud.truePeakDb, 20.0 * std::log10(kAmplitude), 0.1);
    EXPECT_NEAR(loud.truePeakDb - samplePeakDb, 3.01, 0.1);
    EXPECT_GE(loud.truePeakMaxDb, loud.truePeakDb);
    EXPECT_LT(loud.truePeakMaxDb, loud.truePeakDb + 0.5);

    feedLevels(a, std::vector<float>(static_cast<size_t>(0.45 * kRate), 0.0f));
    const LevelReadings quiet = readLevels(a);
    EXPECT_TRUE(std::isnan(quiet.truePeakDb)) << "silence over the whole window: no value";
    EXPECT_EQ(quiet.truePeakMaxDb, loud.truePeakMaxDb);

    // A rate from a corrupt header is not allocated for (3 s of doubles per channel at 4 GHz).
    EXPECT_FALSE(startLevels(a, 4.0e9));
    feedLevels(a, std::vector<float>(1000, 0.5f));
    EXPECT_TRUE(std::isnan(readLevels(a).truePeakMaxDb));
}

TEST(Dsp, ChannelRmsAndCrestOfASineAndASquareByHand) {
    // Left: a full-scale 1 kHz sine, RMS 1/sqrt(2) = -3.01 dBFS, peak 1.0 (sample 12 of each
    // 48-sample period lands on the crest), crest +3.01 dB. Right: a square wave of 0.5, RMS =
    // peak = -6.02 dBFS, crest 0 dB. The plug-in's RMS would sum both channels' power instead.
    constexpr double kRate = 48000.0;
    LevelAnalysis a;
    ASSERT_TRUE(startLevels(a, kRate));
    const std::vector<float> left = sine(kRate, 1000.0, 1.0, 1.0);
    std::vector<float> right(left.size());
    for (size_t i = 0; i < right.size(); ++i)
        right[i] = (i / 24) % 2 == 0 ? 0.5f : -0.5f;
    for (size_t done = 0, piece = 1000; done < left.size(); done += piece)
        addLevelFrames(a, &left[done], &right[done], std::min(piece, left.size() - done));
    const LevelReadings r = readLevels(a);
    EXPECT_NEAR(r.channelRmsDb[0], -3.0103, 0.005);
    EXPECT_NEAR(r.channelCrestDb[0], 3.0103, 0.005);
    EXPECT_NEAR(r.channelRmsDb[1], -6.0206, 0.005);
    EXPECT_NEAR(r.channelCrestDb[1], 0.0, 1e-9);
    EXPECT_NEAR(r.channelPeakDb[0], 0.0, 1e-6);
    EXPECT_NEAR(r.channelPeakDb[1], -6.0206, 1e-3);

    // 300 ms of silence leaves one loud point of the four: RMS drops by 10*log10(4) = 6.02 dB,
    // the peak stays in the window, so the crest grows by the same amount and stays positive.
    const std::vector<float> silence(static_cast<size_t>(0.3 * kRate), 0.0f);
    addLevelFrames(a, silence.data(), silence.data(), silence.size());
    const LevelReadings fading = readLevels(a);
    EXPECT_NEAR(fading.channelRmsDb[0], -3.0103 - 6.0206, 0.005);
    EXPECT_NEAR(fading.channelCrestDb[0], 3.0103 + 6.0206, 0.005);
    addLevelFrames(a, silence.data(), silence.data(), silence.size());
    EXPECT_TRUE(std::isnan(readLevels(a).channelRmsDb[0])) << "silence: no value, not -inf";
    EXPECT_TRUE(std::isnan(readLevels(a).channelCrestDb[1]));

    // A restart needs 400 ms before there is a value again.
    ASSERT_TRUE(startLevels(a, kRate));
    addLevelFrames(a, left.data(), right.data(), static_cast<size_t>(0.35 * kRate));
    EXPECT_TRUE(std::isnan(readLevels(a).channelRmsDb[0]));
}

TEST(Dsp, LoudnessHistoryAndRangeOfTwoLevelsTenDbApart) {
    // A 1 kHz sine in both channels reads its level in dBFS as LUFS (BS.1770's calibration):
    // -20 then -30, so the range is 10 LU.
    constexpr double kRate = 44100.0;
    LevelAnalysis a;
    ASSERT_TRUE(startLevels(a, kRate));
    std::vector<float> x = sine(kRate, 1000.0, 0.1, 20.0);
    const std::vector<float> quiet = sine(kRate, 1000.0, 0.01 * std::sqrt(10.0), 20.0);
    x.insert(x.end(), quiet.begin(), quiet.end());
    x[1234] = std::numeric_limits<float>::quiet_NaN();  // counts as silence, poisons nothing
    x[5678] = std::numeric_limits<float>::infinity();
    feedLevels(a, x);

    ASSERT_EQ(a.newPoints.size(), 400u);
    EXPECT_TRUE(std::isnan(a.newPoints[2].momentaryLufs)) << "before 400 ms of audio";
    EXPECT_FALSE(std::isnan(a.newPoints[3].momentaryLufs));
    EXPECT_TRUE(std::isnan(a.newPoints[28].shortTermLufs)) << "before 3 s of audio";
    EXPECT_NEAR(a.newPoints[100].momentaryLufs, -20.0, 0.1);
    EXPECT_NEAR(a.newPoints[190].shortTermLufs, -20.0, 0.1);
    EXPECT_NEAR(a.newPoints[390].shortTermLufs, -30.0, 0.1);
    EXPECT_NEAR(readLevels(a).lraLu, 10.0, 0.3);
}

TEST(Dsp, HistoryAndRangeMatchLibebur128OnBroadbandAudioAtAnotherRate) {
    // White noise plus a 40 Hz and a 9 kHz tone: the K-weighting's high-pass and shelf both
    // matter, and 44.1 kHz is not the rate the standard's coefficients are given for. The level
    // falls 1.5 dB a second, with a quiet stretch that the relative gate leaves out.
    constexpr double kRate = 44100.0;
    constexpr double kSeconds = 20.0;
    const std::vector<float> low = sine(kRate, 40.0, 0.3, kSeconds),
                             high = sine(kRate, 9000.0, 0.1, kSeconds);
    std::vector<float> left(low.size()), right(low.size()), interleaved;
    uint32_t noise = 12345;
    for (size_t i = 0; i < low.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const float white = (float(noise >> 8) / float(1 << 24) - 0.5f) * 0.2f;
        const double t = double(i) / kRate;
        const float gain =
            static_cast<float>(t >= 14.0 && t < 17.0 ? 0.001 : std::pow(10.0, -1.5 * t / 20.0));
        left[i] = (low[i] + white) * gain;
        right[i] = (high[i] - white) * gain;
        interleaved.insert(interleaved.end(), {left[i], right[i]});
    }
    LevelAnalysis a;
    ASSERT_TRUE(startLevels(a, kRate));
    ebur128_state* reference = ebur128_init(2, 44100, EBUR128_MODE_S | EBUR128_MODE_LRA);
    ASSERT_NE(reference, nullptr);
    for (size_t point = 0; point < size_t(kSeconds * 10); ++point) {
        const size_t from = point * 4410, n = 4410;
        addLevelFrames(a, &left[from], &right[from], n);
        ebur128_add_frames_float(reference, &interleaved[2 * from], n);
        double momentary = 0.0, shortTerm = 0.0;
        ebur128_loudness_momentary(reference, &momentary);
        ebur128_loudness_shortterm(reference, &shortTerm);
        ASSERT_EQ(a.newPoints.size(), point + 1);
        if (point >= 3) {
            EXPECT_NEAR(a.newPoints[point].momentaryLufs, momentary, 0.01) << "point " << point;
        }
        if (point >= 29) {
            EXPECT_NEAR(a.newPoints[point].shortTermLufs, shortTerm, 0.01) << "point " << point;
        }
        if (point % 10 == 9 && point >= 29) {
            double range = 0.0;
            ASSERT_EQ(ebur128_loudness_range(reference, &range), EBUR128_SUCCESS);
            EXPECT_NEAR(readLevels(a).lraLu, range, 0.02) << "point " << point;
        }
    }
    EXPECT_GT(readLevels(a).lraLu, 10.0);  // the fall is in it, the quiet stretch is not
    ebur128_destroy(&reference);
}

TEST(Dsp, FullScaleSineReadsZeroDbInItsBandAndHoldsItsPeak) {
    for (const double rate : {48000.0, 192000.0}) {
        SpectrumAnalysis s;
        ASSERT_TRUE(startSpectrum(s, rate));
        EXPECT_EQ(s.fftSize, rate == 48000.0 ? 8192u : 32768u);
        const std::vector<float> x = sine(rate, 1000.0, 1.0, 0.5), zeros(x.size(), 0.0f);
        addSpectrumFrames(s, x.data(), zeros.data(), x.size(), 1);  // mono: the left alone
        analyseSpectrum(s, 10.0);
        const size_t k = bandOf(s, 1000.0);
        EXPECT_NEAR(s.centreHz[k], 1000.0, 1e-3);
        EXPECT_NEAR(s.levelDb[k], 0.0, 0.3) << rate;
        for (size_t b = 0; b < s.centreHz.size(); ++b) {
            if (b + 1 < k || b > k + 1) {
                EXPECT_LT(s.levelDb[b], -60.0f) << s.centreHz[b] << " Hz at " << rate;
            }
        }
    }

    // The peak holds for 1.5 s after the sine stops, then falls at 20 dB/s.
    SpectrumAnalysis s;
    ASSERT_TRUE(startSpectrum(s, 48000.0));
    const std::vector<float> x = sine(48000.0, 1000.0, 1.0, 0.5), silence(8192, 0.0f);
    addSpectrumFrames(s, x.data(), x.data(), x.size(), 2);
    analyseSpectrum(s, 0.0);
    const size_t k = bandOf(s, 1000.0);
    const float held = s.peakDb[k];
    addSpectrumFrames(s, silence.data(), silence.data(), silence.size(), 2);
    analyseSpectrum(s, 1.0);
    EXPECT_EQ(s.levelDb[k], kSpectrumFloorDb);
    EXPECT_EQ(s.peakDb[k], held);
    analyseSpectrum(s, 2.5);
    EXPECT_NEAR(s.peakDb[k], held - 20.0f, 1e-3);
}

TEST(Dsp, FramePathDoesNotAllocate) {
    LevelAnalysis a;
    SpectrumAnalysis s;
    ASSERT_TRUE(startLevels(a, 48000.0));
    ASSERT_TRUE(startSpectrum(s, 48000.0));
    const std::vector<float> x = sine(48000.0, 440.0, 0.3, 5.0);
    alloccount::Armed armed;
    for (size_t done = 0; done < x.size(); done += 4800) {
        addLevelFrames(a, &x[done], &x[done], 4800);
        addSpectrumFrames(s, &x[done], &x[done], 4800, 2);
        analyseSpectrum(s, double(done) / 48000.0);
        a.newPoints.clear();
        EXPECT_FALSE(std::isnan(readLevels(a).truePeakDb));
    }
    EXPECT_EQ(alloccount::count(), 0u);
}
