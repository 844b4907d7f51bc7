// The whole plug-in per 512-frame block at 48 kHz, driven through its CLAP entry points with the
// companion's control segment in place: gate closed, capturing, capturing with preview, next to
// libebur128 measuring momentary, short-term and integrated loudness on the same audio; and the
// worst blocks, a capture clear and a whole-ring snapshot, against the block's duration; and what
// the companion's copy of the capture costs the audio thread (its small snapshots, one per 100 ms
// of audio) against what capture itself costs. Prints the ratios after the run.
#include "bench_audio.h"
#include "companion/segments.h"
#include "plugin/tessarin_plugin.h"

#include <benchmark/benchmark.h>
#include <clap/events.h>
#include <ebur128.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRateHz = 48000.0;
constexpr uint32_t kBlockFrames = 512;
constexpr double kBlockMs = 1000.0 * kBlockFrames / kRateHz;  // 10.67 ms
constexpr size_t kBlocks = 940;                               // about 10 s, cycled through
constexpr float kLoudSigma = 0.25f;                           // about -12 dBFS
constexpr float kQuietSigma = 1.0e-5f;                        // -100 dBFS: below the gate

// Planar stereo noise for the plug-in, interleaved for libebur128.
using Audio = BenchAudio;

const Audio& loud() {
    static const Audio audio = makeNoise(kBlocks * kBlockFrames, kLoudSigma, 2024);
    return audio;
}
const Audio& quiet() {
    static const Audio audio = makeNoise(kBlocks * kBlockFrames, kQuietSigma, 2025);
    return audio;
}

void hostNothing(const clap_host*) {}
const void* hostNoExtension(const clap_host*, const char*) {
    return nullptr;
}

// One instance with the companion's segment, activated at 48 kHz, fed with a playing transport.
class Rig {
public:
    Rig() {
        control.create();
        host.clap_version = CLAP_VERSION;
        host.name = "plugin_bench";
        host.vendor = host.url = host.version = "";
        host.get_extension = &hostNoExtension;
        host.request_restart = host.request_process = host.request_callback = &hostNothing;
        instance = TessarinPlugin::createInstance(&host);
        plugin = &instance->plugin;
        plugin->init(plugin);
        plugin->activate(plugin, kRateHz, 1, kBlockFrames);
        plugin->start_processing(plugin);
    }
    ~Rig() {
        plugin->stop_processing(plugin);
        plugin->deactivate(plugin);
        plugin->destroy(plugin);
        control.remove();
    }

    // [audio-thread] Block number block of audio (cycled), the transport one block further on;
    // frames 0 runs a block without audio, which serves the requests all the same.
    void run(const Audio& audio, size_t block, uint32_t frames = kBlockFrames) {
        const size_t offset = (block % kBlocks) * kBlockFrames;
        float* inputs[2] = {const_cast<float*>(&audio.left[offset]),
                            const_cast<float*>(&audio.right[offset])};
        float* outputs[2] = {outL.data(), outR.data()};
        clap_audio_buffer in{}, out{};
        in.data32 = inputs;
        in.channel_count = 2;
        out.data32 = outputs;
        out.channel_count = 2;
        clap_event_transport transport{};
        transport.header.size = sizeof(transport);
        transport.header.type = CLAP_EVENT_TRANSPORT;
        transport.flags = CLAP_TRANSPORT_IS_PLAYING | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE;
        transport.song_pos_seconds = static_cast<clap_sectime>(
            std::llround(static_cast<double>(played) / kRateHz * CLAP_SECTIME_FACTOR));
        clap_process process{};
        process.steady_time = -1;
        process.frames_count = frames;
        process.transport = &transport;
        process.audio_inputs = &in;
        process.audio_outputs = &out;
        process.audio_inputs_count = process.audio_outputs_count = 1;
        plugin->process(plugin, &process);
        played += frames;
    }

    companion::ControlSegment control;
    clap_host host{};
    TessarinPlugin* instance = nullptr;
    const clap_plugin* plugin = nullptr;
    std::vector<float> outL = std::vector<float>(kBlockFrames), outR = outL;
    uint64_t played = 0;  // frames
};

