// Preview playback heard at the output, and the export snapshot fetched through its segment.
#include "plugin_fixture.h"

#include "capture/capture.h"

#include <cmath>
#include <limits>

namespace off = companion::off;
using testhost::PluginFixture;
using testhost::ringFloats;

namespace {

// Ring content that tells every frame apart: frame k holds (k + 1) / 2^20 on the left and its
// negative on the right, exact in f32. The first frames lie below the default silence threshold,
// so the fill switches the gate off with a threshold of 0.
float frameValue(uint64_t k) {
    return float(k + 1) / float(1 << 20);
}

// The fade gain after n frames of fading in: a running single-precision sum, clamped at 1.
float fadeInGain(float step, int n) {
    float gain = 0.0f;
    for (int i = 0; i < n; ++i)
        gain = std::min(gain + step, 1.0f);
    return gain;
}

}  // namespace

class PreviewSnapshot : public PluginFixture {
protected:
    // Fills the whole ring with frameValue(k) at frame k and leaves the write head at 0.
    void fillRing() {
        control.storePlain<float>(off::silenceThreshold, 0.0f);
        const uint64_t frames = ringFloats(rate) / 2;
        for (uint64_t done = 0; done < frames;) {
            const uint64_t n = std::min<uint64_t>(16384, frames - done);
            std::vector<float> l(n), r(n);
            for (uint64_t i = 0; i < n; ++i) {
                l[i] = frameValue(done + i);
                r[i] = -frameValue(done + i);
            }
            run(l, r);
            done += n;
        }
        ASSERT_EQ(writtenFrames(), 0u);
        control.store<uint8_t>(off::captureHold, 1);  // the ring keeps this content
    }
    uint32_t requestSnapshot(float start, float length) {
        control.requestSnapshot(start, length);
        run(0, 0.0f, 0.0f);
        EXPECT_EQ(control.load<uint8_t>(off::snapshotReady), 1);
        EXPECT_EQ(control.load<uint8_t>(off::snapshotRequest), 0);
        return control.loadPlain<uint32_t>(off::snapshotCount);
    }
};

TEST_F(PreviewSnapshot, FadeInReachesFullGainOnFrame480At48k) {
    start(48000.0);
    control.storePlain<float>(off::silenceThreshold, 0.0f);
    run(1000, 1.0f, 0.5f);  // ring frames 0..999 hold 1.0 / 0.5
    control.store<uint8_t>(off::captureHold, 1);
    control.setPreview(true, 0.0f);
    run(600, 0.0f, 0.0f);
    const std::vector<float>& gain = instance->lastOutLeft();
    const float step = 100.0f / 48000.0f;
    EXPECT_EQ(gain[0], step) << "the first previewed frame plays at one step";
    EXPECT_LT(gain[478], 1.0f);
    EXPECT_EQ(gain[479], 1.0f) << "the 480th frame";
    EXPECT_EQ(gain[599], 1.0f);
    EXPECT_EQ(instance->lastOutRight()[599], 0.5f);
    float expected = 0.0f;  // the gain is a running single-precision sum, clamped at 1
    for (int i = 0; i < 480; ++i) {
        expected = std::min(expected + step, 1.0f);
        ASSERT_EQ(gain[i], expected) << i;
    }
    EXPECT_EQ(control.load<float>(off::playheadFraction), 1200.0f / 5760000.0f);
}

TEST_F(PreviewSnapshot, OutputIsInputPlusPreviewAndTheRingLoops) {
    start(8000.0);
    fillRing();
    const uint64_t size = ringFloats(rate);
    control.setPreview(true, 1.0f);  // starts at the ring's last frame
    std::vector<float> inL(1000, 0.125f), inR(1000, -0.125f);
    run(inL, inR);
    const float step = 100.0f / 8000.0f;
    EXPECT_EQ(instance->lastOutLeft()[0], frameValue(size / 2 - 1) * step + 0.125f);
    EXPECT_EQ(instance->lastOutLeft()[1], frameValue(0) * (2 * step) + 0.125f) << "wraps to 0";
    EXPECT_EQ(instance->lastOutRight()[1], -frameValue(0) * (2 * step) - 0.125f);
    EXPECT_EQ(instance->lastOutLeft()[999], frameValue(998) + 0.125f);
    EXPECT_EQ(control.load<float>(off::playheadFraction), 999.0f * 2 / float(size));
    // The request held: playback goes on from where it was; a new start waits for a new edge.
    control.setPreview(true, 0.5f);
    run(10, 0.0f, 0.0f);
    EXPECT_EQ(instance->lastOutLeft()[0], frameValue(999));
}

