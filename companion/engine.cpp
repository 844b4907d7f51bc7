#include "companion/engine.h"

#include "companion/plugin_instances.h"
#include "companion/ring_fractions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace companion {

namespace {

using Clock = std::chrono::steady_clock;

// Instances are counted from /proc: every process now and then (a few ms on a busy desktop),
// the processes known to hold the block more often, and every process at once when the
// plug-in's published state changes (an instance came, went or was activated).
constexpr int64_t kFullInstanceScanMs = 10000;
constexpr int64_t kKnownInstanceScanMs = 1000;
constexpr int64_t kFullOverviewCompareMs = 1000;
constexpr int64_t kIdleFullOverviewCompareMs = 5000;  // while no page watches
constexpr int kAnswerLongestNapMs = 4;                // between looks for the plug-in's answer
// A ring that is all zeros for at least this long behind its head was cleared, not lapped.
constexpr double kClearProbeSeconds = 1.0;
constexpr int kPreviewRestartTimeoutMs = 1000;  // for the plug-in to see the lowered level
constexpr uint32_t kPreviewRestartBlocks = 2;
// A momentary hold the page emptied is not the plug-in's restart of every meter for this long.
constexpr int64_t kOwnHoldResetMs = 1000;
constexpr double kNoValueAbove = -199.5;  // the plug-in's -200.0 "no value"
constexpr double kMaxThresholdDb = 0.0;
constexpr double kMinThresholdDb = -120.0;
constexpr double kMaxRateHz = 4e9;
constexpr double kRingSeconds = 60.0;  // the plug-in's ring, when it has not told its size

// Maps `bytes` of the snapshot segment read-only, after checking that it is ours and that large
// (and, with inode not 0, still that object); the caller unmaps.
Outcome mapSnapshotSegment(size_t bytes, uint64_t inode, void*& addr) {
    const int fd = shm_open(kSnapshotName, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return Outcome::failure(500, "the snapshot segment is missing");
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid() ||
        (inode != 0 && static_cast<uint64_t>(info.st_ino) != inode) ||
        static_cast<uint64_t>(info.st_size) < bytes) {
        ::close(fd);
        return Outcome::failure(500, "the snapshot segment is another one, smaller than announced "
                                     "or not ours");
    }
    addr = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (addr == MAP_FAILED)
        return Outcome::failure(500, "the snapshot segment cannot be mapped");
    return {};
}

int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

int64_t wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double meterValue(double raw) {
    return std::isfinite(raw) && raw > kNoValueAbove ? raw : NAN;
}

bool plausibleRate(double hz) {
    return std::isfinite(hz) && hz > 0.0 && hz <= kMaxRateHz;
}

float cleanFraction(float value) {
    return std::isfinite(value) ? std::clamp(value, 0.0f, 1.0f) : 0.0f;
}

float cleanSample(float value) {
    return std::isfinite(value) ? value : 0.0f;
}

}  // namespace

const char* stateName(PluginState state) {
    switch (state) {
    case PluginState::noPlugin:
        return "no-plugin";
    case PluginState::live:
        return "live";
    case PluginState::stalled:
        return "stalled";
    case PluginState::inactive:
        return "inactive";
    }
    return "no-plugin";
}

namespace {

// The copy as the status and the overview need it, published by the copy thread.
struct CopySummary {
    uint64_t generation = 0;
    double rateHz = 0.0;
    uint64_t ringFrames = 0;
    uint64_t frames = 0;  // frames the copy holds (at most a ring)
    // The generation's frames in the plug-in's ring, copied or not yet: what the overview shows.
    uint64_t coverIndex = 0;  // ring float index of the first
    uint64_t coverFrames = 0;
    uint64_t copiedFrames = 0;
    uint64_t lostFrames = 0;
    std::vector<Take> takes;
    std::vector<LostMark> lost;
    bool sharedFirstColumn = false;
    uint32_t firstColumn = 0;  // the generation's first column, masked while shared
};

// The overview columns that show audio of the current generation.
struct Coverage {
    bool none = true;
    bool all = false;
    uint32_t first = 0, last = 0;  // inclusive, may wrap
    bool maskFirst = false;
    uint32_t masked = 0;
    uint64_t generation = 0;
};

Coverage coverageOf(const CopySummary& summary) {
    Coverage c;
    c.generation = summary.generation;
    if (summary.coverFrames == 0 || summary.ringFrames == 0)
        return c;
    c.none = false;
    const uint64_t ringFloats = 2 * summary.ringFrames;
    const uint64_t columnFrames = summary.ringFrames / kOverviewColumns + 1;
    c.all = summary.coverFrames + 2 * columnFrames >= summary.ringFrames;
    c.first = overviewColumnOf(summary.coverIndex, ringFloats);
    c.last = overviewColumnOf((summary.coverIndex + 2 * (summary.coverFrames - 1)) % ringFloats,
                              ringFloats);
    c.maskFirst = summary.sharedFirstColumn;
    c.masked = summary.firstColumn;
    return c;
}

// The copy's part of the status: the copy thread sets it as it copies, the poll as it polls.
void applyCopy(EngineStatus& out, const CopySummary& copy) {
    out.capturedSeconds = copy.rateHz > 0.0 ? static_cast<double>(copy.frames) / copy.rateHz : 0.0;
    out.takes = copy.takes;
    out.lostCaptureFrames = copy.lostFrames;
    out.generation = copy.generation;
    out.copiedFrames = copy.copiedFrames;
    out.lostStretches = copy.lost;
}

bool covered(const Coverage& c, uint32_t column) {
    if (c.none || (c.maskFirst && column == c.masked))
        return false;
    if (c.all)
        return true;
    return c.first <= c.last ? column >= c.first && column <= c.last
                             : column >= c.first || column <= c.last;
}

}  // namespace

struct Engine::State {
    ControlSegment control;

    // The overview as last read: four arrays of kOverviewColumns (minL, maxL, minR, maxR),
    // and the version at which each column last changed.
    std::vector<float> overview = std::vector<float>(4 * kOverviewColumns, 0.0f);
    std::vector<uint64_t> columnVersion = std::vector<uint64_t>(kOverviewColumns, 1);
    uint64_t overviewVersion = 1;
    int32_t lastColumnSeen = -1;
    int64_t lastFullCompareMs = 0;

    // The copy (copyMutex_), and what the copy thread knows of the ring it copies (requestMutex_).
    CaptureCopy copy;
    bool sourceKnown = false;  // a ring was adopted or a generation begun
    uint64_t sourceInode = 0;  // the snapshot segment's inode: another one is another instance
    uint32_t sourceBytes = 0;
    double sourceHostRate = 0.0;
    bool sourceGone = false;  // snapshotBytes read 0 since: the next segment is a new instance
    // No instance when the daemon started: the first one to come is new, its audio all ours.
    bool noSourceAtStart = false;
    uint32_t goneAtCounter = 0;
    // Another instance's segment was seen: its generation begins with its first publication
    // (until then the write position is still the previous instance's).
    bool awaitingInstance = false;
    uint32_t awaitedCounter = 0;
    uint64_t nextGeneration = 1;
    int64_t lastCopyMonoMs = 0;
    bool sharedFirstColumn = false;  // the generation began inside a column holding older audio
    // The snapshot segment, mapped for as long as it is the same object.
    void* snapshotMap = nullptr;
    size_t snapshotMapBytes = 0;
    uint64_t snapshotMapInode = 0;

    // What the copy thread published for the poll (statusMutex_).
    CopySummary copySummary;
    Coverage coverage;

    int instances = 0;
    std::vector<int> instancePids;
    int64_t lastFullScanMs = -kFullInstanceScanMs;
    int64_t lastKnownScanMs = 0;
    bool lastActive = false;
    bool lastHeartbeatFresh = false;
    double lastSampleRate = 0.0;
    uint32_t lastCounter = 0;
    uint32_t lastSnapshotBytes = 0;
    bool canInsert = true;
    PluginState lastState = PluginState::noPlugin;
    double lastMomentaryMax = NAN;
    int64_t ownHoldResetMs = 0;  // monotonic ms when the page emptied the momentary hold

