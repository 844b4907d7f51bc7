// An offline render with the daemon copying: the real plug-in in 16,384-frame blocks, one every
// block duration / SPEED by the clock (default 100 times real time at 48 kHz: 13 laps of the
// 60 s ring in 10 s), the engine copying in the same process. Prints the speed reached and counts
// what the copy missed: it must be nothing.
//   copy_offline_bench [SECONDS] [SPEED]     (in a /dev/shm of its own, README.md)
#include "companion/engine.h"
#include "test_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kRateHz = 48000.0;
constexpr uint32_t kBlockFrames = 16384;
constexpr uint64_t kGateTailFrames = 11999;  // written after the last loud frame at 48 kHz

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const double speed = argc > 2 ? std::atof(argv[2]) : 100.0;
    if (!(seconds > 0.0) || !(speed > 0.0)) {
        std::fprintf(stderr, "usage: copy_offline_bench [SECONDS] [SPEED]\n");
        return 2;
    }
    const auto exportDir = std::filesystem::temp_directory_path() /
                           ("tessarin-copy-bench-" + std::to_string(getpid()));
    companion::ControlSegment::unlinkName();
    companion::Engine engine(companion::EngineOptions{exportDir});
    std::string error;
    if (!engine.start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // The loud signal names its frames (a ramp, as the tests' live host feeds).
    testhost::Host host;
    testhost::Instance instance(host);
    if (!instance.init() || !instance.activate(kRateHz)) {
        std::fprintf(stderr, "the plug-in did not start\n");
        return 1;
    }
    std::vector<float> left(kBlockFrames), right(kBlockFrames);
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(kBlockFrames / kRateHz / speed));
    const double cpuBefore = cpuSeconds();
    const auto began = std::chrono::steady_clock::now();
    const auto end = began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
    uint64_t loud = 0;
    for (auto next = began; next < end; next += period) {
        std::this_thread::sleep_until(next);
        for (uint32_t i = 0; i < kBlockFrames; ++i) {
            left[i] = 0.25f + static_cast<float>((loud + i) % (1 << 18)) / (1 << 20);
            right[i] = -left[i];
        }
        loud += kBlockFrames;
        instance.processStereo(left, right);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    // Silence until the gate has closed behind its tail, then the copy catches up.
    std::fill(left.begin(), left.end(), 0.0f);
    std::fill(right.begin(), right.end(), 0.0f);
    for (int i = 0; i < 2; ++i)
        instance.processStereo(left, right);
    const uint64_t fed = loud + kGateTailFrames;
    companion::EngineStatus status = engine.status();
    for (int i = 0; i < 500 && status.copiedFrames + status.lostCaptureFrames < fed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        instance.processStereo(left, right);  // the host goes on processing silence
        status = engine.status();
    }
    const double cpu = cpuSeconds() - cpuBefore;
    engine.stop();
    instance.destroy();
    companion::ControlSegment::unlinkName();
    std::filesystem::remove_all(exportDir);

    const double audioSeconds = static_cast<double>(loud) / kRateHz;
    std::printf("offline render with the daemon copying, %u-frame blocks at 48 kHz\n",
                kBlockFrames);
    std::printf("  %.1f s of audio in %.1f s: %.1fx real time (asked for %.0fx), %.1f laps of "
                "the 60 s ring\n",
                audioSeconds, wall, audioSeconds / wall, speed, audioSeconds / 60.0);
    std::printf("  frames written %llu, copied %llu, lost %llu (must be 0)\n",
                static_cast<unsigned long long>(fed),
                static_cast<unsigned long long>(status.copiedFrames),
                static_cast<unsigned long long>(status.lostCaptureFrames));
    std::printf("  process CPU (plug-in and daemon together) %.1f %% of one core\n",
                100.0 * cpu / wall);
    return status.lostCaptureFrames == 0 && status.copiedFrames == fed ? 0 : 1;
}
