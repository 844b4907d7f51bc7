// The block driver through the real module: buffer shapes, early exits, return codes, the
// update counter, the heartbeat, the insertion trigger and the audio thread's no-allocation rule.
#include "alloc_counter.h"
#include "plugin_fixture.h"

#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <sys/resource.h>

using companion::off::heartbeatMs;
using companion::off::insertRequest;
using companion::off::updateCounter;
using testhost::PluginFixture;

namespace {

constexpr float kSentinel = -12345.0f;

struct Buffers {
    std::vector<float> inL, inR, outL, outR;
    float* inputs[2];
    float* outputs[2];
    clap_audio_buffer input{};
    clap_audio_buffer output{};
    clap_process process{};

    explicit Buffers(uint32_t frames, float left = 0.25f, float right = -0.5f)
        : inL(frames, left), inR(frames, right), outL(frames, kSentinel), outR(frames, kSentinel) {
        inputs[0] = inL.data();
        inputs[1] = inR.data();
        outputs[0] = outL.data();
        outputs[1] = outR.data();
        input.data32 = inputs;
        input.channel_count = 2;
        output.data32 = outputs;
        output.channel_count = 2;
        process.steady_time = -1;
        process.frames_count = frames;
        process.audio_inputs = &input;
        process.audio_outputs = &output;
        process.audio_inputs_count = 1;
        process.audio_outputs_count = 1;
    }
    bool outputsUntouched() const {
        for (size_t i = 0; i < outL.size(); ++i)
            if (outL[i] != kSentinel || outR[i] != kSentinel)
                return false;
        return true;
    }
};

bool allEqual(const std::vector<float>& values, float want) {
    for (float v : values)
        if (std::bit_cast<uint32_t>(v) != std::bit_cast<uint32_t>(want))
            return false;
    return true;
}

}  // namespace

class BlockDriver : public PluginFixture {};

TEST_F(BlockDriver, MissingPortsAreAnErrorAndTouchNothing) {
    start(48000.0);
    const uint32_t counter = control.load<uint32_t>(updateCounter);
    for (int variant = 0; variant < 4; ++variant) {
        Buffers b(256);
        if (variant == 0)
            b.process.audio_inputs = nullptr;
        if (variant == 1)
            b.process.audio_outputs = nullptr;
        if (variant == 2)
            b.process.audio_inputs_count = 0;
        if (variant == 3)
            b.process.audio_outputs_count = 0;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_ERROR) << variant;
        EXPECT_TRUE(b.outputsUntouched()) << variant;
    }
    EXPECT_EQ(control.load<uint32_t>(updateCounter), counter);
}

TEST_F(BlockDriver, MissingInputSamplesGiveSilenceAndSkipTheBlock) {
    start(48000.0);
    control.store<int64_t>(heartbeatMs, -1);
    control.store<uint8_t>(insertRequest, 1);
    const uint32_t counter = control.load<uint32_t>(updateCounter);
    for (int variant = 0; variant < 2; ++variant) {
        Buffers b(4800);  // a whole heartbeat interval
        if (variant == 0)
            b.input.data32 = nullptr;
        else
            b.inputs[0] = nullptr;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(b.outL, 0.0f));
        EXPECT_TRUE(allEqual(b.outR, 0.0f));
    }
    EXPECT_EQ(control.load<uint32_t>(updateCounter), counter);
    EXPECT_EQ(control.load<int64_t>(heartbeatMs), -1);
    EXPECT_EQ(host.requestCallbackCount.load(), 0) << "a pending insertion waits for a real block";
    EXPECT_EQ(writtenFrames(), 0u);
}