    EngineStatus status{};
};

Engine::Engine(EngineOptions options)
    : options_(std::move(options)), state_(std::make_unique<State>()),
      feed_(std::make_unique<FeedMonitor>()) {}

Engine::~Engine() {
    stop();
    if (state_->snapshotMap != nullptr)
        munmap(state_->snapshotMap, state_->snapshotMapBytes);
}

bool Engine::start(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(options_.exportDir, ec);
    if (ec) {
        error = options_.exportDir.string() + ": cannot create the export folder: " + ec.message();
        return false;
    }
    ControlSegment::Attach how{};
    if (!state_->control.attachOrCreate(how, error))
        return false;
    ControlSegment& control = state_->control;
    // A companion that died mid-preview left the level up: the plug-in would play on forever.
    control.store<uint8_t>(off::previewRequest, 0);
    stopping_ = false;
    // Generations go on from the history's: its takes keep the number they were captured in.
    if (options_.history != nullptr)
        for (const HistoryTake& take : options_.history->list().takes)
            state_->nextGeneration = std::max(state_->nextGeneration, take.generation + 1);
    poll();
    {
        // The first look decides whether a running plug-in's ring is adopted as found.
        std::lock_guard request(requestMutex_);
        copyStep(false);
    }
    feed_->start();
    // Named, so a profile or bench/companion_cpu can tell their shares.
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "engine-poll");
        run();
    });
    copyThread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "capture-copy");
        copyRun();
    });
    return true;
}

void Engine::stop() {
    stopping_ = true;
    if (copyThread_.joinable())
        copyThread_.join();
    if (thread_.joinable())
        thread_.join();
    feed_->stop();
    // The control block stays: an attached plug-in keeps its mapping of it for good.
}

void Engine::run() {
    while (!stopping_) {
        const bool watched =
            monotonicMs() - overviewAskedMs_.load(std::memory_order_relaxed) <= kWatchedForMs;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(watched ? kEnginePollMs : kEngineIdlePollMs));
        poll();
    }
}

// [engine-thread] Compares columns [first, first + count) (wrapping) with the copy; a changed
// column gets the next version. Returns true when any changed.
bool Engine::refreshColumns(State& s, uint32_t first, uint32_t count, uint64_t version) {
    const ControlSegment& control = s.control;
    bool changed = false;
    float* const mirror = s.overview.data();
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t column = (first + i) % kOverviewColumns;
        const size_t byteOffset = column * sizeof(float);
        // Columns without audio of the current generation show nothing: the control block keeps
        // an earlier instance's or rate's audio there until the head overwrites it.
        float values[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        if (covered(s.coverage, column)) {
            values[0] = cleanSample(control.loadPlain<float>(off::overviewMinL + byteOffset));
            values[1] = cleanSample(control.loadPlain<float>(off::overviewMaxL + byteOffset));
            values[2] = cleanSample(control.loadPlain<float>(off::overviewMinR + byteOffset));
            values[3] = cleanSample(control.loadPlain<float>(off::overviewMaxR + byteOffset));
        }
        bool differs = false;
        for (int a = 0; a < 4; ++a) {
            float& kept = mirror[a * kOverviewColumns + column];
            if (std::memcmp(&kept, &values[a], sizeof(float)) != 0) {
                kept = values[a];
                differs = true;
            }
        }
        if (differs) {
            s.columnVersion[column] = version;
            changed = true;
        }
    }
    return changed;
}

