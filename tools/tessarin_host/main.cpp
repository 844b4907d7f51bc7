// tessarin-host: a command-line CLAP host that streams an audio file (or an embedded phrase)
// through the plug-in, plays the companion through the control segment, and prints what the
// plug-in measured and captured; optionally exports a stretch of the ring twice.
//
// How the ring fill is counted: after every block the host reads writePosFraction, turns it
// back into a ring index with the ring's length (snapshotBytes / 4) and adds the forward distance
// from the previous block's index, so laps around the ring count too. A block moves the index by
// at most 65536 frames, far less than the ring, so the distance is never ambiguous. The index is
// exact for rings below 2^25 floats (rates below about 279,620 Hz); above that it can be off by a
// few floats per block. "Ring fill" is the frames captured, capped at the ring's length.
#include "companion/segments.h"
#include "host_api_standin/host_api_standin.h"
#include "tessarin_host/audio_input.h"
#include "tessarin_host/options.h"
#include "tessarin_host/plugin_host.h"
#include "tessarin_host/report.h"
#include "tessarin_host/wav_io.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace tessarinhost;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr double kEmbeddedRateHz = 48000.0;
constexpr int kAnswerTimeoutMs = 5000;
constexpr int32_t kTargetTrack = 1;  // the stand-in project's first track
constexpr const char* kSnapshotFileName = "tessarin-snapshot.wav";
constexpr double kProgressIntervalSeconds = 0.1;
// In real time, a host that fell further behind than this (a stopped process, a loaded machine)
// starts a new schedule from now instead of catching up in a burst of blocks.
constexpr double kMaxLateSeconds = 0.5;

// Set by SIGINT and SIGTERM: the block loop ends and the run finishes as if the input had ended,
// so the plug-in is destroyed properly and its segments are removed.
volatile std::sig_atomic_t gStopRequested = 0;

extern "C" void requestStop(int) {
    gStopRequested = 1;
}

// [main-thread]
void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Paces blocks at the audio rate: each block has a deadline on the steady clock, counted from the
// schedule's start by frames, so rounding never accumulates into drift.
struct RealtimePacer {
    double rateHz = 0.0;
    std::chrono::steady_clock::time_point start{};
    uint64_t framesAtStart = 0;

    // [main-thread] Sleeps until framesDone frames' worth of time has passed since the start.
    void waitFor(uint64_t framesDone) {
        using Clock = std::chrono::steady_clock;
        const auto due =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(framesDone - framesAtStart) / rateHz));
        const auto now = Clock::now();
        if (now - due > std::chrono::duration<double>(kMaxLateSeconds)) {
            start = now;
            framesAtStart = framesDone;
            return;
        }
        std::this_thread::sleep_until(due);
    }
};

int fail(const std::string& message, int status = kExitFailed) {
    std::fprintf(stderr, "tessarin-host: %s\n", message.c_str());
    return status;
}

// Follows writePosFraction from block to block and counts the floats written, laps included.
struct RingFollower {
    uint64_t ringFloats = 0;  // the ring's length; 0 = unknown (no counting)
    uint64_t lastIndex = 0;   // the plug-in's write position after the previous block
    uint64_t writtenFloats = 0;

    // [main-thread]
    void follow(float fraction) {
        if (ringFloats == 0)
            return;
        // Nearest even index: the plug-in's positions are always even.
        uint64_t index = 2 * static_cast<uint64_t>(
                                 std::llround(static_cast<double>(fraction) * ringFloats / 2.0));
        if (index >= ringFloats)
            index = 0;
        writtenFloats += (index + ringFloats - lastIndex) % ringFloats;
        lastIndex = index;
    }
};

// A playing transport on the seconds timeline, at the stream's position.
clap_event_transport playingTransport(uint64_t framesDone, double rateHz) {
    clap_event_transport transport{};
    transport.header.size = sizeof(transport);
    transport.header.type = CLAP_EVENT_TRANSPORT;
    transport.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    transport.flags = CLAP_TRANSPORT_IS_PLAYING | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE;
    transport.song_pos_seconds = static_cast<clap_sectime>(
        std::llround(static_cast<double>(framesDone) / rateHz * CLAP_SECTIME_FACTOR));
    return transport;
}