void BM_PluginGateClosed(benchmark::State& state) {
    Rig rig;
    size_t block = 0;
    for (size_t i = 0; i < 100; ++i)  // far past the gate's tail
        rig.run(quiet(), block++);
    for (auto _ : state)
        rig.run(quiet(), block++);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_PluginGateClosed);

void BM_PluginCapturing(benchmark::State& state) {
    Rig rig;
    size_t block = 0;
    for (auto _ : state)
        rig.run(loud(), block++);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_PluginCapturing);

void BM_PluginCapturingWithPreview(benchmark::State& state) {
    Rig rig;
    size_t block = 0;
    for (; block < kBlocks; ++block)  // 10 s in the ring to play back
        rig.run(loud(), block);
    rig.control.setPreview(true, 0.0f);
    for (auto _ : state)
        rig.run(loud(), block++);
    benchmark::DoNotOptimize(rig.outL.data());
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_PluginCapturingWithPreview);

// libebur128 fed the same blocks, its three measurements kept up to date but not read out: the
// cheapest form of the reference, and the one the ratios are taken against.
void BM_Ebur128Feed(benchmark::State& state) {
    const Audio& a = loud();
    ebur128_state* st = makeReferenceMeter(kRateHz);
    size_t block = 0;
    for (auto _ : state) {
        ebur128_add_frames_float(st, &a.interleaved[2 * block * kBlockFrames], kBlockFrames);
        block = block + 1 == kBlocks ? 0 : block + 1;
    }
    ebur128_destroy(&st);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_Ebur128Feed);

// libebur128 with the three measurements the plug-in publishes read out every block.
void BM_Ebur128MSI(benchmark::State& state) {
    const Audio& a = loud();
    ebur128_state* st = makeReferenceMeter(kRateHz);
    size_t block = 0;
    double m = 0.0, s = 0.0, i = 0.0;
    for (auto _ : state) {
        ebur128_add_frames_float(st, &a.interleaved[2 * block * kBlockFrames], kBlockFrames);
        ebur128_loudness_momentary(st, &m);
        ebur128_loudness_shortterm(st, &s);
        ebur128_loudness_global(st, &i);
        block = block + 1 == kBlocks ? 0 : block + 1;
    }
    benchmark::DoNotOptimize(m + s + i);
    ebur128_destroy(&st);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_Ebur128MSI);

// The worst blocks: one loud block that also serves a request.
void BM_WorstBlockClear(benchmark::State& state) {
    Rig rig;
    size_t block = 0;
    for (auto _ : state) {
        rig.control.requestClear();
        rig.run(loud(), block++);
    }
    state.SetLabel("capture clear (23 MB ring + 1 MB overview zeroed)");
}
BENCHMARK(BM_WorstBlockClear)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WorstBlockSnapshot(benchmark::State& state) {
    Rig rig;
    size_t block = 0;
    for (auto _ : state) {
        rig.control.requestSnapshot(0.0f, 1.0f);
        rig.run(loud(), block++);
    }
    state.SetLabel("whole-ring snapshot (23 MB copied)");
}
BENCHMARK(BM_WorstBlockSnapshot)->Unit(benchmark::kMillisecond)->UseRealTime();

// The companion's copy: each iteration captures 100 ms of loud audio untimed, then times one
// block without audio (which costs nothing else) serving the snapshot of exactly those frames,
// fresh from the ring as the copy finds them. Against the same block without a request.
constexpr uint64_t kCopyFrames = 4800;  // 100 ms at 48 kHz: the copy's interval without a page
constexpr uint64_t kCopyBlocks = (kCopyFrames + kBlockFrames - 1) / kBlockFrames;
constexpr uint64_t kRingFloats = 5760000;