void Engine::poll() {
    State& s = *state_;
    ControlSegment& control = s.control;
    const int64_t nowMs = monotonicMs();
    const ControlStatus cs = control.status();
    const MeterReadings raw = control.meters();

    const bool heartbeatFresh = cs.heartbeatMs > 0 && nowMs - cs.heartbeatMs <= kLiveHeartbeatMs &&
                                cs.heartbeatMs <= nowMs + 1000;
    // A (re)activation may bring another host, or the same one with its main thread free again:
    // what we learned about insertion goes.
    const bool activated = cs.active && !s.lastActive;
    // A counter that runs backwards: two instances publish into the block in turn.
    const bool counterBack = cs.updateCounter - s.lastCounter > 0x80000000u;
    const bool published = cs.active != s.lastActive || heartbeatFresh != s.lastHeartbeatFresh ||
                           cs.sampleRateHz != s.lastSampleRate ||
                           cs.snapshotBytes != s.lastSnapshotBytes || counterBack;
    s.lastCounter = cs.updateCounter;
    s.lastSnapshotBytes = cs.snapshotBytes;
    s.lastActive = cs.active;
    s.lastHeartbeatFresh = heartbeatFresh;
    s.lastSampleRate = cs.sampleRateHz;
    if (published || nowMs - s.lastFullScanMs >= kFullInstanceScanMs) {
        MappingCount found =
            countControlMappings(control.device(), control.inode(), control.bytes());
        s.instances = found.mappings;
        s.instancePids = std::move(found.pids);
        s.lastFullScanMs = s.lastKnownScanMs = nowMs;
    } else if (nowMs - s.lastKnownScanMs >= kKnownInstanceScanMs) {
        MappingCount found = countControlMappingsIn(s.instancePids, control.device(),
                                                    control.inode(), control.bytes());
        s.instances = found.mappings;
        s.instancePids = std::move(found.pids);
        s.lastKnownScanMs = nowMs;
    }
    PluginState state = PluginState::noPlugin;
    if (cs.active && heartbeatFresh)
        state = PluginState::live;
    else if (s.instances > 0)
        state = cs.active ? PluginState::stalled
                          : (plausibleRate(cs.sampleRateHz) ? PluginState::inactive
                                                            : PluginState::noPlugin);

    const double hostRate = plausibleRate(cs.sampleRateHz) ? cs.sampleRateHz : 0.0;
    const double capturedRate =
        cs.rateMismatch && plausibleRate(cs.capturedRateHz) ? cs.capturedRateHz : 0.0;
    const double ringRate = cs.rateMismatch ? capturedRate : hostRate;
    const uint64_t ringFloats = control.ringFloats();
    double ringSeconds = 0.0;
    if (ringRate > 0.0)
        ringSeconds =
            ringFloats > 0 ? static_cast<double>(ringFloats / 2) / ringRate : kRingSeconds;
    const float writeFraction = cleanFraction(cs.writePosFraction);

    std::lock_guard lock(statusMutex_);

    // A plug-in that comes (back) may sit in another host: what we learned about insertion goes.
    if (activated || (state == PluginState::live && s.lastState == PluginState::noPlugin))
        s.canInsert = true;
    s.lastState = state;

    // Overview: the columns the head crossed since the last poll, and now and then all of them
    // (a clear, a rate change or a second instance rewrite columns anywhere).
    const uint64_t nextVersion = s.overviewVersion + 1;
    bool changed = false;
    const Coverage coverage = coverageOf(s.copySummary);
    const Coverage shown = s.coverage;
    s.coverage = coverage;
    const int32_t lastColumn =
        cs.lastOverviewColumn >= 0 && cs.lastOverviewColumn < static_cast<int32_t>(kOverviewColumns)
            ? cs.lastOverviewColumn
            : -1;
    const bool clearedOrFirst =
        lastColumn != s.lastColumnSeen && (lastColumn < 0 || s.lastColumnSeen < 0);
    const bool watched = nowMs - overviewAskedMs_.load(std::memory_order_relaxed) <= kWatchedForMs;
    const int64_t fullCompareMs = watched ? kFullOverviewCompareMs : kIdleFullOverviewCompareMs;
    if (nowMs - s.lastFullCompareMs >= fullCompareMs || clearedOrFirst ||
        coverage.generation != shown.generation || coverage.none != shown.none ||
        coverage.first != shown.first || coverage.maskFirst != shown.maskFirst) {
        changed = refreshColumns(s, 0, kOverviewColumns, nextVersion);
        s.lastFullCompareMs = nowMs;
    } else if (lastColumn != s.lastColumnSeen) {
        const uint32_t first = static_cast<uint32_t>(s.lastColumnSeen);
        const uint32_t count =
            (static_cast<uint32_t>(lastColumn) + kOverviewColumns - first) % kOverviewColumns + 1;
        changed = refreshColumns(s, first, count, nextVersion);
    }
    // Columns the copy reached since the last poll (the plug-in's head may be ahead of it).
    if (!coverage.none && !coverage.all && coverage.last != shown.last) {
        const uint32_t first = shown.last;
        const uint32_t count = (coverage.last + kOverviewColumns - first) % kOverviewColumns + 1;
        changed = refreshColumns(s, first, count, nextVersion) || changed;
    } else if (coverage.all && !shown.all) {
        changed = refreshColumns(s, 0, kOverviewColumns, nextVersion) || changed;
    }
    if (changed)
        s.overviewVersion = nextVersion;
    s.lastColumnSeen = lastColumn;

    // The plug-in writes -200 into all its meters at a transport start or jump: its holds went,
    // so ours go with them.
    const double momentaryMax = meterValue(raw.momentaryMaxLufs);
    if (!std::isnan(s.lastMomentaryMax) && std::isnan(momentaryMax)) {
        if (s.ownHoldResetMs == 0 || nowMs - s.ownHoldResetMs > kOwnHoldResetMs)
            feed_->reset();
        s.ownHoldResetMs = 0;
    }
    s.lastMomentaryMax = momentaryMax;

    const FeedSnapshot feed = feed_->snapshot();
    EngineStatus& out = s.status;
    out.state = state;
    out.sampleRateHz = hostRate;
    out.rateMismatch = cs.rateMismatch;
    out.capturedRateHz = capturedRate;
    out.ringRateHz = ringRate;
    out.ringSeconds = ringSeconds;
    const CopySummary& copy = s.copySummary;
    if (ringFloats == 0 && copy.rateHz > 0.0) {  // the plug-in is gone: the copy's ring
        out.ringRateHz = copy.rateHz;
        out.ringSeconds = static_cast<double>(copy.ringFrames) / copy.rateHz;
    }
    applyCopy(out, copy);
    out.historyError = options_.history != nullptr ? options_.history->error() : "";
    out.writePosFraction = writeFraction;
    if (cs.updateCounter != out.updateCounter || out.observedAtMs == 0)
        out.observedAtMs = wallClockMs();
    out.updateCounter = cs.updateCounter;
    out.hold = (control.load<uint8_t>(off::captureHold) & 1) != 0;
    const float threshold = control.load<float>(off::silenceThreshold);
    out.thresholdLinear = std::isfinite(threshold) ? threshold : 0.0f;
    out.previewRequested = control.load<uint8_t>(off::previewRequest) == 1;
    out.previewStart = cleanFraction(control.load<float>(off::previewStart));
    out.playheadFraction = std::isfinite(cs.playheadFraction) && cs.playheadFraction >= 0.0f &&
                                   cs.playheadFraction <= 1.0f
                               ? cs.playheadFraction
                               : -1.0f;
    out.instances = s.instances;
    out.lostFeedFrames = feed.framesLost;
    out.feedConnected = feed.connected;
    out.canInsert = s.canInsert;
    out.insertReason = s.canInsert ? "" : kCannotInsertReason;
    out.meters = {meterValue(raw.momentaryLufs),
                  meterValue(raw.shortTermLufs),
                  meterValue(raw.integratedLufs),
                  momentaryMax,
                  meterValue(raw.shortTermMaxLufs),
                  meterValue(raw.rmsDb),
                  meterValue(raw.rmsMaxDb),
                  meterValue(raw.peakDb),
                  meterValue(raw.crestDb),
                  feed.truePeakDb,
                  feed.truePeakMaxDb,
                  feed.lraLu,
                  {feed.channelRmsDb[0], feed.channelRmsDb[1]},
                  {feed.channelCrestDb[0], feed.channelCrestDb[1]},
                  {feed.channelPeakDb[0], feed.channelPeakDb[1]}};
    if (state != PluginState::live) {
        // Readings of the last moments would stand frozen at what was playing when the audio
        // stopped: shown as none. What was measured (integrated, range, holds, peaks) stays.
        constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
        MeterValues& m = out.meters;
        m.momentaryLufs = m.shortTermLufs = m.rmsDb = m.truePeakDb = kNone;
        for (int channel = 0; channel < 2; ++channel)
            m.channelRmsDb[channel] = m.channelCrestDb[channel] = m.channelPeakDb[channel] = kNone;
    }
    out.exportDir = options_.exportDir.string();
    out.overviewVersion = s.overviewVersion;
}

EngineStatus Engine::status() const {
    std::lock_guard lock(statusMutex_);
    return state_->status;
}

uint64_t Engine::overviewChanges(uint64_t sinceVersion, std::vector<OverviewChange>& out) const {
    overviewAskedMs_.store(monotonicMs(), std::memory_order_relaxed);
    out.clear();
    std::lock_guard lock(statusMutex_);
    const State& s = *state_;
    const uint32_t columns = kOverviewColumns;
    uint32_t column = 0;
    while (column < columns) {
        if (s.columnVersion[column] <= sinceVersion) {
            ++column;
            continue;
        }
        uint32_t end = column;
        while (end < columns && s.columnVersion[end] > sinceVersion)
            ++end;
        OverviewChange change;
        change.firstColumn = column;
        const float* base = s.overview.data();
        change.minL.assign(base + column, base + end);
        change.maxL.assign(base + columns + column, base + columns + end);
        change.minR.assign(base + 2 * columns + column, base + 2 * columns + end);
        change.maxR.assign(base + 3 * columns + column, base + 3 * columns + end);
        out.push_back(std::move(change));
        column = end;
    }
    return s.overviewVersion;
}

// ---- Requests -------------------------------------------------------------------------------

namespace {

Outcome notLive(PluginState state) {
    switch (state) {
    case PluginState::noPlugin:
        return Outcome::failure(409, "no plug-in is attached: insert it on a track, or "
                                     "re-activate it if the DAW was started first");
    case PluginState::stalled:
        return Outcome::failure(409, "the host is not processing audio: start playback or "
                                     "wake the audio engine");
    case PluginState::inactive:
        return Outcome::failure(409, "the plug-in is deactivated: re-activate it in the DAW");
    case PluginState::live:
        break;
    }
    return {};
}

Outcome checkStretch(float start, float length) {
    if (!std::isfinite(start) || start < 0.0f || start > 1.0f)
        return Outcome::failure(400, "start must be a ring fraction within 0..1");
    if (!std::isfinite(length) || length <= 0.0f || length > 1.0f)
        return Outcome::failure(400, "length must be a ring fraction within 0..1, above 0");
    return {};
}

}  // namespace

bool Engine::heartbeatFresh() const {
    const int64_t beat = state_->control.load<int64_t>(off::heartbeatMs);
    const int64_t now = monotonicMs();
    return beat > 0 && now - beat <= kLiveHeartbeatMs;
}

// [server-thread] Polls until the byte reads want; gives up when the timeout passes or the
// plug-in stops beating (it will not answer then).
bool Engine::waitForAnswer(size_t offset, uint8_t want, int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Answers come at a block's end: 1 ms first, then longer naps, so a host's 10-20 ms block
    // costs a handful of wake-ups rather than one per millisecond.
    int napMs = 1;
    while (state_->control.load<uint8_t>(offset) != want) {
        if (Clock::now() >= deadline || !heartbeatFresh() || stopping_)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(napMs));
        napMs = std::min(2 * napMs, kAnswerLongestNapMs);
    }
    return true;
}