class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    // [main-thread] Redraws at most every kProgressIntervalSeconds.
    void update(uint64_t done, uint64_t total) {
        if (!enabled_ || total == 0)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::duration<double>(kProgressIntervalSeconds))
            return;
        last_ = now;
        constexpr int kWidth = 40;
        const double part = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
        const int filled = static_cast<int>(part * kWidth);
        std::fprintf(stderr, "\r[%s%s] %5.1f %%", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(), 100.0 * part);
        std::fflush(stderr);
    }
    void finish() {
        if (enabled_)
            std::fputs("\r\033[K", stderr);
    }

private:
    bool enabled_;
    std::chrono::steady_clock::time_point last_{};
};

// Removes the control segment's name however the run ends, unless it belongs to a running
// companion (--attach): replacing or removing that one would cut the companion off.
struct ControlGuard {
    companion::ControlSegment& control;
    bool owned;
    ~ControlGuard() {
        if (owned)
            control.remove();
        else
            control.close();
    }
};

// The two exports of one stretch; fills report. Returns an empty string or the error line.
std::string exportStretch(const Options& options, const fs::path& outDir, double rateHz,
                          companion::ControlSegment& control, PluginHost& host,
                          hostapi::HostApiStandin& standin, ExportReport& report) {
    const companion::Pump pump = [&host] { host.idle(); };
    report.start = options.exportStart;
    report.length = options.exportLength;

    std::vector<float> snapshot;
    const companion::Answer answer = control.fetchSnapshot(
        options.exportStart, options.exportLength, snapshot, kAnswerTimeoutMs, pump);
    if (answer != companion::Answer::done)
        return std::string("snapshot: ") + companion::describe(answer);
    if (snapshot.empty())
        return "snapshot: the plug-in refused the stretch (shorter than one frame)";
    report.frames = snapshot.size() / 2;
    std::string error;
    report.snapshotPath = (outDir / kSnapshotFileName).string();
    if (!writeStereoFloatWav(report.snapshotPath, snapshot, rateHz, error))
        return error;

    standin.clearLog();
    const companion::Answer taken = control.insertAndWait(options.exportStart, options.exportLength,
                                                          kTargetTrack, kAnswerTimeoutMs, pump);
    if (taken != companion::Answer::done)
        return std::string("insertion: ") + companion::describe(taken);
    for (const hostapi::Call& call : standin.calls)
        if (call.name == "InsertMedia")
            report.insertedPath = call.text;
    if (report.insertedPath.empty())
        return "insertion: the plug-in took the request but inserted no file";

    std::vector<float> inserted;
    int channels = 0;
    double insertedRate = 0.0;
    if (!readWav(report.insertedPath, inserted, channels, insertedRate, error))
        return "insertion: " + error;
    report.identical = channels == 2 &&
                       insertedRate == static_cast<double>(static_cast<int>(rateHz)) &&
                       inserted == snapshot;
    return "";
}

