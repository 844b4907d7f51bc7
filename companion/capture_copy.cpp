#include "companion/capture_copy.h"

#include "companion/ring_fractions.h"
#include "companion/segments.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace companion {

namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

uint64_t ringFloatsOf(const CaptureCopy& copy) {
    return 2 * copy.ringFrames;
}

// Takes that ended before the held span are the history's now; the list stays short.
void dropOldTakes(CaptureCopy& copy) {
    const uint64_t first = heldSpan(copy).first;
    while (copy.takes.size() > 1 && copy.takes[0].finished &&
           (copy.takes[1].firstFrame <= first || copy.takes.size() > kMaxCopyTakes))
        copy.takes.pop_front();
}

void finishTake(CopyTake& take, History* history) {
    if (take.finished)
        return;
    take.finished = true;
    if (history != nullptr && take.historyId != 0)
        history->finishTake(take.historyId);
}

}  // namespace

// [engine-thread]
void startGeneration(CaptureCopy& copy, uint64_t generation, double rateHz, uint64_t ringFrames,
                     uint64_t headIndex, uint64_t filledFrames, int64_t wallMs, bool foundAtStart) {
    copy = CaptureCopy{};
    copy.generation = generation;
    copy.rateHz = rateHz;
    copy.ringFrames = ringFrames;
    if (ringFrames == 0)
        return;
    filledFrames = std::min(filledFrames, ringFrames);
    const uint64_t ringFloats = ringFloatsOf(copy);
    copy.originIndex =
        (headIndex % ringFloats + ringFloats - 2 * (filledFrames % ringFrames)) % ringFloats;
    copy.headFrame = filledFrames;
    copy.store.assign(2 * ringFrames, 0.0f);
    if (filledFrames > 0) {
        CopyTake take{0, foundAtStart ? 0 : wallMs};
        take.historyFirst = foundAtStart ? filledFrames : 0;
        take.historyStartMs = wallMs;
        copy.takes.push_back(take);
    }
}

// [any-thread]
uint64_t ringIndexOf(const CaptureCopy& copy, uint64_t frame) {
    const uint64_t ringFloats = ringFloatsOf(copy);
    if (ringFloats == 0)
        return 0;
    return (copy.originIndex + 2 * (frame % copy.ringFrames)) % ringFloats;
}

// [engine-thread]
uint64_t noteHead(CaptureCopy& copy, uint64_t headIndex, int64_t monoMs, int64_t wallMs) {
    const uint64_t ringFloats = ringFloatsOf(copy);
    if (ringFloats == 0)
        return 0;
    const uint64_t now = ringIndexOf(copy, copy.headFrame);
    const uint64_t moved = ((headIndex % ringFloats) + ringFloats - now) % ringFloats / 2;
    if (moved == 0) {
        copy.lastStillMonoMs = monoMs;
        return 0;
    }
    // While the gate is closed the head stands still, so the old head is exactly where the new
    // audio begins.
    if (copy.takes.empty() || copy.takes.back().finished ||
        copy.lastStillMonoMs - copy.lastMoveMonoMs > kTakePauseMs) {
        if (!copy.takes.empty() && copy.takes.back().firstFrame == copy.headFrame)
            copy.takes.pop_back();  // a take of no frames (a loss left it)
        CopyTake take{copy.headFrame, wallMs};
        take.historyFirst = copy.headFrame;
        take.historyStartMs = wallMs;
        copy.takes.push_back(take);
    }
    copy.headFrame += moved;
    copy.lastMoveMonoMs = monoMs;
    return moved;
}

// [engine-thread]
void addLap(CaptureCopy& copy) {
    copy.headFrame += copy.ringFrames;
    // The lap's frames follow a hole: a take of their own, of unknown wall clock.
    if (copy.takes.empty() || copy.takes.back().finished) {
        CopyTake take{copy.copiedEnd, 0};
        take.historyFirst = copy.copiedEnd;
        copy.takes.push_back(take);
    }
}