Outcome Engine::preview(float start, std::optional<float> length) {
    if (!std::isfinite(start) || start < 0.0f || start > 1.0f)
        return Outcome::failure(400, "start must be a ring fraction within 0..1");
    if (length && (!std::isfinite(*length) || *length <= 0.0f || *length > 1.0f))
        return Outcome::failure(400, "length must be a ring fraction within 0..1, above 0");
    std::lock_guard request(requestMutex_);
    const EngineStatus now = status();
    if (now.state != PluginState::live)
        return notLive(now.state);
    ControlSegment& control = state_->control;
    // The start counts only at the rising edge: the plug-in must have seen the level down for a
    // whole block (two publications) before it goes up again, or it plays on from where it was.
    // That holds for a restart while playing and for a start right after a stop.
    uint32_t loweredAt = previewLoweredAtCounter_;
    bool waitForLow = previewLowered_;
    if (control.load<uint8_t>(off::previewRequest) == 1) {
        loweredAt = control.load<uint32_t>(off::updateCounter);
        control.store<uint8_t>(off::previewRequest, 0);
        waitForLow = true;
    }
    previewWatch_ = PreviewWatch{};
    if (waitForLow) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kPreviewRestartTimeoutMs);
        while (control.load<uint32_t>(off::updateCounter) - loweredAt < kPreviewRestartBlocks) {
            if (Clock::now() >= deadline || !heartbeatFresh())
                return Outcome::failure(504, "the plug-in did not see the preview stop in time");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    previewLowered_ = false;
    control.store<float>(off::previewStart, start);
    control.store<uint8_t>(off::previewRequest, 1);
    previewWatch_.active = true;
    previewWatch_.length = length;
    previewWatch_.lastPlayhead = start;
    previewWatch_.raisedAtCounter = control.load<uint32_t>(off::updateCounter);
    previewWatch_.raisedMonoMs = monotonicMs();
    return {};
}

// [requestMutex_ held] Lowers our preview level; the next start waits until the plug-in saw it.
void Engine::lowerPreview() {
    ControlSegment& control = state_->control;
    if (control.load<uint8_t>(off::previewRequest) == 1) {
        previewLoweredAtCounter_ = control.load<uint32_t>(off::updateCounter);
        previewLowered_ = true;
    }
    control.store<uint8_t>(off::previewRequest, 0);
    previewWatch_ = PreviewWatch{};
}

Outcome Engine::stopPreview() {
    std::lock_guard request(requestMutex_);
    lowerPreview();
    return {};
}

// [copy-thread, requestMutex_ held] Ends our preview when it has played its length, and when no
// page has asked for the overview for kPreviewUnwatchedMs: nobody would hear it stop otherwise.
void Engine::watchPreview() {
    PreviewWatch& watch = previewWatch_;
    if (!watch.active)
        return;
    ControlSegment& control = state_->control;
    if (control.load<uint8_t>(off::previewRequest) != 1) {
        watch = PreviewWatch{};
        return;
    }
    const int64_t nowMs = monotonicMs();
    const int64_t askedMs = overviewAskedMs_.load(std::memory_order_relaxed);
    if (nowMs - std::max(askedMs, watch.raisedMonoMs) > kPreviewUnwatchedMs) {
        lowerPreview();
        return;
    }
    if (!watch.length)
        return;
    // Until the plug-in has seen the rising edge the playhead may still be the old preview's.
    if (control.load<uint32_t>(off::updateCounter) - watch.raisedAtCounter < kPreviewRestartBlocks)
        return;
    const float playhead = control.load<float>(off::playheadFraction);
    if (!std::isfinite(playhead) || playhead < 0.0f || playhead > 1.0f)
        return;
    double moved = static_cast<double>(playhead) - watch.lastPlayhead;
    if (moved < 0.0)
        moved += 1.0;  // it wrapped past the ring's end
    watch.travelled += moved;
    watch.lastPlayhead = playhead;
    if (watch.travelled >= *watch.length)
        lowerPreview();
}

Outcome Engine::setHold(bool hold) {
    std::lock_guard request(requestMutex_);
    state_->control.store<uint8_t>(off::captureHold, hold ? 1 : 0);
    return {};
}

Outcome Engine::setThresholdDb(std::optional<double> dbfs) {
    float linear = 0.0f;  // 0 or below: the gate captures everything
    if (dbfs) {
        if (!std::isfinite(*dbfs) || *dbfs < kMinThresholdDb || *dbfs > kMaxThresholdDb)
            return Outcome::failure(400, "the threshold must be within -120..0 dBFS");
        linear = static_cast<float>(std::pow(10.0, *dbfs / 20.0));
    }
    std::lock_guard request(requestMutex_);
    // An atomic store: the engine thread reads it too (the plug-in's plain load is unaffected).
    state_->control.store<float>(off::silenceThreshold, linear);
    return {};
}

// [server-thread, requestMutex_ held] Raises a request the plug-in answers by lowering it. Left up
// after a timeout, the plug-in would act whenever it resumes, a surprise much later: lowered then.
Outcome Engine::raiseAndAwaitLowered(size_t offset, const char* timeoutError) {
    ControlSegment& control = state_->control;
    control.store<uint8_t>(offset, 1);
    if (waitForAnswer(offset, 0, kRequestTimeoutMs))
        return {};
    control.store<uint8_t>(offset, 0);
    return Outcome::failure(504, timeoutError);
}

Outcome Engine::clear() {
    std::lock_guard request(requestMutex_);
    const EngineStatus now = status();
    if (now.state != PluginState::live)
        return notLive(now.state);
    copyStep(true);  // what was captured up to now goes to the copy and the history first
    if (Outcome answered = raiseAndAwaitLowered(off::clearRequest,
                                                "the plug-in did not clear the capture in time");
        !answered.ok)
        return answered;
    feed_->reset();
    State& s = *state_;
    if (s.sourceKnown) {
        const ControlStatus cs = s.control.status();
        const double rate = cs.rateMismatch ? cs.capturedRateHz : cs.sampleRateHz;
        beginGeneration(plausibleRate(rate) ? rate : s.copy.rateHz, s.copy.ringFrames, 0, 0, false);
        publishCopy();
    }
    {
        std::lock_guard lock(statusMutex_);
        s.lastFullCompareMs = 0;  // reload the whole overview at the next poll
    }
    return {};
}

Outcome Engine::resetMeters() {
    std::lock_guard request(requestMutex_);
    feed_->reset();
    const EngineStatus now = status();
    if (now.state != PluginState::live)
        return notLive(now.state);
    if (Outcome answered = raiseAndAwaitLowered(off::resetMetersRequest,
                                                "the plug-in did not reset its meters in time");
        !answered.ok)
        return answered;
    // Atomic stores: the engine thread reads these fields too. The plug-in's reset leaves the
    // holds to us. Written after its answer: the block that reset
    // publishes no momentary, short-term or RMS value above them, so nothing raises them again
    // from before the reset. The crest goes too; the plug-in computes it anew once the RMS hold
    // has a value (400 ms of audio).
    ControlSegment& control = state_->control;
    for (size_t field : {off::momentaryMaxLufs, off::shortTermMaxLufs, off::rmsMaxDb, off::crestDb})
        control.store<double>(field, kNoValue);
    return {};
}

Outcome Engine::resetHold(MeterHold hold) {
    std::lock_guard request(requestMutex_);
    ControlSegment& control = state_->control;
    switch (hold) {
    case MeterHold::momentaryMax: {
        // The poll takes an emptied momentary hold for the plug-in's restart of every meter;
        // this one is ours, which it learns here.
        std::lock_guard lock(statusMutex_);
        control.store<double>(off::momentaryMaxLufs, kNoValue);
        state_->ownHoldResetMs = monotonicMs();
        break;
    }
    case MeterHold::shortTermMax:
        control.store<double>(off::shortTermMaxLufs, kNoValue);
        break;
    case MeterHold::rmsMax:
        // The crest is measured against this hold: it goes with it.
        control.store<double>(off::rmsMaxDb, kNoValue);
        control.store<double>(off::crestDb, kNoValue);
        break;
    case MeterHold::truePeakMax:
        feed_->resetTruePeakMax();
        break;
    }
    return {};
}

