// The history of takes against references it does not share code with: files read back with
// libsndfile, levels measured again with libebur128, a process killed with SIGKILL in the middle
// of a take, and a disk that fills up (a small tmpfs in a private mount namespace).
#include "companion/history.h"
#include "companion/take_file.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

using namespace companion;
namespace fs = std::filesystem;

namespace {

constexpr double kRate = 48000.0;
constexpr int64_t kStartMs = 1796803387250;  // some afternoon in 2026

// A deterministic test signal: a 997 Hz tone at -12 dBFS with a little noise, frame i of it.
void signalFrames(uint64_t first, size_t frames, std::vector<float>& out) {
    out.resize(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const uint64_t n = first + i;
        const uint32_t noise = static_cast<uint32_t>(n * 2654435761u) >> 8;
        const double tone = 0.25 * std::sin(2.0 * M_PI * 997.0 * static_cast<double>(n) / kRate);
        out[2 * i] = static_cast<float>(tone + (noise / 16777216.0 - 0.5) * 1e-3);
        out[2 * i + 1] = static_cast<float>(-0.5 * tone);
    }
}

std::vector<float> signal(uint64_t first, size_t frames) {
    std::vector<float> out;
    signalFrames(first, frames, out);
    return out;
}

bool sameBits(const float* a, const float* b, size_t count) {
    return std::memcmp(a, b, count * sizeof(float)) == 0;
}

struct ReadBack {
    SF_INFO info{};
    std::vector<float> samples;
    bool ok = false;
};
ReadBack readWithSndfile(const fs::path& path) {
    ReadBack r;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &r.info);
    if (f == nullptr) {
        return r;
    }
    r.samples.resize(static_cast<size_t>(r.info.frames * r.info.channels));
    r.ok = sf_readf_float(f, r.samples.data(), r.info.frames) == r.info.frames;
    sf_close(f);
    return r;
}

fs::path takeFile(const fs::path& dir, int64_t id) {
    return dir / ("take-" + std::to_string(id) + ".wav");
}

bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool finished(const History& history, int64_t id) {
    return waitFor([&] {
        const auto take = history.take(id);
        return !take || !take->recording;
    });
}