// [engine-thread]
void appendCopied(CaptureCopy& copy, const float* interleaved, uint64_t frames, History* history,
                  int64_t wallMs) {
    if (frames == 0 || copy.ringFrames == 0)
        return;
    frames = std::min(frames, copy.headFrame - copy.copiedEnd);
    const uint64_t from = copy.copiedEnd;
    const uint64_t to = from + frames;
    // Into the circular store, in at most two pieces; only the newest ring's worth stays.
    const uint64_t skip = frames > copy.ringFrames ? frames - copy.ringFrames : 0;
    uint64_t frame = from + skip;
    const float* source = interleaved + 2 * skip;
    while (frame < to) {
        const uint64_t slot = frame % copy.ringFrames;
        const uint64_t run = std::min(to - frame, copy.ringFrames - slot);
        std::memcpy(copy.store.data() + 2 * slot, source, run * 2 * sizeof(float));
        source += 2 * run;
        frame += run;
    }
    copy.copiedEnd = to;
    copy.keptFirst = std::max(copy.keptFirst, to > copy.ringFrames ? to - copy.ringFrames : 0);

    // Each take's part of the new frames goes to its history take; a take whose successor has
    // begun is complete.
    for (size_t t = 0; t < copy.takes.size(); ++t) {
        CopyTake& take = copy.takes[t];
        if (take.firstFrame >= to)
            break;
        const uint64_t end = t + 1 < copy.takes.size() ? copy.takes[t + 1].firstFrame : kNever;
        if (end <= from) {
            if (end <= to)
                finishTake(take, history);
            continue;
        }
        const uint64_t a = std::max(from, take.historyFirst);
        const uint64_t b = std::min(to, end);
        if (history != nullptr && !take.finished && a < b) {
            if (take.historyId == 0 && a == take.historyFirst)
                take.historyId = history->beginTake(
                    copy.generation, take.historyStartMs > 0 ? take.historyStartMs : wallMs,
                    copy.rateHz);
            if (take.historyId != 0)
                history->append(take.historyId, interleaved + 2 * (a - from), b - a);
        }
        if (end <= to)
            finishTake(take, history);
    }
    dropOldTakes(copy);
}

// [engine-thread]
void loseFrames(CaptureCopy& copy, uint64_t frames, History* history) {
    if (frames == 0)
        return;
    const uint64_t from = copy.copiedEnd;
    const uint64_t to = from + frames;
    for (CopyTake& take : copy.takes)
        if (take.firstFrame < to)
            finishTake(take, history);
    // Takes that began inside the hole keep only their frames after it: the newest of them
    // moves to the hole's end, the others are gone.
    std::optional<CopyTake> resumed;
    while (!copy.takes.empty() && copy.takes.back().firstFrame >= from &&
           copy.takes.back().firstFrame <= to) {
        if (!resumed)
            resumed = copy.takes.back();
        copy.takes.pop_back();
    }
    if (!resumed && copy.headFrame > to)
        resumed = CopyTake{to, 0};
    if (resumed) {
        resumed->firstFrame = resumed->historyFirst = to;
        resumed->finished = false;
        resumed->historyId = 0;
        copy.takes.push_back(*resumed);
    }
    copy.lost.push_back({from, frames});
    while (copy.lost.size() > kMaxLostStretches)
        copy.lost.pop_front();
    copy.lostFrames += frames;
    copy.copiedEnd = to;
    copy.keptFirst = to;  // what was kept before the hole is older than the ring
    copy.headFrame = std::max(copy.headFrame, to);
    dropOldTakes(copy);
}

// [engine-thread]
void finishTakes(CaptureCopy& copy, History* history, bool pausedOnly, int64_t monoMs) {
    if (copy.takes.empty())
        return;
    if (!pausedOnly) {
        for (CopyTake& take : copy.takes)
            finishTake(take, history);
        return;
    }
    if (pendingFrames(copy) == 0 && monoMs - copy.lastMoveMonoMs > kTakePauseMs)
        finishTake(copy.takes.back(), history);
}

// [any-thread]
CopySpan heldSpan(const CaptureCopy& copy) {
    CopySpan span;
    span.end = copy.copiedEnd;
    const uint64_t ringStart =
        copy.headFrame > copy.ringFrames ? copy.headFrame - copy.ringFrames : 0;
    span.first = std::min(std::max(copy.keptFirst, ringStart), span.end);
    return span;
}

