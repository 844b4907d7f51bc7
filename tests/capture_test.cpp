// The capture ring and its silence gate through the real module, read back the way the
// companion does: the published write position and a snapshot of the whole ring.
#include "plugin_fixture.h"

#include "capture/capture.h"

namespace off = companion::off;
using testhost::Host;
using testhost::Instance;
using testhost::PluginFixture;
using testhost::ringFloats;

// At 8 kHz the ring is 960,000 floats, the gate tail 2000 frames and the ceiling 3000.
constexpr double kRate = 8000.0;
constexpr uint64_t kTail = 2000;
constexpr uint64_t kCeiling = 3000;

TEST(CaptureSizing, RingLengthAndGateLimitsForAnyRate) {
    EXPECT_EQ(captureSizeForRate(48000.0), 5760000u);
    EXPECT_EQ(captureSizeForRate(44100.0), 5292000u);
    EXPECT_EQ(captureSizeForRate(1234.5678), 148148u);    // 148148.136 truncated, already even
    EXPECT_EQ(captureSizeForRate(22050.0125), 2646000u);  // 2646001.5 -> 2646001 -> even
    EXPECT_EQ(captureSizeForRate(768000.0), 92160000u);
    EXPECT_EQ(gateLimits(48000.0).tailFrames, 12000u);
    EXPECT_EQ(gateLimits(48000.0).ceilingFrames, 18000u);
    EXPECT_EQ(gateLimits(1234.5678).tailFrames, 308u);     // 308.64
    EXPECT_EQ(gateLimits(1234.5678).ceilingFrames, 462u);  // 462.96
}

class Capture : public PluginFixture {};

TEST_F(Capture, SilenceWritesNothingAndTheFirstLoudFrameIsWritten) {
    start(kRate);
    run(5000, 0.0f, 0.0f);
    EXPECT_EQ(writtenFrames(), 0u);
    // Just below the default threshold on both channels: still silence.
    control.storePlain<float>(off::silenceThreshold, 2.5e-4f);
    run(100, 2.4999e-4f, -2.4999e-4f);
    EXPECT_EQ(writtenFrames(), 0u);
    std::vector<float> l(10, 0.0f), r(10, 0.0f);
    r[3] = -2.5e-4f;  // equal to the threshold: loud
    run(l, r);
    EXPECT_EQ(writtenFrames(), 7u) << "frames 3..9 of the block";
    const std::vector<float> ring = snapshotRing();
    ASSERT_EQ(ring.size(), ringFloats(kRate));
    EXPECT_EQ(ring[0], 0.0f);
    EXPECT_EQ(ring[1], -2.5e-4f);
}

TEST_F(Capture, GateTailToTheFrame) {
    start(kRate);
    run(1, 0.5f, 0.5f);
    run(kTail - 1, 0.0f, 0.0f);  // counter values 1 .. tail-1: all written
    EXPECT_EQ(writtenFrames(), kTail);
    run(1, 0.0f, 0.0f);  // the counter reaches the tail: left out
    EXPECT_EQ(writtenFrames(), kTail);
    run(5000, 0.0f, 0.0f);
    EXPECT_EQ(writtenFrames(), kTail);
    run(1, 0.0f, -0.9f);  // loud again on the right alone
    EXPECT_EQ(writtenFrames(), kTail + 1);
}

TEST_F(Capture, ThresholdAtOrBelowZeroCapturesEverything) {
    start(kRate);
    control.storePlain<float>(off::silenceThreshold, 0.0f);
    run(1000, 0.0f, 0.0f);
    EXPECT_EQ(writtenFrames(), 1000u);
    control.storePlain<float>(off::silenceThreshold, -1.0f);
    run(1000, 0.0f, 0.0f);
    EXPECT_EQ(writtenFrames(), 2000u);
}

TEST_F(Capture, HoldStopsWritingWhileTheGateKeepsCounting) {
    start(kRate);
    run(10, 0.5f, 0.5f);
    control.store<uint8_t>(off::captureHold, 1);
    run(100, 0.5f, 0.5f);
    EXPECT_EQ(writtenFrames(), 10u);
    control.store<uint8_t>(off::captureHold, 2);  // bit 0 clear: not held
    run(5, 0.5f, 0.5f);
    EXPECT_EQ(writtenFrames(), 15u);
    control.store<uint8_t>(off::captureHold, 3);
    run(kTail + 10, 0.0f, 0.0f);  // silence longer than the tail while held
    control.store<uint8_t>(off::captureHold, 0);
    run(100, 0.0f, 0.0f);
    EXPECT_EQ(writtenFrames(), 15u) << "released into silence past the tail: nothing written";
}

TEST_F(Capture, ContentInterleavedAndMonoRightSlotsZero) {
    start(kRate);
    std::vector<float> l = {0.1f, 0.2f, 0.3f}, r = {-0.1f, -0.2f, -0.3f};
    run(l, r);
    std::vector<float> mono = {0.7f, 0.8f};
    std::vector<float> out(2);
    instance->process(mono.data(), nullptr, out.data(), out.data(), 2);
    const std::vector<float> ring = snapshotRing();
    const std::vector<float> front(ring.begin(), ring.begin() + 12);
    EXPECT_EQ(front, (std::vector<float>{0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f, 0.7f, 0.0f, 0.8f,
                                         0.0f, 0.0f, 0.0f}));
}

