// The meters through the built module, as the companion sees them: transport starts, stops and
// jumps, hosts without a seconds timeline or without any transport, and the reset request.
#include "plugin_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

namespace off = companion::off;

constexpr double kRate = 48000.0;
// 375 frames at 48 kHz last 2^-7 s, so positions and expected positions stay exact in both the
// host's fixed-point timeline and f64.
constexpr uint32_t kFrames = 375;
constexpr int64_t kBlockUnits = int64_t{1} << 24;  // 2^-7 s in units of 2^-31 s
// The two neighbours of 0.1 s on the host's timeline: 0.1 s itself is not representable.
constexpr int64_t kStepAtMost100ms = 214748364;  // 0.09999999962747 s
constexpr int64_t kStepAbove100ms = 214748365;   // 0.10000000009313 s

clap_event_transport transportAt(bool playing, int64_t units, bool secondsTimeline = true) {
    clap_event_transport t = testhost::makeTransport(playing, 0.0, secondsTimeline);
    t.song_pos_seconds = units;
    return t;
}

bool allNineCleared(const companion::MeterReadings& m) {
    return m.momentaryLufs == -200.0 && m.shortTermLufs == -200.0 && m.shortTermMaxLufs == -200.0 &&
           m.integratedLufs == -200.0 && m.momentaryMaxLufs == -200.0 && m.rmsDb == -200.0 &&
           m.rmsMaxDb == -200.0 && m.peakDb == -200.0 && m.crestDb == -200.0;
}

class MeterPlugin : public testhost::PluginFixture {
protected:
    // Values the companion might have left in the nine fields.
    void fillFields(double value) {
        for (size_t offset = off::momentaryLufs; offset <= off::crestDb; offset += 8) {
            control.storePlain<double>(offset, value);
        }
    }
    double peakDb() const { return control.loadPlain<double>(off::peakDb); }
    // A 997 Hz sine (0 LUFS at amplitude 1 on both channels) in 100 ms host blocks, the
    // transport (if any) moving on with the audio.
    void sineBlocks(double seconds, float amplitude, const clap_event_transport* transport) {
        constexpr size_t kChunk = 4800;
        const auto n = static_cast<size_t>(seconds * kRate);
        std::vector<float> s(kChunk);
        clap_event_transport t{};
        if (transport != nullptr) {
            t = *transport;
        }
        for (size_t done = 0; done < n; done += kChunk) {
            for (size_t i = 0; i < kChunk; ++i) {
                const double phase =
                    2.0 * std::numbers::pi * 997.0 * static_cast<double>(done + i) / kRate;
                s[i] = static_cast<float>(amplitude * std::sin(phase));
            }
            ASSERT_EQ(run(s, s, transport != nullptr ? &t : nullptr), CLAP_PROCESS_CONTINUE);
            t.song_pos_seconds += std::llround(kChunk / kRate * CLAP_SECTIME_FACTOR);
        }
    }
};

TEST_F(MeterPlugin, TransportStartRestartsAndIntegratesWhilePlaying) {
    start(kRate);
    sineBlocks(1.0, 0.5f, nullptr);  // no transport: metered, never integrated
    companion::MeterReadings m = control.meters();
    EXPECT_NEAR(m.momentaryLufs, -6.02, 0.01);
    EXPECT_EQ(m.integratedLufs, -200.0);
    EXPECT_NEAR(m.peakDb, -6.02, 0.01);

    fillFields(5.0);
    const clap_event_transport playing = testhost::makeTransport(true, 12.0);
    ASSERT_EQ(run(0, 0.0f, 0.0f, &playing), CLAP_PROCESS_CONTINUE);
    EXPECT_TRUE(allNineCleared(control.meters()));

    sineBlocks(1.0, 0.1f, &playing);
    m = control.meters();
    EXPECT_NEAR(m.momentaryLufs, -20.0, 0.02);
    EXPECT_NEAR(m.integratedLufs, -20.0, 0.02);
    EXPECT_NEAR(m.momentaryMaxLufs, -20.0, 0.02);
    EXPECT_NEAR(m.rmsDb, 20.0 * std::log10(0.1), 0.01);  // both channels' powers add
    EXPECT_NEAR(m.peakDb, -20.0, 0.001);
    EXPECT_NEAR(m.crestDb, m.peakDb - m.rmsMaxDb, 1e-12);

    // Stopped: the integrated value freezes; playing again is a start.
    const clap_event_transport stopped = testhost::makeTransport(false, 13.0);
    sineBlocks(1.0, 1.0f, &stopped);
    m = control.meters();
    EXPECT_NEAR(m.integratedLufs, -20.0, 0.02);
    EXPECT_NEAR(m.momentaryLufs, 0.0, 0.02);
    EXPECT_NEAR(m.peakDb, 0.0, 0.001);
    ASSERT_EQ(run(0, 0.0f, 0.0f, &playing), CLAP_PROCESS_CONTINUE);
    EXPECT_TRUE(allNineCleared(control.meters()));
}

