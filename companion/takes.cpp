#include "companion/takes.h"

#include <algorithm>
#include <cmath>

namespace companion {

namespace {

// Enough for an hour of one-second phrases; older marks are long overwritten by then.
constexpr size_t kMaxMarks = 4096;

float ringFraction(double position) {
    const double fraction = position - std::floor(position);
    return fraction >= 1.0 ? 0.0f : static_cast<float>(fraction);
}

}  // namespace

// [engine-thread]
void startTakes(TakeTracker& tracker, float writeFraction, double filledFraction) {
    tracker = TakeTracker{};
    tracker.started = true;
    tracker.lastFraction = writeFraction;
    tracker.head = writeFraction;
    tracker.filled = std::clamp(filledFraction, 0.0, 1.0);
    // Audio written before we watched: one take whose wall-clock time nobody knows.
    if (tracker.filled > 0.0)
        tracker.marks.push_back({tracker.head - tracker.filled, 0});
}

// [engine-thread]
void trackWriteHead(TakeTracker& tracker, float writeFraction, int64_t monoMs, int64_t wallMs) {
    if (!tracker.started) {
        startTakes(tracker, writeFraction, 0.0);
        tracker.lastWriteMonoMs = monoMs;
    }
    double moved = static_cast<double>(writeFraction) - tracker.lastFraction;
    if (moved == 0.0)
        return;
    if (moved < 0.0)
        moved += 1.0;  // the head wrapped past the ring's end
    // While the gate is closed the head stands still, so the old head is exactly where the new
    // audio begins.
    if (tracker.marks.empty() || monoMs - tracker.lastWriteMonoMs > kTakePauseMs)
        tracker.marks.push_back({tracker.head, wallMs});
    tracker.head += moved;
    tracker.filled = std::min(1.0, tracker.filled + moved);
    tracker.lastFraction = writeFraction;
    tracker.lastWriteMonoMs = monoMs;

    // Drop takes the head has overwritten completely.
    const double oldest = tracker.head - tracker.filled;
    while (tracker.marks.size() > 1 && tracker.marks[1].position <= oldest)
        tracker.marks.pop_front();
    while (tracker.marks.size() > kMaxMarks)
        tracker.marks.pop_front();
}

// [engine-thread]
std::vector<Take> listTakes(const TakeTracker& tracker, double ringSeconds) {
    std::vector<Take> takes;
    const double oldest = tracker.head - tracker.filled;
    for (size_t i = 0; i < tracker.marks.size(); ++i) {
        const double start = std::max(tracker.marks[i].position, oldest);
        const double end =
            i + 1 < tracker.marks.size() ? tracker.marks[i + 1].position : tracker.head;
        if (end <= start)
            continue;
        takes.push_back({ringFraction(start), static_cast<float>(end - start),
                         (end - start) * ringSeconds, tracker.marks[i].wallClockMs});
    }
    return takes;
}

}  // namespace companion
