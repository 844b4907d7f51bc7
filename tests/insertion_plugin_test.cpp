// Host insertion end to end through the built module: the companion asks, the audio thread asks
// the host for a callback, the callback writes the file and edits the stand-in's project.
#include "insertion_fixture.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using companion::off::insertRequest;
using hostapi::Call;
using hostapi::HostApiStandin;

namespace {

inline constexpr double kRateHz = 48000.0;
inline constexpr uint32_t kBlockFrames = 1024;
inline constexpr int kBlocks = 10;

class InsertionPlugin : public testhost::InsertionFixture {
protected:
    // kBlocks blocks of seeded noise, every frame loud enough to be captured; the ring's floats
    // from index 0 are then exactly this input, interleaved.
    std::vector<float> captureNoise() {
        std::mt19937 generator(20240611u);
        std::uniform_real_distribution<float> noise(0.01f, 0.9f);
        std::vector<float> interleaved;
        for (int block = 0; block < kBlocks; ++block) {
            std::vector<float> left(kBlockFrames), right(kBlockFrames);
            for (uint32_t i = 0; i < kBlockFrames; ++i) {
                left[i] = noise(generator);
                right[i] = -noise(generator);
                interleaved.push_back(left[i]);
                interleaved.push_back(right[i]);
            }
            EXPECT_EQ(run(left, right), CLAP_PROCESS_CONTINUE);
        }
        return interleaved;
    }

    // A short block after the captured noise (the selections below end before it).
    clap_process_status tick() { return run(16, 0.5f, -0.5f); }

    std::string insertedPath() const {
        for (const Call& call : standin.calls)
            if (call.name == "InsertMedia")
                return call.text;
        return "";
    }
    size_t insertCount() const {
        size_t n = 0;
        for (const Call& call : standin.calls)
            n += call.name == "InsertMedia";
        return n;
    }
};

std::vector<float> readWav(const std::string& path, SF_INFO& info) {
    info = {};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        ADD_FAILURE() << "libsndfile cannot open '" << path << "'";
        return {};
    }
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(sf, samples.data(), info.frames), info.frames);
    sf_close(sf);
    return samples;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

TEST_F(InsertionPlugin, RequestBecomesOneFileAndOneUndoStep) {
    start(kRateHz);
    const std::vector<float> input = captureNoise();

    // 2^-10 and 2^-9 of the 5,760,000-float ring: 5625 (made even: 5624) and 11250 floats.
    control.requestInsert(0.0009765625f, 0.001953125f, 2);
    ASSERT_EQ(tick(), CLAP_PROCESS_CONTINUE);
    ASSERT_EQ(tick(), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(host.requestCallbackCount.load(), 1);  // one outstanding callback at a time
    EXPECT_EQ(control.load<uint8_t>(insertRequest), 1);

    instance->onMainThread();
    EXPECT_EQ(control.load<uint8_t>(insertRequest), 0);
    const std::string path = insertedPath();
    std::vector<std::string> described;
    for (const Call& call : standin.calls)
        described.push_back(call.describe());
    EXPECT_EQ(described,
              (std::vector<std::string>{
                  "GetProjectPathEx(null, 4096)", "Undo_BeginBlock2(null)", "GetTrack(null, 1)",
                  "SetOnlyTrackSelected(track 1)", "PreventUIRefresh(1)", "GetCursorPosition()",
                  "InsertMedia(\"" + path + "\", 0)", "SetEditCurPos(12.5, true, false)",
                  "PreventUIRefresh(-1)", "UpdateArrange()",
                  "Undo_EndBlock2(null, \"ORV: Insert Sample\", 5)"}));
    EXPECT_EQ(fs::path(path).parent_path(), dir);

    SF_INFO info;
    const std::vector<float> written = readWav(path, info);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.frames, 5625);
    EXPECT_TRUE(
        sameBits(written, std::vector<float>(input.begin() + 5624, input.begin() + 5624 + 11250)));

    // Blocks after the request was taken ask for nothing more; a stray callback does nothing.
    ASSERT_EQ(tick(), CLAP_PROCESS_CONTINUE);
    instance->onMainThread();
    EXPECT_EQ(host.requestCallbackCount.load(), 1);
    EXPECT_EQ(insertCount(), 1u);
}