Outcome Engine::insert(float start, float length, int32_t track) {
    if (Outcome bad = checkStretch(start, length); !bad.ok)
        return bad;
    // Refused at once, before waiting behind the copy's snapshots for the request lock.
    if (!status().canInsert)
        return Outcome::failure(409, kCannotInsertReason);
    std::lock_guard request(requestMutex_);
    const EngineStatus now = status();
    if (now.state != PluginState::live)
        return notLive(now.state);
    if (!now.canInsert)
        return Outcome::failure(409, kCannotInsertReason);
    ControlSegment& control = state_->control;
    control.requestInsert(start, length, track);
    // Only hosts with the project extension take the request; elsewhere it stays up and the
    // plug-in asks its host for a callback every block until we lower it.
    if (waitForAnswer(off::insertRequest, 0, kInsertTimeoutMs))
        return {};
    const bool wasLive = heartbeatFresh();
    control.store<uint8_t>(off::insertRequest, 0);
    if (!wasLive)
        return Outcome::failure(504, "the plug-in stopped processing before it took the request");
    {
        std::lock_guard lock(statusMutex_);
        state_->canInsert = false;
    }
    return Outcome::failure(409, kCannotInsertReason);
}

Outcome Engine::snapshot(float start, float length, Stretch& out,
                         std::optional<float> seenWritePos) {
    if (Outcome bad = checkStretch(start, length); !bad.ok)
        return bad;
    std::lock_guard request(requestMutex_);
    return snapshotLocked(start, length, out, seenWritePos);
}

// [server-thread, requestMutex_ held]
Outcome Engine::snapshotLocked(float start, float length, Stretch& out,
                               std::optional<float> seenWritePos) {
    out.frames.clear();
    const EngineStatus now = status();
    if (now.state != PluginState::live)
        return notLive(now.state);
    ControlSegment& control = state_->control;
    const uint32_t segmentBytes = control.load<uint32_t>(off::snapshotBytes);
    if (segmentBytes == 0)
        return Outcome::failure(409, "the plug-in has not announced its snapshot segment: "
                                     "re-activate it in the DAW");
    if (now.ringRateHz <= 0.0)
        return Outcome::failure(409, "the plug-in has not told its sample rate yet");
    const uint64_t ringFloats = segmentBytes / sizeof(float);
    const uint64_t headSeen =
        indexForFraction(cleanFraction(seenWritePos.value_or(now.writePosFraction)), ringFloats);
    if (Outcome answered = awaitSnapshot(start, length); !answered.ok)
        return answered;
    // The plug-in publishes the write position in the same block, before it answers.
    const uint64_t headAfter =
        indexForFraction(cleanFraction(control.load<float>(off::writePosFraction)), ringFloats);
    // snapshotCount was stored before the release store of snapshotReady we acquired.
    const uint32_t count = control.loadPlain<uint32_t>(off::snapshotCount);
    if (count == 0)
        return Outcome::failure(409, "the plug-in refused the stretch");
    if (count % 2 != 0 || static_cast<uint64_t>(count) * sizeof(float) > segmentBytes)
        return Outcome::failure(500, "the snapshot's size does not fit its segment");
    // A late answer to an earlier, timed-out request would carry another stretch.
    if (count != pluginIndex(length, ringFloats))
        return Outcome::failure(500, "the plug-in answered with another stretch: try again");

    // Since the stretch was chosen the head wrote [headSeen, headAfter): where the stretch starts
    // in there, its front now holds audio newer than it meant, and is cut off.
    const uint64_t startIndex = pluginIndex(start, ringFloats) % ringFloats;  // 1.0 is index 0
    const uint64_t written = (headAfter + ringFloats - headSeen) % ringFloats;
    const uint64_t startAfterSeen = (startIndex + ringFloats - headSeen) % ringFloats;
    const uint64_t overwritten = startAfterSeen < written ? written - startAfterSeen : 0;
    if (overwritten >= count)
        return Outcome::failure(409, "new audio overwrote the stretch while it was chosen");

    // Copy out at once: the next request overwrites the segment.
    void* addr = nullptr;
    if (Outcome mapped = mapSnapshotSegment(segmentBytes, 0, addr); !mapped.ok)
        return mapped;
    const float* floats = static_cast<const float*>(addr);
    out.frames.assign(floats + overwritten, floats + count);
    munmap(addr, segmentBytes);
    out.sampleRateHz = now.ringRateHz;
    return {};
}

// ---- The copy ------------------------------------------------------------------------------

namespace {

// The snapshot segment as it is now: its inode (0 when missing) and size in bytes.
struct SnapshotFile {
    uint64_t inode = 0;
    uint64_t bytes = 0;
};
SnapshotFile snapshotFile() {
    struct stat info {};
    const std::string path = std::string("/dev/shm/") + kSnapshotName;
    if (stat(path.c_str(), &info) != 0)
        return {};
    return {static_cast<uint64_t>(info.st_ino), static_cast<uint64_t>(info.st_size)};
}

// What a save says when the copy could not be brought up to date before it.
std::string uncopiedNote(const Outcome& caught) {
    return "the newest audio could not be copied from the plug-in (" + caught.error +
           "): saved up to the last frame copied";
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

}  // namespace

// [copy-thread]
void Engine::copyRun() {
    bool busy = true;  // a page watches or a preview plays: look more often
    while (!stopping_) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(busy ? kCopyPollMs : kCopyIdlePollMs));
        std::lock_guard request(requestMutex_);
        copyStep(false);
        watchPreview();
        busy = previewWatch_.active ||
               monotonicMs() - overviewAskedMs_.load(std::memory_order_relaxed) <= kWatchedForMs;
    }
}

