// The companion's feed work per second of audio at 48 kHz: the feed reader's copy, the true
// peak / loudness range / history analysis, the spectrum; next to libebur128 measuring
// M|S|I|LRA|TRUE_PEAK on the same audio. Then the highest speed (times real time, 16,384-frame
// blocks) at which a reader polling every 10 ms still loses nothing, with a writer thread
// appending to a feed of its own name as the plug-in does.
#include "bench_audio.h"
#include "companion/dsp.h"
#include "companion/feed_reader.h"
#include "feed_emulator.h"

#include <benchmark/benchmark.h>
#include <ebur128.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kRateHz = 48000.0;
constexpr size_t kPollFrames = 4800;  // 0.1 s of audio per iteration
constexpr double kPollsPerAudioSecond = kRateHz / double(kPollFrames);
constexpr size_t kPolls = 100;                       // 10 s of audio, cycled through
constexpr double kSpectraPerSecond = 1000.0 / 45.0;  // the monitor's pace
constexpr uint32_t kWriterBlockFrames = 16384;
constexpr auto kReaderPoll = std::chrono::milliseconds(10);
constexpr double kTrialSeconds = 3.0;

const BenchAudio& noise() {
    static const BenchAudio audio = makeNoise(kPolls * kPollFrames, 0.25f, 2024);
    return audio;
}

std::string feedName(const char* what) {
    return std::string("ORV_Tessarin_SpectrumFeed_bench_") + what + "_" + std::to_string(getpid());
}

struct NullSink : companion::FeedSink {
    float sum = 0.0f;
    void feedRestarted(double) override {}
    void feedGap(uint64_t) override {}
    void feedFrames(const float* l, const float* r, size_t n, uint32_t) override {
        sum += l[n - 1] + r[0];
    }
};

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The reader's poll (copy, validation, delivery) alone; the writer's appends are not timed.
void BM_FeedCopy(benchmark::State& state) {
    const BenchAudio& a = noise();
    FeedEmulator feed;
    const std::string name = feedName("copy");
    if (!feed.create(name, kRateHz)) {
        state.SkipWithError("no segment");
        return;
    }
    companion::FeedReader reader;
    reader.name = name;
    NullSink sink;
    int64_t nowMs = 0;
    companion::pollFeed(reader, sink, nowMs);
    size_t poll = 0;
    for (auto _ : state) {
        feed.append(&a.left[poll * kPollFrames], &a.right[poll * kPollFrames], kPollFrames);
        const double start = threadCpuSeconds();
        companion::pollFeed(reader, sink, nowMs += 100);
        state.SetIterationTime(threadCpuSeconds() - start);
        poll = poll + 1 == kPolls ? 0 : poll + 1;
    }
    benchmark::DoNotOptimize(sink.sum);
    if (reader.framesLost != 0)
        state.SkipWithError("frames lost");
}
BENCHMARK(BM_FeedCopy)->UseManualTime();

void BM_LevelAnalysis(benchmark::State& state) {
    const BenchAudio& a = noise();
    companion::LevelAnalysis levels;
    companion::startLevels(levels, kRateHz);
    size_t poll = 0;
    double sum = 0.0;
    for (auto _ : state) {
        companion::addLevelFrames(levels, &a.left[poll * kPollFrames], &a.right[poll * kPollFrames],
                                  kPollFrames);
        sum += companion::readLevels(levels).truePeakDb;
        levels.newPoints.clear();
        poll = poll + 1 == kPolls ? 0 : poll + 1;
    }
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_LevelAnalysis);

// Keeping the newest frames, per 0.1 s of audio.
void BM_SpectrumFrames(benchmark::State& state) {
    const BenchAudio& a = noise();
    companion::SpectrumAnalysis spectrum;
    companion::startSpectrum(spectrum, kRateHz);
    size_t poll = 0;
    for (auto _ : state) {
        companion::addSpectrumFrames(spectrum, &a.left[poll * kPollFrames],
                                     &a.right[poll * kPollFrames], kPollFrames, 2);
        poll = poll + 1 == kPolls ? 0 : poll + 1;
    }
    benchmark::DoNotOptimize(spectrum.ringL[0]);
}
BENCHMARK(BM_SpectrumFrames);

// One analysis: two 8192-point FFTs and the bands.
void BM_SpectrumAnalysis(benchmark::State& state) {
    const BenchAudio& a = noise();
    companion::SpectrumAnalysis spectrum;
    companion::startSpectrum(spectrum, kRateHz);
    companion::addSpectrumFrames(spectrum, a.left.data(), a.right.data(), 8192, 2);
    double now = 0.0;
    for (auto _ : state)
        companion::analyseSpectrum(spectrum, now += 0.045);
    benchmark::DoNotOptimize(spectrum.levelDb[0]);
}
BENCHMARK(BM_SpectrumAnalysis);

