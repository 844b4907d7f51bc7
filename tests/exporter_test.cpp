// The exporter against references it does not share code with: files read back with libsndfile,
// loudness and true peak measured again with libebur128, and signals whose values are known.
#include "companion/exporter.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>

using namespace companion;
namespace fs = std::filesystem;

namespace {

constexpr double kRate = 48000.0;

std::vector<float> sine(double hz, double amplitude, double seconds, double phase = 0.0) {
    std::vector<float> v(2 * static_cast<size_t>(seconds * kRate));
    for (size_t i = 0; i < v.size() / 2; ++i) {
        v[2 * i] = v[2 * i + 1] =
            static_cast<float>(amplitude * std::sin(2 * M_PI * hz * i / kRate + phase));
    }
    return v;
}

struct ReadBack {
    SF_INFO info{};
    std::vector<double> samples;
};
ReadBack readBack(const fs::path& path) {
    ReadBack r;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &r.info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (f != nullptr) {
        r.samples.resize(r.info.frames * r.info.channels);
        EXPECT_EQ(sf_read_double(f, r.samples.data(), r.samples.size()),
                  (sf_count_t)r.samples.size());
        sf_close(f);
    }
    return r;
}

// libebur128's own true peak (dBTP) and integrated loudness (LUFS) of interleaved stereo.
std::pair<double, double> reference(const std::vector<double>& x) {
    ebur128_state* st = ebur128_init(2, 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_double(st, x.data(), x.size() / 2);
    double l = 0, r = 0, i = 0;
    ebur128_true_peak(st, 0, &l);
    ebur128_true_peak(st, 1, &r);
    ebur128_loudness_global(st, &i);
    ebur128_destroy(&st);
    return {20 * std::log10(std::max(l, r)), i};
}

class ExporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/exporter_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override { fs::remove_all(root); }
    std::vector<std::string> names(const fs::path& dir) {
        std::vector<std::string> n;
        for (auto& e : fs::directory_iterator(dir))
            n.push_back(e.path().filename());
        std::sort(n.begin(), n.end());
        return n;
    }
    bool run(const std::vector<float>& x, ExportSettings s, ExportResult& r, double rate = kRate) {
        return exportStretch(x, rate, s, root / "a/b", when, r, error);
    }
    fs::path root;
    std::string error;
    std::chrono::system_clock::time_point when = [] {
        std::tm t{};  // 2026-12-08 14:03:07 local time
        t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 8, t.tm_hour = 14, t.tm_min = 3, t.tm_sec = 7;
        t.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&t));
    }();
};

TEST(ExporterAnalysis, KnownSignals) {
    // A stereo 1 kHz sine of peak amplitude A reads 20 log10(A) LUFS: each channel's mean square
    // A^2/2, two channels sum to A^2, and K-weighting's +0.69 dB at 1 kHz cancels the -0.691.
    StretchAnalysis a = analyzeStretch(sine(1000, 0.1, 20), kRate);
    EXPECT_EQ(a.frames, 960000u);
    EXPECT_DOUBLE_EQ(a.seconds, 20.0);
    EXPECT_NEAR(a.integratedLufs, -20.0, 0.1);
    EXPECT_NEAR(a.lraLu, 0.0, 0.1);

    // 20 s at -20 dBFS then 20 s at -30 dBFS: a loudness range of 10 LU.
    std::vector<float> steps = sine(1000, 0.1, 20), quiet = sine(1000, std::pow(10, -1.5), 20);
    steps.insert(steps.end(), quiet.begin(), quiet.end());
    EXPECT_NEAR(analyzeStretch(steps, kRate).lraLu, 10.0, 1.0);

    // fs/4 at 45 degrees: every sample is A/sqrt(2), the waveform between them reaches A.
    // Faded in and out over 100 ms: a step from silence would overshoot between samples.
    std::vector<float> quarter = sine(kRate / 4, 0.5, 1, M_PI / 4);
    const double steady = std::fabs(static_cast<double>(quarter[quarter.size() / 2]));
    for (size_t i = 0; i < 4800; ++i) {
        const float fade = static_cast<float>(std::pow(std::sin(M_PI / 2 * i / 4800), 2));
        for (size_t k :
             {2 * i, 2 * i + 1, quarter.size() - 1 - 2 * i, quarter.size() - 2 - 2 * i}) {
            quarter[k] *= fade;
        }
    }
    a = analyzeStretch(quarter, kRate);
    EXPECT_DOUBLE_EQ(a.samplePeakDb, 20 * std::log10(steady));
    EXPECT_NEAR(a.truePeakDb, 20 * std::log10(0.5), 0.1);

    // NaN and inf are measured as silence and do not spread.
    std::vector<float> broken = quarter, zeroed = quarter;
    broken[100] = NAN, broken[301] = INFINITY, broken[502] = -INFINITY;
    zeroed[100] = zeroed[301] = zeroed[502] = 0;
    StretchAnalysis b = analyzeStretch(broken, kRate), z = analyzeStretch(zeroed, kRate);
    EXPECT_EQ(b.integratedLufs, z.integratedLufs);
    EXPECT_EQ(b.truePeakDb, z.truePeakDb);
    EXPECT_TRUE(std::isfinite(b.integratedLufs) && std::isfinite(b.truePeakDb));

    a = analyzeStretch(std::vector<float>(2 * 48000 * 4, 0.0f), kRate);
    EXPECT_TRUE(std::isnan(a.integratedLufs) && std::isnan(a.lraLu) && std::isnan(a.samplePeakDb) &&
                std::isnan(a.truePeakDb));
    a = analyzeStretch(sine(1000, 0.1, 0.3), kRate);  // under one 400 ms block
    EXPECT_TRUE(std::isnan(a.integratedLufs) && std::isnan(a.lraLu));
    EXPECT_NEAR(a.samplePeakDb, -20.0, 0.01);
}