// [requestMutex_ held] Follows the write head, starts a generation when the ring is another one,
// and copies what the head added when it is due (at once for a catch-up).
Outcome Engine::copyStep(bool catchUp) {
    State& s = *state_;
    const ControlStatus cs = s.control.status();
    const int64_t nowMs = monotonicMs();
    const uint32_t bytes = cs.snapshotBytes;
    const SnapshotFile file = bytes != 0 ? snapshotFile() : SnapshotFile{};
    const uint64_t inode = file.inode;
    // The copy holds as much as the ring: a size the segment itself does not have, or beyond
    // any plausible ring, is not allocated (it comes from another process).
    if (bytes == 0 || bytes % (2 * sizeof(float)) != 0 || inode == 0 || file.bytes < bytes ||
        bytes > kMaxCopyRingBytes) {
        // The instance is gone (or not made yet): what it did not hand over is gone with it.
        s.noSourceAtStart = s.noSourceAtStart || !s.sourceKnown;
        if (s.sourceKnown) {
            if (!s.sourceGone)
                s.goneAtCounter = cs.updateCounter;
            s.sourceGone = true;
            std::lock_guard lock(copyMutex_);
            finishTakes(s.copy, options_.history, false, nowMs);
            s.copy.headFrame = s.copy.copiedEnd;  // frames it wrote uncopied went with it
        }
        publishCopy();
        return {};
    }
    const double hostRate = plausibleRate(cs.sampleRateHz) ? cs.sampleRateHz : 0.0;
    const double capturedRate = plausibleRate(cs.capturedRateHz) ? cs.capturedRateHz : 0.0;
    const double ringRate = cs.rateMismatch ? capturedRate : hostRate;
    const uint64_t ringFloats = bytes / sizeof(float);
    const uint64_t ringFrames = ringFloats / 2;
    uint64_t head =
        headIndexForFraction(cleanFraction(cs.writePosFraction), ringFloats) % ringFloats;
    const bool live = cs.active && heartbeatFresh();
    if (ringRate <= 0.0)
        return {};

    if (!s.sourceKnown && !s.noSourceAtStart) {
        // The daemon's start: the ring the running plug-in holds is adopted as it is found.
        if (!live || !adoptRing(head, ringRate, ringFrames, inode))
            return {};
        followSource(inode, bytes, hostRate);
        publishCopy();
        return {};
    }
    if (!s.sourceKnown || inode != s.sourceInode || bytes != s.sourceBytes || s.sourceGone) {
        if (!s.awaitingInstance) {
            s.awaitingInstance = true;
            s.awaitedCounter = s.sourceGone ? s.goneAtCounter : cs.updateCounter;
        }
        if (cs.updateCounter == s.awaitedCounter)
            return {};  // the new instance has not published yet
        // Another instance: its ring began empty with the head at 0. The write position read
        // after the counter (acquire) is at least that publication's: the plug-in stores it first.
        const uint64_t published =
            headIndexForFraction(cleanFraction(s.control.load<float>(off::writePosFraction)),
                                 ringFloats) %
            ringFloats;
        beginGeneration(ringRate, ringFrames, published, published / 2, false);
        // The generation begins at this newer head: the one read before it would look like a
        // move of almost a whole ring.
        head = published;
        followSource(inode, bytes, hostRate);
    } else if (hostRate > 0.0 && hostRate != s.sourceHostRate) {
        // An activation at another rate: what follows is another recording, from the head on.
        beginGeneration(ringRate, ringFrames, head, 0, false);
        const uint64_t before = (head + ringFloats - 2) % ringFloats;
        s.sharedFirstColumn =
            overviewColumnOf(before, ringFloats) == overviewColumnOf(head, ringFloats);
        s.sourceHostRate = hostRate;
    } else if (cs.lastOverviewColumn < 0 && head == 0 && s.copy.headFrame > 0) {
        beginGeneration(ringRate, ringFrames, 0, 0, false);  // cleared by someone else
    }

    uint64_t moved = 0;
    {
        std::lock_guard lock(copyMutex_);
        moved = noteHead(s.copy, head, nowMs, wallClockMs());
    }
    const uint64_t pending = pendingFrames(s.copy);
    Outcome copied;
    if (pending > 0 && live) {
        const bool watched =
            nowMs - overviewAskedMs_.load(std::memory_order_relaxed) <= kWatchedForMs;
        const int64_t interval = watched ? kCopyWatchedIntervalMs : kCopyIntervalMs;
        // A head that stood still since the last look ended a phrase (or the host stopped):
        // copying at once leaves the take complete.
        if (catchUp || moved == 0 || nowMs - s.lastCopyMonoMs >= interval ||
            pending >= s.copy.ringFrames / kCopyEagerDivisor) {
            copied = copyPending(head, inode, true);
            s.lastCopyMonoMs = nowMs;
        }
    }
    {
        std::lock_guard lock(copyMutex_);
        finishTakes(s.copy, options_.history, true, nowMs);
    }
    publishCopy();
    return copied;
}

// [requestMutex_ held] Copies the frames between the copy's end and headSeen, with a few frames
// the copy already holds in front (the witness): when they come back different, the head went
// a whole lap further than it looked, and what it overwrote is lost.
Outcome Engine::copyPending(uint64_t headSeen, uint64_t inode, bool mayLap) {
    State& s = *state_;
    CaptureCopy& copy = s.copy;  // only the holder of requestMutex_ writes it
    const uint64_t ringFrames = copy.ringFrames;
    const uint64_t ringFloats = 2 * ringFrames;
    if (ringFrames == 0)
        return {};
    if (pendingFrames(copy) > ringFrames) {
        // Copies failed for longer than a lap: the oldest of the waiting frames are overwritten.
        std::lock_guard lock(copyMutex_);
        loseFrames(copy, pendingFrames(copy) - ringFrames, options_.history);
    }
    const uint64_t pending = pendingFrames(copy);
    if (pending == 0)
        return {};
    const uint64_t witness =
        std::min({kCopyWitnessFrames, copy.copiedEnd - copy.keptFirst, ringFrames - pending});
    const uint64_t first = copy.copiedEnd - witness;
    const uint64_t frames = pending + witness;
    std::vector<float> got;
    uint64_t headAfter = headSeen;
    if (Outcome fetched =
            fetchStretch(ringFloats, ringIndexOf(copy, first), frames, inode, got, headAfter);
        !fetched.ok)
        return fetched;

    // The head went on while the plug-in answered; the slot of frame f holds it until the head
    // has written frame f + ringFrames.
    const uint64_t movedSince = (headAfter + ringFloats - headSeen) % ringFloats / 2;
    const uint64_t reach = copy.headFrame + movedSince;
    const uint64_t overwritten =
        std::min(frames, reach > first + ringFrames ? reach - ringFrames - first : 0);
    bool lapped = false;
    for (uint64_t f = first + overwritten; f < copy.copiedEnd && !lapped; ++f)
        lapped = std::memcmp(copy.store.data() + 2 * (f % ringFrames), got.data() + 2 * (f - first),
                             2 * sizeof(float)) != 0;
    if (lapped) {
        if (!mayLap)
            return Outcome::failure(500, "the ring changed under the copy");
        if (clearedBehindHead(headSeen, inode)) {
            // A clear the daemon did not see answered (its request timed out as the plug-in
            // took it): the ring began again at 0. A new generation, nothing counted lost.
            beginGeneration(copy.rateHz, ringFrames, headSeen, headSeen / 2, false);
            return copyPending(headSeen, inode, false);
        }
        {
            // At least one more lap: everything up to the head as seen is gone; the ring now
            // holds a whole lap from there.
            std::lock_guard lock(copyMutex_);
            loseFrames(copy, pending, options_.history);
            addLap(copy);
        }
        return copyPending(headSeen, inode, false);
    }
    const uint64_t skip = std::max(overwritten, witness);
    std::lock_guard lock(copyMutex_);
    if (overwritten > witness)
        loseFrames(copy, overwritten - witness, options_.history);
    appendCopied(copy, got.data() + 2 * skip, frames - skip, options_.history, wallClockMs());
    return {};
}

// [requestMutex_ held] Asks the plug-in for the stretch (ring fractions) and waits for its
// answer in the snapshot segment.
Outcome Engine::awaitSnapshot(float start, float length) {
    ControlSegment& control = state_->control;
    control.store<uint8_t>(off::snapshotReady, 0);
    control.store<float>(off::selectionStart, start);
    control.store<float>(off::selectionLength, length);
    control.store<uint8_t>(off::snapshotRequest, 1);
    if (!waitForAnswer(off::snapshotReady, 1, kRequestTimeoutMs)) {
        control.store<uint8_t>(off::snapshotRequest, 0);
        return Outcome::failure(504, "the plug-in did not answer the snapshot request in time");
    }
    return {};
}

// [requestMutex_ held] The copy follows this instance's segment from now on.
void Engine::followSource(uint64_t inode, uint32_t bytes, double hostRate) {
    State& s = *state_;
    s.sourceKnown = true;
    s.sourceInode = inode;
    s.sourceBytes = bytes;
    s.sourceHostRate = hostRate;
    s.sourceGone = false;
    s.awaitingInstance = false;
}

// [requestMutex_ held] Whether the ring holds nothing but zeros from the head to its end, as a
// cleared ring does and a lapped one does not: there it holds the lap before, captured audio,
// which the gate never lets be a whole second of digital silence.
bool Engine::clearedBehindHead(uint64_t headSeen, uint64_t inode) {
    const CaptureCopy& copy = state_->copy;
    const uint64_t ringFloats = 2 * copy.ringFrames;
    const uint64_t behind = (ringFloats - headSeen % ringFloats) / 2;
    if (copy.rateHz <= 0.0 || static_cast<double>(behind) < copy.rateHz * kClearProbeSeconds)
        return false;
    std::vector<float> got;
    uint64_t headAfter = headSeen;
    if (!fetchStretch(ringFloats, headSeen, behind, inode, got, headAfter).ok)
        return false;
    // Frames the head wrote while the plug-in answered are new audio, not the old lap.
    const uint64_t written = (headAfter + ringFloats - headSeen) % ringFloats / 2;
    if (written + 1 >= behind)
        return false;
    return std::all_of(got.begin() + 2 * written, got.end(), [](float v) { return v == 0.0f; });
}