TEST_F(PreviewSnapshot, FallingEdgeFadesOutThenThePlayheadReadsMinusOne) {
    start(8000.0);
    fillRing();
    control.setPreview(true, 0.0f);
    run(200, 0.0f, 0.0f);
    control.setPreview(false, 0.0f);
    run(40, 0.0f, 0.0f);  // half of the 10 ms fade
    EXPECT_EQ(control.load<float>(off::playheadFraction), 240.0f * 2 / float(ringFloats(rate)));
    const float step = 100.0f / 8000.0f;
    EXPECT_EQ(instance->lastOutLeft()[0], frameValue(200) * (1.0f - step));
    // The rest of the fade, worked out with the same single-precision steps.
    float gain = 1.0f;
    for (int i = 0; i < 40; ++i)
        gain = std::max(gain - step, 0.0f);
    run(100, 0.0f, 0.0f);
    int faded = 0;
    for (int i = 0; i < 100; ++i) {
        if (gain > 0.0f) {
            gain = std::max(gain - step, 0.0f);
            ASSERT_EQ(instance->lastOutLeft()[i], frameValue(240 + i) * gain) << i;
            faded = i + 1;
        } else {
            ASSERT_EQ(instance->lastOutLeft()[i], 0.0f) << i;
        }
    }
    EXPECT_GE(faded, 40);
    EXPECT_LE(faded, 41);
    EXPECT_EQ(control.load<float>(off::playheadFraction), -1.0f);
}

TEST_F(PreviewSnapshot, RisingEdgeDuringFadeOutRestartsAtTheNewStart) {
    start(8000.0);
    fillRing();
    const uint64_t size = ringFloats(rate);
    control.setPreview(true, 0.0f);
    run(200, 0.0f, 0.0f);
    control.setPreview(false, 0.0f);
    run(20, 0.0f, 0.0f);
    control.setPreview(true, 0.5f);
    run(3, 0.0f, 0.0f);
    const float step = 100.0f / 8000.0f;
    const uint64_t startFrame = size / 4;  // 0.5 of the ring, in frames
    EXPECT_EQ(instance->lastOutLeft()[0], frameValue(startFrame) * step);
    EXPECT_EQ(instance->lastOutLeft()[2], frameValue(startFrame + 2) * fadeInGain(step, 3));
}

