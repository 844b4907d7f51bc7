// The daemon's engine: owns the control block, watches the plug-in, follows the spectrum feed
// (feed_monitor.h), keeps the takes, and carries out every request with a timeout and a clear
// outcome. The HTTP server and the command line are thin layers over it.
//
// Threads: the engine thread polls the control block every kEnginePollMs while a page watches
// (kEngineIdlePollMs otherwise); the feed thread (inside FeedMonitor) reads the spectrum feed; the
// copy thread keeps the daemon's own copy of the capture (capture_copy.h) up to date through
// small snapshots, and watches a preview's end. Saves, analyses and samples read that copy.
// Every public function may be called from any other thread (the server's request threads): the
// state they read is copied under a mutex, and requests that wait are serialised by a second
// mutex so two never interleave their handshakes.
#pragma once

#include "companion/capture_copy.h"
#include "companion/exporter.h"
#include "companion/feed_monitor.h"
#include "companion/history.h"
#include "companion/segments.h"
#include "companion/takes.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace companion {

inline constexpr int kEnginePollMs = 20;          // control block poll period while watched
inline constexpr int kEngineIdlePollMs = 200;     // while no page asked for the overview
inline constexpr int64_t kWatchedForMs = 1000;    // a page asks at least this often
inline constexpr int64_t kLiveHeartbeatMs = 500;  // older heartbeat: stalled
inline constexpr int kRequestTimeoutMs = 2000;    // snapshot, clear, meter reset
inline constexpr int kInsertTimeoutMs = 1000;     // insertRequest still 1: the host cannot insert
inline constexpr float kDefaultThresholdLinear = 2.5e-4f;
inline constexpr int kCopyPollMs = 20;       // the copy thread looks at the write head
inline constexpr int kCopyIdlePollMs = 100;  // while no page watches and no preview plays
// A copy is due this long after the last one; with the idle look that makes at most 250 ms.
inline constexpr int64_t kCopyIntervalMs = 150;
inline constexpr int64_t kCopyWatchedIntervalMs = 40;  // while a page watches the waveform
inline constexpr uint64_t kCopyWitnessFrames = 16;     // copied again to see the ring is unchanged
inline constexpr uint64_t kCopyEagerDivisor = 8;       // copy at once when 1/8 ring is waiting
inline constexpr int64_t kPreviewUnwatchedMs = 2000;   // a preview stops this long after a page
inline constexpr uint64_t kMaxSampleFrames = 16384;    // GET /api/samples answers at most these
inline constexpr uint64_t kMaxCopyRingBytes =
    768000ull * 60 * 2 * sizeof(float);  // 60 s at 768 kHz
inline constexpr const char* kCannotInsertReason =
    "this host cannot insert; save to a file instead";

enum class PluginState {
    noPlugin,  // nothing attached, or never activated
    live,      // activated, heartbeat at most kLiveHeartbeatMs old
    stalled,   // activated, heartbeat older: the host is not processing
    inactive,  // attached and was activated once, now deactivated
};
// "no-plugin", "live", "stalled", "inactive"
const char* stateName(PluginState state);

// The maximum holds a click on the page empties one at a time.
enum class MeterHold { momentaryMax, shortTermMax, rmsMax, truePeakMax };

// Meters in LUFS, LU and dB; NaN where there is no value yet (never -200).
struct MeterValues {
    double momentaryLufs, shortTermLufs, integratedLufs, momentaryMaxLufs, shortTermMaxLufs;
    double rmsDb, rmsMaxDb, samplePeakDb, crestDb;  // from the plug-in
    double truePeakDb, truePeakMaxDb, lraLu;        // measured here from the feed
    // Also from the feed, per channel (left, right): unweighted RMS in dBFS over 400 ms and the
    // channel's sample peak over that RMS in dB (never negative).
    // The sample peak per channel over the same 400 ms, for the page's clip indicator.
    double channelRmsDb[2], channelCrestDb[2], channelPeakDb[2];
};

// Frames lost before they were copied, where the ring now joins the audio on both sides.
struct LostMark {
    float at;         // ring fraction of the first frame after the hole
    uint64_t frames;  // how many are missing there
};

// Samples of the copy for the page's deepest zoom.
struct SampleStretch {
    double rateHz = 0.0;
    float start = 0.0f;  // ring fraction of the first frame delivered
    std::vector<float> left, right;
};

