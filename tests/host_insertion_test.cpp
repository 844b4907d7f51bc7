// The insertion callback against the host record stand-in: which host functions are called with
// what, in which order; which stretch of the ring ends up in the file (read back by libsndfile);
// where the file goes; and when the request counts as taken.
#include "export/host_insertion.h"

#include "host_api_standin/host_api_standin.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using hostapi::Call;
using hostapi::HostApiStandin;

namespace {

inline constexpr uint64_t kRingFloats = 4096;  // fractions with few bits land on exact indices
inline constexpr double kRateHz = 44100.0;

const void* standinExtension(const clap_host*, const char* id) {
    HostApiStandin* standin = HostApiStandin::current();
    return standin != nullptr ? standin->extension(id) : nullptr;
}

// Restores TMPDIR as it was.
struct TmpDirEnv {
    std::string saved;
    bool had;
    TmpDirEnv() : had(std::getenv("TMPDIR") != nullptr) {
        if (had)
            saved = std::getenv("TMPDIR");
    }
    ~TmpDirEnv() {
        if (had)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
};

class Insertion : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "insertion_test_XXXXXX").string();
        dir = mkdtemp(pattern.data());
        control = std::make_unique<ControlBlock>();
        ring.captureSize = kRingFloats;
        ring.buffer.resize(kRingFloats);
        for (uint64_t i = 0; i < kRingFloats; ++i)
            ring.buffer[i] = static_cast<float>(i) + 0.5f;  // the value names its index
        host.get_extension = standinExtension;
        standin.config.projectPath = dir.string();  // no trailing separator
    }
    void TearDown() override { fs::remove_all(dir); }

    void request(float start, float length, int32_t track) {
        control->selectionStart = start;
        control->selectionLength = length;
        control->targetTrack = track;
        control->insertRequest = 1;
    }
    void serve() { serveInsertion(api, &host, *control, ring, kRateHz); }

    // The path InsertMedia got, or "" when it was not called.
    std::string insertedPath() const {
        for (const Call& call : standin.calls)
            if (call.name == "InsertMedia")
                return call.text;
        return "";
    }
    std::vector<std::string> describedCalls() const {
        std::vector<std::string> described;
        for (const Call& call : standin.calls)
            described.push_back(call.describe());
        return described;
    }
    // The ring floats [first, first + count) as the file should hold them, wrapping.
    std::vector<float> ringStretch(uint64_t first, uint64_t count) const {
        std::vector<float> stretch;
        for (uint64_t i = 0; i < count; ++i)
            stretch.push_back(ring.buffer[(first + i) % kRingFloats]);
        return stretch;
    }
    static std::vector<float> readBack(const std::string& path, int expectRateHz) {
        SF_INFO info{};
        SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
        if (sf == nullptr) {
            ADD_FAILURE() << "libsndfile cannot open " << path;
            return {};
        }
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, expectRateHz);
        std::vector<float> samples(static_cast<size_t>(info.frames * 2));
        sf_readf_float(sf, samples.data(), info.frames);
        sf_close(sf);
        return samples;
    }
    size_t filesIn(const fs::path& where) const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(where), {}));
    }

    fs::path dir;
    std::unique_ptr<ControlBlock> control;
    CaptureRing ring;
    clap_host host{};
    HostApi api;
    HostApiStandin standin;
};

}  // namespace

