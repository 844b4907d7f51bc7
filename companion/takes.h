// Takes: stretches of the ring captured without a pause. The gate skips silence, so ring
// positions are captured time, not wall time; the wall clock of the moment each stretch was
// written tells them apart. A pause of more than kTakePauseMs between writes ends a take.
// [engine-thread] The tracker is fed by the engine's poll; the list is copied out under its lock.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace companion {

inline constexpr int64_t kTakePauseMs = 1000;

struct Take {
    float start;            // ring fraction of its first frame
    float length;           // ring fraction
    double seconds;         // of captured audio
    int64_t wallClockMs;    // Unix time (ms) when its first frame was written; 0 unknown
    int64_t historyId = 0;  // its take in the history; 0 when not kept there
};

// A take start in unrolled ring coordinates: laps of the ring plus the fraction.
struct TakeMark {
    double position;      // laps + fraction at the take's first frame
    int64_t wallClockMs;  // when it was seen written (0: before the daemon watched)
};

struct TakeTracker {
    bool started = false;         // the first write position has been seen
    double head = 0.0;            // unrolled write position (laps + fraction)
    float lastFraction = 0.0f;    // the plug-in's writePosFraction at the last poll
    int64_t lastWriteMonoMs = 0;  // monotonic ms of the last poll that saw the head move
    double filled = 0.0;          // ring fractions holding audio, at most 1
    std::deque<TakeMark> marks;   // oldest first
};

// [engine-thread] Starts a tracker for a ring whose head is at writeFraction and which holds
// filledFraction of audio already (written before we watched: one take of unknown time).
void startTakes(TakeTracker& tracker, float writeFraction, double filledFraction);
// [engine-thread] One poll: the write head now at writeFraction. A move of more than a whole
// lap between polls cannot be seen; the engine polls far more often than that.
void trackWriteHead(TakeTracker& tracker, float writeFraction, int64_t monoMs, int64_t wallMs);
// [engine-thread] The takes still in the ring, oldest first; a take the head overwrote in part
// starts at the oldest frame left.
std::vector<Take> listTakes(const TakeTracker& tracker, double ringSeconds);

}  // namespace companion