TEST_F(InsertionPlugin, SecondCallbackAskedForBeforeTheRequestIsTakenExportsNothing) {
    start(kRateHz);
    captureNoise();
    control.requestInsert(0.0f, 0.01f, 1);
    ASSERT_EQ(tick(), CLAP_PROCESS_CONTINUE);
    ASSERT_EQ(host.requestCallbackCount.load(), 1);

    // The host's get_extension runs inside the callback, after callbackPending was cleared and
    // before the request is taken: a block ending right there asks for a second callback.
    host.getExtension = [this](const char* id) {
        EXPECT_EQ(tick(), CLAP_PROCESS_CONTINUE);
        return standin.extension(id);
    };
    instance->onMainThread();
    EXPECT_EQ(host.requestCallbackCount.load(), 2);
    EXPECT_EQ(insertCount(), 1u);

    instance->onMainThread();  // the second callback finds the request taken
    EXPECT_EQ(insertCount(), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
}

TEST_F(InsertionPlugin, HostWithoutTheExtensionIsAskedAgainUntilTheCompanionGivesUp) {
    host.getExtension = nullptr;
    start(kRateHz);
    control.requestInsert(0.0f, 0.5f, 1);
    for (int callback = 1; callback <= 3; ++callback) {
        ASSERT_EQ(run(16, 0.5f, 0.5f), CLAP_PROCESS_CONTINUE);
        ASSERT_EQ(run(16, 0.5f, 0.5f), CLAP_PROCESS_CONTINUE);
        EXPECT_EQ(host.requestCallbackCount.load(), callback);
        instance->onMainThread();
        EXPECT_EQ(control.load<uint8_t>(insertRequest), 1);
    }
    control.store<uint8_t>(insertRequest, 0);
    ASSERT_EQ(run(16, 0.5f, 0.5f), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(host.requestCallbackCount.load(), 3);
    EXPECT_TRUE(standin.calls.empty());
}

TEST_F(InsertionPlugin, FileIsStampedWithTheCurrentRateAfterARateChange) {
    start(kRateHz);
    const std::vector<float> input = captureNoise();
    instance->deactivate();
    ASSERT_TRUE(instance->activate(44100.0));
    EXPECT_EQ(control.load<uint8_t>(companion::off::rateMismatch), 1);

    control.requestInsert(0.0f, 0.001953125f, 1);  // 11250 floats of the 48 kHz ring
    ASSERT_EQ(tick(), CLAP_PROCESS_CONTINUE);
    instance->onMainThread();
    SF_INFO info;
    const std::vector<float> written = readWav(insertedPath(), info);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_TRUE(sameBits(written, std::vector<float>(input.begin(), input.begin() + 11250)));
}

TEST_F(InsertionPlugin, ExportsInTheSameMillisecondNeverReplaceAFile) {
    start(kRateHz);
    const std::vector<float> input = captureNoise();
    // Every name the clock can stamp in a stretch of 200 ms a little ahead, and its "_2" twin,
    // already hold a file; the export is asked for once the stretch has begun.
    const auto clockMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const int64_t fromMs = clockMs() + 700;
    const int64_t endMs = fromMs + 200;
    const std::string keep = "not an export";
    for (int64_t ms = fromMs; ms < endMs; ++ms) {
        for (const char* suffix : {".wav", "_2.wav"}) {
            std::FILE* file =
                std::fopen((dir / ("orv_export_" + std::to_string(ms) + suffix)).c_str(), "wb");
            ASSERT_NE(file, nullptr);
            std::fputs(keep.c_str(), file);
            std::fclose(file);
        }
    }
    while (clockMs() < fromMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    control.requestInsert(0.0f, 0.001953125f, 1);  // 11250 floats
    ASSERT_EQ(tick(), CLAP_PROCESS_CONTINUE);
    instance->onMainThread();
    const std::string path = insertedPath();
    const std::string name = fs::path(path).filename().string();
    ASSERT_EQ(name.rfind("_3.wav"), name.size() - 6) << name;
    const int64_t stamp = std::stoll(name.substr(11, name.size() - 17));
    EXPECT_GE(stamp, fromMs);
    ASSERT_LT(stamp, endMs) << "the export came more than 0.2 s late";
    SF_INFO info;
    EXPECT_TRUE(
        sameBits(readWav(path, info), std::vector<float>(input.begin(), input.begin() + 11250)));
    for (const char* suffix : {".wav", "_2.wav"}) {
        std::ifstream taken(dir / ("orv_export_" + std::to_string(stamp) + suffix));
        std::string content;
        std::getline(taken, content);
        EXPECT_EQ(content, keep) << suffix;
    }
}
