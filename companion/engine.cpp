#include "companion/engine.h"

#include "companion/plugin_instances.h"
#include "companion/ring_fractions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
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
constexpr int kPreviewRestartTimeoutMs = 1000;        // for the plug-in to see the lowered level
constexpr uint32_t kPreviewRestartBlocks = 2;
// A momentary hold the page emptied is not the plug-in's restart of every meter for this long.
constexpr int64_t kOwnHoldResetMs = 1000;
constexpr double kNoValueAbove = -199.5;  // the plug-in's -200.0 "no value"
constexpr double kMaxThresholdDb = 0.0;
constexpr double kMinThresholdDb = -120.0;
constexpr double kMaxRateHz = 4e9;
constexpr double kRingSeconds = 60.0;  // the plug-in's ring, when it has not told its size

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

struct Engine::State {
    ControlSegment control;

    // The overview as last read: four arrays of kOverviewColumns (minL, maxL, minR, maxR),
    // and the version at which each column last changed.
    std::vector<float> overview = std::vector<float>(4 * kOverviewColumns, 0.0f);
    std::vector<uint64_t> columnVersion = std::vector<uint64_t>(kOverviewColumns, 1);
    uint64_t overviewVersion = 1;
    int32_t lastColumnSeen = -1;
    int64_t lastFullCompareMs = 0;

    TakeTracker takes;
    bool takesStarted = false;

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
    poll();
    feed_->start();
    thread_ = std::thread([this] { run(); });
    return true;
}

