// Insertions copying the ring on the main thread while the audio thread keeps writing it: run under
// ThreadSanitizer, any unsynchronised access on either side fails the test.
#include "insertion_fixture.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using companion::off::insertRequest;

namespace {

inline constexpr double kRateHz = 8000.0;  // a small ring keeps the sanitized copies short
inline constexpr uint32_t kBlockFrames = 64;
inline constexpr int kInsertions = 6;

class InsertionThreads : public testhost::InsertionFixture {
protected:
};

}  // namespace

TEST_F(InsertionThreads, CopiesWhileTheAudioThreadWrites) {
    start(kRateHz);
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};

    // Audio thread: every frame of block b carries the value b, so the ring holds whole numbers.
    std::thread audio([&] {
        std::vector<float> left(kBlockFrames), right(kBlockFrames);
        std::vector<float> outL(kBlockFrames), outR(kBlockFrames);
        for (int b = 1; !stop.load(std::memory_order_relaxed); ++b) {
            std::fill(left.begin(), left.end(), static_cast<float>(b));
            std::fill(right.begin(), right.end(), -static_cast<float>(b));
            instance->process(left.data(), right.data(), outL.data(), outR.data(), kBlockFrames);
            blocks.store(b, std::memory_order_relaxed);
        }
    });

    // Main thread: the companion's request, then the host's callback once it is asked for.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int n = 0; n < kInsertions && std::chrono::steady_clock::now() < deadline; ++n) {
        control.requestInsert(0.0f, 1.0f, 1);  // the whole ring, while it is being written
        while (host.requestCallbackCount.load() <= n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        instance->onMainThread();
    }
    stop.store(true);
    audio.join();

    // Every insertion made its file, and every float in it is one the audio thread wrote.
    std::vector<std::string> paths;
    for (const hostapi::Call& call : standin.calls)
        if (call.name == "InsertMedia")
            paths.push_back(call.text);
    ASSERT_EQ(paths.size(), static_cast<size_t>(kInsertions));
    EXPECT_EQ(control.load<uint8_t>(insertRequest), 0);
    const float lastBlock = static_cast<float>(blocks.load());
    for (const std::string& path : paths) {
        SF_INFO info{};
        SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(sf, nullptr) << path;
        EXPECT_EQ(info.frames, static_cast<sf_count_t>(testhost::ringFloats(kRateHz) / 2));
        std::vector<float> samples(static_cast<size_t>(info.frames * 2));
        sf_readf_float(sf, samples.data(), info.frames);
        sf_close(sf);
        // Left and right of one frame may come from different blocks; each alone is exact.
        size_t bad = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            const float magnitude = i % 2 == 0 ? samples[i] : -samples[i];
            const bool written =
                magnitude >= 1.0f && magnitude <= lastBlock && std::floor(magnitude) == magnitude;
            bad += !(samples[i] == 0.0f || written);
        }
        EXPECT_EQ(bad, 0u) << path;
    }
}