TEST(ExporterAnalysis, TruePeakAgreesWithLibebur128) {
    std::vector<float> x(2 * 48000 * 5);
    uint32_t seed = 1;
    for (size_t i = 0; i < x.size(); ++i) {  // a chord with noise
        seed = seed * 1664525u + 1013904223u;
        x[i] = 0.2f * std::sin(0.071 * i) + 0.2f * std::sin(0.63 * i) + 0.3f * std::sin(2.71 * i) +
               0.1f * ((seed >> 8) * 0x1p-24f - 0.5f);
    }
    const auto [tp, integrated] = reference(std::vector<double>(x.begin(), x.end()));
    StretchAnalysis a = analyzeStretch(x, kRate);
    EXPECT_NEAR(a.truePeakDb, tp, 0.1);
    EXPECT_NEAR(a.integratedLufs, integrated, 1e-9);
}

TEST_F(ExporterTest, FloatWavIsBitExactAndNeverOverwrites) {
    std::vector<float> x = sine(440, 0.7, 1);
    uint32_t nanBits = 0x7fc01234;
    std::memcpy(&x[10], &nanBits, 4);
    x[11] = INFINITY, x[12] = -INFINITY, x[13] = 1e-40f, x[14] = -0.0f, x[15] = 1.5f, x[16] = -2.0f;
    ExportResult r[3];
    for (auto& each : r)
        ASSERT_TRUE(run(x, {}, each)) << error;
    EXPECT_EQ(names(root / "a/b"),
              (std::vector<std::string>{"tessarin_2026-12-08_14-03-07.wav",
                                        "tessarin_2026-12-08_14-03-07_2.wav",
                                        "tessarin_2026-12-08_14-03-07_3.wav"}));
    EXPECT_EQ(r[1].path, root / "a/b/tessarin_2026-12-08_14-03-07_2.wav");

    SF_INFO info{};
    SNDFILE* f = sf_open(r[2].path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(info.samplerate, 48000);
    std::vector<float> back(x.size() + 2);
    EXPECT_EQ(sf_read_float(f, back.data(), back.size()), (sf_count_t)x.size());
    sf_close(f);
    EXPECT_EQ(std::memcmp(back.data(), x.data(), x.size() * 4), 0);

    const mode_t mask = umask(0);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(r[0].path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
}

TEST_F(ExporterTest, IntegerFormatsQuantiseClipAndDither) {
    // A slow ramp from -1.25 to 1.25 (clipping at both ends), a NaN, and a DC of 1/4 LSB at 16 bit.
    const size_t n = 200000;
    std::vector<float> x(2 * n);
    for (size_t i = 0; i < n; ++i) {
        x[2 * i] = static_cast<float>(-1.25 + 2.5 * i / n);
        x[2 * i + 1] = 0.25f / 32768;
    }
    x[2 * 1000] = NAN;
    const struct {
        ExportFormat format;
        int sndfile;
        double lsb;
    } cases[] = {{ExportFormat::wav24, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1.0 / 8388608},
                 {ExportFormat::flac24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1.0 / 8388608},
                 {ExportFormat::wav16, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1.0 / 32768},
                 {ExportFormat::flac16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1.0 / 32768}};
    for (const auto& c : cases) {
        SCOPED_TRACE(formatName(c.format));
        ExportResult r;
        ASSERT_TRUE(run(x, {c.format}, r)) << error;
        ReadBack b = readBack(r.path);
        EXPECT_EQ(b.info.format, c.sndfile);
        ASSERT_EQ(b.info.frames, (sf_count_t)n);
        EXPECT_EQ(b.samples[2 * 1000], 0.0);
        const bool dithered = c.lsb > 1e-6;
        double sum = 0, sumSq = 0, worst = 0, dc = 0;
        size_t counted = 0;
        for (size_t i = 0; i < n; ++i) {
            dc += b.samples[2 * i + 1] / c.lsb;
            const double in = x[2 * i];
            if (i == 1000)
                continue;
            if (in < -1.0 - c.lsb) {
                EXPECT_EQ(b.samples[2 * i], -1.0);
            }
            if (in >= 1.0) {
                EXPECT_EQ(b.samples[2 * i], 1.0 - c.lsb);
            }
            if (std::fabs(in) > 0.999)
                continue;
            const double e = (b.samples[2 * i] - in) / c.lsb;
            sum += e, sumSq += e * e, worst = std::max(worst, std::fabs(e)), ++counted;
        }
        if (!dithered) {
            EXPECT_LE(worst, 0.5);
            continue;
        }
        // TPDF of +-1 LSB and rounding: error under 1.5 LSB, mean 0, variance 1/6 + 1/12.
        const double mean = sum / counted;
        EXPECT_LT(worst, 1.5);
        EXPECT_NEAR(mean, 0.0, 0.01);
        EXPECT_NEAR(sumSq / counted - mean * mean, 0.25, 0.01);
        EXPECT_NEAR(dc / n, 0.25, 0.01);  // undithered it would round to 0
    }
}

TEST_F(ExporterTest, Normalisation) {
    ExportResult r;
    ASSERT_TRUE(run(sine(997, 0.1, 5), {ExportFormat::wav32f, NormalizeMode::peak, -1.0}, r));
    EXPECT_NEAR(reference(readBack(r.path).samples).first, -1.0, 0.05);
    EXPECT_FALSE(r.gainCapped);

    ASSERT_TRUE(run(sine(997, 0.1, 5), {ExportFormat::wav24, NormalizeMode::loudness, -14.0}, r));
    EXPECT_NEAR(reference(readBack(r.path).samples).second, -14.0, 0.05);
    EXPECT_NEAR(r.gainDb, 6.0, 0.1);
    EXPECT_FALSE(r.gainCapped);

    // Quiet with sharp peaks: -14 LUFS would put the peaks far above the ceiling.
    std::vector<float> peaky = sine(997, 0.01, 5);
    for (size_t i = 0; i < peaky.size(); i += 48000)
        peaky[i] = 0.5f;
    ASSERT_TRUE(run(peaky, {ExportFormat::flac24, NormalizeMode::loudness, -14.0}, r));
    EXPECT_TRUE(r.gainCapped);
    EXPECT_NEAR(r.gainDb, kTruePeakCeilingDbtp - r.source.truePeakDb, 1e-9);
    EXPECT_NEAR(reference(readBack(r.path).samples).first, kTruePeakCeilingDbtp, 0.05);

    ASSERT_TRUE(run(std::vector<float>(96000, 0.0f),
                    {ExportFormat::wav16, NormalizeMode::loudness, -14}, r));
    EXPECT_EQ(r.gainDb, 0.0);
}

TEST_F(ExporterTest, RefusalsAndFailuresLeaveNothing) {
    ExportResult r;
    const std::vector<float> x = sine(1000, 0.5, 1);
    EXPECT_FALSE(run({}, {}, r));
    EXPECT_EQ(error, "nothing to export");
    for (double rate : {0.0, -48000.0, (double)NAN, (double)INFINITY})
        EXPECT_FALSE(run(x, {}, r, rate)) << rate;
    EXPECT_FALSE(run(x, {ExportFormat::flac24}, r, 655351));  // libsndfile's FLAC limit + 1
    EXPECT_NE(error.find("FLAC"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(root / "a"));
    EXPECT_TRUE(run(x, {ExportFormat::flac24}, r, 655350)) << error;
    EXPECT_EQ(readBack(r.path).info.samplerate, 655350);

    // A file where the folder should be.
    std::FILE* f = std::fopen((root / "file").c_str(), "w");
    std::fclose(f);
    EXPECT_FALSE(exportStretch(x, kRate, {}, root / "file", when, r, error));
    EXPECT_FALSE(exportStretch(x, kRate, {}, root / "file/sub", when, r, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(fs::file_size(root / "file"), 0u);

    // A full disk: the file size limit stops writes with EFBIG halfway through.
    for (ExportFormat format : {ExportFormat::wav32f, ExportFormat::flac16}) {
        const fs::path dir = root / formatName(format);
        const pid_t pid = fork();
        if (pid == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{20000, 20000};
            setrlimit(RLIMIT_FSIZE, &limit);
            std::string e;
            ExportResult res;
            _exit(exportStretch(x, kRate, {format}, dir, when, res, e) ? 1 : e.empty() ? 2 : 0);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << formatName(format);
        EXPECT_TRUE(names(dir).empty()) << formatName(format);
    }
}

// Does the process hold a file in dir open? Named or unnamed, /proc shows its place.
bool holdsFileIn(pid_t pid, const fs::path& dir) {
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string target = fs::read_symlink(it->path(), ec).string();
        if (!ec && target.starts_with(dir.string() + "/"))
            return true;
    }
    return false;
}

bool sameAnalysis(const StretchAnalysis& a, const StretchAnalysis& b) {
    const auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
    return a.frames == b.frames && same(a.seconds, b.seconds) &&
           same(a.integratedLufs, b.integratedLufs) && same(a.lraLu, b.lraLu) &&
           same(a.samplePeakDb, b.samplePeakDb) && same(a.truePeakDb, b.truePeakDb);
}

// A source longer than one chunk is read in bounded pieces and measured exactly as one vector;
// a read that fails halfway, or comes back short, ends the export with its line and no file.
TEST_F(ExporterTest, SourceIsReadInChunksAndAFailedReadLeavesNothing) {
    const uint64_t frames = kSourceChunkFrames + 4321;
    std::vector<float> x(2 * frames);
    uint32_t seed = 3;
    for (size_t i = 0; i < frames; ++i) {  // loud enough for every measure, louder at the end
        seed = seed * 1664525u + 1013904223u;
        const float gain = i < kSourceChunkFrames ? 0.3f : 0.9f;
        x[2 * i] = gain * std::sin(0.031f * i);
        x[2 * i + 1] = gain * ((seed >> 8) * 0x1p-24f - 0.5f);
    }
    enum class Fault { none, fails, short_ } fault = Fault::none;
    uint64_t readsAt = 0, largestRead = 0;
    FrameSource source{
        frames, [&](uint64_t first, uint64_t count, std::vector<float>& out, std::string& why) {
            EXPECT_EQ(first, readsAt);  // in order, each frame once per pass
            readsAt = first + count;
            largestRead = std::max(largestRead, count);
            if (fault == Fault::fails && first > 0) {
                why = "the take file is gone";
                return false;
            }
            if (fault == Fault::short_ && first > 0) {
                count = 10;
            }
            out.assign(x.begin() + 2 * first, x.begin() + 2 * (first + count));
            return true;
        }};

    const StretchAnalysis whole = analyzeStretch(x, kRate);
    const double integrated = reference(std::vector<double>(x.begin(), x.end())).second;
    EXPECT_NEAR(whole.integratedLufs, integrated, 1e-9);  // every frame once, in order
    float peak = 0.0f;
    for (float v : x) {
        peak = std::max(peak, std::fabs(v));
    }
    EXPECT_DOUBLE_EQ(whole.samplePeakDb, 20.0 * std::log10(static_cast<double>(
                                                    peak)));  // the louder last part included
    StretchAnalysis a{};
    ASSERT_TRUE(analyzeSource(source, kRate, a, error)) << error;
    EXPECT_TRUE(sameAnalysis(a, whole));
    EXPECT_EQ(readsAt, frames);
    EXPECT_EQ(largestRead, kSourceChunkFrames);
    readsAt = 0;
    ExportResult r;
    ASSERT_TRUE(exportFromSource(source, kRate, {}, root / "ok", when, r, error)) << error;
    EXPECT_TRUE(sameAnalysis(r.source, whole));  // measured beside the encoding, chunk by chunk
    EXPECT_EQ(readBack(r.path).info.frames, (sf_count_t)frames);

    // The 16-bit dither runs on across chunks: a DC of 1/4 LSB comes out differently after the
    // first chunk than at the start (a dither restarted per chunk would repeat itself exactly;
    // independent draws agree on 55 % of samples).
    constexpr size_t kCompared = 4096;
    const FrameSource dc{kSourceChunkFrames + kCompared,
                         [](uint64_t, uint64_t count, std::vector<float>& out, std::string&) {
                             out.assign(2 * count, 0.25f / 32768);
                             return true;
                         }};
    ASSERT_TRUE(exportFromSource(dc, kRate, {ExportFormat::wav16}, root / "dc", when, r, error));
    const ReadBack dithered = readBack(r.path);
    ASSERT_EQ(dithered.samples.size(), 2 * dc.frames);
    size_t repeated = 0;
    for (size_t i = 0; i < 2 * kCompared; ++i) {
        repeated += dithered.samples[i] == dithered.samples[2 * kSourceChunkFrames + i];
    }
    EXPECT_LT(repeated, 2 * kCompared * 3 / 4);

    // Failing in the only pass (after a chunk was written), in the analysis pass that
    // normalisation reads first, and short.
    const struct {
        Fault fault;
        ExportSettings settings;
        const char* line;
    } cases[] = {
        {Fault::fails, {}, "cannot read the audio: the take file is gone"},
        {Fault::fails,
         {ExportFormat::flac16, NormalizeMode::peak, -1.0},
         "cannot read the audio: the take file is gone"},
        {Fault::short_,
         {ExportFormat::wav24},
         "cannot read the audio: it ended at frame 1048586 of 1052897"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        fault = c.fault;
        const fs::path dir = root / "failed";
        fs::create_directories(dir);
        readsAt = 0;
        error.clear();
        EXPECT_FALSE(exportFromSource(source, kRate, c.settings, dir, when, r, error));
        EXPECT_EQ(error, c.line);
        EXPECT_TRUE(names(dir).empty());
        EXPECT_FALSE(holdsFileIn(getpid(), dir));
        readsAt = 0;
        error.clear();
        EXPECT_FALSE(analyzeSource(source, kRate, a, error));
        EXPECT_EQ(error, c.line);
    }
}

// SIGKILL halfway through a long export, once the process has its file open: nothing is left in
// the folder, not even a hidden temporary file.
TEST_F(ExporterTest, KilledExportLeavesNothing) {
    const fs::path dir = root / "killed";
    fs::create_directories(dir);
    const std::vector<float> x = sine(997, 0.5, 60);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string e;
        ExportResult res;
        _exit(exportStretch(x, kRate, {ExportFormat::flac24}, dir, when, res, e) ? 0 : 1);
    }
    bool caught = false;
    for (int i = 0; i < 20000 && !caught; ++i) {
        caught = holdsFileIn(pid, dir);
        if (!caught)
            usleep(100);
    }
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(caught && WIFSIGNALED(status)) << "the export ended before it could be killed";
    EXPECT_EQ(names(dir), std::vector<std::string>{});
}

// Where the filesystem has no O_TMPFILE a killed export leaves its hidden temporary file: the
// daemon removes those of this user at start, and nothing else.
TEST_F(ExporterTest, LeftoverTempFilesAreRemovedAndNothingElse) {
    const fs::path dir = root / "leftovers";
    fs::create_directories(dir);
    const auto touch = [&](const std::string& name) { std::ofstream(dir / name) << "x"; };
    touch(".tessarin_AbCd1234.part");
    touch(".tessarin_AbCd1234.part.keep");
    touch(".tessarin_short.part");
    touch("tessarin_2026-12-08_14-03-07.wav");
    touch("elsewhere.wav");
    fs::create_symlink(dir / "elsewhere.wav", dir / ".tessarin_Zz9Zz9Zz.part");
    fs::create_directory(dir / ".tessarin_Dir12345.part");
    std::vector<std::string> kept = {".tessarin_AbCd1234.part.keep",
                                     ".tessarin_Dir12345.part",
                                     ".tessarin_Zz9Zz9Zz.part",
                                     ".tessarin_short.part",
                                     "elsewhere.wav",
                                     "tessarin_2026-12-08_14-03-07.wav"};
    if (geteuid() == 0) {  // another user's file under our name pattern stays
        touch(".tessarin_Other123.part");
        ASSERT_EQ(chown((dir / ".tessarin_Other123.part").c_str(), 65534, 65534), 0);
        kept.push_back(".tessarin_Other123.part");
        std::sort(kept.begin(), kept.end());
    }
    EXPECT_EQ(removeLeftoverTempFiles(dir), 1u);
    EXPECT_EQ(names(dir), kept);
    EXPECT_EQ(removeLeftoverTempFiles(root / "missing"), 0u);
}

}  // namespace