TEST_F(PreviewSnapshot, StartPositionsClampAndEven) {
    start(1234.5678);  // 148,148 floats
    fillRing();
    const uint64_t size = ringFloats(rate);
    const float step = 100.0f / float(1234.5678);
    const std::pair<float, uint64_t> cases[] = {
        {-3.0f, 0},
        {0.0f, 0},
        {2.0f, size / 2 - 1},
        {0.333333f, (uint64_t(double(size) * double(0.333333f)) & ~uint64_t{1}) / 2},
        {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& [start, frame] : cases) {
        control.setPreview(false, 0.0f);
        run(200, 0.0f, 0.0f);  // fade out completely
        control.setPreview(true, start);
        run(1, 0.0f, 0.0f);
        EXPECT_EQ(instance->lastOutLeft()[0], frameValue(frame) * step) << start;
    }
}

TEST_F(PreviewSnapshot, PreviewReadsBeforeTheSameFramesWrite) {
    start(8000.0);
    fillRing();
    control.store<uint8_t>(off::captureHold, 0);
    // The write head is at 0; preview from 0 reads each slot just before capture overwrites it.
    control.setPreview(true, 0.0f);
    run(100, 0.25f, 0.25f);
    const float step = 100.0f / 8000.0f;
    EXPECT_EQ(instance->lastOutLeft()[0], frameValue(0) * step + 0.25f);
    EXPECT_EQ(instance->lastOutLeft()[99], frameValue(99) + 0.25f);
    EXPECT_EQ(writtenFrames(), 100u);
}

TEST_F(PreviewSnapshot, ClearDuringPreviewPlaysTheZeroedRing) {
    start(8000.0);
    fillRing();
    control.setPreview(true, 0.0f);
    run(100, 0.0f, 0.0f);
    control.requestClear();
    run(10, 0.0f, 0.0f);
    run(10, 0.0f, 0.0f);
    EXPECT_EQ(instance->lastOutLeft(), std::vector<float>(10, 0.0f));
    EXPECT_EQ(control.load<float>(off::playheadFraction), 120.0f * 2 / float(ringFloats(rate)));
}

TEST_F(PreviewSnapshot, MonoInputRightOutputCarriesOnlyThePreview) {
    start(8000.0);
    fillRing();
    control.setPreview(true, 0.0f);
    std::vector<float> mono(200, 0.5f), outL(200), outR(200);
    instance->process(mono.data(), nullptr, outL.data(), outR.data(), 200);
    EXPECT_EQ(outR[199], -frameValue(199));
    EXPECT_EQ(outL[199], frameValue(199) + 0.5f);
}

TEST_F(PreviewSnapshot, SnapshotSelections) {
    start(8000.0);
    fillRing();
    const uint64_t size = ringFloats(rate);
    EXPECT_EQ(control.load<uint32_t>(off::snapshotBytes), size * 4);
    companion::SnapshotReader reader;
    ASSERT_TRUE(reader.open(size * 4));
    auto ringFloat = [&](uint64_t index) {
        const float v = frameValue(index / 2);
        return index % 2 == 0 ? v : -v;
    };
    auto expectStretch = [&](uint64_t start, uint64_t count) {
        for (uint64_t i = 0; i < count; ++i)
            ASSERT_EQ(reader.data()[i], ringFloat((start + i) % size)) << i;
    };
    // The whole ring from 0, and from the start index 1.0 gives: ring index 0.
    EXPECT_EQ(requestSnapshot(0.0f, 1.0f), size);
    expectStretch(0, size);
    EXPECT_EQ(requestSnapshot(1.0f, 0.25f), size / 4);
    expectStretch(0, size / 4);
    // Wrapping past the end: the last tenth then the first tenth.
    const uint64_t start9 = uint64_t(0.9f * float(size)) & ~uint64_t{1};
    const uint64_t len2 = uint64_t(0.2f * float(size)) & ~uint64_t{1};
    EXPECT_EQ(requestSnapshot(0.9f, 0.2f), len2);
    expectStretch(start9, len2);
    // Odd computed start and length go one down: 3 floats of 960,000 -> 2, start 5 -> 4.
    EXPECT_EQ(requestSnapshot(5.0f / float(size), 3.0f / float(size)), 2u);
    expectStretch(4, 2);
    EXPECT_EQ(reader.data()[2], ringFloat((start9 + 2) % size)) << "the earlier snapshot's tail";
    // Refused: below two floats, a NaN start with an empty length, a negative length.
    EXPECT_EQ(requestSnapshot(0.5f, 1.9f / float(size)), 0u);
    EXPECT_EQ(requestSnapshot(0.5f, -1.0f), 0u);
    EXPECT_EQ(requestSnapshot(0.5f, 0.0f), 0u);
    // A request in the same block as a clear copies the content from before the clear.
    control.requestSnapshot(0.0f, 0.5f);
    control.requestClear();
    run(0, 0.0f, 0.0f);
    EXPECT_EQ(control.loadPlain<uint32_t>(off::snapshotCount), size / 2);
    expectStretch(0, size / 2);
    // Destruction tells the companion the segment is gone.
    instance.reset();
    EXPECT_EQ(control.load<uint32_t>(off::snapshotBytes), 0u);
}

TEST_F(PreviewSnapshot, SnapshotIndicesStayInsideTheRingAtHighRates) {
    // At 384,000 Hz the ring length is a float; at 384,000.06 Hz (46,080,006 floats) float()
    // rounds it up to 46,080,008, one frame past the ring's end.
    for (double highRate : {384000.0, 384000.06}) {
        start(highRate);
        const uint64_t size = ringFloats(rate);
        control.storePlain<float>(off::silenceThreshold, 0.0f);
        std::vector<float> l(4096), r(4096);
        for (int i = 0; i < 4096; ++i) {
            l[i] = float(i + 1);
            r[i] = -float(i + 1);
        }
        run(l, r);
        companion::SnapshotReader reader;
        ASSERT_TRUE(reader.open(size * 4));
        // A start of 1.0 begins at ring index 0.
        EXPECT_EQ(requestSnapshot(1.0f, 1.0f / 1024), uint64_t(float(size) / 1024) & ~uint64_t{1});
        EXPECT_EQ(reader.data()[0], 1.0f);
        EXPECT_EQ(reader.data()[1], -1.0f);
        EXPECT_EQ(reader.data()[8191], -4096.0f);
        // The whole ring is the ring's own length, not one frame more.
        EXPECT_EQ(requestSnapshot(0.75f, 1.0f), size);
        const uint64_t start = std::min<uint64_t>(uint64_t(0.75f * float(size)), size) & ~1ull;
        EXPECT_EQ(reader.data()[size - start], 1.0f) << "the stretch wrapped to index 0";
        instance.reset();
    }
    EXPECT_GT(double(float(46080006ull)), 46080006.0);
}

TEST_F(PreviewSnapshot, InputPassesBitForBitOnceTheFadeOutEnds) {
    start(8000.0);
    fillRing();
    control.setPreview(true, 0.0f);
    run(200, 0.0f, 0.0f);
    control.setPreview(false, 0.0f);
    // The 80-frame fade ends early in this block; after it, -0.0 comes out as -0.0.
    run(400, -0.0f, -0.0f);
    for (int i = 100; i < 400; ++i) {
        ASSERT_TRUE(std::signbit(instance->lastOutLeft()[i])) << i;
        ASSERT_TRUE(std::signbit(instance->lastOutRight()[i])) << i;
    }
}