// Writes frames [0, frames) of the test signal as one take, in uneven blocks.
int64_t recordTake(History& history, uint64_t frames, uint64_t generation = 1) {
    const int64_t id = history.beginTake(generation, kStartMs, kRate);
    std::vector<float> block;
    for (uint64_t at = 0; at < frames;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(4801, frames - at));
        signalFrames(at, count, block);
        history.append(id, block.data(), count);
        at += count;
    }
    history.finishTake(id);
    EXPECT_TRUE(finished(history, id));
    return id;
}

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/history_test_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        dir = root / "history";
    }
    void TearDown() override { fs::remove_all(root); }
    bool open(History& history, uint64_t limitBytes = 1ull << 30) {
        std::string error;
        const bool ok = history.open(HistoryOptions{dir, limitBytes}, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    fs::path root, dir;
};

TEST_F(HistoryTest, TakesAreWrittenBitExactMeasuredAndIndexedAcrossReopen) {
    // Values a WAV of floats must carry untouched, then the test signal.
    const float specials[] = {
        std::numeric_limits<float>::quiet_NaN(),  std::numeric_limits<float>::infinity(),  -0.0f,
        std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::infinity(), 3.5f};
    const uint64_t frames = 150000;  // 3.125 s
    std::vector<float> expected(std::begin(specials), std::end(specials));
    const std::vector<float> tone = signal(3, frames - 3);
    expected.insert(expected.end(), tone.begin(), tone.end());

    int64_t id = 0;
    {
        History history;
        ASSERT_TRUE(open(history));
        id = history.beginTake(7, kStartMs, kRate);
        ASSERT_GT(id, 0);
        for (uint64_t at = 0; at < frames;) {
            const uint64_t count = std::min<uint64_t>(at == 0 ? 3 : 7919, frames - at);
            history.append(id, expected.data() + 2 * at, count);
            at += count;
            // Reads while recording see every appended frame, on disk or not.
            std::vector<float> seen;
            std::string error;
            ASSERT_TRUE(history.read(id, 0, at, seen, error)) << error;
            ASSERT_EQ(seen.size(), 2 * at);
            ASSERT_TRUE(sameBits(seen.data(), expected.data(), seen.size())) << "at " << at;
        }
        EXPECT_TRUE(history.take(id)->recording);
        history.finishTake(id);
        ASSERT_TRUE(finished(history, id));
        EXPECT_EQ(history.error(), "");
    }

    struct stat info {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(takeFile(dir, id).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const ReadBack file = readWithSndfile(takeFile(dir, id));
    ASSERT_TRUE(file.ok);
    EXPECT_EQ(file.info.frames, static_cast<sf_count_t>(frames));
    EXPECT_EQ(file.info.samplerate, 48000);
    EXPECT_EQ(file.info.channels, 2);
    EXPECT_EQ(file.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
    ASSERT_EQ(file.samples.size(), expected.size());
    EXPECT_TRUE(sameBits(file.samples.data(), expected.data(), expected.size()));

    // The reference levels: libebur128 on the same frames, non-finite samples as 0.
    std::vector<float> measured = expected;
    float peak = 0.0f;
    for (float& x : measured) {
        x = std::isfinite(x) ? x : 0.0f;
        peak = std::max(peak, std::fabs(x));
    }
    ebur128_state* st = ebur128_init(2, 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, measured.data(), frames);
    double lufs = 0.0, tpL = 0.0, tpR = 0.0;
    ebur128_loudness_global(st, &lufs);
    ebur128_true_peak(st, 0, &tpL);
    ebur128_true_peak(st, 1, &tpR);
    ebur128_destroy(&st);

    History reopened;
    ASSERT_TRUE(open(reopened));
    const HistorySummary summary = reopened.list();
    ASSERT_EQ(summary.takes.size(), 1u);
    const HistoryTake& take = summary.takes[0];
    EXPECT_EQ(take.id, id);
    EXPECT_EQ(take.frames, frames);
    EXPECT_EQ(take.rateHz, kRate);
    EXPECT_EQ(take.generation, 7u);
    EXPECT_EQ(take.startUnixMs, kStartMs);
    EXPECT_FALSE(take.recording);
    EXPECT_FALSE(take.pinned);
    EXPECT_NEAR(take.integratedLufs, lufs, 0.01);
    EXPECT_NEAR(take.samplePeakDb, 20.0 * std::log10(3.5), 1e-6);  // the 3.5 among the specials
    EXPECT_NEAR(take.truePeakDb, 20.0 * std::log10(std::max({tpL, tpR, 3.5})), 0.01);
    EXPECT_EQ(take.bytes, static_cast<uint64_t>(fs::file_size(takeFile(dir, id))));
    EXPECT_EQ(summary.bytes, take.bytes);
    std::vector<float> part;
    std::string error;
    ASSERT_TRUE(reopened.read(id, 100000, 100000, part, error)) << error;
    ASSERT_EQ(part.size(), 2u * 50000);  // clipped to what the take holds
    EXPECT_TRUE(sameBits(part.data(), expected.data() + 200000, part.size()));
    // A new take never reuses an id, not even a deleted one's.
    ASSERT_TRUE(reopened.remove(id, error)) << error;
    EXPECT_FALSE(fs::exists(takeFile(dir, id)));
    const int64_t next = recordTake(reopened, 1000);
    EXPECT_GT(next, id);
    EXPECT_FALSE(reopened.read(id, 0, 10, part, error));
}

// The child of the crash test: records the test signal in real time and reports on the pipe how
// many frames it has appended, until it is killed.
[[noreturn]] void recordUntilKilled(const fs::path& dir, int reportFd) {
    History history;
    std::string error;
    if (!history.open(HistoryOptions{dir, 1ull << 30}, error)) {
        _exit(3);
    }
    const int64_t id = history.beginTake(2, kStartMs, kRate);
    std::vector<float> block;
    constexpr size_t kBlock = 480;  // 10 ms
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t at = 0;; at += kBlock) {
        signalFrames(at, kBlock, block);
        history.append(id, block.data(), kBlock);
        const uint64_t appended = at + kBlock;
        if (write(reportFd, &appended, sizeof appended) != sizeof appended) {
            _exit(4);
        }
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(static_cast<int64_t>(appended * 1e6 / kRate)));
    }
}

TEST_F(HistoryTest, TakeCutByKillIsRepairedWithAllButTheLastSecond) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        recordUntilKilled(dir, report[1]);
    }
    close(report[1]);
    uint64_t appended = 0, latest = 0;
    // 2.6 s of capture: several flushes behind it, and data after the last one.
    while (appended < static_cast<uint64_t>(2.6 * kRate) &&
           read(report[0], &latest, sizeof latest) == sizeof latest) {
        appended = latest;
    }
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << WEXITSTATUS(status);
    while (read(report[0], &latest, sizeof latest) == sizeof latest) {
        appended = latest;  // whatever it reported before it died
    }
    close(report[0]);

    int64_t id = 0;
    uint64_t frames = 0;
    {
        History history;
        ASSERT_TRUE(open(history));
        const HistorySummary summary = history.list();
        ASSERT_EQ(summary.takes.size(), 1u);
        const HistoryTake take = summary.takes[0];
        id = take.id;
        frames = take.frames;
        EXPECT_FALSE(take.recording);
        EXPECT_EQ(take.generation, 2u);
        EXPECT_EQ(take.startUnixMs, kStartMs);
        EXPECT_LE(frames, appended);
        EXPECT_GE(frames + static_cast<uint64_t>(kRate), appended)
            << "lost more than a second: " << appended - frames << " frames";
        // Its levels are measured again from the file.
        ASSERT_TRUE(waitFor([&] { return std::isfinite(history.take(id)->integratedLufs); }));
        EXPECT_NEAR(history.take(id)->samplePeakDb, 20.0 * std::log10(0.2505), 0.05);
    }
    // Playable: libsndfile reads exactly the frames the index has, bit for bit.
    const ReadBack file = readWithSndfile(takeFile(dir, id));
    ASSERT_TRUE(file.ok);
    ASSERT_EQ(file.info.frames, static_cast<sf_count_t>(frames));
    const std::vector<float> expected = signal(0, frames);
    EXPECT_TRUE(sameBits(file.samples.data(), expected.data(), expected.size()));
    // The repair and the measurement are in the index for good.
    History again;
    ASSERT_TRUE(open(again));
    ASSERT_TRUE(again.take(id).has_value());
    EXPECT_EQ(again.take(id)->frames, frames);
    EXPECT_TRUE(std::isfinite(again.take(id)->integratedLufs));
}