int run(const Options& options) {
    const auto started = std::chrono::steady_clock::now();
    std::string error;

    AudioInput input;
    if (options.input.empty())
        input.openEmbedded(options.rateHz > 0.0 ? options.rateHz : kEmbeddedRateHz);
    else if (!input.openFile(options.input, error))
        return fail(error);
    const double rateHz = options.rateHz > 0.0 ? options.rateHz : input.rateHz();
    if (rateHz < kMinRateHz || rateHz > kMaxRateHz)
        return fail("the input's rate of " + std::to_string(static_cast<long>(input.rateHz())) +
                    " Hz is outside 8000..384000 Hz; choose one with --rate");

    fs::path outDir;
    if (options.exportStretch) {
        std::error_code ec;
        outDir = fs::absolute(options.outDir, ec);
        if (fs::exists(outDir, ec) && !fs::is_directory(outDir, ec))
            return fail("--out '" + options.outDir + "' exists and is not a directory");
    }

    companion::ControlSegment control;
    if (options.attach) {
        if (!control.open() ||
            control.load<uint32_t>(companion::off::magic) != companion::kControlMagic)
            return fail("--attach: no control segment of a running tessarin-companion found");
    } else {
        if (!control.create())
            return fail("cannot create the control segment in /dev/shm");
        control.clearMeterFields();
    }
    ControlGuard guard{control, !options.attach};
    // The companion counts every mapping of its control block as a plug-in instance, so beside
    // it this process holds none of its own while the plug-in runs; the ring is not followed.
    if (options.attach)
        control.close();

    hostapi::Config project;
    project.projectPath = outDir.string();
    hostapi::HostApiStandin standin(project);
    PluginHost host([&standin](const char* id) { return standin.extension(id); });
    if (!host.load(options.pluginPath, error) || !host.activate(rateHz, options.blockFrames, error))
        return fail(error);
    if (options.exportStretch) {
        std::error_code ec;
        fs::create_directories(outDir, ec);
        if (ec)
            return fail("cannot create --out '" + options.outDir + "': " + ec.message());
    }

    RingFollower ring;
    ring.ringFloats = options.attach ? 0 : control.ringFloats();
    ring.lastIndex = 0;  // a fresh instance writes from the ring's start

    const uint32_t block = options.blockFrames;
    const int channels = input.channels();
    std::vector<float> interleaved(static_cast<size_t>(block) * channels);
    std::vector<float> inL(block), inR(block), outL(block), outR(block);
    ProgressBar progress(options.progress && isatty(STDERR_FILENO) == 1);
    uint64_t framesDone = 0;
    RealtimePacer pacer{rateHz, std::chrono::steady_clock::now(), 0};
    installStopHandlers();
    while (gStopRequested == 0) {
        size_t got = input.read(interleaved.data(), block, error);
        if (got == 0 && error.empty() && options.loop && framesDone > 0) {
            if (!input.rewind(error))
                return fail(error);
            got = input.read(interleaved.data(), block, error);
        }
        if (got == 0) {
            if (!error.empty())
                return fail(error);
            break;
        }
        if (options.realtime)
            pacer.waitFor(framesDone);
        if (channels == 2) {
            for (size_t i = 0; i < got; ++i) {
                inL[i] = interleaved[2 * i];
                inR[i] = interleaved[2 * i + 1];
            }
        } else {
            std::copy_n(interleaved.data(), got, inL.data());
        }
        const clap_event_transport transport = playingTransport(framesDone, rateHz);
        const clap_process_status status =
            host.process(inL.data(), channels == 2 ? inR.data() : nullptr, outL.data(), outR.data(),
                         static_cast<uint32_t>(got), &transport);
        if (status == CLAP_PROCESS_ERROR)
            return fail("the plug-in reported a processing error");
        host.runMainThreadCallback();
        if (!options.attach)
            ring.follow(control.load<float>(companion::off::writePosFraction));
        framesDone += got;
        progress.update(options.loop && input.frames() > 0 ? framesDone % input.frames()
                                                           : framesDone,
                        input.frames());
    }
    progress.finish();

    Summary summary;
    summary.elapsedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    summary.input = input.name();
    summary.pluginPath = options.pluginPath;
    summary.pluginName = host.pluginName();
    summary.inputRateHz = input.rateHz();
    summary.rateHz = rateHz;
    summary.channels = channels;
    summary.blockFrames = block;
    summary.frames = framesDone;
    if (options.attach && !control.open())
        return fail("--attach: the companion's control segment went away");
    summary.meters = control.meters();
    summary.captureFollowed = !options.attach;
    summary.framesCaptured = ring.writtenFloats / 2;
    summary.ringFrames = ring.ringFloats / 2;

    if (options.exportStretch) {
        summary.exported = true;
        error =
            exportStretch(options, outDir, rateHz, control, host, standin, summary.exportReport);
        if (!error.empty())
            return fail("export: " + error);
    }
    if (options.json)
        printJson(summary, stdout);
    else
        printHuman(summary, stdout);
    if (summary.exported && !summary.exportReport.identical)
        return fail("export: the snapshot and the inserted file hold different samples");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.pluginPath = TESSARIN_DEFAULT_PLUGIN;
    const std::string error = parseOptions(argc, argv, options);
    if (!error.empty())
        return fail(error + " (see --help)", kExitUsage);
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    return run(options);
}
