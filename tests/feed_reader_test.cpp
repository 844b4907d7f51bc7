// The companion's feed reader and monitor following the real plug-in: every frame delivered bit
// for bit or counted lost exactly, across ring wraps, overruns, rate changes, teardown and a newer
// instance replacing the segment.
#include "companion/feed_monitor.h"
#include "companion/feed_reader.h"
#include "feed_emulator.h"
#include "live_host.h"
#include "plugin_fixture.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include <sys/mman.h>

using namespace companion;
using testhost::PluginFixture;

namespace {

// Never-repeating values, so a frame delivered from the wrong place shows.
float sampleOf(uint64_t k, int channel) {
    const uint32_t bits = static_cast<uint32_t>(k * 2654435761u + channel * 40503u + 17u);
    return static_cast<float>(bits % 2000001u) / 1000000.0f - 1.0f;
}

struct Recorder : FeedSink {
    std::vector<double> restartRates;
    std::vector<uint64_t> gaps;
    std::vector<float> left, right;
    void feedRestarted(double rateHz) override {
        restartRates.push_back(rateHz);
        left.clear();
        right.clear();
    }
    void feedGap(uint64_t lost) override { gaps.push_back(lost); }
    void feedFrames(const float* l, const float* r, size_t n, uint32_t) override {
        left.insert(left.end(), l, l + n);
        right.insert(right.end(), r, r + n);
    }
    // The stream's frames [first, first + count) arrived, in order, bit for bit.
    void expectStream(uint64_t first, uint64_t count, uint64_t at = 0) const {
        ASSERT_GE(left.size(), at + count);
        for (uint64_t i = 0; i < count; ++i) {
            ASSERT_EQ(left[at + i], sampleOf(first + i, 0)) << "frame " << first + i;
            ASSERT_EQ(right[at + i], sampleOf(first + i, 1)) << "frame " << first + i;
        }
    }
};

}  // namespace

class FeedReading : public PluginFixture {
protected:
    // A feed left under the name by a killed process of an earlier test would read as live.
    void SetUp() override {
        shm_unlink(companion::kSpectrumName);
        PluginFixture::SetUp();
    }
    void stream(uint64_t n, uint32_t block = 4096) {
        std::vector<float> l, r;
        for (uint64_t done = 0; done < n; done += block) {
            const uint32_t m = static_cast<uint32_t>(std::min<uint64_t>(block, n - done));
            l.resize(m);
            r.resize(m);
            for (uint32_t i = 0; i < m; ++i) {
                l[i] = sampleOf(streamed + i, 0);
                r[i] = sampleOf(streamed + i, 1);
            }
            ASSERT_EQ(run(l, r), CLAP_PROCESS_CONTINUE);
            streamed += m;
        }
    }
    FeedState poll() { return pollFeed(reader, sink, nowMs += 10); }

    FeedReader reader;
    Recorder sink;
    uint64_t streamed = 0;
    int64_t nowMs = 0;
};

TEST_F(FeedReading, WrapsLosslesslyAndCountsAnOverrunExactly) {
    EXPECT_EQ(poll(), FeedState::absent);
    start(48000.0);
    ASSERT_EQ(poll(), FeedState::live);
    EXPECT_EQ(sink.restartRates, std::vector<double>{48000.0});
    for (int i = 0; i < 20; ++i) {  // 245,760 frames: the ring wraps three times
        stream(3 * 4096);
        ASSERT_EQ(poll(), FeedState::live);
    }
    sink.expectStream(0, streamed);
    EXPECT_TRUE(sink.gaps.empty());

    // 100,000 frames without a poll: everything older than the newest 49,152 is counted lost.
    const uint64_t before = streamed;
    sink.left.clear();
    sink.right.clear();
    stream(100000, 10000);
    poll();
    EXPECT_EQ(sink.gaps, std::vector<uint64_t>{100000 - kFeedSafeFrames});
    sink.expectStream(before + 100000 - kFeedSafeFrames, kFeedSafeFrames);
    EXPECT_EQ(reader.framesLost, 100000 - kFeedSafeFrames);
    EXPECT_EQ(reader.framesRead + reader.framesLost, streamed);
}