void BM_Ebur128Full(benchmark::State& state) {
    const BenchAudio& a = noise();
    ebur128_state* st = ebur128_init(2, static_cast<unsigned long>(kRateHz),
                                     EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I |
                                         EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    size_t poll = 0;
    for (auto _ : state) {
        ebur128_add_frames_float(st, &a.interleaved[2 * poll * kPollFrames], kPollFrames);
        poll = poll + 1 == kPolls ? 0 : poll + 1;
    }
    double range = 0.0;
    ebur128_loudness_range(st, &range);
    benchmark::DoNotOptimize(range);
    ebur128_destroy(&st);
}
BENCHMARK(BM_Ebur128Full);

// Console output as usual, plus the time per iteration of each benchmark for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_message.empty())
                continue;
            // With repetitions the median of the repetitions wins over any single one.
            const std::string& name = run.run_name.function_name;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!median && (run.run_type != Run::RT_Iteration || haveMedian[name]))
                continue;
            haveMedian[name] = haveMedian[name] || median;
            // The copy is timed by hand on the thread's CPU clock: that is its "real" time.
            nsPerIteration[name] =
                name == "BM_FeedCopy" ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> nsPerIteration;
    std::map<std::string, bool> haveMedian;
};

float sampleOf(uint64_t k, int channel) {
    const uint32_t bits = static_cast<uint32_t>(k * 2654435761u + channel * 40503u);
    return static_cast<float>(bits % 2000001u) / 1000000.0f - 1.0f;
}

// Checks every delivered frame against the writer's sequence.
struct CheckingSink : companion::FeedSink {
    uint64_t next = 0, mismatches = 0;
    bool restarted = false;
    void feedRestarted(double) override { restarted = true; }
    void feedGap(uint64_t lost) override { next += lost; }
    void feedFrames(const float* l, const float* r, size_t n, uint32_t) override {
        for (size_t i = 0; i < n; ++i, ++next)
            mismatches += l[i] != sampleOf(next, 0) || r[i] != sampleOf(next, 1);
    }
};

struct Trial {
    uint64_t written = 0, read = 0, lost = 0, mismatches = 0;
    double longestGapMs = 0.0;  // between the starts of two polls
    double readerCpuS = 0.0;
    bool lossless() const { return lost == 0 && mismatches == 0 && read == written; }
};

// A writer thread appends 16,384-frame blocks at speed x real time; the reader polls every
// 10 ms (or paced as the monitor paces it, when adaptive), with the companion's analysis in the
// loop when withAnalysis is set.
Trial runTrial(double speed, bool withAnalysis, bool adaptive) {
    Trial trial;
    const std::string name = feedName("speed");
    FeedEmulator feed;
    if (!feed.create(name, kRateHz))
        return trial;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> written{0};
    std::thread writer([&] {
        std::vector<float> l(kWriterBlockFrames), r(kWriterBlockFrames);
        const auto blockTime =
            std::chrono::duration<double>(kWriterBlockFrames / (kRateHz * speed));
        const auto start = std::chrono::steady_clock::now();
        uint64_t k = 0;
        for (uint64_t block = 1; !done.load(std::memory_order_relaxed); ++block) {
            for (uint32_t i = 0; i < kWriterBlockFrames; ++i, ++k) {
                l[i] = sampleOf(k, 0);
                r[i] = sampleOf(k, 1);
            }
            feed.append(l.data(), r.data(), kWriterBlockFrames);
            written.store(k, std::memory_order_release);
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            blockTime * double(block)));
        }
    });
    companion::FeedReader reader;
    reader.name = name;
    CheckingSink check;
    struct AnalysingSink : companion::FeedSink {
        CheckingSink* check;
        companion::LevelAnalysis levels;
        companion::SpectrumAnalysis spectrum;
        void feedRestarted(double rate) override {
            check->feedRestarted(rate);
            companion::startLevels(levels, rate);
            companion::startSpectrum(spectrum, rate);
        }
        void feedGap(uint64_t lost) override { check->feedGap(lost); }
        void feedFrames(const float* l, const float* r, size_t n, uint32_t c) override {
            check->feedFrames(l, r, n, c);
            companion::addLevelFrames(levels, l, r, n);
            companion::addSpectrumFrames(spectrum, l, r, n, c);
            levels.newPoints.clear();
        }
    } analysing;
    analysing.check = &check;
    companion::FeedSink& sink = withAnalysis ? static_cast<companion::FeedSink&>(analysing)
                                             : static_cast<companion::FeedSink&>(check);
    const auto start = std::chrono::steady_clock::now();
    auto nextSpectrum = start;
    auto lastPoll = start;
    const double cpuStart = threadCpuSeconds();
    while (std::chrono::steady_clock::now() - start <
           std::chrono::duration<double>(kTrialSeconds)) {
        const auto now = std::chrono::steady_clock::now();
        trial.longestGapMs = std::max(
            trial.longestGapMs, std::chrono::duration<double, std::milli>(now - lastPoll).count());
        lastPoll = now;
        companion::pollFeed(
            reader, sink,
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
        if (withAnalysis && now >= nextSpectrum) {
            companion::analyseSpectrum(analysing.spectrum,
                                       std::chrono::duration<double>(now - start).count());
            companion::readLevels(analysing.levels);
            nextSpectrum += std::chrono::milliseconds(45);
        }
        std::this_thread::sleep_for(
            adaptive ? std::chrono::milliseconds(companion::nextPollDelayMs(reader)) : kReaderPoll);
    }
    trial.readerCpuS = threadCpuSeconds() - cpuStart;
    done.store(true);
    writer.join();
    // What the writer appended since the reader's last poll is read in one more.
    companion::pollFeed(reader, sink, 0);
    trial.written = written.load();
    trial.read = reader.framesRead;
    trial.lost = reader.framesLost;
    trial.mismatches = check.mismatches;
    return trial;
}

