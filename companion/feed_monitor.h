// Follows the plug-in's spectrum feed on its own thread (feed_reader.h reads it losslessly) and
// measures what the plug-in does not: true peak and its maximum, loudness range, a loudness
// history and a spectrum (dsp.h). The engine and the server read the results from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace companion {

inline constexpr int kHistoryPointsPerSecond = 10;                                    // of audio
inline constexpr size_t kHistoryCapacityPoints = 2 * 3600 * kHistoryPointsPerSecond;  // 2 h

// One history point, 0.1 s of audio; NaN where there is no value yet.
struct LoudnessPoint {
    float momentaryLufs;
    float shortTermLufs;
};

struct FeedSnapshot {
    bool connected;            // a live feed is mapped
    double sampleRateHz;       // of the feed; 0 while not connected
    uint32_t channels;         // 1 or 2
    uint64_t framesRead;       // since the daemon started
    uint64_t framesLost;       // overwritten before they could be read, since the daemon started
    double truePeakDb;         // dBTP over the newest 400 ms; NaN for no value
    double truePeakMaxDb;      // since the last reset; NaN for no value
    double lraLu;              // since the last reset; NaN until there is enough audio
    double channelRmsDb[2];    // per channel over the newest 400 ms (dsp.h); NaN for none
    double channelCrestDb[2];  // per channel, peak over that channel's RMS, >= 0; NaN for none
    double channelPeakDb[2];   // per channel, sample peak over the newest 400 ms; NaN for none
    uint64_t historyEnd;       // index just past the newest history point (counts since reset)
    uint64_t resets;           // bumps at every reset (history indices restart)
};

// Log-frequency bands of the newest frames, in dBFS (a full-scale sine reads 0 dB).
struct SpectrumBands {
    std::vector<float> centreHz;  // fixed while the rate stays
    std::vector<float> levelDb;   // current, floor kSpectrumFloorDb
    std::vector<float> peakDb;    // peak hold, decaying
    double sampleRateHz;
    uint64_t sequence;  // bumps at every new analysis
};
inline constexpr float kSpectrumFloorDb = -120.0f;

class FeedMonitor {
public:
    // Follows the plug-in's feed, or the segment of another name (tests and benchmarks).
    explicit FeedMonitor(const char* feedName = nullptr);
    ~FeedMonitor();
    FeedMonitor(const FeedMonitor&) = delete;
    FeedMonitor& operator=(const FeedMonitor&) = delete;

    void start();  // [main-thread] starts the feed thread
    void stop();   // [main-thread]

    FeedSnapshot snapshot() const;
    // History points with index >= from (clamped to what is kept), oldest first; returns the
    // index of out[0].
    uint64_t history(uint64_t from, std::vector<LoudnessPoint>& out) const;
    // The spectrum is analysed (about 22 times a second) only while this is being called, at
    // least once a second: without a page open the daemon spends nothing on it.
    SpectrumBands spectrum() const;
    // Restart true peak, LRA and history (a meter reset, a clear). Rate changes and a rebuilt
    // feed restart them by themselves.
    void reset();
    // Empties the true peak's maximum only (applied at the next poll).
    void resetTruePeakMax();

private:
    struct State;
    State* state_;
};

}  // namespace companion
