// The waveform overview as the companion draws it, against a frame-by-frame model of the column
// rule built here from the layout's definition: column = trunc(f32(p) * 64000 / f32(size)) for
// the position p after the write, restarted on entry, extended with the min/max tests.
#include "plugin_fixture.h"

#include "capture/capture.h"

#include <random>

namespace off = companion::off;
using testhost::PluginFixture;
using testhost::ringFloats;

namespace {

struct OverviewModel {
    uint64_t size;
    uint64_t w = 0;
    int32_t last = -1;
    std::vector<float> minL, maxL, minR, maxR;

    explicit OverviewModel(uint64_t ringSize)
        : size(ringSize), minL(64000), maxL(64000), minR(64000), maxR(64000) {}

    static int32_t column(uint64_t p, uint64_t size) {
        const float x = float(p) * 64000.0f / float(size);
        return std::clamp(static_cast<int32_t>(x), 0, 63999);
    }
    void write(float l, float r) {
        w = w + 2 < size ? w + 2 : 0;
        const int32_t c = column(w, size);
        if (c != last) {
            minL[c] = maxL[c] = l;
            minR[c] = maxR[c] = r;
            last = c;
            return;
        }
        if (!(l >= minL[c]))
            minL[c] = l;
        if (l > maxL[c])
            maxL[c] = l;
        if (!(r >= minR[c]))
            minR[c] = r;
        if (r > maxR[c])
            maxR[c] = r;
    }
};

}  // namespace

TEST(OverviewColumns, BoundarySearchAgreesWithTheRuleEverywhere) {
    // The driver computes a column only when the write position leaves the current one; the
    // boundary it jumps to must be exactly where the rule changes, for equal and unequal columns.
    for (double rate : {8000.0, 44100.0, 48000.0, 1234.5678, 384000.0}) {
        const uint64_t size = captureSizeForRate(rate);
        uint64_t p = 0;
        int32_t previous = -1;
        int checked = 0;
        while (p < size) {
            const int32_t c = overviewColumn(p, size);
            ASSERT_GT(c, previous) << rate << " at " << p;
            const uint64_t next = nextColumnBoundary(p, size);
            ASSERT_GT(next, p);
            ASSERT_EQ(overviewColumn(next - 1, size), c) << rate << " at " << next - 1;
            if (next < size) {
                ASSERT_NE(overviewColumn(next, size), c) << rate << " at " << next;
            }
            previous = c;
            p = next;
            ++checked;
        }
        EXPECT_EQ(previous, 63999);
        EXPECT_LE(checked, 64000);
    }
}

class Overview : public PluginFixture {
protected:
    void expectMatches(const OverviewModel& model) {
        for (uint32_t c = 0; c < 64000; ++c) {
            ASSERT_EQ(control.overview(off::overviewMinL, c), model.minL[c]) << "column " << c;
            ASSERT_EQ(control.overview(off::overviewMaxL, c), model.maxL[c]) << "column " << c;
            ASSERT_EQ(control.overview(off::overviewMinR, c), model.minR[c]) << "column " << c;
            ASSERT_EQ(control.overview(off::overviewMaxR, c), model.maxR[c]) << "column " << c;
        }
        EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), model.last);
    }
    uint64_t quietRun = uint64_t{1} << 30;  // the model's silence counter; the gate starts closed
};