TEST_F(Insertion, FullInsertionCallsTheHostInOrderAndWritesTheSelection) {
    request(0.25f, 0.5f, 2);
    standin.config.projectPathDelayMs = 30;  // a slow host answer
    const int64_t beforeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    serve();
    const int64_t afterMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();

    EXPECT_EQ(control->insertRequest, 0);
    EXPECT_EQ(standin.lookups, std::vector<std::string>(std::begin(hostapi::kFunctionNames),
                                                        std::end(hostapi::kFunctionNames)));
    const std::string path = insertedPath();
    const std::vector<std::string> expected = {"GetProjectPathEx(null, 4096)",
                                               "Undo_BeginBlock2(null)",
                                               "GetTrack(null, 1)",
                                               "SetOnlyTrackSelected(track 1)",
                                               "PreventUIRefresh(1)",
                                               "GetCursorPosition()",
                                               "InsertMedia(\"" + path + "\", 0)",
                                               "SetEditCurPos(12.5, true, false)",
                                               "PreventUIRefresh(-1)",
                                               "UpdateArrange()",
                                               "Undo_EndBlock2(null, \"ORV: Insert Sample\", 5)"};
    EXPECT_EQ(describedCalls(), expected);

    // "<project>/orv_export_<ms>.wav", the ms taken while the callback ran.
    const std::string prefix = dir.string() + "/orv_export_";
    ASSERT_EQ(path.rfind(prefix, 0), 0u) << path;
    ASSERT_EQ(path.substr(path.size() - 4), ".wav");
    const int64_t stampMs = std::stoll(path.substr(prefix.size(), path.size() - 4 - prefix.size()));
    EXPECT_GE(stampMs, beforeMs + 30) << "the clock is read after the directory is known";
    EXPECT_LE(stampMs, afterMs);
    // 0.25 x 4096 = 1024, 0.5 x 4096 = 2048 floats, stamped with the current rate.
    EXPECT_EQ(readBack(path, 44100), ringStretch(1024, 2048));

    // The request is gone: a later callback (say, a second one asked for meanwhile) does nothing.
    standin.clearLog();
    serve();
    EXPECT_TRUE(standin.calls.empty());
    EXPECT_TRUE(standin.lookups.empty());  // the lookup is never repeated
    EXPECT_EQ(filesIn(dir), 1u);
}

TEST_F(Insertion, SelectionsClampAndWrapInRingCoordinates) {
    struct Case {
        float start, length;
        uint64_t first, count;
    };
    const Case cases[] = {
        {0.875f, 0.25f, 3584, 1024},      // runs past the end into the beginning
        {1.0f, 0.125f, 0, 512},           // a start of exactly 1 is index 0
        {-0.5f, 0.125f, 0, 512},          // a negative start is 0
        {0.5f, 1.5f, 2048, kRingFloats},  // more than the ring: the whole ring
        {0.5f, NAN, 2048, kRingFloats},   // a NaN length counts as 1
        {0.00037f, 0.001f, 0, 4},         // 1.5 floats truncate to 1, made even: 0; 4.096 -> 4
        {0.0009766f, 0.0019531f, 4, 6},   // 4.0001 -> 4; 7.9999 -> 7 floats: 3 frames
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " length " << c.length);
        standin.clearLog();
        request(c.start, c.length, 1);
        serve();
        ASSERT_FALSE(insertedPath().empty());
        EXPECT_EQ(readBack(insertedPath(), 44100), ringStretch(c.first, c.count));
        fs::remove(insertedPath());
    }
}

TEST_F(Insertion, TooShortOrUnsizedRequestsAreTakenAndDoNothingElse) {
    request(0.0f, 0.0009f, 1);  // below 0.001 of the ring
    serve();
    EXPECT_EQ(control->insertRequest, 0);
    EXPECT_TRUE(standin.calls.empty());

    ring.captureSize = 0;  // a request before the first activation
    request(0.0f, 0.5f, 1);
    serve();
    EXPECT_EQ(control->insertRequest, 0);
    EXPECT_TRUE(standin.calls.empty());

    // 0.001 of a 1024-float ring is 1 float: the directory is asked for, no file is made.
    ring.captureSize = 1024;
    request(0.0f, 0.001f, 1);
    serve();
    EXPECT_EQ(control->insertRequest, 0);
    EXPECT_EQ(standin.callNames(), std::vector<std::string>{"GetProjectPathEx"});
    EXPECT_EQ(filesIn(dir), 0u);
}