// [requestMutex_ held] The daemon started while a plug-in runs: its whole ring, oldest first.
// A ring that has not wrapped holds zeros ahead of its audio (a new ring and a cleared one are
// zero): leading zero frames are not adopted; in a wrapped ring they are silence anyway.
bool Engine::adoptRing(uint64_t headSeen, double rateHz, uint64_t ringFrames, uint64_t inode) {
    const uint64_t ringFloats = 2 * ringFrames;
    std::vector<float> got;
    uint64_t headAfter = headSeen;
    if (!fetchStretch(ringFloats, headSeen, ringFrames, inode, got, headAfter).ok)
        return false;
    // Frames at the front that newer audio overwrote while the plug-in answered.
    uint64_t skip = std::min(ringFrames, (headAfter + ringFloats - headSeen) % ringFloats / 2);
    while (skip < ringFrames && got[2 * skip] == 0.0f && got[2 * skip + 1] == 0.0f)
        ++skip;
    beginGeneration(rateHz, ringFrames, headSeen, ringFrames - skip, true);
    std::lock_guard lock(copyMutex_);
    appendCopied(state_->copy, got.data() + 2 * skip, ringFrames - skip, options_.history,
                 wallClockMs());
    return true;
}

// [requestMutex_ held]
void Engine::beginGeneration(double rateHz, uint64_t ringFrames, uint64_t headIndex,
                             uint64_t filledFrames, bool foundAtStart) {
    State& s = *state_;
    std::lock_guard lock(copyMutex_);
    finishTakes(s.copy, options_.history, false, 0);
    startGeneration(s.copy, s.nextGeneration++, rateHz, ringFrames, headIndex, filledFrames,
                    wallClockMs(), foundAtStart);
    s.copy.lastMoveMonoMs = monotonicMs();
    s.sharedFirstColumn = false;
}

// [requestMutex_ held] One snapshot of `frames` frames from ring float index startIndex, copied
// out of the segment of the instance `inode` at once (the next request overwrites it). headAfter:
// the write head read after the answer (the answer's block or a later one).
Outcome Engine::fetchStretch(uint64_t ringFloats, uint64_t startIndex, uint64_t frames,
                             uint64_t inode, std::vector<float>& out, uint64_t& headAfter) {
    State& s = *state_;
    ControlSegment& control = s.control;
    const uint64_t floats = 2 * frames;
    if (frames == 0 || floats > ringFloats)
        return Outcome::failure(500, "a stretch beyond the ring");
    if (s.snapshotMap == nullptr || s.snapshotMapInode != inode ||
        s.snapshotMapBytes != ringFloats * sizeof(float)) {
        if (s.snapshotMap != nullptr)
            munmap(s.snapshotMap, s.snapshotMapBytes);
        s.snapshotMap = nullptr;
        const size_t bytes = ringFloats * sizeof(float);
        void* addr = nullptr;
        if (Outcome mapped = mapSnapshotSegment(bytes, inode, addr); !mapped.ok)
            return mapped;
        s.snapshotMap = addr;
        s.snapshotMapBytes = bytes;
        s.snapshotMapInode = inode;
    }
    // Where the plug-in cannot name the stretch's first float (large rings), it is asked for a
    // little more in front, which is cut off again.
    const float start = fractionAtOrBelow(startIndex % ringFloats, ringFloats);
    const uint64_t lead = startIndex % ringFloats - pluginIndex(start, ringFloats);
    const float length =
        floats + lead >= ringFloats ? 1.0f : fractionAtOrAbove(floats + lead, ringFloats);
    const uint64_t count = std::min(ringFloats, pluginIndex(length, ringFloats));
    if (Outcome answered = awaitSnapshot(start, length); !answered.ok)
        return answered;
    headAfter =
        headIndexForFraction(cleanFraction(control.load<float>(off::writePosFraction)), ringFloats);
    // snapshotCount was stored before the release store of snapshotReady we acquired.
    if (control.loadPlain<uint32_t>(off::snapshotCount) != count)
        return Outcome::failure(500, "the plug-in answered with another stretch");
    const float* data = static_cast<const float*>(s.snapshotMap);
    out.resize(floats);
    if (lead + floats <= count) {
        std::copy(data + lead, data + lead + floats, out.begin());
    } else {  // the whole ring from a little before the start: the front comes round again
        const uint64_t first = count - lead;
        std::copy(data + lead, data + count, out.begin());
        std::copy(data, data + (floats - first), out.begin() + static_cast<ptrdiff_t>(first));
    }
    return {};
}

// [requestMutex_ held] What the status and the overview need of the copy.
void Engine::publishCopy() {
    State& s = *state_;
    CopySummary summary;
    {
        std::lock_guard lock(copyMutex_);
        const CaptureCopy& copy = s.copy;
        const CopySpan span = heldSpan(copy);
        const uint64_t ringFloats = 2 * copy.ringFrames;
        summary.generation = copy.generation;
        summary.rateHz = copy.rateHz;
        summary.ringFrames = copy.ringFrames;
        summary.frames = copy.copiedEnd - copy.keptFirst;
        const uint64_t coverFirst =
            std::max(copy.keptFirst,
                     copy.headFrame > copy.ringFrames ? copy.headFrame - copy.ringFrames : 0);
        summary.coverIndex = ringIndexOf(copy, coverFirst);
        summary.coverFrames = copy.headFrame - coverFirst;
        summary.copiedFrames = copy.copiedEnd - copy.lostFrames;
        summary.lostFrames = copy.lostFrames;
        summary.takes = listCopyTakes(copy);
        for (const LostStretch& hole : copy.lost) {
            const uint64_t after = hole.firstFrame + hole.frames;
            if (span.frames() > 0 && after >= span.first && after < span.end)
                summary.lost.push_back(
                    {ringFractionOf(ringIndexOf(copy, after), ringFloats), hole.frames});
        }
        if (copy.headFrame >= copy.ringFrames)
            s.sharedFirstColumn = false;  // the head has rewritten that column since
        summary.sharedFirstColumn = s.sharedFirstColumn;
        summary.firstColumn = overviewColumnOf(ringIndexOf(copy, 0), ringFloats);
    }
    std::lock_guard lock(statusMutex_);
    applyCopy(s.status, summary);
    s.copySummary = std::move(summary);
}

// ---- Saves from the copy -------------------------------------------------------------------

// [any-thread] The frames of a stretch the page chose against the head at seenWritePos.
Outcome Engine::readStretch(float start, float length, std::optional<float> seenWritePos,
                            std::vector<float>& frames, double& rateHz, double& requestedSeconds,
                            std::string& note) const {
    frames.clear();
    note.clear();
    std::lock_guard lock(copyMutex_);
    const CaptureCopy& copy = state_->copy;
    if (copy.ringFrames == 0 || copy.copiedEnd == copy.keptFirst || copy.rateHz <= 0.0)
        return Outcome::failure(409, "nothing is captured yet");
    const uint64_t ringFloats = 2 * copy.ringFrames;
    const uint64_t startIndex = pluginIndex(start, ringFloats) % ringFloats;
    const uint64_t wanted = std::min(copy.ringFrames, pluginIndex(length, ringFloats) / 2);
    if (wanted == 0)
        return Outcome::failure(400, "the stretch is shorter than a frame");
    const uint64_t headSeen = seenWritePos
                                  ? headIndexForFraction(cleanFraction(*seenWritePos), ringFloats)
                                  : ringIndexOf(copy, copy.headFrame);
    const int64_t first = frameAtIndex(copy, startIndex, headSeen);
    const int64_t a = std::max<int64_t>(first, static_cast<int64_t>(copy.keptFirst));
    const int64_t b = std::min<int64_t>(first + static_cast<int64_t>(wanted),
                                        static_cast<int64_t>(copy.copiedEnd));
    rateHz = copy.rateHz;
    requestedSeconds = static_cast<double>(wanted) / copy.rateHz;
    if (a >= b)
        return Outcome::failure(409, "the stretch holds no audio of the current capture");
    readCopy(copy, static_cast<uint64_t>(a), static_cast<uint64_t>(b - a), frames);
    if (static_cast<uint64_t>(b - a) < wanted)
        note = "only " + secondsText(static_cast<double>(b - a) / copy.rateHz) + " of the " +
               secondsText(requestedSeconds) + " asked for hold captured audio: saved those";
    return {};
}