void Engine::stop() {
    stopping_ = true;
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
        const float values[4] = {
            cleanSample(control.loadPlain<float>(off::overviewMinL + byteOffset)),
            cleanSample(control.loadPlain<float>(off::overviewMaxL + byteOffset)),
            cleanSample(control.loadPlain<float>(off::overviewMinR + byteOffset)),
            cleanSample(control.loadPlain<float>(off::overviewMaxR + byteOffset))};
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

// How much of the ring already holds audio when we start watching a running plug-in: the
// columns ahead of the write head hold audio only once the ring has wrapped.
double Engine::filledOnStart(const State& s, float writeFraction) {
    const uint32_t headColumn = static_cast<uint32_t>(writeFraction * kOverviewColumns);
    for (uint32_t column = headColumn + 2; column < kOverviewColumns; ++column) {
        const size_t a = column;
        if (s.overview[a] != 0.0f || s.overview[kOverviewColumns + a] != 0.0f ||
            s.overview[2 * kOverviewColumns + a] != 0.0f ||
            s.overview[3 * kOverviewColumns + a] != 0.0f)
            return 1.0;
    }
    return writeFraction;
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
    const int32_t lastColumn =
        cs.lastOverviewColumn >= 0 && cs.lastOverviewColumn < static_cast<int32_t>(kOverviewColumns)
            ? cs.lastOverviewColumn
            : -1;
    const bool clearedOrFirst =
        lastColumn != s.lastColumnSeen && (lastColumn < 0 || s.lastColumnSeen < 0);
    const bool watched = nowMs - overviewAskedMs_.load(std::memory_order_relaxed) <= kWatchedForMs;
    const int64_t fullCompareMs = watched ? kFullOverviewCompareMs : kIdleFullOverviewCompareMs;
    if (nowMs - s.lastFullCompareMs >= fullCompareMs || clearedOrFirst) {
        changed = refreshColumns(s, 0, kOverviewColumns, nextVersion);
        s.lastFullCompareMs = nowMs;
    } else if (lastColumn != s.lastColumnSeen) {
        const uint32_t first = static_cast<uint32_t>(s.lastColumnSeen);
        const uint32_t count =
            (static_cast<uint32_t>(lastColumn) + kOverviewColumns - first) % kOverviewColumns + 1;
        changed = refreshColumns(s, first, count, nextVersion);
    }
    if (changed)
        s.overviewVersion = nextVersion;
    s.lastColumnSeen = lastColumn;

    // Takes: a clear leaves no overview column and the head at 0.
    if (!s.takesStarted) {
        startTakes(s.takes, writeFraction, lastColumn < 0 ? 0.0 : filledOnStart(s, writeFraction));
        s.takes.lastWriteMonoMs = nowMs;
        s.takesStarted = true;
    } else if (lastColumn < 0 && writeFraction == 0.0f) {
        if (s.takes.filled > 0.0)
            startTakes(s.takes, 0.0f, 0.0);
    } else {
        trackWriteHead(s.takes, writeFraction, nowMs, wallClockMs());
    }

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
    out.capturedSeconds = s.takes.filled * ringSeconds;
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
    out.takes = listTakes(s.takes, ringSeconds);
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
    while (state_->control.load<uint8_t>(offset) != want) {
        if (Clock::now() >= deadline || !heartbeatFresh() || stopping_)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Outcome Engine::preview(float start) {
    if (!std::isfinite(start) || start < 0.0f || start > 1.0f)
        return Outcome::failure(400, "start must be a ring fraction within 0..1");
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
    return {};
}

Outcome Engine::stopPreview() {
    std::lock_guard request(requestMutex_);
    ControlSegment& control = state_->control;
    if (control.load<uint8_t>(off::previewRequest) == 1) {
        previewLoweredAtCounter_ = control.load<uint32_t>(off::updateCounter);
        previewLowered_ = true;
    }
    control.store<uint8_t>(off::previewRequest, 0);
    return {};
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
    if (Outcome answered = raiseAndAwaitLowered(off::clearRequest,
                                                "the plug-in did not clear the capture in time");
        !answered.ok)
        return answered;
    feed_->reset();
    {
        std::lock_guard lock(statusMutex_);
        startTakes(state_->takes, 0.0f, 0.0);
        state_->lastFullCompareMs = 0;  // reload the whole overview at the next poll
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
    // The plug-in's reset leaves the holds to us. Written after its answer: the block that reset
    // publishes no momentary, short-term or RMS value above them, so nothing raises them again
    // from before the reset. The crest goes too; the plug-in computes it anew once the RMS hold
    // has a value (400 ms of audio).
    ControlSegment& control = state_->control;
    for (size_t field : {off::momentaryMaxLufs, off::shortTermMaxLufs, off::rmsMaxDb, off::crestDb})
        control.storePlain<double>(field, kNoValue);
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
        control.storePlain<double>(off::momentaryMaxLufs, kNoValue);
        state_->ownHoldResetMs = monotonicMs();
        break;
    }
    case MeterHold::shortTermMax:
        control.storePlain<double>(off::shortTermMaxLufs, kNoValue);
        break;
    case MeterHold::rmsMax:
        // The crest is measured against this hold: it goes with it.
        control.storePlain<double>(off::rmsMaxDb, kNoValue);
        control.storePlain<double>(off::crestDb, kNoValue);
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
    control.store<uint8_t>(off::snapshotReady, 0);
    control.store<float>(off::selectionStart, start);
    control.store<float>(off::selectionLength, length);
    control.store<uint8_t>(off::snapshotRequest, 1);
    if (!waitForAnswer(off::snapshotReady, 1, kRequestTimeoutMs)) {
        control.store<uint8_t>(off::snapshotRequest, 0);
        return Outcome::failure(504, "the plug-in did not answer the snapshot request in time");
    }
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
    const int fd = shm_open(kSnapshotName, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return Outcome::failure(500, "the snapshot segment is missing");
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid() ||
        static_cast<uint64_t>(info.st_size) < segmentBytes) {
        ::close(fd);
        return Outcome::failure(500, "the snapshot segment is smaller than announced or not ours");
    }
    void* addr = mmap(nullptr, segmentBytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (addr == MAP_FAILED)
        return Outcome::failure(500, "the snapshot segment cannot be mapped");
    const float* floats = static_cast<const float*>(addr);
    out.frames.assign(floats + overwritten, floats + count);
    munmap(addr, segmentBytes);
    out.sampleRateHz = now.ringRateHz;
    return {};
}

Outcome Engine::analyze(float start, float length, StretchAnalysis& out,
                        std::optional<float> seenWritePos) {
    Stretch stretch;
    if (Outcome got = snapshot(start, length, stretch, seenWritePos); !got.ok)
        return got;
    out = analyzeStretch(stretch.frames, stretch.sampleRateHz);
    return {};
}

Outcome Engine::exportStretch(float start, float length, const ExportSettings& settings,
                              ExportResult& out, std::optional<float> seenWritePos,
                              std::optional<int64_t> namedAtMs) {
    Stretch stretch;
    if (Outcome got = snapshot(start, length, stretch, seenWritePos); !got.ok)
        return got;
    std::string error;
    const auto when =
        namedAtMs ? std::chrono::system_clock::time_point(std::chrono::milliseconds(*namedAtMs))
                  : std::chrono::system_clock::now();
    if (!companion::exportStretch(stretch.frames, stretch.sampleRateHz, settings,
                                  options_.exportDir, when, out, error))
        return Outcome::failure(500, error);
    return {};
}

// The ring fractions the plug-in turns into exactly the float indices [startIndex, +floats).
static void stretchFractions(uint64_t startIndex, uint64_t floats, uint64_t ringFloats,
                             float& start, float& length) {
    start = fractionForIndex(startIndex % ringFloats, ringFloats);
    length = fractionForIndex(floats, ringFloats);
    if (floats >= ringFloats)
        length = 1.0f;
}

Outcome Engine::saveLast(double seconds, const ExportSettings& settings, ExportResult& out) {
    if (!std::isfinite(seconds) || seconds <= 0.0)
        return Outcome::failure(400, "seconds must be a number above 0");
    const EngineStatus now = status();
    if (now.state != PluginState::live)
        return notLive(now.state);
    const uint64_t ringFloats = state_->control.ringFloats();
    if (now.capturedSeconds <= 0.0 || ringFloats == 0 || now.ringRateHz <= 0.0)
        return Outcome::failure(409, "nothing is captured yet");
    const double wanted = std::min(seconds, now.capturedSeconds);
    const uint64_t floats =
        std::min<uint64_t>(ringFloats, 2 * static_cast<uint64_t>(wanted * now.ringRateHz));
    if (floats == 0)
        return Outcome::failure(409, "nothing is captured yet");
    const uint64_t head = indexForFraction(now.writePosFraction, ringFloats);
    float start = 0.0f, length = 0.0f;
    stretchFractions(head + ringFloats - floats % ringFloats, floats, ringFloats, start, length);
    return exportStretch(start, length, settings, out, now.writePosFraction);
}

Outcome Engine::saveTake(int index, const ExportSettings& settings, ExportResult& out) {
    const EngineStatus now = status();
    if (now.state != PluginState::live)
        return notLive(now.state);
    if (now.takes.empty())
        return Outcome::failure(409, "nothing is captured yet");
    if (index < -1 || index >= static_cast<int>(now.takes.size()))
        return Outcome::failure(400, "no take with that index");
    const Take& take = now.takes[index < 0 ? now.takes.size() - 1 : static_cast<size_t>(index)];
    const uint64_t ringFloats = state_->control.ringFloats();
    if (ringFloats == 0)
        return Outcome::failure(409, "nothing is captured yet");
    const uint64_t startIndex = indexForFraction(take.start, ringFloats);
    uint64_t floats = indexForFraction(take.length, ringFloats);
    if (take.length >= 1.0f)
        floats = ringFloats;
    if (floats == 0)
        return Outcome::failure(409, "the take is too short to save");
    float start = 0.0f, length = 0.0f;
    stretchFractions(startIndex, floats, ringFloats, start, length);
    return exportStretch(start, length, settings, out, now.writePosFraction,
                         take.wallClockMs > 0 ? std::optional<int64_t>(take.wallClockMs)
                                              : std::nullopt);
}

}  // namespace companion
