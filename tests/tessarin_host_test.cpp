// tessarin-host run as a program on files made here: the loudness it reports against libebur128
// and hand-worked values, the gate's effect on the captured frames, exports read back by
// libsndfile against the stretch worked out by hand, and bad input. Also the companion library's
// waiting requests, which the tool is built on, against a plug-in instance in this process.
#include "plugin_fixture.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct HostRun {
    int exitCode = -1;
    std::string out, err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class HostTool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tessarin_host_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the built tessarin-host with args, stdout and stderr captured.
    HostRun host(const std::vector<std::string>& args) { return collect(spawn(args)); }

    // Starts tessarin-host with args; collect() waits for it and reads what it printed.
    pid_t spawn(const std::vector<std::string>& args) {
        const fs::path outFile = dir / "stdout.txt", errFile = dir / "stderr.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            if (!freopen(outFile.c_str(), "w", stdout) || !freopen(errFile.c_str(), "w", stderr))
                _exit(127);
            std::vector<char*> argv{const_cast<char*>(TESSARIN_HOST_PATH)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(TESSARIN_HOST_PATH, argv.data());
            _exit(127);
        }
        return pid;
    }

    HostRun collect(pid_t pid) {
        const fs::path outFile = dir / "stdout.txt", errFile = dir / "stderr.txt";
        HostRun result;
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = slurp(outFile);
        result.err = slurp(errFile);
        fs::remove(outFile);
        fs::remove(errFile);
        return result;
    }

    // Writes interleaved floats as a 32-bit float WAV.
    fs::path writeFile(const std::string& name, const std::vector<float>& samples, int channels,
                       int rateHz) {
        const fs::path path = dir / name;
        SF_INFO info{};
        info.samplerate = rateHz;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
        EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
        sf_close(file);
        return path;
    }

    fs::path dir;
};

// The number after "key": in the host's JSON; NaN for null or a missing key.
double jsonNumber(const std::string& json, const std::string& key) {
    const std::string needle = "\"" + key + "\": ";
    const size_t at = json.find(needle);
    if (at == std::string::npos)
        return std::nan("");
    const char* text = json.c_str() + at + needle.size();
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end == text ? std::nan("") : value;
}

// The export's part of the JSON (its keys repeat top-level names such as "frames").
std::string exportPart(const std::string& json) {
    const size_t at = json.find("\"export\": {");
    return at == std::string::npos ? "" : json.substr(at);
}

std::string jsonString(const std::string& json, const std::string& key) {
    const std::string needle = "\"" + key + "\": \"";
    const size_t at = json.find(needle);
    if (at == std::string::npos)
        return "";
    const size_t from = at + needle.size();
    return json.substr(from, json.find('"', from) - from);
}

struct Wav {
    std::vector<float> samples;
    int channels = 0, rateHz = 0;
};
Wav readWav(const std::string& path) {
    Wav wav;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (file == nullptr)
        return wav;
    wav.samples.resize(static_cast<size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(file, wav.samples.data(), info.frames), info.frames);
    sf_close(file);
    wav.channels = info.channels;
    wav.rateHz = info.samplerate;
    return wav;
}

// Interleaved stereo noise, every sample at least 0.01 in magnitude (far above the gate's
// threshold), fixed seed.
std::vector<float> loudNoise(size_t frames, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> magnitude(0.01f, 0.5f);
    std::bernoulli_distribution negative(0.5);
    std::vector<float> samples(2 * frames);
    for (float& s : samples)
        s = negative(generator) ? -magnitude(generator) : magnitude(generator);
    return samples;
}

// Interleaved frames [from, to) of samples.
std::vector<float> framesOf(const std::vector<float>& samples, size_t from, size_t to) {
    return {samples.begin() + 2 * from, samples.begin() + 2 * to};
}

double referenceIntegrated(const std::vector<float>& samples, int channels, int rateHz) {
    ebur128_state* state = ebur128_init(channels, rateHz, EBUR128_MODE_I);
    ebur128_add_frames_float(state, samples.data(), samples.size() / channels);
    double loudness = 0.0;
    ebur128_loudness_global(state, &loudness);
    ebur128_destroy(&state);
    return loudness;
}