TEST_F(BlockDriver, BufferShapes) {
    start(48000.0);
    {  // separate buffers: output = input
        Buffers b(300);
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_EQ(b.outL, b.inL);
        EXPECT_EQ(b.outR, b.inR);
    }
    {  // in place
        Buffers b(300);
        b.outputs[0] = b.inL.data();
        b.outputs[1] = b.inR.data();
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(b.inL, 0.25f));
        EXPECT_TRUE(allEqual(b.inR, -0.5f));
    }
    {  // one input channel: the right output carries only the (silent) preview
        Buffers b(300);
        b.input.channel_count = 1;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(b.outL, 0.25f));
        EXPECT_TRUE(allEqual(b.outR, 0.0f));
    }
    {  // a null right input channel
        Buffers b(300);
        b.inputs[1] = nullptr;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(b.outR, 0.0f));
    }
    {  // one output channel: the second buffer stays as it was
        Buffers b(300);
        b.output.channel_count = 1;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(b.outL, 0.25f));
        EXPECT_TRUE(allEqual(b.outR, kSentinel));
    }
    {  // a null right output channel, and no output channels at all: the block still counts
        Buffers b(300);
        b.outputs[1] = nullptr;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(b.outL, 0.25f));
        const uint32_t counter = control.load<uint32_t>(updateCounter);
        Buffers none(300);
        none.output.data32 = nullptr;
        EXPECT_EQ(instance->processRaw(none.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(none.outputsUntouched());
        EXPECT_EQ(control.load<uint32_t>(updateCounter), counter + 1);
    }
}

// Buffers a host lays out crosswise: the outputs are written frame by frame, each frame's
// samples read before its outputs are written, whatever the layout.
TEST_F(BlockDriver, CrossedAndOverlappingBuffersGetTheFrameByFrameResult) {
    start(48000.0);
    constexpr uint32_t kFrames = 300;
    auto left = [](uint32_t i) { return 0.5f + float(i) / 1024.0f; };
    auto right = [](uint32_t i) { return -0.25f - float(i) / 1024.0f; };
    {  // in place, channels swapped: each input buffer ends up holding the other channel
        Buffers b(kFrames);
        for (uint32_t i = 0; i < kFrames; ++i) {
            b.inL[i] = left(i);
            b.inR[i] = right(i);
        }
        b.outputs[0] = b.inR.data();
        b.outputs[1] = b.inL.data();
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        for (uint32_t i = 0; i < kFrames; ++i) {
            ASSERT_EQ(b.inR[i], left(i)) << i;
            ASSERT_EQ(b.inL[i], right(i)) << i;
        }
    }
    {  // the right output one sample behind the left in the same buffer: the later frame's left
       // sample overwrites the earlier frame's right one, the last right sample stays
        Buffers b(kFrames);
        for (uint32_t i = 0; i < kFrames; ++i) {
            b.inL[i] = left(i);
            b.inR[i] = right(i);
        }
        std::vector<float> shared(kFrames + 1, kSentinel);
        b.outputs[0] = shared.data();
        b.outputs[1] = shared.data() + 1;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        for (uint32_t i = 0; i < kFrames; ++i)
            ASSERT_EQ(shared[i], left(i)) << i;
        EXPECT_EQ(shared[kFrames], right(kFrames - 1));
    }
}

TEST_F(BlockDriver, LongMonoBlocksReadSilenceOnTheRightForEveryFrame) {
    start(48000.0);
    for (uint32_t frames : {8191u, 8192u, 8193u, 16384u, 40000u}) {
        Buffers b(frames);
        b.input.channel_count = 1;
        EXPECT_EQ(instance->processRaw(b.process), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(b.outR, 0.0f)) << frames;
        EXPECT_TRUE(allEqual(b.outL, 0.25f)) << frames;
    }
}

TEST_F(BlockDriver, BlockSizesFromOneTo16384InAnySequence) {
    start(44100.0);
    std::mt19937 random(7);
    std::uniform_int_distribution<uint32_t> frames(1, 16384);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    uint32_t counter = control.load<uint32_t>(updateCounter);
    for (int block = 0; block < 60; ++block) {
        const uint32_t n = block == 0 ? 1 : block == 1 ? 16384 : frames(random);
        std::vector<float> l(n), r(n);
        for (uint32_t i = 0; i < n; ++i) {
            l[i] = sample(random);
            r[i] = sample(random);
        }
        ASSERT_EQ(run(l, r), CLAP_PROCESS_CONTINUE);
        ASSERT_EQ(instance->lastOutLeft(), l);
        ASSERT_EQ(instance->lastOutRight(), r);
        ASSERT_EQ(control.load<uint32_t>(updateCounter), ++counter);
    }
}