TEST_F(FeedReading, RateChangeRestartsAndTheSameRateContinues) {
    start(48000.0);
    poll();
    stream(5000);
    poll();
    instance->deactivate();
    ASSERT_TRUE(instance->activate(96000.0));
    streamed = 0;  // the feed counts from 0 at the new rate
    stream(3000);
    poll();
    EXPECT_EQ(sink.restartRates, (std::vector<double>{48000.0, 96000.0}));
    sink.expectStream(0, 3000);
    EXPECT_EQ(sink.left.size(), 3000u);

    instance->deactivate();
    ASSERT_TRUE(instance->activate(96000.0));
    stream(1000);
    poll();
    EXPECT_EQ(sink.restartRates.size(), 2u);
    sink.expectStream(0, 4000);
    EXPECT_EQ(reader.framesLost, 0u);
}

TEST_F(FeedReading, TeardownDeliversTheLastFramesAndANewInstanceIsFollowed) {
    start(48000.0);
    poll();
    stream(2000);
    poll();
    stream(1000);  // not polled before the plug-in goes
    instance.reset();
    EXPECT_NE(poll(), FeedState::live);
    sink.expectStream(0, 3000);
    EXPECT_EQ(sink.left.size(), 3000u);

    // A new instance, mono: its stream is read from its first frame, right channel zero.
    start(44100.0);
    std::vector<float> mono(700), out(700);
    for (uint32_t i = 0; i < 700; ++i)
        mono[i] = sampleOf(i, 0);
    instance->process(mono.data(), nullptr, out.data(), out.data(), 700);
    ASSERT_EQ(poll(), FeedState::live);
    EXPECT_EQ(sink.restartRates, (std::vector<double>{48000.0, 44100.0}));
    ASSERT_EQ(sink.left, mono);
    EXPECT_EQ(sink.right, std::vector<float>(700, 0.0f));

    // A second instance made while the first lives replaces the segment under the name: found
    // within a second, not before.
    testhost::Instance second(host);
    ASSERT_TRUE(second.init());
    ASSERT_TRUE(second.activate(32000.0));
    poll();
    EXPECT_EQ(sink.restartRates.size(), 2u);
    nowMs += kFeedNameCheckMs;
    poll();
    EXPECT_EQ(sink.restartRates.back(), 32000.0);
    EXPECT_EQ(reader.framesLost, 0u);
}

// The monitor on a feed of its own name (other processes' plug-ins share the global one).
TEST(FeedMonitoring, MeasuresTheFeedAndRestartsWithIt) {
    const std::string name = "ORV_Tessarin_SpectrumFeed_test_" + std::to_string(getpid());
    FeedEmulator feed;
    FeedMonitor monitor(name.c_str());
    monitor.start();
    ASSERT_TRUE(feed.create(name, 48000.0));
    auto waitFor = [&](auto done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return done();
    };
    // A -20 dBFS 1 kHz sine, each block appended once the monitor has read the one before, so
    // no write lands under its copy.
    std::vector<float> l(4800);
    uint64_t sent = 0;
    for (int b = 0; b < 60; ++b) {
        for (size_t i = 0; i < l.size(); ++i)
            l[i] = 0.1f * float(std::sin(2.0 * M_PI * 1000.0 * double(sent + i) / 48000.0));
        monitor.spectrum();  // watched, as by an open page: the frames are kept for it
        feed.append(l.data(), l.data(), l.size());
        sent += l.size();
        ASSERT_TRUE(waitFor([&] { return monitor.snapshot().framesRead >= sent; }));
    }
    ASSERT_TRUE(waitFor([&] { return monitor.spectrum().sequence > 1; }));
    const FeedSnapshot snap = monitor.snapshot();
    EXPECT_TRUE(snap.connected);
    EXPECT_EQ(snap.sampleRateHz, 48000.0);
    EXPECT_EQ(snap.framesLost, 0u);
    EXPECT_NEAR(snap.truePeakDb, -20.0, 0.1);
    EXPECT_EQ(snap.historyEnd, 60u);
    std::vector<LoudnessPoint> points;
    EXPECT_EQ(monitor.history(50, points), 50u);
    ASSERT_EQ(points.size(), 10u);
    EXPECT_NEAR(points.back().momentaryLufs, -20.0, 0.1);
    const SpectrumBands bands = monitor.spectrum();
    for (size_t b = 0; b < bands.centreHz.size(); ++b) {
        if (std::abs(bands.centreHz[b] - 1000.0f) < 1.0f) {
            EXPECT_NEAR(bands.levelDb[b], -20.0, 0.5);
        }
    }

    const uint64_t resets = snap.resets;
    monitor.reset();
    EXPECT_TRUE(waitFor([&] { return monitor.snapshot().resets == resets + 1; }));
    EXPECT_EQ(monitor.snapshot().historyEnd, 0u);
    EXPECT_TRUE(std::isnan(monitor.snapshot().truePeakMaxDb));

    // A rate change restarts everything by itself.
    feed.changeRate(44100.0);
    feed.append(l.data(), nullptr, 4410);
    EXPECT_TRUE(waitFor([&] { return monitor.snapshot().sampleRateHz == 44100.0; }));
    EXPECT_EQ(monitor.snapshot().resets, resets + 2);
    EXPECT_EQ(monitor.snapshot().channels, 1u);
    feed.destroy();
    EXPECT_TRUE(waitFor([&] { return !monitor.snapshot().connected; }));
    monitor.stop();
}