TEST_F(Overview, MoreThanALapWithPausesMonoBlocksAndNaN) {
    for (double rate : {8000.0, 11025.0}) {
        control.remove();
        ASSERT_TRUE(control.create());  // the arrays start zeroed, as the model does
        start(rate);
        OverviewModel model(ringFloats(rate));
        std::mt19937 random(3);
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        std::uniform_int_distribution<uint32_t> blockFrames(1, 3000);
        uint64_t total = 0;
        const uint64_t lap = model.size / 2;
        int block = 0;
        while (total < lap + lap / 3) {
            const uint32_t n = blockFrames(random);
            std::vector<float> l(n), r(n);
            const bool quiet = block % 7 == 3;  // long enough to close the gate at times
            const bool mono = block % 5 == 1;
            for (uint32_t i = 0; i < n; ++i) {
                l[i] = quiet ? 0.0f : sample(random);
                r[i] = quiet ? 0.0f : sample(random);
            }
            if (block == 10)
                l[n / 2] = std::numeric_limits<float>::quiet_NaN();
            std::vector<float> out(n);
            if (mono)
                instance->process(l.data(), nullptr, out.data(), out.data(), n);
            else
                run(l, r);
            // The model's gate: at 0.25 s of quiet, writing stops.
            const uint64_t tail = static_cast<uint64_t>(rate * 0.25);
            for (uint32_t i = 0; i < n; ++i) {
                const float right = mono ? 0.0f : r[i];
                quietRun = (std::fabs(l[i]) >= 2.5e-4f || std::fabs(right) >= 2.5e-4f)
                               ? 0
                               : std::min<uint64_t>(quietRun + 1, tail);
                if (quietRun < tail)
                    model.write(l[i], mono ? l[i] : right);
            }
            total += n;
            ++block;
        }
        expectMatches(model);
        instance.reset();
        quietRun = 1u << 30;
    }
}

TEST_F(Overview, RingsLastFrameLandsInColumnZero) {
    start(8000.0);
    const uint64_t frames = ringFloats(8000.0) / 2;
    std::vector<float> l(frames - 1, 0.5f), r(frames - 1, 0.5f);
    run(l, r);
    EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), 63999);
    control.storePlain<float>(off::overviewMinL, -7.0f);  // column 0 from the first lap, widened
    run(1, 0.25f, -0.25f);  // the frame at index size - 2: the position moves to 0
    EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), 0);
    EXPECT_EQ(control.overview(off::overviewMinL, 0), 0.25f) << "column 0 restarts";
    EXPECT_EQ(control.overview(off::overviewMaxL, 0), 0.25f);
    EXPECT_EQ(control.overview(off::overviewMinR, 0), -0.25f);
    EXPECT_EQ(control.overview(off::overviewMaxR, 0), -0.25f);
}

TEST_F(Overview, PauseAndResumeInOneColumnExtendsIt) {
    start(48000.0);  // 45 frames a column
    run(1, 0.5f, 0.5f);
    control.store<uint8_t>(off::captureHold, 1);
    run(100, 0.9f, 0.9f);
    control.store<uint8_t>(off::captureHold, 0);
    EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), 0);
    run(1, -0.5f, 0.75f);
    EXPECT_EQ(control.overview(off::overviewMinL, 0), -0.5f);
    EXPECT_EQ(control.overview(off::overviewMaxL, 0), 0.5f);
    EXPECT_EQ(control.overview(off::overviewMinR, 0), 0.5f);
    EXPECT_EQ(control.overview(off::overviewMaxR, 0), 0.75f);
    // No frame written in a block: the arrays stand and the column is republished.
    const uint32_t counter = control.load<uint32_t>(off::updateCounter);
    control.store<uint8_t>(off::captureHold, 1);
    run(500, 1.0f, 1.0f);
    EXPECT_EQ(control.load<uint32_t>(off::updateCounter), counter + 1);
    EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), 0);
    EXPECT_EQ(control.overview(off::overviewMaxL, 0), 0.5f);
}

TEST_F(Overview, NothingDrawnWithoutTheCompanion) {
    control.remove();
    start(48000.0);
    run(1000, 0.5f, 0.5f);
    instance->deactivate();
    ASSERT_TRUE(control.create());
    ASSERT_TRUE(instance->activate(48000.0));
    run(0, 0.0f, 0.0f);
    EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), -1);
    EXPECT_EQ(control.overview(off::overviewMaxL, 0), 0.0f);
    run(1, 0.5f, 0.5f);  // frame 1001 goes to position 2002: column 22 starts afresh
    EXPECT_EQ(control.load<int32_t>(off::lastOverviewColumn), 22);
    EXPECT_EQ(control.overview(off::overviewMaxL, 22), 0.5f);
}
