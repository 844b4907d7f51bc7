// The companion's export of a whole ring: 60 s of 48 kHz stereo analysed, and written in every
// format (fsync included), against a target of 200 ms each. Noise is the slowest case for FLAC.
// libebur128 measuring the same with its own true peak is timed alongside: the exporter measures
// the true peak itself because that mode alone takes about 150 ms here.
#include "bench_audio.h"
#include "companion/exporter.h"

#include <benchmark/benchmark.h>
#include <ebur128.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr double kRateHz = 48000.0;
constexpr size_t kFrames = 60 * 48000;

const std::vector<float>& ring() {
    static const BenchAudio audio = makeNoise(kFrames, 0.25f, 60);
    return audio.interleaved;
}

void BM_Analyze(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(companion::analyzeStretch(ring(), kRateHz));
    }
}
BENCHMARK(BM_Analyze)->Unit(benchmark::kMillisecond);

void BM_Ebur128WithTruePeak(benchmark::State& state) {
    for (auto _ : state) {
        ebur128_state* st = ebur128_init(2, 48000,
                                         EBUR128_MODE_I | EBUR128_MODE_LRA |
                                             EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK);
        ebur128_add_frames_float(st, ring().data(), kFrames);
        double value = 0.0;
        ebur128_true_peak(st, 0, &value);
        benchmark::DoNotOptimize(value);
        ebur128_destroy(&st);
    }
}
BENCHMARK(BM_Ebur128WithTruePeak)->Unit(benchmark::kMillisecond);

void BM_Export(benchmark::State& state) {
    const auto format = static_cast<companion::ExportFormat>(state.range(0));
    const auto normalize = static_cast<companion::NormalizeMode>(state.range(1));
    state.SetLabel(std::string(companion::formatName(format)) +
                   (normalize == companion::NormalizeMode::none ? "" : " loudness -14"));
    char dir[] = "/tmp/companion_export_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    companion::ExportSettings settings{format, normalize, -14.0};
    for (auto _ : state) {
        companion::ExportResult result;
        std::string error;
        if (!companion::exportStretch(ring(), kRateHz, settings, dir,
                                      std::chrono::system_clock::now(), result, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.PauseTiming();
        std::filesystem::remove(result.path);
        state.ResumeTiming();
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_Export)
    ->ArgsProduct({{static_cast<int>(companion::ExportFormat::wav32f),
                    static_cast<int>(companion::ExportFormat::wav24),
                    static_cast<int>(companion::ExportFormat::wav16),
                    static_cast<int>(companion::ExportFormat::flac24),
                    static_cast<int>(companion::ExportFormat::flac16)},
                   {static_cast<int>(companion::NormalizeMode::none)}})
    ->Args({static_cast<int>(companion::ExportFormat::wav24),
            static_cast<int>(companion::NormalizeMode::loudness)})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
