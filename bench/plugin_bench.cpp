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
#include <cstdlib>
#include <cstring>
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

// One instance with the companion's segment (or without it), activated at 48 kHz, fed with a
// playing transport.
class Rig {
public:
    explicit Rig(bool withCompanion = true) {
        if (withCompanion)
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
        if (control.valid())
            control.remove();
    }

    // [audio-thread] Block number block of audio (cycled), the transport one block further on;
    // frames 0 runs a block without audio, which serves the requests all the same.
    void run(const Audio& audio, size_t block, uint32_t frames = kBlockFrames) {
        const size_t offset = (block % kBlocks) * kBlockFrames;
        run(&audio.left[offset], &audio.right[offset], outL.data(), outR.data(), frames);
    }
    // [audio-thread] One block from and to the given buffers.
    void run(const float* left, const float* right, float* toLeft, float* toRight,
             uint32_t frames = kBlockFrames) {
        float* inputs[2] = {const_cast<float*>(left), const_cast<float*>(right)};
        float* outputs[2] = {toLeft, toRight};
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

// ---- Where the time goes ---------------------------------------------------------------------
// The stages of a capturing block, apart or by difference (all at 512 frames, loud noise):
//   meters        BM_StageMeters: meterBlock and publishMeters alone
//   feed copy     BM_StageFeedCopy: the spectrum feed's append alone
//   overview      BM_PluginCapturing - BM_PluginCapturingWithoutCompanion (also the status
//                 publication, a few stores)
//   capture ring  BM_PluginCapturing - BM_PluginCaptureHeld - overview
//   gate, pass-through and the rest of the block
//                 BM_PluginCaptureHeld - meters - feed copy

void BM_PluginCaptureHeld(benchmark::State& state) {
    Rig rig;
    rig.control.setCaptureHold(true);
    size_t block = 0;
    for (auto _ : state)
        rig.run(loud(), block++);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_PluginCaptureHeld);

void BM_PluginCapturingWithoutCompanion(benchmark::State& state) {
    Rig rig(false);
    size_t block = 0;
    for (auto _ : state)
        rig.run(loud(), block++);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_PluginCapturingWithoutCompanion);

void BM_StageMeters(benchmark::State& state) {
    const Audio& a = loud();
    LoudnessMeter loudness;
    LevelMeter level;
    std::vector<ControlBlock> control(1);
    prepareMeters(loudness, level, kRateHz);
    resetMeters(loudness, level);
    loudness.integrating = true;
    size_t block = 0;
    for (auto _ : state) {
        const size_t offset = (block++ % kBlocks) * kBlockFrames;
        meterBlock(loudness, level, control.data(), &a.left[offset], &a.right[offset],
                   kBlockFrames);
        publishMeters(loudness, level, control[0]);
    }
    benchmark::DoNotOptimize(control[0].momentaryLufs);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_StageMeters);

void BM_StageFeedCopy(benchmark::State& state) {
    const Audio& a = loud();
    // The segment's layout on the heap: the append touches nothing but the header and rings.
    std::vector<uint64_t> segment(kSpectrumSegmentBytes / sizeof(uint64_t));
    SpectrumFeed feed;
    feed.header = reinterpret_cast<SpectrumFeedHeader*>(segment.data());
    feed.channels = 2;
    size_t block = 0;
    for (auto _ : state) {
        const size_t offset = (block++ % kBlocks) * kBlockFrames;
        feedSpectrum(feed, &a.left[offset], &a.right[offset], kBlockFrames);
    }
    benchmark::DoNotOptimize(segment.data());
    feed.header = nullptr;
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_StageFeedCopy);

// Host buffers the way a DAW keeps them: fixed input and output buffers the host refills every
// block. Page-aligned, their addresses differ by multiples of 4 KiB, which some cores take for
// possible store-to-load conflicts; staggered, each starts 1,088 bytes after a page boundary
// further than the one before.
void pluginWithHostBuffers(benchmark::State& state, size_t staggerBytes) {
    constexpr size_t kPage = 4096;
    constexpr size_t kBufferBytes = kBlockFrames * sizeof(float);  // 2 KiB
    const size_t stride = 2 * kPage + staggerBytes;
    auto* arena = static_cast<uint8_t*>(std::aligned_alloc(kPage, 4 * stride + kPage));
    float* buffers[4];
    for (int b = 0; b < 4; ++b)
        buffers[b] = reinterpret_cast<float*>(arena + b * stride);
    static_assert(kBufferBytes <= kPage);
    Rig rig;
    const Audio& a = loud();
    size_t block = 0;
    for (auto _ : state) {
        const size_t offset = (block++ % kBlocks) * kBlockFrames;
        std::memcpy(buffers[0], &a.left[offset], kBufferBytes);
        std::memcpy(buffers[1], &a.right[offset], kBufferBytes);
        rig.run(buffers[0], buffers[1], buffers[2], buffers[3]);
    }
    benchmark::DoNotOptimize(buffers[2]);
    std::free(arena);
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
void BM_PluginHostBuffersPageAligned(benchmark::State& state) {
    pluginWithHostBuffers(state, 0);
}
BENCHMARK(BM_PluginHostBuffersPageAligned);
void BM_PluginHostBuffersStaggered(benchmark::State& state) {
    pluginWithHostBuffers(state, 1088);
}
BENCHMARK(BM_PluginHostBuffersStaggered);

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
        if ((name.rfind("BM_Plugin", 0) == 0 || name.rfind("BM_Stage", 0) == 0) &&
            feed != t.end() && msi != t.end())
            std::printf("  %.2fx feed, %.3fx M|S|I", time.cpuNs / feed->second.cpuNs,
                        time.cpuNs / msi->second.cpuNs);
        std::printf("\n");
    }

    // The stages of a capturing block, from the runs above (see "Where the time goes").
    auto cpuNs = [&](const char* name) {
        const auto found = t.find(name);
        return found == t.end() ? NAN : found->second.cpuNs;
    };
    const double all = cpuNs("BM_PluginCapturing");
    const double held = cpuNs("BM_PluginCaptureHeld");
    const double meters = cpuNs("BM_StageMeters");
    const double feedCopy = cpuNs("BM_StageFeedCopy");
    const double overview = all - cpuNs("BM_PluginCapturingWithoutCompanion");
    if (std::isfinite(all + held + meters + feedCopy + overview)) {
        std::printf("\nA capturing block of %.0f ns, by stage (ns per block, ns per frame):\n",
                    all);
        const std::pair<const char*, double> stages[] = {
            {"meters", meters},
            {"feed copy", feedCopy},
            {"overview (and status)", overview},
            {"capture ring", all - held - overview},
            {"gate, pass-through, the rest", held - meters - feedCopy}};
        for (const auto& [stage, ns] : stages)
            std::printf("  %-30s %8.0f ns %6.2f ns\n", stage, ns, ns / kBlockFrames);
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