// What the page and the API show, copied out in one piece.
struct EngineStatus {
    PluginState state;
    double sampleRateHz;      // the host's rate at the latest activation; 0 before any
    bool rateMismatch;        // the ring holds audio recorded at capturedRateHz: nothing captured
    double capturedRateHz;    // valid while rateMismatch
    double ringRateHz;        // the rate of the ring's content (captured or host rate)
    double ringSeconds;       // the ring's length in seconds; 0 before the first activation
    double capturedSeconds;   // audio of the current generation held in the ring and the copy
    float writePosFraction;   // capture write head, ring fraction
    uint32_t updateCounter;   // the plug-in's publication counter
    int64_t observedAtMs;     // Unix ms of the poll that first saw this updateCounter
    bool hold;                // captureHold set by us
    float thresholdLinear;    // silence threshold, linear (<= 0: capture everything)
    bool previewRequested;    // our preview level
    float previewStart;       // ring fraction
    float playheadFraction;   // -1 while no preview sounds
    std::vector<Take> takes;  // oldest first
    int instances;            // plug-in instances mapping the control block (0 unknown)
    uint64_t lostFeedFrames;  // spectrum-feed frames overwritten before we read them
    uint64_t lostCaptureFrames;  // captured frames the head overwrote before we copied them
    uint64_t generation;         // the ring generation shown: a new instance, rate or clear
    uint64_t copiedFrames;       // frames of this generation copied so far (lost ones not counted)
    std::vector<LostMark> lostStretches;  // holes still at the edge of the ring, oldest first
    std::string historyError;             // why the history is not writing; empty while all is well
    bool feedConnected;                   // the spectrum feed is mapped and live
    bool canInsert;            // false once we learned the host offers no project extension
    std::string insertReason;  // why not, when !canInsert
    MeterValues meters;
    std::string exportDir;
    uint64_t overviewVersion;  // bumps whenever any overview column changes
};

// How a request ended. ok false: error holds one line for people; httpStatus suggests the answer.
struct Outcome {
    bool ok = true;
    int httpStatus = 200;  // 400 bad input, 409 not possible now, 504 no answer in time, 500
    std::string error;
    static Outcome failure(int status, std::string message) {
        return Outcome{false, status, std::move(message)};
    }
};

// An overview column range as the page needs it: min/max of both channels per column.
struct OverviewChange {
    uint32_t firstColumn;  // 0..63999; the range may wrap past the end to column 0
    std::vector<float> minL, maxL, minR, maxR;
};

struct EngineOptions {
    std::filesystem::path exportDir;  // created on start if missing
    bool openControlBlock = true;     // false in tests that make their own
    History* history = nullptr;       // where takes are kept on disk; nullptr: nowhere
};

class Engine {
public:
    explicit Engine(EngineOptions options);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // [main-thread] Creates or reuses the control block and starts the threads. On a segment
    // that is not ours (wrong size or owner) returns false with one line in error.
    bool start(std::string& error);
    // [main-thread] Stops the threads. The control block stays (an attached plug-in keeps it).
    void stop();

    EngineStatus status() const;
    // Columns changed since the given version (every column when sinceVersion is 0 or too old);
    // returns the current version. An empty result means nothing changed.
    uint64_t overviewChanges(uint64_t sinceVersion, std::vector<OverviewChange>& out) const;
    const FeedMonitor& feed() const { return *feed_; }

    // Requests. Fractions are ring fractions (0..1); stretches may wrap.
    // Starts, or restarts elsewhere while playing. With a length the daemon lowers the preview
    // when the playhead has gone that far; every preview stops kPreviewUnwatchedMs after the last
    // page stopped asking for the overview.
    Outcome preview(float start, std::optional<float> length = std::nullopt);
    Outcome stopPreview();
    Outcome setHold(bool hold);
    Outcome setThresholdDb(std::optional<double> dbfs);  // nullopt: capture everything
    Outcome clear();
    Outcome resetMeters();
    // Empties one maximum hold only: the control block's field for the plug-in's three, the
    // feed's own for the true peak. Needs no live plug-in.
    Outcome resetHold(MeterHold hold);
    Outcome insert(float start, float length, int32_t track);