// The highest of these speeds at which two trials in a row lose nothing.
double highestLosslessSpeed(bool withAnalysis, bool adaptive) {
    double best = 0.0;
    for (const double speed : {10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 70.0, 80.0, 100.0, 120.0, 150.0,
                               200.0, 250.0, 300.0, 400.0, 500.0}) {
        const Trial a = runTrial(speed, withAnalysis, adaptive);
        const Trial b = a.lossless() ? runTrial(speed, withAnalysis, adaptive) : a;
        std::printf("  %5.0fx: %s (written %llu, read %llu, lost %llu, mismatched %llu; longest "
                    "poll gap %.1f ms, reader CPU %.0f%%)\n",
                    speed, b.lossless() ? "lossless" : "LOSSY", (unsigned long long)b.written,
                    (unsigned long long)b.read, (unsigned long long)b.lost,
                    (unsigned long long)b.mismatches, b.longestGapMs,
                    100.0 * b.readerCpuS / kTrialSeconds);
        if (!b.lossless())
            break;
        best = speed;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& t = reporter.nsPerIteration;
    auto perSecondUs = [&](const char* name, double perSecond) {
        const auto it = t.find(name);
        return it == t.end() ? -1.0 : it->second * perSecond / 1000.0;
    };
    const double reference = perSecondUs("BM_Ebur128Full", kPollsPerAudioSecond);
    std::printf("\nCost per second of 48 kHz stereo audio (polls of 0.1 s, %.1f spectra/s):\n",
                kSpectraPerSecond);
    const struct {
        const char* label;
        const char* name;
        double perSecond;
    } rows[] = {
        {"feed reader copy", "BM_FeedCopy", kPollsPerAudioSecond},
        {"true peak + LRA + history", "BM_LevelAnalysis", kPollsPerAudioSecond},
        {"spectrum: keeping frames", "BM_SpectrumFrames", kPollsPerAudioSecond},
        {"spectrum: analyses", "BM_SpectrumAnalysis", kSpectraPerSecond},
        {"libebur128 M|S|I|LRA|TRUE_PEAK", "BM_Ebur128Full", kPollsPerAudioSecond},
    };
    for (const auto& row : rows) {
        const double us = perSecondUs(row.name, row.perSecond);
        if (us < 0.0)
            continue;
        std::printf("  %-32s %9.1f us/s  (%.4f%% of a core)", row.label, us, us / 1e4);
        if (reference > 0.0)
            std::printf("  ratio to libebur128 %.3f", us / reference);
        std::printf("\n");
    }

    std::printf("\nLossless feed reading, 48 kHz, %u-frame blocks, reader polling every %lld ms:\n",
                kWriterBlockFrames, static_cast<long long>(kReaderPoll.count()));
    std::printf("reader alone:\n");
    const double alone = highestLosslessSpeed(false, false);
    std::printf("reader with the analysis in its loop:\n");
    const double analysing = highestLosslessSpeed(true, false);
    std::printf(
        "reader with the analysis, paced as the monitor paces it (%lld ms, down to %lld ms while "
        "the feed runs fast):\n",
        static_cast<long long>(companion::kFeedPollMs),
        static_cast<long long>(companion::kFeedFastPollMs));
    const double paced = highestLosslessSpeed(true, true);
    std::printf("\nHighest lossless speed at 48 kHz: %.0fx real time (10 ms polls, reader alone), "
                "%.0fx (10 ms polls, with analysis), %.0fx (monitor's pacing, with analysis)\n",
                alone, analysing, paced);
    return 0;
}