TEST_F(HistoryTest, LimitDeletesOldestUnpinnedTakesAndNeverPinnedOnes) {
    const uint64_t second = static_cast<uint64_t>(kRate);
    const uint64_t takeBytes = 144 + second * 8;  // header and one second of stereo floats
    std::vector<int64_t> ids;
    {
        History history;
        ASSERT_TRUE(open(history, takeBytes * 7 / 2));  // room for three and a half takes
        std::string error;
        ids.push_back(recordTake(history, second));
        ASSERT_TRUE(history.setPinned(ids[0], true, error)) << error;
        for (int i = 0; i < 4; ++i) {
            ids.push_back(recordTake(history, second));
        }
        // Five takes made: the two oldest unpinned ones went, the pinned oldest stayed.
        ASSERT_TRUE(waitFor([&] { return history.list().takes.size() == 3; }));
        const HistorySummary summary = history.list();
        EXPECT_EQ(summary.takes[0].id, ids[0]);
        EXPECT_EQ(summary.takes[1].id, ids[3]);
        EXPECT_EQ(summary.takes[2].id, ids[4]);
        EXPECT_TRUE(summary.takes[0].pinned);
        EXPECT_LE(summary.bytes, summary.limitBytes);
        EXPECT_FALSE(fs::exists(takeFile(dir, ids[1])));
        EXPECT_FALSE(fs::exists(takeFile(dir, ids[2])));
        EXPECT_TRUE(fs::exists(takeFile(dir, ids[0])));
    }
    // A smaller limit at the next start: every unpinned take goes; the pinned one stays although
    // it alone is over the limit.
    History history;
    ASSERT_TRUE(open(history, takeBytes / 2));
    ASSERT_TRUE(waitFor([&] { return history.list().takes.size() == 1; }));
    EXPECT_EQ(history.list().takes[0].id, ids[0]);
    EXPECT_TRUE(history.list().takes[0].pinned);
    const ReadBack pinned = readWithSndfile(takeFile(dir, ids[0]));
    ASSERT_TRUE(pinned.ok);
    EXPECT_EQ(pinned.info.frames, static_cast<sf_count_t>(second));
    // Unpinned, it goes too.
    std::string error;
    ASSERT_TRUE(history.setPinned(ids[0], false, error)) << error;
    EXPECT_TRUE(waitFor([&] { return history.list().takes.empty(); }));
    EXPECT_FALSE(fs::exists(takeFile(dir, ids[0])));
}

TEST_F(HistoryTest, LimitZeroRecordsNothing) {
    History history;
    ASSERT_TRUE(open(history, 0));
    EXPECT_EQ(history.beginTake(1, kStartMs, kRate), 0);
    EXPECT_TRUE(history.list().takes.empty());
    EXPECT_EQ(history.list().limitBytes, 0u);
    EXPECT_FALSE(fs::exists(dir));
}