TEST_F(Insertion, TrackChoiceFallsBackToSelectedThenFirst) {
    struct Case {
        int32_t target;
        int trackCount, selected;
        std::vector<std::string> trackCalls;
        int chosen;
    };
    const Case cases[] = {
        {3,
         2,
         1,
         {"GetTrack(null, 2)", "GetSelectedTrack(null, 0)", "SetOnlyTrackSelected(track 1)"},
         1},
        {3,
         2,
         -1,
         {"GetTrack(null, 2)", "GetSelectedTrack(null, 0)", "GetTrack(null, 0)",
          "SetOnlyTrackSelected(track 0)"},
         0},
        {0, 2, 1, {"GetSelectedTrack(null, 0)", "SetOnlyTrackSelected(track 1)"}, 1},
        {-1,
         2,
         -1,
         {"GetSelectedTrack(null, 0)", "GetTrack(null, 0)", "SetOnlyTrackSelected(track 0)"},
         0},
        {1, 0, -1, {"GetTrack(null, 0)", "GetSelectedTrack(null, 0)", "GetTrack(null, 0)"}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "target " << c.target << " tracks " << c.trackCount
                                        << " selected " << c.selected);
        standin.clearLog();
        standin.config.trackCount = c.trackCount;
        standin.config.selectedTrack = c.selected;
        request(0.0f, 0.125f, c.target);
        serve();
        const std::vector<std::string> all = describedCalls();
        ASSERT_GE(all.size(), 2u + c.trackCalls.size());
        EXPECT_EQ(std::vector<std::string>(all.begin() + 2, all.begin() + 2 + c.trackCalls.size()),
                  c.trackCalls);
        EXPECT_EQ(all[2 + c.trackCalls.size()], "PreventUIRefresh(1)");  // insertion goes on
        if (c.chosen >= 0) {
            EXPECT_EQ(standin.selectedTrack(), c.chosen);
        }
    }
}

TEST_F(Insertion, MissingFunctionsShapeWhatHappens) {
    // Optional ones: no UpdateArrange; no GetSelectedTrack skips straight to the first track.
    standin.config.nullNames = {"UpdateArrange", "GetSelectedTrack"};
    request(0.0f, 0.125f, 0);
    serve();
    EXPECT_EQ(standin.callNames(),
              (std::vector<std::string>{"GetProjectPathEx", "Undo_BeginBlock2", "GetTrack",
                                        "SetOnlyTrackSelected", "PreventUIRefresh",
                                        "GetCursorPosition", "InsertMedia", "SetEditCurPos",
                                        "PreventUIRefresh", "Undo_EndBlock2"}));
}

TEST_F(Insertion, WithoutCursorFunctionsTheUndoStepHoldsNoInsertion) {
    standin.config.nullNames = {"GetCursorPosition"};
    request(0.0f, 0.125f, 1);
    serve();
    EXPECT_EQ(standin.callNames(),
              (std::vector<std::string>{"GetProjectPathEx", "Undo_BeginBlock2", "GetTrack",
                                        "SetOnlyTrackSelected", "Undo_EndBlock2"}));
    EXPECT_EQ(filesIn(dir), 1u);
}

TEST_F(Insertion, RequiredFunctionOrRecordMissingLeavesTheRequestUp) {
    // No extension offered, then no lookup entry: nothing is stored, so the next callback retries.
    standin.config.offerExtension = false;
    request(0.0f, 0.125f, 1);
    serve();
    standin.config.offerExtension = true;
    standin.config.lookupEntry = false;
    serve();
    EXPECT_EQ(api.record, nullptr);
    EXPECT_EQ(control->insertRequest, 1);
    EXPECT_TRUE(standin.lookups.empty());

    // A required name missing: looked up once, the request stays 1 at every later callback.
    standin.config.lookupEntry = true;
    standin.config.nullNames = {"Undo_EndBlock2"};
    serve();
    serve();
    EXPECT_NE(api.record, nullptr);
    EXPECT_EQ(standin.lookups.size(), hostapi::kFunctionCount);
    EXPECT_EQ(control->insertRequest, 1);
    EXPECT_TRUE(standin.calls.empty());
    EXPECT_EQ(filesIn(dir), 0u);
}

