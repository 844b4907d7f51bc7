// The meters' cost per 512-frame block at 48 kHz next to libebur128 measuring momentary,
// short-term and integrated loudness on the same audio, and the cost of digital silence after
// loud material. Prints the ratio of the two after the run.
#include "bench_audio.h"
#include "meter/meter.h"

#if TESSARIN_BENCH_PLUGIN
#include "companion/segments.h"
#include "test_host.h"
#endif

#include <benchmark/benchmark.h>
#include <ebur128.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRateHz = 48000.0;
constexpr uint32_t kBlockFrames = 512;
constexpr size_t kBlocks = 940;  // about 10 s of audio, cycled through

// Stereo noise at about -12 dBFS, planar for the meters and interleaved for the reference.
using Audio = BenchAudio;

const Audio& noise() {
    static const Audio audio = makeNoise(kBlocks * kBlockFrames, 0.25f, 2024);
    return audio;
}

struct MeterSetup {
    LoudnessMeter loudness;
    LevelMeter level;
    std::unique_ptr<ControlBlock> control = std::make_unique<ControlBlock>();
    MeterSetup() {
        prepareMeters(loudness, level, kRateHz);
        resetMeters(loudness, level);
        loudness.integrating = true;  // as while the transport plays
    }
    void run(const float* l, const float* r) {
        meterBlock(loudness, level, control.get(), l, r, kBlockFrames);
        publishMeters(loudness, level, *control);
    }
};

void BM_Meters(benchmark::State& state) {
    const Audio& a = noise();
    MeterSetup m;
    size_t block = 0;
    for (auto _ : state) {
        const size_t offset = block * kBlockFrames;
        m.run(&a.left[offset], &a.right[offset]);
        block = block + 1 == kBlocks ? 0 : block + 1;
    }
    benchmark::DoNotOptimize(m.control->momentaryLufs);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_Meters);

void BM_Ebur128(benchmark::State& state) {
    const Audio& a = noise();
    ebur128_state* st = makeReferenceMeter(kRateHz);
    size_t block = 0;
    for (auto _ : state) {
        ebur128_add_frames_float(st, &a.interleaved[2 * block * kBlockFrames], kBlockFrames);
        block = block + 1 == kBlocks ? 0 : block + 1;
    }
    double momentary = 0.0;
    ebur128_loudness_momentary(st, &momentary);
    benchmark::DoNotOptimize(momentary);
    ebur128_destroy(&st);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_Ebur128);

// Digital silence, long after loud material: the filters have rung out completely.
void BM_MetersLongSilenceAfterLoud(benchmark::State& state) {
    const Audio& a = noise();
    const std::vector<float> zeros(kBlockFrames, 0.0f);
    MeterSetup m;
    for (size_t block = 0; block < 200; ++block) {
        m.run(&a.left[block * kBlockFrames], &a.right[block * kBlockFrames]);
    }
    for (size_t block = 0; block < 20 * kBlocks / 10; ++block) {  // 20 s of silence
        m.run(zeros.data(), zeros.data());
    }
    for (auto _ : state) {
        m.run(zeros.data(), zeros.data());
    }
    benchmark::DoNotOptimize(m.control->momentaryLufs);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_MetersLongSilenceAfterLoud);

// Cycles through 1 s of loud material and 4 s of silence, so most blocks are in the decay.
void BM_MetersLoudThenSilence(benchmark::State& state) {
    const Audio& a = noise();
    const std::vector<float> zeros(kBlockFrames, 0.0f);
    constexpr size_t kLoudBlocks = 94, kCycleBlocks = 5 * 94;
    MeterSetup m;
    size_t block = 0;
    for (auto _ : state) {
        if (block < kLoudBlocks) {
            m.run(&a.left[block * kBlockFrames], &a.right[block * kBlockFrames]);
        } else {
            m.run(zeros.data(), zeros.data());
        }
        block = block + 1 == kCycleBlocks ? 0 : block + 1;
    }
    benchmark::DoNotOptimize(m.control->momentaryLufs);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_MetersLoudThenSilence);

// The per-frame calls one by one, the form the block path has to match.
void BM_MetersFrameByFrame(benchmark::State& state) {
    const Audio& a = noise();
    MeterSetup m;
    size_t block = 0;
    for (auto _ : state) {
        const size_t offset = block * kBlockFrames;
        for (uint32_t i = 0; i < kBlockFrames; ++i) {
            addLoudnessSample(m.loudness, a.left[offset + i], a.right[offset + i]);
            addLevelSample(m.level, m.control.get(), a.left[offset + i], a.right[offset + i]);
        }
        publishMeters(m.loudness, m.level, *m.control);
        block = block + 1 == kBlocks ? 0 : block + 1;
    }
    benchmark::DoNotOptimize(m.control->momentaryLufs);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_MetersFrameByFrame);

#if TESSARIN_BENCH_PLUGIN
// The whole plug-in per block, loaded from the built module with the companion's control
// segment in place (so the overview runs too), capturing while the transport plays. It makes
// the control segment under its global name: do not run it next to the shared-memory tests.
void BM_PluginProcess(benchmark::State& state) {
    const Audio& a = noise();
    companion::ControlSegment control;
    if (!control.create()) {
        state.SkipWithError("control segment not created");
        return;
    }
    {
        testhost::Host host;
        testhost::Instance instance(host);
        if (!instance.init() || !instance.activate(kRateHz, kBlockFrames, kBlockFrames)) {
            state.SkipWithError("the plug-in did not activate");
        } else {
            std::vector<float> outL(kBlockFrames), outR(kBlockFrames);
            clap_event_transport transport = testhost::makeTransport(true, 0.0);
            const auto blockUnits =
                static_cast<clap_sectime>(kBlockFrames / kRateHz * CLAP_SECTIME_FACTOR);
            size_t block = 0;
            for (auto _ : state) {
                const size_t offset = block * kBlockFrames;
                instance.process(&a.left[offset], &a.right[offset], outL.data(), outR.data(),
                                 kBlockFrames, &transport);
                transport.song_pos_seconds += blockUnits;
                block = block + 1 == kBlocks ? 0 : block + 1;
            }
            benchmark::DoNotOptimize(outL.data());
            state.SetItemsProcessed(state.iterations() * kBlockFrames);
        }
    }
    control.remove();
}
BENCHMARK(BM_PluginProcess);
#endif

// Console output as usual, plus the mean time per block of each benchmark for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_message.empty()) {
                continue;
            }
            // With repetitions the mean of the repetitions wins over any single one.
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean") {
                nsPerBlock[name] = run.GetAdjustedCPUTime();
                haveMean[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !haveMean[name]) {
                nsPerBlock[name] = run.GetAdjustedCPUTime();
            }
        }
    }
    std::map<std::string, bool> haveMean;
    std::map<std::string, double> nsPerBlock;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto& t = reporter.nsPerBlock;
    const auto reference = t.find("BM_Ebur128");
    if (reference == t.end() || reference->second <= 0.0) {
        return 0;
    }
    std::printf("\nCPU time per 512-frame block at 48 kHz, relative to libebur128 (M|S|I):\n");
    for (const auto& [name, ns] : t) {
        std::printf("  %-32s %9.1f ns  ratio %.3f\n", name.c_str(), ns, ns / reference->second);
    }
    return 0;
}