// Runs in a child with its own mount namespace: a 1.5 MB tmpfs holds the history. Returns 0 when
// every check passed, else the number of the failed check (77: no namespace here).
int diskFullChild(const fs::path& dir) {
    fs::create_directories(dir);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1536k,mode=0700") != 0) {
        return 77;
    }
    const fs::path history = dir / "history";
    History h;
    std::string error;
    if (!h.open(HistoryOptions{history, 1ull << 30}, error)) {
        return 1;
    }
    const uint64_t firstFrames = 24000;  // 192 KB
    const int64_t first = recordTake(h, firstFrames);
    if (!h.error().empty()) {
        return 2;
    }
    // The second take needs more than the disk has left.
    const int64_t second = h.beginTake(1, kStartMs + 5000, kRate);
    std::vector<float> block;
    uint64_t appended = 0;
    for (; appended < 400000 && h.error().empty(); appended += 4800) {
        signalFrames(appended, 4800, block);
        h.append(second, block.data(), 4800);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!waitFor([&] { return !h.error().empty(); })) {
        return 3;
    }
    h.finishTake(second);
    if (!finished(h, second)) {
        return 4;
    }
    // A take begun now is refused while the error is fresh: nothing half-made appears.
    if (h.beginTake(1, kStartMs, kRate) != 0) {
        return 5;
    }
    const auto kept = h.take(second);
    if (!kept || kept->frames == 0 || kept->frames >= appended) {
        return 6;
    }
    h.close();
    // The first take is untouched; the second holds a clean prefix; libsndfile reads both.
    const ReadBack a = readWithSndfile(takeFile(history, first));
    const std::vector<float> expectedA = signal(0, firstFrames);
    if (!a.ok || a.info.frames != static_cast<sf_count_t>(firstFrames) ||
        !sameBits(a.samples.data(), expectedA.data(), expectedA.size())) {
        return 7;
    }
    const ReadBack b = readWithSndfile(takeFile(history, second));
    const std::vector<float> expectedB = signal(0, static_cast<size_t>(b.info.frames));
    if (!b.ok || b.info.frames != static_cast<sf_count_t>(kept->frames) ||
        !sameBits(b.samples.data(), expectedB.data(), expectedB.size())) {
        return 8;
    }
    // Reopened on the still full disk: both takes listed with what their files hold.
    History again;
    if (!again.open(HistoryOptions{history, 1ull << 30}, error)) {
        std::fprintf(stderr, "reopening: %s\n", error.c_str());
        return 9;
    }
    const HistorySummary summary = again.list();
    if (summary.takes.size() != 2 || summary.takes[0].frames != firstFrames ||
        summary.takes[1].frames != kept->frames) {
        return 10;
    }
    return 0;
}

TEST_F(HistoryTest, FullDiskSaysSoAndDamagesNoTake) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(diskFullChild(root / "small"));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's exit code names the failed check";
}