TEST_F(HostTool, SineReportsItsLoudnessAndLevels) {
    // A 1 kHz sine at amplitude 0.1 (-20 dBFS): at 48 kHz every 12th sample is a crest. Both
    // channels: the powers add to A^2 -> -20.0 LUFS (the K-weighting is 0 dB at 1 kHz after the
    // -0.691 offset), RMS -20.0 dB. One channel: 3.01 below.
    constexpr int kRate = 48000;
    constexpr double kAmplitude = 0.1;
    constexpr size_t kFrames = 8 * kRate;
    for (const int channels : {2, 1}) {
        SCOPED_TRACE(channels);
        std::vector<float> samples(kFrames * channels);
        for (size_t i = 0; i < kFrames; ++i)
            for (int c = 0; c < channels; ++c)
                samples[i * channels + c] = static_cast<float>(
                    kAmplitude * std::sin(kTwoPi * 1000.0 * static_cast<double>(i) / kRate));
        const fs::path file = writeFile("sine.wav", samples, channels, kRate);
        const HostRun run = host({file.string(), "--json"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");

        const double expected = channels == 2 ? -20.0 : -20.0 - 10.0 * std::log10(2.0);
        const double reference = referenceIntegrated(samples, channels, kRate);
        EXPECT_NEAR(reference, expected, 0.05);
        EXPECT_NEAR(jsonNumber(run.out, "integratedLufs"), reference, 0.02);
        EXPECT_NEAR(jsonNumber(run.out, "momentaryMaxLufs"), expected, 0.05);
        EXPECT_NEAR(jsonNumber(run.out, "shortTermMaxLufs"), expected, 0.05);
        EXPECT_NEAR(jsonNumber(run.out, "rmsMaxDb"), expected, 0.01);
        EXPECT_NEAR(jsonNumber(run.out, "peakDb"), -20.0, 0.001);
        EXPECT_EQ(jsonNumber(run.out, "frames"), kFrames);
        EXPECT_EQ(jsonNumber(run.out, "channels"), channels);
        // The sine's first sample is 0.0 and the gate starts closed: every later frame is in.
        EXPECT_EQ(jsonNumber(run.out, "framesCaptured"), kFrames - 1);
    }
}

TEST_F(HostTool, CapturedFramesFollowTheGate) {
    // 2 s loud, 1 s digital silence, 2 s loud at 48 kHz: the gate writes 11,999 quiet frames
    // after the first loud stretch and then nothing until the second.
    constexpr int kRate = 48000;
    std::vector<float> samples = loudNoise(2 * kRate, 7);
    samples.resize(samples.size() + 2 * kRate, 0.0f);
    const std::vector<float> second = loudNoise(2 * kRate, 8);
    samples.insert(samples.end(), second.begin(), second.end());
    const fs::path file = writeFile("gaps.wav", samples, 2, kRate);
    // Block sizes that do and do not divide the gaps give the same count.
    for (const char* block : {"512", "1000", "65536"}) {
        SCOPED_TRACE(block);
        const HostRun run = host({file.string(), "--json", "--block", block});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(jsonNumber(run.out, "framesCaptured"), 2 * kRate + 11999 + 2 * kRate);
        EXPECT_EQ(jsonNumber(run.out, "ringFrames"), 60 * kRate);
        EXPECT_EQ(jsonNumber(run.out, "blockFrames"), std::atof(block));
    }
}

TEST_F(HostTool, ExportsHoldExactlyTheChosenStretch) {
    // At 8000 Hz the ring holds 480,000 frames. 40 s of loud noise fill frames 0 to 319,999, so
    // start 0.25 and length 0.25 are frames 120,000 to 239,999 of the file.
    constexpr int kRate = 8000;
    const std::vector<float> samples = loudNoise(40 * kRate, 11);
    const fs::path file = writeFile("noise.wav", samples, 2, kRate);
    const fs::path out = dir / "project";
    const HostRun run =
        host({file.string(), "--json", "--export", "0.25", "0.25", "--out", out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NEAR(jsonNumber(run.out, "ringFill"), 320000.0 / 480000.0, 1e-12);
    EXPECT_EQ(jsonNumber(exportPart(run.out), "frames"), 120000);
    const std::string snapshot = jsonString(run.out, "snapshotWav");
    const std::string inserted = jsonString(run.out, "insertedWav");
    EXPECT_EQ(fs::path(snapshot).parent_path(), out);
    EXPECT_EQ(fs::path(inserted).parent_path(), out);
    EXPECT_NE(run.out.find("\"identical\": true"), std::string::npos);
    const std::vector<float> expected = framesOf(samples, 120000, 240000);
    for (const std::string& path : {snapshot, inserted}) {
        SCOPED_TRACE(path);
        const Wav wav = readWav(path);
        EXPECT_EQ(wav.channels, 2);
        EXPECT_EQ(wav.rateHz, kRate);
        EXPECT_TRUE(wav.samples == expected);
    }
    // Nothing else was left in the project directory (no temporary file).
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
}

TEST_F(HostTool, ExportAcrossTheRingsEndAfterALap) {
    // 70 s at 8000 Hz: 560,000 frames into a ring of 480,000. Ring frame j then holds file frame
    // j + 480,000 for j < 80,000 and file frame j above. Start 0.75 and length 0.5 are ring
    // frames 360,000 to 479,999 followed by 0 to 119,999.
    constexpr int kRate = 8000;
    const std::vector<float> samples = loudNoise(70 * kRate, 12);
    const fs::path file = writeFile("long.wav", samples, 2, kRate);
    const HostRun run = host({file.string(), "--json", "--block", "4096", "--export", "0.75", "0.5",
                              "--out", (dir / "p").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(jsonNumber(run.out, "framesCaptured"), 560000);
    EXPECT_EQ(jsonNumber(run.out, "ringFill"), 1.0);
    std::vector<float> expected = framesOf(samples, 360000, 480000);
    for (const auto& piece : {framesOf(samples, 480000, 560000), framesOf(samples, 80000, 120000)})
        expected.insert(expected.end(), piece.begin(), piece.end());
    EXPECT_TRUE(readWav(jsonString(run.out, "snapshotWav")).samples == expected);
    EXPECT_TRUE(readWav(jsonString(run.out, "insertedWav")).samples == expected);
}

TEST_F(HostTool, EmbeddedPhraseRunsTheGateAndExports) {
    const fs::path out = dir / "demo";
    const HostRun run = host({"--json", "--export", "0.0", "0.25", "--out", out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(jsonNumber(run.out, "seconds"), 20.0);
    // The phrase holds 14.5 s of sound in four sections, each followed by silence: the gate
    // lets at most a quarter second of each silence in.
    const double captured = jsonNumber(run.out, "framesCaptured") / 48000.0;
    EXPECT_GT(captured, 13.0);
    EXPECT_LE(captured, 14.5 + 4 * 0.25);
    EXPECT_GT(jsonNumber(run.out, "integratedLufs"), -40.0);
    EXPECT_LT(jsonNumber(run.out, "peakDb"), 0.0);
    // 0.25 of a 48 kHz ring: 1,440,000 floats, 720,000 frames.
    EXPECT_EQ(jsonNumber(exportPart(run.out), "frames"), 720000);
    EXPECT_NE(run.out.find("\"identical\": true"), std::string::npos);
    const Wav snapshot = readWav(jsonString(run.out, "snapshotWav"));
    EXPECT_EQ(snapshot.samples.size(), 2u * 720000u);
    if (std::system("command -v sox >/dev/null 2>&1") == 0) {
        const std::string check =
            "sox '" + jsonString(run.out, "insertedWav") + "' -n stat 2>/dev/null";
        EXPECT_EQ(std::system(check.c_str()), 0) << "sox cannot read the exported file";
    }
}

TEST_F(HostTool, BadInputGetsOneErrorLineAndNoFiles) {
    const fs::path text = dir / "notes.wav";
    std::ofstream(text) << "this is not audio\n";
    std::vector<float> threeChannels(3 * 4800, 0.25f);
    const fs::path surround = writeFile("three.wav", threeChannels, 3, 48000);
    const fs::path out = dir / "out";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{(dir / "missing.wav").string()}, 1, "no such file"},
        {{text.string()}, 1, "cannot read"},
        {{surround.string()}, 1, "3 channels"},
        {{dir.string()}, 1, "directory"},
        {{"--plugin", (dir / "none.clap").string()}, 1, "cannot load plug-in"},
        {{"--plugin", text.string()}, 1, "cannot load plug-in"},
        {{"--block", "0"}, 2, "--block"},
        {{"--block", "12x"}, 2, "--block"},
        {{"--block", "70000"}, 2, "--block"},
        {{"--rate", "100"}, 2, "--rate"},
        {{"--rate", "nan"}, 2, "--rate"},
        {{"--export", "0.5"}, 2, "--export"},
        {{"--export", "1.5", "0.1"}, 2, "--export"},
        {{"--export", "0.5", "0"}, 2, "--export"},
        {{"--frobnicate"}, 2, "unknown option"},
        {{text.string(), surround.string()}, 2, "more than one input"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        // Every case asks for an export: a failure must leave no directory and no file behind.
        if (c.exitCode == 1)
            args.insert(args.end(), {"--export", "0", "0.5", "--out", out.string()});
        std::string joined;
        for (const std::string& arg : args)
            joined += arg + " ";
        SCOPED_TRACE(joined);
        const HostRun run = host(args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out, "");
        ASSERT_FALSE(run.err.empty());
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;  // exactly one line
        EXPECT_EQ(run.err.rfind("tessarin-host: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(out));
    }
    // --out naming a file: refused before anything runs, the file untouched.
    const HostRun run = host({"--export", "0", "0.5", "--out", text.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("not a directory"), std::string::npos) << run.err;
    EXPECT_EQ(slurp(text), "this is not audio\n");
}

// Beside a running companion: --attach streams into the companion's control segment and leaves
// it in place, --realtime paces the blocks at the audio rate and --loop repeats a 0.3 s file until
// SIGTERM, which still ends with the summary.
TEST_F(HostTool, RealtimeLoopIntoARunningCompanionsSegment) {
    constexpr int kRateHz = 48000;
    const fs::path file = writeFile("short.wav", loudNoise(kRateHz * 3 / 10, 11), 2, kRateHz);
    companion::ControlSegment::unlinkName();
    const HostRun alone = host({"--attach", file.string()});
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_NE(alone.err.find("--attach"), std::string::npos) << alone.err;
    EXPECT_EQ(host({"--attach", "--export", "0", "0.1", file.string()}).exitCode, 2);

    companion::ControlSegment control;
    ASSERT_TRUE(control.create());
    control.clearMeterFields();
    const auto before = std::chrono::steady_clock::now();
    const pid_t pid = spawn({"--attach", "--realtime", "--loop", "--json", file.string()});
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    // The companion counts mappings of its block as plug-in instances: only the plug-in's counts.
    int mappings = 0;
    std::istringstream maps(slurp("/proc/" + std::to_string(pid) + "/maps"));
    for (std::string line; std::getline(maps, line);)
        mappings += line.find(std::string("/") + companion::kControlName) != std::string::npos &&
                    line.find(" 00000000 ") != std::string::npos;
    EXPECT_EQ(mappings, 1);
    kill(pid, SIGTERM);
    const HostRun run = collect(pid);
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const double audioSeconds = jsonNumber(run.out, "seconds");
    EXPECT_GT(audioSeconds, 0.6) << "the 0.3 s file was not repeated";
    EXPECT_LE(audioSeconds, wallSeconds + 0.02) << "blocks came faster than the audio rate";
    // The plug-in wrote into this process's segment, which is still there under its name.
    EXPECT_GT(control.load<float>(companion::off::writePosFraction), 0.0f);
    EXPECT_TRUE(fs::exists(fs::path("/dev/shm") / companion::kControlName));
    control.remove();
}

// The companion's waiting requests with the plug-in run in this process: the pump processes a
// block of 0 frames, at whose end the plug-in serves every request.
class CompanionWaits : public testhost::PluginFixture {
protected:
    companion::Pump pump() {
        return [this] { EXPECT_EQ(run(0, 0.0f, 0.0f), CLAP_PROCESS_CONTINUE); };
    }
};

TEST_F(CompanionWaits, RequestsAreAnsweredOrTimeOut) {
    namespace off = companion::off;
    start(48000.0);
    control.clearMeterFields();
    // Without a pump nothing processes blocks here: the wait gives up.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(control.clearAndWait(30), companion::Answer::timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(30));
    control.store<uint8_t>(off::clearRequest, 0);

    // 0.5 s of a constant 0.5: 24,000 frames in the ring, a peak of -6.02 dB.
    EXPECT_EQ(control.meters().peakDb, companion::kNoValue);
    for (int i = 0; i < 50; ++i)
        run(480, 0.5f, -0.5f);
    EXPECT_EQ(control.status().writePosFraction, 48000.0f / 5760000.0f);
    EXPECT_NEAR(control.meters().peakDb, -6.0206, 1e-3);

    std::vector<float> frames;
    ASSERT_EQ(control.fetchSnapshot(0.0f, 0.25f, frames, 1000, pump()), companion::Answer::done);
    ASSERT_EQ(frames.size(), 1440000u);
    for (size_t i = 0; i < frames.size(); i += 2) {
        const float left = i < 48000 ? 0.5f : 0.0f;
        ASSERT_EQ(frames[i], left) << i;
        ASSERT_EQ(frames[i + 1], -left) << i;
    }
    // A stretch under one frame is refused: answered, with nothing in it.
    control.store<uint8_t>(off::snapshotReady, 0);
    EXPECT_EQ(control.fetchSnapshot(0.0f, 1e-7f, frames, 1000, pump()), companion::Answer::done);
    EXPECT_TRUE(frames.empty());

    EXPECT_EQ(control.meterResetAndWait(1000, pump()), companion::Answer::done);
    EXPECT_EQ(control.load<uint8_t>(off::resetMetersRequest), 0);
    EXPECT_EQ(control.clearAndWait(1000, pump()), companion::Answer::done);
    EXPECT_EQ(control.status().writePosFraction, 0.0f);
    EXPECT_EQ(control.status().lastOverviewColumn, -1);
    // No project extension is offered and no main-thread callback runs: never taken.
    EXPECT_EQ(control.insertAndWait(0.0f, 0.1f, 1, 50, pump()), companion::Answer::timedOut);
    EXPECT_EQ(control.load<uint8_t>(off::insertRequest), 1);
}

}  // namespace