Outcome Engine::exportFrames(const std::vector<float>& frames, double rateHz,
                             const ExportSettings& settings, ExportResult& out,
                             int64_t namedAtMs) const {
    std::string error;
    // A take's file is named after the wall clock of its start, where that is known.
    const auto when =
        namedAtMs > 0 ? std::chrono::system_clock::time_point(std::chrono::milliseconds(namedAtMs))
                      : std::chrono::system_clock::now();
    if (!companion::exportStretch(frames, rateHz, settings, options_.exportDir, when, out, error))
        return Outcome::failure(500, error);
    return {};
}

// [server-thread] Brings the copy up to date (one catch-up snapshot while live), then reads.
Outcome Engine::readCaughtUpStretch(float start, float length, std::optional<float> seenWritePos,
                                    std::vector<float>& frames, double& rateHz,
                                    double& requestedSeconds, std::string& note) {
    if (Outcome bad = checkStretch(start, length); !bad.ok)
        return bad;
    const Outcome caught = catchUp();
    Outcome read = readStretch(start, length, seenWritePos, frames, rateHz, requestedSeconds, note);
    if (read.ok && !caught.ok)
        note += std::string(note.empty() ? "" : "; ") + uncopiedNote(caught);
    return read;
}

// [server-thread] One catch-up snapshot: the copy then ends at the head the last block
// published, the newest frame at the moment of the request.
Outcome Engine::catchUp() {
    std::lock_guard request(requestMutex_);
    return copyStep(true);
}

Outcome Engine::analyze(float start, float length, StretchAnalysis& out,
                        std::optional<float> seenWritePos) {
    std::vector<float> frames;
    double rate = 0.0, requested = 0.0;
    std::string note;
    if (Outcome got =
            readCaughtUpStretch(start, length, seenWritePos, frames, rate, requested, note);
        !got.ok)
        return got;
    out = analyzeStretch(frames, rate);
    return {};
}

Outcome Engine::exportStretch(float start, float length, const ExportSettings& settings,
                              ExportResult& out, std::optional<float> seenWritePos) {
    std::vector<float> frames;
    double rate = 0.0, requested = 0.0;
    std::string note;
    if (Outcome got =
            readCaughtUpStretch(start, length, seenWritePos, frames, rate, requested, note);
        !got.ok)
        return got;
    if (Outcome saved = exportFrames(frames, rate, settings, out); !saved.ok)
        return saved;
    out.requestedSeconds = requested;
    out.note = note;
    return {};
}

Outcome Engine::saveLast(double seconds, const ExportSettings& settings, ExportResult& out) {
    if (!std::isfinite(seconds) || seconds <= 0.0)
        return Outcome::failure(400, "seconds must be a number above 0");
    const Outcome caught = catchUp();
    std::vector<float> frames;
    double rate = 0.0;
    std::string note;
    {
        std::lock_guard lock(copyMutex_);
        const CaptureCopy& copy = state_->copy;
        const CopySpan span = heldSpan(copy);
        if (span.frames() == 0 || copy.rateHz <= 0.0)
            return Outcome::failure(409, "nothing is captured yet");
        rate = copy.rateHz;
        const double wantedFrames = std::round(seconds * rate);
        const uint64_t wanted = wantedFrames >= static_cast<double>(span.frames())
                                    ? span.frames()
                                    : static_cast<uint64_t>(wantedFrames);
        if (wanted == 0)
            return Outcome::failure(400, "seconds must be at least one frame");
        readCopy(copy, span.end - wanted, wanted, frames);
        if (wantedFrames > static_cast<double>(span.frames()))
            note = "only " + secondsText(static_cast<double>(span.frames()) / rate) +
                   " are captured: saved all of it";
        if (pendingFrames(copy) > 0 && !caught.ok)
            note += std::string(note.empty() ? "" : "; ") + uncopiedNote(caught);
        else if (pendingFrames(copy) > 0 && status().state != PluginState::live)
            note += std::string(note.empty() ? "" : "; ") + "the newest " +
                    secondsText(static_cast<double>(pendingFrames(copy)) / rate) +
                    " were written just before the host stopped and are not copied yet";
    }
    if (Outcome saved = exportFrames(frames, rate, settings, out); !saved.ok)
        return saved;
    out.requestedSeconds = seconds;
    out.note = note;
    return {};
}

Outcome Engine::saveTake(int index, const ExportSettings& settings, ExportResult& out) {
    catchUp();
    std::vector<float> frames;
    double rate = 0.0;
    int64_t namedAtMs = 0;
    {
        std::lock_guard lock(copyMutex_);
        const CaptureCopy& copy = state_->copy;
        const std::vector<TakeFrames> takes = copyTakeFrames(copy);
        if (takes.empty())
            return Outcome::failure(409, "nothing is captured yet");
        if (index < -1 || index >= static_cast<int>(takes.size()))
            return Outcome::failure(400, "no take with that index");
        const TakeFrames& take = takes[index < 0 ? takes.size() - 1 : static_cast<size_t>(index)];
        rate = copy.rateHz;
        namedAtMs = copy.takes[take.take].wallClockMs;
        readCopy(copy, take.first, take.end - take.first, frames);
    }
    if (Outcome saved = exportFrames(frames, rate, settings, out, namedAtMs); !saved.ok)
        return saved;
    out.requestedSeconds = out.seconds;
    return {};
}

Outcome Engine::samples(float start, float length, SampleStretch& out) const {
    if (Outcome bad = checkStretch(start, length); !bad.ok)
        return bad;
    out = SampleStretch{};
    std::lock_guard lock(copyMutex_);
    const CaptureCopy& copy = state_->copy;
    if (copy.ringFrames == 0)
        return {};
    const uint64_t ringFloats = 2 * copy.ringFrames;
    const uint64_t wanted = std::min(copy.ringFrames, pluginIndex(length, ringFloats) / 2);
    if (wanted > kMaxSampleFrames)
        return Outcome::failure(400, "at most 16384 frames at a time");
    out.rateHz = copy.rateHz;
    const int64_t first = frameAtIndex(copy, pluginIndex(start, ringFloats) % ringFloats,
                                       ringIndexOf(copy, copy.headFrame));
    const int64_t a = std::max<int64_t>(first, static_cast<int64_t>(copy.keptFirst));
    const int64_t b = std::min<int64_t>(first + static_cast<int64_t>(wanted),
                                        static_cast<int64_t>(copy.copiedEnd));
    if (a >= b)
        return {};
    std::vector<float> frames;
    readCopy(copy, static_cast<uint64_t>(a), static_cast<uint64_t>(b - a), frames);
    out.start = ringFractionOf(ringIndexOf(copy, static_cast<uint64_t>(a)), ringFloats);
    out.left.resize(frames.size() / 2);
    out.right.resize(frames.size() / 2);
    for (size_t i = 0; i < out.left.size(); ++i) {
        out.left[i] = frames[2 * i];
        out.right[i] = frames[2 * i + 1];
    }
    return {};
}

}  // namespace companion
