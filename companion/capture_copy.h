// The daemon's own copy of the capture: every frame the plug-in's write head adds to the ring is
// copied out (through the snapshot handshake, by the engine) into memory of the daemon's, bit for
// bit, so that what the page shows can always be saved: while the host is stopped, after the
// plug-in is gone, at any speed.
//
// Frames are numbered within a ring generation from 0 (the generation's first frame) upwards:
// frames copied and frames lost alike, so a frame's number never changes. A generation is one
// unbroken run of one plug-in instance's ring at one rate: a new instance, an activation at
// another rate or a clear start the next one. Takes (a pause of more than kTakePauseMs of wall
// clock between writes ends one) begin at exact frame numbers. Frames the head overwrote before
// they were copied are lost: counted and remembered as stretches, never filled with silence.
//
// The copy keeps the newest ring's worth of frames (every frame still in the plug-in's ring);
// finished takes live on in the history (history.h), which the copy feeds as frames arrive.
//
// Threads: one writer (the engine's copy thread, [engine-thread]) under the engine's lock; the
// readers take the same lock. Plain records and free functions.
#pragma once

#include "companion/history.h"
#include "companion/takes.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace companion {

inline constexpr size_t kMaxCopyTakes = 4096;  // an hour of one-second phrases
inline constexpr size_t kMaxLostStretches = 256;

// A take within the generation. It ends where the next one begins, or at the copy's end.
struct CopyTake {
    uint64_t firstFrame;    // its first frame's number
    int64_t wallClockMs;    // Unix ms when its first frame was seen written; 0 unknown
    int64_t historyId = 0;  // its take in the history; 0 while none
    bool finished = false;  // ended: a pause, a loss or the generation's end
    // The history gets the take from this frame on (UINT64_MAX: never), started at this time:
    // audio found in the ring at the daemon's start is not written again.
    uint64_t historyFirst = 0;
    int64_t historyStartMs = 0;
};

// Frames the head overwrote before they were copied: [firstFrame, firstFrame + frames).
struct LostStretch {
    uint64_t firstFrame;
    uint64_t frames;
};

struct CaptureCopy {
    uint64_t generation = 0;      // 0: no generation yet (nothing seen)
    double rateHz = 0.0;          // the rate the generation's frames were captured at
    uint64_t ringFrames = 0;      // the plug-in's ring, in stereo frames
    uint64_t originIndex = 0;     // ring float index of frame 0
    std::vector<float> store;     // circular, 2 * ringFrames floats: frame f at (f % ringFrames)
    uint64_t keptFirst = 0;       // oldest frame held in store
    uint64_t copiedEnd = 0;       // frames [0, copiedEnd) are copied or lost
    uint64_t headFrame = 0;       // the plug-in's write head as last seen, >= copiedEnd
    int64_t lastMoveMonoMs = 0;   // monotonic ms of the last poll that saw the head move
    int64_t lastStillMonoMs = 0;  // of the last poll that saw it where the one before left it
    uint64_t lostFrames = 0;
    std::deque<LostStretch> lost;  // newest last
    std::deque<CopyTake> takes;    // oldest first
};

// [engine-thread] Starts generation number `generation` for a ring of ringFrames stereo frames
// whose write head is at float index headIndex and which holds filledFrames of this generation
// behind it: one take from frame 0, seen at wallMs. foundAtStart: audio the daemon found in the
// ring when it started, written before it watched (its wall clock unknown, and already in the
// history as far as a daemon before it wrote it): the history gets only what follows. Open takes
// of the previous generation must have been finished (finishTakes) before.
void startGeneration(CaptureCopy& copy, uint64_t generation, double rateHz, uint64_t ringFrames,
                     uint64_t headIndex, uint64_t filledFrames, int64_t wallMs, bool foundAtStart);

// [engine-thread] The head is at float index headIndex: its movement since the last call (less
// than a lap) is added; a move after the head was seen standing still for more than kTakePauseMs
// begins a take at the old head (a daemon that did not look for a while saw no pause). Returns
// the frames it moved.
uint64_t noteHead(CaptureCopy& copy, uint64_t headIndex, int64_t monoMs, int64_t wallMs);

// [engine-thread] The head went at least one more lap than noteHead could see: counts it.
void addLap(CaptureCopy& copy);

// [any-thread] The ring float index that frame `frame` of the generation occupies.
uint64_t ringIndexOf(const CaptureCopy& copy, uint64_t frame);
// [any-thread] Frames seen written but not copied yet.
inline uint64_t pendingFrames(const CaptureCopy& copy) {
    return copy.headFrame - copy.copiedEnd;
}

// [engine-thread] Appends frames copied out of the ring (interleaved stereo), the next ones after
// copiedEnd, and hands them to the history (may be nullptr) take by take.
void appendCopied(CaptureCopy& copy, const float* interleaved, uint64_t frames, History* history,
                  int64_t wallMs);
// [engine-thread] The next `frames` frames after copiedEnd were overwritten before they could
// be copied. The take they were in ends there; the frames after them begin a take.
void loseFrames(CaptureCopy& copy, uint64_t frames, History* history);
// [engine-thread] Ends the takes still open (generation over), or only a take whose frames are
// all copied and whose head has stood still for more than kTakePauseMs (pausedOnly).
void finishTakes(CaptureCopy& copy, History* history, bool pausedOnly, int64_t monoMs);

// The frames the copy holds that are still in the plug-in's ring: [first, end).
struct CopySpan {
    uint64_t first = 0;
    uint64_t end = 0;
    uint64_t frames() const { return end - first; }
};
// [any-thread]
CopySpan heldSpan(const CaptureCopy& copy);

// [any-thread] Frames [first, first + frames) as interleaved stereo, clipped to what the copy
// holds; returns the first frame delivered (out is empty when none is held).
uint64_t readCopy(const CaptureCopy& copy, uint64_t first, uint64_t frames,
                  std::vector<float>& out);

// [any-thread] The frame at ring float index `index` (even), counted back from headIndexSeen,
// a head position the caller saw: the newest ring's worth as it stood then. The result may be
// below the generation's start (wraps to a huge number, never held): callers clip with heldSpan.
int64_t frameAtIndex(const CaptureCopy& copy, uint64_t index, uint64_t headIndexSeen);

// [any-thread] The takes in the held span, oldest first, as ring fractions and seconds.
std::vector<Take> listCopyTakes(const CaptureCopy& copy);

// [any-thread] The takes in the held span as frame numbers, oldest first, in the order of
// listCopyTakes (take: the index into copy.takes).
struct TakeFrames {
    uint64_t first;
    uint64_t end;
    size_t take;
};
std::vector<TakeFrames> copyTakeFrames(const CaptureCopy& copy);

// [any-thread] The ring fraction people read for float index `index` (0 for 0), one the plug-in
// turns back into exactly that index.
float ringFractionOf(uint64_t index, uint64_t ringFloats);

// [any-thread] The overview column the plug-in writes the frame at ring float index `index` into
// (the column of the position after the write, as the plug-in computes it in single precision).
uint32_t overviewColumnOf(uint64_t index, uint64_t ringFloats);

}  // namespace companion