void copyRound(benchmark::State& state, bool snapshot) {
    Rig rig;
    size_t block = 0;
    uint64_t writtenFloats = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (uint64_t i = 0; i < kCopyBlocks; ++i)
            rig.run(loud(), block++);
        const uint64_t start = writtenFloats % kRingFloats;
        writtenFloats += 2 * kCopyBlocks * kBlockFrames;
        if (snapshot)
            rig.control.requestSnapshot(
                static_cast<float>(start + 1) / static_cast<float>(kRingFloats),
                static_cast<float>(2 * kCopyFrames + 1) / static_cast<float>(kRingFloats));
        state.ResumeTiming();
        rig.run(loud(), block, 0);
    }
}

void BM_CopyEmptyBlock(benchmark::State& state) {
    copyRound(state, false);
}
BENCHMARK(BM_CopyEmptyBlock);

void BM_CopySnapshot(benchmark::State& state) {
    copyRound(state, true);
    state.SetLabel("one 4,800-frame snapshot of the newest audio");
}
BENCHMARK(BM_CopySnapshot);

// Console output as usual, plus each benchmark's CPU and wall time per block for the ratios.
struct PerBlock {
    double cpuNs, realNs;
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || !run.error_message.empty())
                continue;
            const auto n = static_cast<double>(run.iterations);
            times[run.run_name.function_name] = {run.cpu_accumulated_time * 1e9 / n,
                                                 run.real_accumulated_time * 1e9 / n};
        }
    }
    std::map<std::string, PerBlock> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& t = reporter.times;
    const auto feed = t.find("BM_Ebur128Feed");
    const auto msi = t.find("BM_Ebur128MSI");
    std::printf("\nOne 512-frame block at 48 kHz lasts %.2f ms. CPU time per block (wall time in "
                "brackets); ratios of CPU times against libebur128 fed the same block (feed) and "
                "also read out M, S and I (M|S|I):\n",
                kBlockMs);
    for (const auto& [name, time] : t) {
        const double ms = time.cpuNs / 1e6;
        std::printf("  %-30s %9.4f ms (%8.4f) %6.2f %% of the block %8.0fx real time", name.c_str(),
                    ms, time.realNs / 1e6, 100.0 * ms / kBlockMs, kBlockMs / ms);
        if (name.rfind("BM_Plugin", 0) == 0 && feed != t.end() && msi != t.end())
            std::printf("  %.2fx feed, %.3fx M|S|I", time.cpuNs / feed->second.cpuNs,
                        time.cpuNs / msi->second.cpuNs);
        std::printf("\n");
    }

    // Per second of audio: capture (the ring write and the overview: capturing less gate
    // closed, 93.75 blocks) against the copy's ten snapshots (each less an empty block).
    const auto capturing = t.find("BM_PluginCapturing");
    const auto closed = t.find("BM_PluginGateClosed");
    const auto empty = t.find("BM_CopyEmptyBlock");
    const auto copy = t.find("BM_CopySnapshot");
    if (capturing != t.end() && closed != t.end() && empty != t.end() && copy != t.end()) {
        const double blocksPerSecond = kRateHz / kBlockFrames;
        const double snapshotsPerSecond = kRateHz / kCopyFrames;
        const double captureUs =
            (capturing->second.cpuNs - closed->second.cpuNs) * blocksPerSecond / 1e3;
        const double copyUs = (copy->second.cpuNs - empty->second.cpuNs) * snapshotsPerSecond / 1e3;
        const double blockUs = capturing->second.cpuNs * blocksPerSecond / 1e3;
        std::printf("\nThe companion's copy, per second of audio at 48 kHz: %.0f snapshots of %llu "
                    "frames cost the audio thread %.1f us; capture itself (ring write and "
                    "overview alone) %.1f us, the whole capturing plug-in %.0f us: %.2f %% of the "
                    "capturing plug-in (target: under 5 %%), %.1f %% of the ring write and "
                    "overview\n",
                    snapshotsPerSecond, static_cast<unsigned long long>(kCopyFrames), copyUs,
                    captureUs, blockUs, 100.0 * copyUs / blockUs, 100.0 * copyUs / captureUs);
    }
    return 0;
}