TEST_F(MeterPlugin, PositionStepsUpTo100msAreNotJumps) {
    start(kRate);
    int64_t pos = 1000 * kBlockUnits;
    clap_event_transport t = transportAt(true, pos);
    ASSERT_EQ(run(kFrames, 0.5f, 0.5f, &t), CLAP_PROCESS_CONTINUE);  // start
    pos += kBlockUnits;
    t = transportAt(true, pos);
    ASSERT_EQ(run(kFrames, 0.5f, 0.5f, &t), CLAP_PROCESS_CONTINUE);  // arms
    EXPECT_NEAR(peakDb(), -6.02, 0.01);

    // Forward and back by at most 0.1 s: the meters carry on.
    pos += kBlockUnits + kStepAtMost100ms;
    t = transportAt(true, pos);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_NEAR(peakDb(), -6.02, 0.01);
    pos += kBlockUnits - kStepAtMost100ms;
    t = transportAt(true, pos);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_NEAR(peakDb(), -6.02, 0.01);

    // One unit more is a jump: all nine fields restart.
    pos += kBlockUnits + kStepAbove100ms;
    t = transportAt(true, pos);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_TRUE(allNineCleared(control.meters()));

    // The next block only arms from its own position, wherever that is; checks resume after.
    pos = 2000 * kBlockUnits;
    t = transportAt(true, pos);
    ASSERT_EQ(run(kFrames, 0.25f, 0.25f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_NEAR(peakDb(), -12.04, 0.01);
    pos += kBlockUnits;
    t = transportAt(true, pos);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_NEAR(peakDb(), -12.04, 0.01);

    // A loop that wraps back to its start is a jump backwards.
    t = transportAt(true, 1000 * kBlockUnits);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_TRUE(allNineCleared(control.meters()));
}

TEST_F(MeterPlugin, WithoutSecondsTimelineOnlyStartsRestart) {
    start(kRate);
    clap_event_transport t = transportAt(true, 0, false);
    ASSERT_EQ(run(kFrames, 0.5f, 0.5f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_NEAR(peakDb(), -6.02, 0.01);
    fillFields(5.0);
    t = transportAt(false, 0, false);
    ASSERT_EQ(run(0, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    t = transportAt(true, 0, false);
    ASSERT_EQ(run(0, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_TRUE(allNineCleared(control.meters()));

    ASSERT_EQ(run(kFrames, 0.5f, 0.5f, &t), CLAP_PROCESS_CONTINUE);
    for (const int64_t units : {int64_t{1} << 40, int64_t{0}, int64_t{-5} << 31}) {
        t = transportAt(true, units, false);  // positions that would be jumps go unnoticed
        ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
        EXPECT_NEAR(peakDb(), -6.02, 0.01);
    }
    // Once the timeline appears, its first block arms and the next one is checked.
    t = transportAt(true, 10 * kBlockUnits);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_NEAR(peakDb(), -6.02, 0.01);
    t = transportAt(true, 30 * kBlockUnits);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f, &t), CLAP_PROCESS_CONTINUE);
    EXPECT_TRUE(allNineCleared(control.meters()));
}

TEST_F(MeterPlugin, BlocksWithoutTransportNeverRestartOrChangeIntegration) {
    start(kRate);
    fillFields(5.0);
    sineBlocks(1.0, 0.1f, nullptr);
    companion::MeterReadings m = control.meters();
    EXPECT_EQ(m.integratedLufs, -200.0);  // never played: nothing integrated
    EXPECT_EQ(m.momentaryMaxLufs, 5.0);   // the companion's hold is the one to beat
    EXPECT_EQ(m.rmsMaxDb, 5.0);
    EXPECT_NEAR(m.crestDb, m.peakDb - 5.0, 1e-12);

    // Playing, then blocks without a transport: integration goes on, nothing restarts.
    const clap_event_transport playing = testhost::makeTransport(true, 0.0);
    sineBlocks(0.5, 0.1f, &playing);
    const double integrated = control.meters().integratedLufs;
    EXPECT_NEAR(integrated, -20.0, 0.02);
    sineBlocks(2.0, 1.0f, nullptr);
    m = control.meters();
    EXPECT_GT(m.integratedLufs, integrated + 5.0);
    EXPECT_NEAR(m.peakDb, 0.0, 0.001);
    EXPECT_NEAR(m.momentaryMaxLufs, 0.0, 0.02);
}

TEST_F(MeterPlugin, ResetRequestKeepsHoldsAndPublishesTheClearedState) {
    start(kRate);
    const clap_event_transport playing = testhost::makeTransport(true, 0.0);
    sineBlocks(1.0, 1.0f, &playing);
    const companion::MeterReadings before = control.meters();
    EXPECT_NEAR(before.rmsMaxDb, 0.0, 0.01);  // 997 Hz: not whole periods in 400 ms

    control.requestMeterReset();
    ASSERT_EQ(run(kFrames, 0.25f, 0.25f), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(control.load<uint8_t>(off::resetMetersRequest), 0);
    const companion::MeterReadings after = control.meters();
    EXPECT_EQ(after.momentaryLufs, -200.0);
    EXPECT_EQ(after.shortTermLufs, -200.0);
    EXPECT_EQ(after.integratedLufs, -200.0);
    EXPECT_NEAR(after.peakDb, -12.04, 0.01);  // the samples after the reset only
    EXPECT_EQ(after.rmsDb, before.rmsDb);     // until 400 ms have passed
    EXPECT_EQ(after.rmsMaxDb, before.rmsMaxDb);
    EXPECT_EQ(after.momentaryMaxLufs, before.momentaryMaxLufs);
    EXPECT_NEAR(after.crestDb, after.peakDb - before.rmsMaxDb, 1e-12);

    // A request byte other than 1 is ignored and left alone.
    control.store<uint8_t>(off::resetMetersRequest, 2);
    ASSERT_EQ(run(kFrames, 0.0f, 0.0f), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(control.load<uint8_t>(off::resetMetersRequest), 2);
    EXPECT_NEAR(peakDb(), -12.04, 0.01);
}

TEST_F(MeterPlugin, MonoInputMetersTheLeftChannelAlone) {
    start(kRate);
    const clap_event_transport playing = testhost::makeTransport(true, 0.0);
    const auto n = static_cast<size_t>(kRate * 3.2);
    std::vector<float> s(n), outL(n), outR(n);
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * 997.0 * i / kRate));
    }
    for (size_t done = 0; done < n; done += 3200) {  // a one-channel input port
        ASSERT_EQ(instance->process(&s[done], nullptr, &outL[done], &outR[done], 3200, &playing),
                  CLAP_PROCESS_CONTINUE);
    }
    const companion::MeterReadings m = control.meters();
    EXPECT_NEAR(m.momentaryLufs, -3.01, 0.01);
    EXPECT_NEAR(m.shortTermLufs, -3.01, 0.01);
    EXPECT_NEAR(m.rmsDb, 10.0 * std::log10(0.5), 0.01);
    EXPECT_NEAR(m.crestDb, -10.0 * std::log10(0.5), 0.01);
}

}  // namespace