    // A stretch copied out of the ring through the snapshot handshake (the plug-in must be live;
    // the saves below read the daemon's copy instead).
    struct Stretch {
        std::vector<float> frames;  // interleaved stereo
        double sampleRateHz;
    };
    // seenWritePos: the write position the stretch was chosen against (default: the latest
    // status's). Frames the head wrote since then, at the stretch's start, are cut off: they
    // hold newer audio than the stretch meant.
    Outcome snapshot(float start, float length, Stretch& out,
                     std::optional<float> seenWritePos = std::nullopt);
    // Saves and analyses read the daemon's copy of the current generation, so they work with the
    // plug-in live, stalled or gone. While it is live the copy is first brought up to date. A
    // stretch is the one the page saw at seenWritePos (default: the newest head); parts of it
    // that hold no audio of the current generation are left out, and the answer says so.
    Outcome analyze(float start, float length, StretchAnalysis& out,
                    std::optional<float> seenWritePos = std::nullopt);
    Outcome exportStretch(float start, float length, const ExportSettings& settings,
                          ExportResult& out, std::optional<float> seenWritePos = std::nullopt);
    // The newest `seconds` of captured audio (at most what the copy holds of the ring) and the
    // newest take (index -1) or a given one (0 = oldest in status().takes). A take's file is named
    // after the wall clock of its start, where that is known.
    Outcome saveLast(double seconds, const ExportSettings& settings, ExportResult& out);
    Outcome saveTake(int index, const ExportSettings& settings, ExportResult& out);
    // At most kMaxSampleFrames frames of the copy (400 beyond), for the deepest zoom; no catch-up.
    Outcome samples(float start, float length, SampleStretch& out) const;

    struct State;

private:
    void run();
    void copyRun();                  // [copy-thread]
    Outcome copyStep(bool catchUp);  // [copy-thread or server-thread, requestMutex_ held]
    Outcome copyPending(uint64_t headSeen, uint64_t inode, bool mayLap);  // the same
    bool clearedBehindHead(uint64_t headSeen, uint64_t inode);            // the same
    Outcome awaitSnapshot(float start, float length);                     // the same
    void followSource(uint64_t inode, uint32_t bytes, double hostRate);   // the same
    bool adoptRing(uint64_t headSeen, double rateHz, uint64_t ringFrames,
                   uint64_t inode);  // the same
    Outcome fetchStretch(uint64_t ringFloats, uint64_t startIndex, uint64_t frames, uint64_t inode,
                         std::vector<float>& out,
                         uint64_t& headAfter);  // the same
    void beginGeneration(double rateHz, uint64_t ringFrames, uint64_t headIndex,
                         uint64_t filledFrames, bool foundAtStart);  // the same
    void publishCopy();                                              // the same
    void watchPreview();                                             // the same
    void lowerPreview();                                             // the same
    Outcome readStretch(float start, float length, std::optional<float> seenWritePos,
                        std::vector<float>& frames, double& rateHz, double& requestedSeconds,
                        std::string& note) const;  // [any-thread]
    Outcome readCaughtUpStretch(float start, float length, std::optional<float> seenWritePos,
                                std::vector<float>& frames, double& rateHz,
                                double& requestedSeconds, std::string& note);  // [server-thread]
    Outcome catchUp();                                                         // [server-thread]
    // namedAtMs: Unix ms the file is named after (a take's start); 0: now.
    Outcome exportFrames(const std::vector<float>& frames, double rateHz,
                         const ExportSettings& settings, ExportResult& out,
                         int64_t namedAtMs = 0) const;
    void poll();                  // [engine-thread]
    bool heartbeatFresh() const;  // [any]
    bool waitForAnswer(size_t offset, uint8_t want, int timeoutMs) const;
    Outcome raiseAndAwaitLowered(size_t offset, const char* timeoutError);
    Outcome snapshotLocked(float start, float length, Stretch& out,
                           std::optional<float> seenWritePos);
    static bool refreshColumns(State& s, uint32_t first, uint32_t count, uint64_t version);
    EngineOptions options_;
    std::unique_ptr<State> state_;
    std::unique_ptr<FeedMonitor> feed_;
    std::thread thread_;
    std::thread copyThread_;
    std::atomic<bool> stopping_{false};
    // Steady ms of the last overviewChanges() call: a page is watching, so the engine polls
    // often enough for the screen; without one, takes and liveness need far less.
    mutable std::atomic<int64_t> overviewAskedMs_{INT64_MIN / 2};
    mutable std::mutex statusMutex_;
    std::mutex requestMutex_;
    // The copy: written by whoever holds requestMutex_ (the copy thread, a catch-up), under this
    // lock too; read under this lock alone. Order: requestMutex_, copyMutex_, statusMutex_.
    mutable std::mutex copyMutex_;
    // Under requestMutex_: the preview level went down at this updateCounter and has not been
    // raised since (a start must wait until the plug-in has seen it down).
    uint32_t previewLoweredAtCounter_ = 0;
    bool previewLowered_ = false;
    // Under requestMutex_: the preview we raised, watched by the copy thread.
    struct PreviewWatch {
        bool active = false;
        std::optional<float> length;  // ring fraction to play, or until stopped
        double travelled = 0.0;       // ring fractions the playhead went since the start
        float lastPlayhead = 0.0f;
        uint32_t raisedAtCounter = 0;
        int64_t raisedMonoMs = 0;
    } previewWatch_;
};

}  // namespace companion