TEST_F(HistoryTest, UnwritableFolderIsReportedNotFatal) {
    fs::create_directories(root);
    std::ofstream(root / "file") << "not a folder";
    History history;
    std::string error;
    EXPECT_FALSE(history.open(HistoryOptions{root / "file" / "history", 1ull << 30}, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(history.error(), error);
    EXPECT_EQ(history.beginTake(1, kStartMs, kRate), 0);
    EXPECT_TRUE(history.needsReopen());
    EXPECT_FALSE(history.reopen(error));  // still a file in the way
    // The way cleared (a drive mounted, a disk freed): the next try records.
    fs::remove(root / "file");
    ASSERT_TRUE(history.reopen(error)) << error;
    EXPECT_FALSE(history.needsReopen());
    EXPECT_EQ(history.error(), "");
    const int64_t id = recordTake(history, 4800);
    ASSERT_GT(id, 0);
    EXPECT_EQ(history.list().takes.size(), 1u);

    // A second process on the same folder is refused: it would repair takes being written. It
    // takes the folder over once the first has gone.
    History first, second;
    ASSERT_TRUE(open(first));
    ASSERT_GT(recordTake(first, 4800), 0);
    EXPECT_FALSE(second.open(HistoryOptions{dir, 1ull << 30}, error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_TRUE(second.list().takes.empty());
    first.close();
    ASSERT_TRUE(second.reopen(error)) << error;
    EXPECT_EQ(second.list().takes.size(), 1u);
}

TEST_F(HistoryTest, RowsWithoutFilesGoAndFilesWithoutRowsAreAdopted) {
    int64_t a = 0, b = 0;
    {
        History history;
        ASSERT_TRUE(open(history));
        a = recordTake(history, 48000);
        b = recordTake(history, 1000);
    }
    fs::remove(takeFile(dir, b));  // a deletion cut short between file and row
    {
        History history;
        ASSERT_TRUE(open(history));
        ASSERT_EQ(history.list().takes.size(), 1u);
        EXPECT_EQ(history.list().takes[0].id, a);
    }
    // The index is lost: the take files are taken in again, with what they tell.
    for (const char* name : {"index.sqlite", "index.sqlite-wal", "index.sqlite-shm"}) {
        fs::remove(dir / name);
    }
    std::ofstream(dir / "take-007.wav") << "not ours";
    std::ofstream(dir / "notes.txt") << "the user's";
    History history;
    ASSERT_TRUE(open(history));
    const HistorySummary summary = history.list();
    ASSERT_EQ(summary.takes.size(), 1u);
    EXPECT_EQ(summary.takes[0].id, a);
    EXPECT_EQ(summary.takes[0].frames, 48000u);
    EXPECT_EQ(summary.takes[0].rateHz, kRate);
    EXPECT_EQ(summary.takes[0].startUnixMs, 0);  // unknown now
    EXPECT_TRUE(fs::exists(dir / "take-007.wav"));
    EXPECT_TRUE(fs::exists(dir / "notes.txt"));
    std::vector<float> samples;
    std::string error;
    ASSERT_TRUE(history.read(a, 0, 48000, samples, error)) << error;
    const std::vector<float> expected = signal(0, 48000);
    EXPECT_TRUE(sameBits(samples.data(), expected.data(), expected.size()));
    EXPECT_GT(recordTake(history, 10), a);
    history.close();
    // Adopted for good: the next open finds the row as the file told it.
    History again;
    ASSERT_TRUE(open(again));
    ASSERT_TRUE(again.take(a).has_value());
    EXPECT_EQ(again.take(a)->rateHz, kRate);
    EXPECT_EQ(again.take(a)->frames, 48000u);
    EXPECT_TRUE(waitFor([&] { return std::isfinite(again.take(a)->integratedLufs); }));
}

// Past 4 GiB the header must become RF64: a take file grown (sparsely) beyond it, as a crash
// would leave one whose header was last written below it, and the audio route's own header.
TEST_F(HistoryTest, FilesPast4GiBGetAnRf64HeaderThatLibsndfileReads) {
    fs::create_directories(dir);
    const fs::path path = dir / "big.wav";
    TakeWriter writer;
    std::string error;
    ASSERT_TRUE(createTakeFile(path, kRate, writer, error)) << error;
    const std::vector<float> head = signal(0, 1000);
    ASSERT_TRUE(writeTakeFrames(writer, head.data(), 1000, error)) << error;
    const uint64_t offset = writer.dataOffsetBytes;
    ASSERT_TRUE(closeTakeFile(writer, error)) << error;  // a RIFF header for 1000 frames
    std::ifstream riff(path, std::ios::binary);
    char magic[4] = {};
    riff.read(magic, 4);
    EXPECT_EQ(std::string(magic, 4), "RIFF");
    const uint64_t frames = (5ull << 30) / 8 + 3;  // 5 GiB of frames, and a partial one
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(offset + frames * 8 + 5)), 0);

    TakeFileLayout layout;
    ASSERT_TRUE(repairTakeFile(path, layout, error)) << error;
    EXPECT_TRUE(layout.rf64);
    EXPECT_EQ(layout.frames, frames);
    EXPECT_EQ(layout.dataOffsetBytes, offset);
    EXPECT_EQ(fs::file_size(path), offset + frames * 8);
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(frames));
    std::vector<float> back(2000);
    EXPECT_EQ(sf_readf_float(f, back.data(), 1000), 1000);
    EXPECT_TRUE(sameBits(back.data(), head.data(), 2000));
    sf_close(f);

    // The audio route's header, followed by as many (sparse) samples.
    const std::string header = floatWavHeader(frames, kRate);
    const fs::path streamed = dir / "streamed.wav";
    {
        std::ofstream out(streamed, std::ios::binary);
        out << header;
    }
    ASSERT_EQ(truncate(streamed.c_str(), static_cast<off_t>(header.size() + frames * 8)), 0);
    SF_INFO streamedInfo{};
    f = sf_open(streamed.c_str(), SFM_READ, &streamedInfo);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(streamedInfo.frames, static_cast<sf_count_t>(frames));
    EXPECT_EQ(streamedInfo.samplerate, 48000);
    sf_close(f);
    // Under 4 GiB the same function gives a plain WAV header.
    EXPECT_EQ(floatWavHeader(48000, kRate).compare(0, 4, "RIFF"), 0);
}

}  // namespace