TEST_F(Insertion, OnlyARequestThatStillReadsOneIsTaken) {
    // Withdrawn by the companion, or some other value: neither counts as a request.
    for (uint8_t value : {uint8_t{0}, uint8_t{2}}) {
        request(0.0f, 0.125f, 1);
        control->insertRequest = value;
        serve();
        EXPECT_EQ(control->insertRequest, value);
        EXPECT_TRUE(standin.calls.empty());
    }
}

TEST_F(Insertion, ExportDirectoryRules) {
    TmpDirEnv restoreTmpDir;
    fs::create_directory(dir / "back\\");
    struct Case {
        std::string projectPath;
        bool setTmpDir;
        std::string tmpDir;
        std::string expectDirectory;
    };
    const std::string d = dir.string();
    const Case cases[] = {
        {d + "/", false, "", d + "/"},              // a trailing '/' is kept as it is
        {d + "/back\\", false, "", d + "/back\\"},  // a trailing '\' gets nothing
        {"", true, d, d + "/"},                     // TMPDIR gets its '/'
        {"", true, d + "/back\\", d + "/back\\/"},
        {"", false, "", "/tmp/"},
        {"", true, "", "/tmp/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "project '" << c.projectPath << "' TMPDIR "
                                        << (c.setTmpDir ? c.tmpDir : "unset"));
        standin.clearLog();
        standin.config.projectPath = c.projectPath;
        if (c.setTmpDir)
            setenv("TMPDIR", c.tmpDir.c_str(), 1);
        else
            unsetenv("TMPDIR");
        request(0.0f, 0.125f, 1);
        serve();
        const std::string path = insertedPath();
        EXPECT_EQ(path.substr(0, path.rfind("orv_export_")), c.expectDirectory);
        EXPECT_TRUE(fs::exists(path));
        fs::remove(path);
    }
}

TEST_F(Insertion, UnwritableOrOverlongDirectoryEndsBeforeAnyProjectEdit) {
    standin.config.projectPath = (dir / "does_not_exist").string();
    request(0.0f, 0.125f, 1);
    serve();
    EXPECT_EQ(control->insertRequest, 0);
    EXPECT_EQ(standin.callNames(), std::vector<std::string>{"GetProjectPathEx"});

    // A host that fills all 4096 bytes: the text ends at the buffer's end, never read past it.
    standin.clearLog();
    standin.config.fillPathBuffer = true;
    request(0.0f, 0.125f, 1);
    serve();
    EXPECT_EQ(control->insertRequest, 0);
    EXPECT_EQ(standin.callNames(), std::vector<std::string>{"GetProjectPathEx"});
}

TEST(InsertionAt48k, HalfTheRingIsThirtySecondsOfStereo) {
    HostApiStandin standin;
    standin.config.projectPath = fs::temp_directory_path().string();
    clap_host host{};
    host.get_extension = standinExtension;
    CaptureRing ring;
    ring.captureSize = 120 * 48000;
    ring.buffer.assign(ring.captureSize, 0.0f);
    for (uint64_t i = 0; i < ring.captureSize; i += 997)
        ring.buffer[i] = static_cast<float>(i);
    auto control = std::make_unique<ControlBlock>();
    control->selectionLength = 0.5f;
    control->insertRequest = 1;
    HostApi api;
    serveInsertion(api, &host, *control, ring, 48000.0);
    std::string path;
    for (const Call& call : standin.calls)
        if (call.name == "InsertMedia")
            path = call.text;
    ASSERT_FALSE(path.empty());
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(info.frames, 30 * 48000);
    EXPECT_EQ(info.samplerate, 48000);
    std::vector<float> samples(static_cast<size_t>(info.frames * 2));
    sf_readf_float(sf, samples.data(), info.frames);
    sf_close(sf);
    fs::remove(path);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), ring.buffer.begin()));
}