TEST_F(BlockDriver, NonFiniteAndHugeSamplesPassThroughUnchanged) {
    start(48000.0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {nan, -nan, inf, -inf, 3.0e38f, -3.0e38f, 1e-45f, -0.0f};
    std::vector<float> l, r;
    for (int repeat = 0; repeat < 600; ++repeat)
        for (float v : values) {
            l.push_back(v);
            r.push_back(-v);
        }
    for (int block = 0; block < 12; ++block) {  // long enough to close meter blocks on them
        ASSERT_EQ(run(l, r), CLAP_PROCESS_CONTINUE);
        ASSERT_EQ(std::memcmp(instance->lastOutLeft().data(), l.data(), l.size() * 4), 0);
        ASSERT_EQ(std::memcmp(instance->lastOutRight().data(), r.data(), r.size() * 4), 0);
    }
}

TEST_F(BlockDriver, ZeroFrameBlocksPublishButMoveNoHeartbeat) {
    start(48000.0);
    const uint32_t counter = control.load<uint32_t>(updateCounter);
    control.store<int64_t>(heartbeatMs, -1);
    float none[1] = {};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(instance->process(none, none, none, none, 0), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(control.load<uint32_t>(updateCounter), counter + 5);
    // 4799 more frames complete no interval: the zero-frame blocks added nothing.
    EXPECT_EQ(run(4799, 0.0f, 0.0f), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(control.load<int64_t>(heartbeatMs), -1);
    EXPECT_EQ(run(1, 0.0f, 0.0f), CLAP_PROCESS_CONTINUE);
    EXPECT_GE(control.load<int64_t>(heartbeatMs), 0);
}

TEST_F(BlockDriver, HeartbeatCadence) {
    start(48000.0);
    auto stamped = [&](uint32_t frames) {
        control.store<int64_t>(heartbeatMs, -1);
        run(frames, 0.0f, 0.0f);
        return control.load<int64_t>(heartbeatMs) >= 0;
    };
    // Interval-long blocks stamp every time.
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(stamped(4800)) << i;
    // One frame shorter: every second block, the frames beyond the interval dropped each time.
    std::vector<bool> pattern;
    for (int i = 0; i < 6; ++i)
        pattern.push_back(stamped(4799));
    EXPECT_EQ(pattern, (std::vector<bool>{false, true, false, true, false, true}));
    // 512-frame blocks: every tenth.
    int stamps = 0;
    for (int i = 0; i < 100; ++i)
        stamps += stamped(512);
    EXPECT_EQ(stamps, 10);
    // The value is the monotonic clock in milliseconds.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t nowMs = int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    EXPECT_TRUE(stamped(4800));
    EXPECT_LE(std::llabs(control.load<int64_t>(heartbeatMs) - nowMs), 1000);
}

TEST_F(BlockDriver, HeartbeatIntervalFollowsTheRate) {
    start(44100.0);
    auto stamped = [&](uint32_t frames) {
        control.store<int64_t>(heartbeatMs, -1);
        run(frames, 0.0f, 0.0f);
        return control.load<int64_t>(heartbeatMs) >= 0;
    };
    EXPECT_FALSE(stamped(4409));
    EXPECT_TRUE(stamped(1));
    instance->deactivate();
    ASSERT_TRUE(instance->activate(9.0));  // a tenth of a second is no whole frame: every block
    rate = 9.0;
    EXPECT_TRUE(stamped(1));
    EXPECT_TRUE(stamped(1));
}

TEST_F(BlockDriver, InsertionTriggerKeepsOneCallbackOutstanding) {
    start(48000.0);
    run(64, 0.0f, 0.0f);
    EXPECT_EQ(host.requestCallbackCount.load(), 0);
    control.store<uint8_t>(insertRequest, 2);  // not a request
    run(64, 0.0f, 0.0f);
    EXPECT_EQ(host.requestCallbackCount.load(), 0);
    control.store<uint8_t>(insertRequest, 1);
    for (int i = 0; i < 5; ++i)
        run(64, 0.0f, 0.0f);
    EXPECT_EQ(host.requestCallbackCount.load(), 1);
    // The host offers no extension API: the callback leaves the request up, and the next block
    // asks again.
    instance->onMainThread();
    EXPECT_EQ(control.load<uint8_t>(insertRequest), 1);
    run(64, 0.0f, 0.0f);
    run(64, 0.0f, 0.0f);
    EXPECT_EQ(host.requestCallbackCount.load(), 2);
    // A callback the plug-in did not ask for changes nothing.
    instance->onMainThread();
    instance->onMainThread();
    run(64, 0.0f, 0.0f);
    EXPECT_EQ(host.requestCallbackCount.load(), 3);
}

TEST_F(BlockDriver, HostWithoutRequestCallbackIsAskedNothing) {
    host.host.request_callback = nullptr;
    start(48000.0);
    control.store<uint8_t>(insertRequest, 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(run(64, 0.0f, 0.0f), CLAP_PROCESS_CONTINUE);
    instance->onMainThread();  // nothing was asked for: nothing is taken
    EXPECT_EQ(control.load<uint8_t>(insertRequest), 1);
}

TEST_F(BlockDriver, NoBlockWithoutControlBlockWritesAField) {
    control.remove();
    start(48000.0);
    ASSERT_TRUE(control.create());  // appears only after activation: not attached until the next
    std::vector<uint8_t> before(control.bytes(), control.bytes() + companion::kControlBytes);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(run(4800, 0.5f, 0.5f), CLAP_PROCESS_CONTINUE);
        EXPECT_TRUE(allEqual(instance->lastOutLeft(), 0.5f));
    }
    EXPECT_EQ(std::memcmp(before.data(), control.bytes(), before.size()), 0);
}

TEST_F(BlockDriver, ProcessNeverAllocates) {
    start(48000.0);
    std::mt19937 random(11);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> l(16384), r(16384), outL(16384), outR(16384);
    for (size_t i = 0; i < l.size(); ++i) {
        l[i] = sample(random);
        r[i] = sample(random);
    }
    const clap_event_transport playing = testhost::makeTransport(true, 0.0);
    const clap_event_transport jumped = testhost::makeTransport(true, 30.0);
    const clap_event_transport stopped = testhost::makeTransport(false, 0.0);
    uint64_t allocations = 0;
    auto block = [&](uint32_t frames, const float* right, const clap_event_transport* t) {
        alloccount::Armed armed;
        instance->process(l.data(), right, outL.data(), outR.data(), frames, t);
        allocations += alloccount::count();
    };
    for (int round = 0; round < 3; ++round) {
        block(512, r.data(), &playing);
        block(16384, r.data(), &playing);
        block(16384, nullptr, &jumped);
        block(1, r.data(), nullptr);
        block(0, r.data(), &stopped);
        control.setPreview(true, 0.25f);
        block(4800, r.data(), &playing);
        control.requestSnapshot(0.9f, 0.2f);
        block(512, r.data(), &playing);
        control.requestMeterReset();
        control.store<uint8_t>(insertRequest, 1);
        block(512, r.data(), &playing);
        control.requestClear();
        block(512, r.data(), &playing);
        control.setPreview(false, 0.0f);
        block(512, r.data(), &playing);
    }
    EXPECT_EQ(allocations, 0u);

    // The counter does see the module's allocations: an activation sizes the ring.
    testhost::Instance other(host);
    ASSERT_TRUE(other.init());
    {
        alloccount::Armed armed;
        ASSERT_TRUE(other.activate(8000.0));
        EXPECT_GT(alloccount::count(), 0u);
    }
}

TEST_F(BlockDriver, NoFreshPageIsTouchedOnTheAudioThread) {
    // Writing the whole 23 MB ring, the overview, a whole-ring snapshot and a clear would take
    // about 11,500 page faults if the ring or the segments were first touched here.
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's shadow memory takes its own first-touch faults";
#endif
    start(48000.0);
    control.storePlain<float>(companion::off::silenceThreshold, 0.0f);
    std::vector<float> l(16384, 0.5f), r(16384, -0.5f), outL(16384), outR(16384);
    instance->process(l.data(), r.data(), outL.data(), outR.data(), 16384);  // warm code paths
    auto faults = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_minflt + usage.ru_majflt;
    };
    const long before = faults();
    for (int block = 0; block < 176; ++block)  // 176 * 16384 frames > 60 s at 48 kHz
        instance->process(l.data(), r.data(), outL.data(), outR.data(), 16384);
    control.requestSnapshot(0.0f, 1.0f);
    instance->process(l.data(), r.data(), outL.data(), outR.data(), 512);
    control.requestClear();
    instance->process(l.data(), r.data(), outL.data(), outR.data(), 512);
    const long taken = faults() - before;
    EXPECT_EQ(control.loadPlain<uint32_t>(companion::off::snapshotCount), 5760000u);
    EXPECT_LT(taken, 64) << "page faults on the audio thread";
}