// A program of the same user writing garbage into a feed: rates no plug-in can run at read as no
// feed, and a frame counter that leaps about never makes the reader count more frames than a
// render at 10,000 times real time could have carried.
TEST(FeedGarbage, AbsurdRatesAndLeapingCountersStayWithinWhatAStreamCanCarry) {
    const std::string name = "ORV_Tessarin_SpectrumFeed_garbage_" + std::to_string(getpid());
    FeedEmulator feed;
    ASSERT_TRUE(feed.create(name, 48000.0));
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    void* addr = mmap(nullptr, kSpectrumBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(addr, MAP_FAILED);
    auto* header = static_cast<uint8_t*>(addr);
    auto write = [&](size_t offset, auto value) {
        std::atomic_ref(*reinterpret_cast<decltype(value)*>(header + offset))
            .store(value, std::memory_order_release);
    };

    FeedReader reader;
    reader.name = name;
    Recorder sink;
    int64_t nowMs = 0;
    for (const double rate : {2.9e-317, 0.5, 9.0e6, std::nan(""), HUGE_VAL}) {
        write(spectrumOff::sampleRate, rate);
        EXPECT_EQ(pollFeed(reader, sink, nowMs += 10), FeedState::absent) << rate;
    }
    EXPECT_TRUE(sink.restartRates.empty());
    EXPECT_TRUE(sink.left.empty());

    write(spectrumOff::sampleRate, 48000.0);
    std::vector<float> l(1000, 0.5f);
    feed.append(l.data(), l.data(), l.size());
    ASSERT_EQ(pollFeed(reader, sink, nowMs += 10), FeedState::live);
    EXPECT_EQ(sink.left.size(), 1000u);

    // One second of polls, the counter leaping to the end of its range and back at each.
    for (uint64_t i = 0; i < 100; ++i) {
        write(spectrumOff::totalFrames, i % 2 == 1 ? UINT64_MAX - i : i * 1000);
        pollFeed(reader, sink, nowMs += 10);
    }
    const uint64_t carried = 48000ull * 10000;
    EXPECT_LE(reader.framesLost, carried);
    EXPECT_LE(reader.framesRead + reader.framesLost, carried + 1000);
    munmap(addr, kSpectrumBytes);
}

// Offline renders at 20 times real time in 16,384-frame blocks, each by a new instance (as a DAW
// makes one per bounce) started while the monitor idles with no feed under the name: every frame
// of each is read, from its first block on.
TEST(FeedMonitoring, KeepsUpWithOfflineRendersFromTheirFirstBlock) {
    constexpr uint32_t kBlockFrames = 16384;
    constexpr int kBlockPeriodUs = 17067;  // 16,384 frames at 48 kHz / 20
    FeedMonitor monitor;                   // the plug-in's own name
    monitor.start();
    uint64_t rendered = 0;
    for (int render = 0; render < 5; ++render) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 23 * render));
        testhost::LiveHost host(48000.0, kBlockFrames, kBlockPeriodUs);
        ASSERT_TRUE(host.start());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        host.stop();
        rendered += host.loudFrames();
    }  // each instance is destroyed here, its feed torn down
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (monitor.snapshot().framesRead + monitor.snapshot().framesLost < rendered &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const FeedSnapshot snap = monitor.snapshot();
    EXPECT_EQ(snap.framesLost, 0u);
    EXPECT_EQ(snap.framesRead, rendered);
    monitor.stop();
}
