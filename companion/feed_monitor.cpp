#include "companion/feed_monitor.h"

#include "companion/dsp.h"
#include "companion/feed_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace companion {

namespace {

// About 22 spectra per second of wall time.
constexpr auto kSpectrumPeriod = std::chrono::milliseconds(45);
// The spectrum is only for the eyes: it is analysed while someone asked for it this recently.
constexpr int64_t kSpectrumInterestMs = 1000;

int64_t steadyMs(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

using Clock = std::chrono::steady_clock;

double secondsOf(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

struct FeedMonitor::State : FeedSink {
    // Published: read by any thread under the mutex.
    mutable std::mutex mutex;
    FeedSnapshot published{};
    std::vector<LoudnessPoint> history = std::vector<LoudnessPoint>(kHistoryCapacityPoints);
    uint64_t historyEnd = 0;
    SpectrumBands bands{};

    std::atomic<bool> resetRequested{false};
    std::atomic<bool> truePeakMaxResetRequested{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<int64_t> spectrumReadMs{INT64_MIN / 2};  // steady ms of the last spectrum() call
    bool spectrumWatched = false;  // [feed-thread] a page asked lately: analyse, poll sooner
    std::thread thread;

    // The feed thread's own.
    FeedReader reader;
    LevelAnalysis levels;
    SpectrumAnalysis spectrum;
    uint64_t resets = 0;
    bool bandsChanged = false;

    // [feed-thread] Everything measured restarts; the history counts from 0 again.
    void restartAnalysis(double rateHz) {
        startLevels(levels, rateHz);
        if (rateHz != spectrum.rateHz) {
            startSpectrum(spectrum, rateHz);
            bandsChanged = true;
        } else {
            resetSpectrumPeaks(spectrum);
        }
        ++resets;
        std::lock_guard lock(mutex);
        historyEnd = 0;
    }

    void feedRestarted(double rateHz) override { restartAnalysis(rateHz); }  // [feed-thread]
    void feedGap(uint64_t) override {}  // [feed-thread] the reader counts the frames
    // [feed-thread]
    void feedFrames(const float* left, const float* right, size_t frames,
                    uint32_t channels) override {
        addLevelFrames(levels, left, right, frames);
        if (spectrumWatched)
            addSpectrumFrames(spectrum, left, right, frames, channels);
    }

    // [feed-thread] Takes the new history points and the current readings into the published
    // records.
    void publish(FeedState state) {
        const LevelReadings readings = readLevels(levels);
        std::lock_guard lock(mutex);
        for (const LoudnessPoint& point : levels.newPoints)
            history[historyEnd++ % kHistoryCapacityPoints] = point;
        levels.newPoints.clear();
        const bool live = state == FeedState::live;
        published.connected = live;
        published.sampleRateHz = live ? reader.rateHz : 0.0;
        published.channels = live ? reader.channels : 2;
        published.framesRead = reader.framesRead;
        published.framesLost = reader.framesLost;
        published.truePeakDb = readings.truePeakDb;
        published.truePeakMaxDb = readings.truePeakMaxDb;
        published.lraLu = readings.lraLu;
        for (int c = 0; c < 2; ++c) {
            published.channelRmsDb[c] = readings.channelRmsDb[c];
            published.channelCrestDb[c] = readings.channelCrestDb[c];
            published.channelPeakDb[c] = readings.channelPeakDb[c];
        }
        published.historyEnd = historyEnd;
        published.resets = resets;
    }

    // [feed-thread]
    void publishSpectrum() {
        std::lock_guard lock(mutex);
        if (bandsChanged) {
            bands.centreHz = spectrum.centreHz;
            bandsChanged = false;
        }
        bands.levelDb.assign(spectrum.levelDb.begin(), spectrum.levelDb.end());
        bands.peakDb.assign(spectrum.peakDb.begin(), spectrum.peakDb.end());
        bands.sampleRateHz = spectrum.rateHz;
        bands.sequence = spectrum.sequence;
    }

    // [feed-thread]
    void run() {
        // Without a watch the thread polls the name at the idle pace alone.
        FeedNameWatch watch;
        openFeedNameWatch(watch, reader.name);
        Clock::time_point nextSpectrum = Clock::now();
        while (!stopRequested.load(std::memory_order_acquire)) {
            const Clock::time_point now = Clock::now();
            if (resetRequested.exchange(false, std::memory_order_acq_rel) && reader.rateHz > 0.0)
                restartAnalysis(reader.rateHz);
            if (truePeakMaxResetRequested.exchange(false, std::memory_order_acq_rel))
                levels.maxPeak = 0.0;
            const auto nowMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
            spectrumWatched = nowMs.count() - spectrumReadMs.load(std::memory_order_relaxed) <=
                              kSpectrumInterestMs;
            const FeedState state = pollFeed(reader, *this, nowMs.count());
            publish(state);
            if (state == FeedState::live && spectrumWatched && now >= nextSpectrum) {
                analyseSpectrum(spectrum, secondsOf(now));
                publishSpectrum();
                nextSpectrum = std::max(nextSpectrum + kSpectrumPeriod, now);
            }
            // Paced from the end of this poll: a late one is not made up for with a burst. A new
            // segment under the name cuts the wait short.
            const int64_t longestMs = spectrumWatched ? kFeedPollMs : kFeedUnwatchedPollMs;
            if (waitForFeedName(watch, nextPollDelayMs(reader, longestMs)))
                feedNameChanged(reader, steadyMs(Clock::now()));
        }
    }
};

// [main-thread]
FeedMonitor::FeedMonitor(const char* feedName) : state_(new State) {
    if (feedName != nullptr)
        state_->reader.name = feedName;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    FeedSnapshot& p = state_->published;
    p.truePeakDb = p.truePeakMaxDb = p.lraLu = nan;
    p.channelRmsDb[0] = p.channelRmsDb[1] = p.channelCrestDb[0] = p.channelCrestDb[1] = nan;
    p.channelPeakDb[0] = p.channelPeakDb[1] = nan;
    state_->published.channels = 2;
}

// [main-thread]
FeedMonitor::~FeedMonitor() {
    stop();
    delete state_;
}

// [main-thread]
void FeedMonitor::start() {
    if (state_->thread.joinable())
        return;
    state_->stopRequested.store(false, std::memory_order_release);
    state_->thread = std::thread([s = state_] {
        pthread_setname_np(pthread_self(), "feed-monitor");  // for profiles and companion_cpu
        s->run();
    });
}

// [main-thread] Returns within one poll period.
void FeedMonitor::stop() {
    if (!state_->thread.joinable())
        return;
    state_->stopRequested.store(true, std::memory_order_release);
    state_->thread.join();
}

// [engine-thread] [server-thread]
FeedSnapshot FeedMonitor::snapshot() const {
    std::lock_guard lock(state_->mutex);
    return state_->published;
}

// [engine-thread] [server-thread]
uint64_t FeedMonitor::history(uint64_t from, std::vector<LoudnessPoint>& out) const {
    std::lock_guard lock(state_->mutex);
    const uint64_t end = state_->historyEnd;
    const uint64_t oldest = end > kHistoryCapacityPoints ? end - kHistoryCapacityPoints : 0;
    const uint64_t first = std::clamp(from, oldest, end);
    out.resize(end - first);
    for (uint64_t i = first; i < end; ++i)
        out[i - first] = state_->history[i % kHistoryCapacityPoints];
    return first;
}

// [engine-thread] [server-thread]
SpectrumBands FeedMonitor::spectrum() const {
    state_->spectrumReadMs.store(steadyMs(Clock::now()), std::memory_order_relaxed);
    std::lock_guard lock(state_->mutex);
    return state_->bands;
}

// [engine-thread] [server-thread] Applied by the feed thread at its next poll.
void FeedMonitor::reset() {
    state_->resetRequested.store(true, std::memory_order_release);
}

// [engine-thread] [server-thread] Applied by the feed thread at its next poll.
void FeedMonitor::resetTruePeakMax() {
    state_->truePeakMaxResetRequested.store(true, std::memory_order_release);
}

}  // namespace companion