TEST_F(Capture, WritePositionWrapsToZero) {
    start(kRate);
    const uint64_t frames = ringFloats(kRate) / 2;  // 480,000
    auto frameValue = [&](uint64_t frame) { return 0.25f + float(frame) / float(frames); };
    std::vector<float> l(16000), r(16000);
    uint64_t written = 0;
    for (int block = 0; written < frames - 3; ++block) {
        const uint64_t n = std::min<uint64_t>(16000, frames - 3 - written);
        l.assign(n, 0.0f);
        r.assign(n, 0.0f);
        for (uint64_t i = 0; i < n; ++i)
            l[i] = frameValue(written + i);  // never silent
        run(l, r);
        written += n;
    }
    EXPECT_EQ(writtenFrames(), frames - 3);
    run(3, 1.0f, 1.0f);
    EXPECT_EQ(writtenFrames(), 0u);
    EXPECT_EQ(control.load<float>(off::writePosFraction), 0.0f);
    run(1, -1.0f, -1.0f);
    EXPECT_EQ(writtenFrames(), 1u);
    const std::vector<float> ring = snapshotRing();
    EXPECT_EQ(ring[0], -1.0f);
    EXPECT_EQ(ring[2], frameValue(1)) << "the previous lap survives past the new head";
    EXPECT_EQ(ring[ring.size() - 2], 1.0f);
}

TEST_F(Capture, RateMismatchAcrossReactivation) {
    start(kRate);
    run(100, 0.5f, 0.5f);
    instance->deactivate();
    ASSERT_TRUE(instance->activate(11025.0));
    EXPECT_EQ(control.load<uint8_t>(off::rateMismatch), 1);
    EXPECT_EQ(control.loadPlain<double>(off::capturedRate), kRate);
    EXPECT_EQ(control.load<double>(off::sampleRate), 11025.0);
    run(500, 0.5f, 0.5f);
    EXPECT_EQ(writtenFrames(), 100u) << "the ring keeps its size; nothing is written";
    // Back at the recorded rate: capture resumes.
    instance->deactivate();
    ASSERT_TRUE(instance->activate(kRate));
    EXPECT_EQ(control.load<uint8_t>(off::rateMismatch), 0);
    run(10, 0.5f, 0.5f);
    EXPECT_EQ(writtenFrames(), 110u);
    // Another rate again, then a clear adopts the new rate.
    instance->deactivate();
    ASSERT_TRUE(instance->activate(16000.0));
    EXPECT_EQ(control.load<uint8_t>(off::rateMismatch), 1);
    control.requestClear();
    run(0, 0.0f, 0.0f);
    EXPECT_EQ(control.load<uint8_t>(off::rateMismatch), 0);
    run(10, 0.5f, 0.5f);
    EXPECT_EQ(writtenFrames(), 10u);
    instance->deactivate();
    ASSERT_TRUE(instance->activate(16000.0));
    EXPECT_EQ(control.load<uint8_t>(off::rateMismatch), 0);
}

TEST_F(Capture, WithoutCompanionAnotherRateDoesNotStopCapture) {
    control.remove();
    start(kRate);
    run(100, 0.5f, 0.5f);
    instance->deactivate();
    ASSERT_TRUE(instance->activate(22050.0));
    run(100, 0.5f, 0.5f);
    // A companion found at a later activation learns that the ring holds another rate's audio,
    // and sees that capture went on meanwhile.
    instance->deactivate();
    ASSERT_TRUE(control.create());
    ASSERT_TRUE(instance->activate(22050.0));
    EXPECT_EQ(control.load<uint8_t>(off::rateMismatch), 1);
    EXPECT_EQ(control.loadPlain<double>(off::capturedRate), kRate);
    run(0, 0.0f, 0.0f);
    EXPECT_EQ(writtenFrames(), 200u);
}

TEST_F(Capture, ClearEmptiesRingOverviewAndClosesTheGate) {
    start(kRate);
    run(3000, 0.5f, -0.5f);
    const uint32_t counter = control.load<uint32_t>(off::updateCounter);
    control.requestClear();
    run(100, 0.5f, -0.5f);  // published, then cleared in the same block
    EXPECT_EQ(control.load<uint8_t>(off::clearRequest), 0);
    EXPECT_EQ(control.load<uint32_t>(off::updateCounter), counter + 2);
    EXPECT_EQ(control.load<float>(off::writePosFraction), 0.0f);
    EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), -1);
    for (uint32_t column : {0u, 1u, 200u, 63999u}) {
        EXPECT_EQ(control.overview(off::overviewMinL, column), 0.0f);
        EXPECT_EQ(control.overview(off::overviewMaxR, column), 0.0f);
    }
    // The gate starts closed: silence after the clear is not captured.
    run(100, 0.0f, 0.0f);
    EXPECT_EQ(writtenFrames(), 0u);
    const std::vector<float> ring = snapshotRing();
    EXPECT_EQ(std::count(ring.begin(), ring.end(), 0.0f), static_cast<long>(ring.size()));
    run(1, 0.25f, 0.25f);
    EXPECT_EQ(writtenFrames(), 1u);
}

TEST_F(Capture, ActivationAtFractionalAndExtremeRates) {
    for (double rate : {1234.5678, 8000.0, 192000.0, 768000.0}) {
        start(rate);
        const uint64_t frames = 3 * 16384;
        for (uint64_t done = 0; done < frames; done += 16384)
            ASSERT_EQ(run(16384, 0.5f, 0.5f), CLAP_PROCESS_CONTINUE);
        const uint64_t size = ringFloats(rate);
        EXPECT_EQ(writtenFrames(), frames % (size / 2)) << rate;
        instance.reset();
    }
}