// [any-thread]
uint64_t readCopy(const CaptureCopy& copy, uint64_t first, uint64_t frames,
                  std::vector<float>& out) {
    out.clear();
    const uint64_t a = std::max(first, copy.keptFirst);
    const uint64_t b = std::min(first + frames, copy.copiedEnd);
    if (copy.ringFrames == 0 || a >= b)
        return a;
    out.resize(2 * (b - a));
    float* target = out.data();
    for (uint64_t frame = a; frame < b;) {
        const uint64_t slot = frame % copy.ringFrames;
        const uint64_t run = std::min(b - frame, copy.ringFrames - slot);
        std::memcpy(target, copy.store.data() + 2 * slot, run * 2 * sizeof(float));
        target += 2 * run;
        frame += run;
    }
    return a;
}

// [any-thread]
int64_t frameAtIndex(const CaptureCopy& copy, uint64_t index, uint64_t headIndexSeen) {
    const uint64_t ringFloats = ringFloatsOf(copy);
    if (ringFloats == 0)
        return -1;
    index %= ringFloats;
    headIndexSeen %= ringFloats;
    const uint64_t headNow = ringIndexOf(copy, copy.headFrame);
    const uint64_t since = (headNow + ringFloats - headIndexSeen) % ringFloats / 2;
    const int64_t seenHead = static_cast<int64_t>(copy.headFrame) - static_cast<int64_t>(since);
    const uint64_t fromOldest = (index + ringFloats - headIndexSeen) % ringFloats / 2;
    return seenHead - static_cast<int64_t>(copy.ringFrames) + static_cast<int64_t>(fromOldest);
}

// [any-thread]
std::vector<TakeFrames> copyTakeFrames(const CaptureCopy& copy) {
    std::vector<TakeFrames> out;
    const CopySpan span = heldSpan(copy);
    for (size_t t = 0; t < copy.takes.size(); ++t) {
        const uint64_t end =
            t + 1 < copy.takes.size() ? copy.takes[t + 1].firstFrame : copy.copiedEnd;
        const uint64_t a = std::max(copy.takes[t].firstFrame, span.first);
        const uint64_t b = std::min(end, span.end);
        if (a < b)
            out.push_back({a, b, t});
    }
    return out;
}

// [any-thread]
std::vector<Take> listCopyTakes(const CaptureCopy& copy) {
    std::vector<Take> takes;
    const uint64_t ringFloats = ringFloatsOf(copy);
    for (const TakeFrames& frames : copyTakeFrames(copy)) {
        const uint64_t n = frames.end - frames.first;
        Take take{};
        take.start = ringFractionOf(ringIndexOf(copy, frames.first), ringFloats);
        take.length = n >= copy.ringFrames ? 1.0f : ringFractionOf(2 * n, ringFloats);
        take.seconds = copy.rateHz > 0.0 ? static_cast<double>(n) / copy.rateHz : 0.0;
        take.wallClockMs = copy.takes[frames.take].wallClockMs;
        take.historyId = copy.takes[frames.take].historyId;
        takes.push_back(take);
    }
    return takes;
}

// [any-thread]
float ringFractionOf(uint64_t index, uint64_t ringFloats) {
    if (ringFloats == 0)
        return 0.0f;
    const float plain = static_cast<float>(index) / static_cast<float>(ringFloats);
    return pluginIndex(plain, ringFloats) == index ? plain : fractionForIndex(index, ringFloats);
}

// [any-thread]
uint32_t overviewColumnOf(uint64_t index, uint64_t ringFloats) {
    if (ringFloats == 0)
        return 0;
    const uint64_t position = (index + 2) % ringFloats;
    const float x = static_cast<float>(position) * static_cast<float>(kOverviewColumns) /
                    static_cast<float>(ringFloats);
    const int32_t column = static_cast<int32_t>(x);
    return static_cast<uint32_t>(std::clamp<int32_t>(column, 0, kOverviewColumns - 1));
}

}  // namespace companion
