// Capture: the 60-second interleaved stereo ring with its silence gate, the waveform overview
// drawn into the control block, preview playback from the ring, and the export snapshot segment.
//
// Positions into the ring count floats, not frames, and are always even: the left sample of a
// frame sits at the even index, the right one at the next. Fractions exchanged with the companion
// are f32 fractions of the ring's length.
#pragma once

#include "shm/control_block.h"
#include "shm/shared_memory.h"

#include <atomic>
#include <cstdint>
#include <vector>

inline constexpr double kRingSeconds = 60.0;
inline constexpr double kRingFloatsPerSecond = 2.0 * kRingSeconds;  // two channels
inline constexpr double kGateTailSeconds =
    0.25;  // quiet frames still written after the last loud one
inline constexpr double kGateCeilingSeconds = 0.375;  // where the silence counter stops counting
inline constexpr float kDefaultSilenceThreshold = 2.5e-4f;  // linear, about -72 dBFS
inline constexpr float kOverviewColumnsF = 64000.0f;
inline constexpr int32_t kLastOverviewColumn = 63999;
inline constexpr float kPreviewFadeRate = 100.0f;  // 1 / 10 ms
inline constexpr const char* kSnapshotSegmentName = "ORV_Tessarin_ExportSnapshot";

struct CaptureRing {
    double capturedRate = 0.0;          // Hz at which the ring's content was recorded
    std::vector<float> buffer;          // interleaved ring, captureSize floats
    uint64_t captureSize = 0;           // ring length in floats, even; 0 until the first activation
    std::atomic<uint64_t> writePos{0};  // next write index, even; stored once per block
    bool captureAllocated = false;      // the first activation has sized the ring
    int32_t lastOverviewColumn = -1;    // overview column of the last written frame, -1 = none
    uint64_t silenceCounter = 0;        // quiet frames since the last loud one, up to the ceiling
};

// Silence-gate limits in frames, derived from the rate at every block.
struct GateLimits {
    uint64_t tailFrames;     // a frame is written only while silenceCounter is below this
    uint64_t ceilingFrames;  // silenceCounter saturates here; its value after activation and clear
};

inline GateLimits gateLimits(double sampleRate) {
    return {static_cast<uint64_t>(sampleRate * kGateTailSeconds),
            static_cast<uint64_t>(sampleRate * kGateCeilingSeconds)};
}

// Ring length in floats for a rate: 60 s of two channels, made even.
inline uint64_t captureSizeForRate(double sampleRate) {
    return static_cast<uint64_t>(sampleRate * kRingFloatsPerSecond) & ~uint64_t{1};
}

// The largest ring the snapshot segment can hold: its size is announced as a u32 byte count.
inline constexpr uint64_t kMaxRingBytes = UINT32_MAX;

// [main-thread, first activation] A zero-filled ring for the rate (every page touched here), or
// false with buffer untouched when the memory cannot be had: nothing may throw out of the entry
// points, and a refused activation must leave the instance as it was.
bool allocateCaptureRing(std::vector<float>& buffer, double sampleRate) noexcept;

// [main-thread, first activation] Takes the buffer from allocateCaptureRing as the ring, with
// the write position at 0 and the gate closed.
void sizeCaptureRing(CaptureRing& ring, std::vector<float>&& buffer, double sampleRate);

// [main-thread, inactive] Rate bookkeeping of an activation with the control block attached:
// raises rateMismatch when the ring holds audio recorded at another rate.
void recordActivationRate(const CaptureRing& ring, ControlBlock& control, double newRate);

// [audio-thread] Zeroes every float of the ring. Element stores are relaxed atomics, so a reader
// on the main thread (host insertion) never races with them.
void zeroCaptureRing(CaptureRing& ring);

// [any thread] Copies count floats starting at ring index start, wrapping at the ring's end, with
// relaxed atomic element loads: safe against the audio thread writing meanwhile.
void copyRingRelaxed(const CaptureRing& ring, uint64_t start, uint64_t count, float* dest);

// The ring index of a fraction: clamped to 0..1 in single precision (NaN reads as 1), scaled by
// float(captureSize), truncated, and kept within 0..captureSize. float(captureSize) can exceed
// captureSize at rates above about 279,620 Hz; the bound keeps every index inside the ring.
uint64_t ringIndexOfFraction(float fraction, uint64_t captureSize);

// ---- Waveform overview ----------------------------------------------------------------------

// The overview column of ring position p, in single precision as the companion computes it.
inline int32_t overviewColumn(uint64_t p, uint64_t captureSize) {
    const float x = (static_cast<float>(p) * kOverviewColumnsF) / static_cast<float>(captureSize);
    int32_t column = static_cast<int32_t>(x);
    if (column < 0)
        column = 0;
    if (column > kLastOverviewColumn)
        column = kLastOverviewColumn;
    return column;
}

// The smallest position above p whose column differs from p's, or captureSize when none does.
// The column rule is monotonic in p, so a binary search with the same arithmetic finds it exactly.
uint64_t nextColumnBoundary(uint64_t p, uint64_t captureSize);

// [audio-thread] Zeroes the four overview arrays, in their order in the control block.
void zeroOverview(ControlBlock& control);

// ---- Preview playback -----------------------------------------------------------------------

struct Preview {
    uint64_t previewPos = 0;          // ring index of the next frame to play, even
    float previewGain = 0.0f;         // fade gain, 0..1
    bool previewActive = false;       // playback wanted: fading in or playing
    bool previewRequestSeen = false;  // the request was up in the previous block
};

// [audio-thread] Block start: start on the request's rising edge, fade out on its falling edge.
void previewRequestEdge(Preview& preview, bool requested, float previewStart, uint64_t captureSize);

// Gain change per frame for a 10 ms fade, computed in single precision.
inline float previewFadeStep(double sampleRate) {
    return kPreviewFadeRate / static_cast<float>(sampleRate);
}

// previewPos / captureSize while the preview sounds, else -1.0.
inline float playheadFraction(const Preview& preview, uint64_t captureSize) {
    if (preview.previewActive || preview.previewGain > 0.0f)
        return static_cast<float>(preview.previewPos) / static_cast<float>(captureSize);
    return -1.0f;
}

// ---- Export snapshot ------------------------------------------------------------------------

struct ExportSnapshot {
    SharedMemory segment;   // owner of "ORV_Tessarin_ExportSnapshot"
    float* data = nullptr;  // start of the mapping; null when making the segment failed
    uint64_t capacity = 0;  // segment size in floats
};

// [main-thread, inactive] Makes the segment as large as the ring; tried at every activation
// until it exists.
void createSnapshotSegment(ExportSnapshot& snapshot, uint64_t captureSize);

// [main-thread, inactive] Tells a control block about the segment: no request pending, no
// answer, and its size. Every newly attached block is told once the segment exists.
void announceSnapshot(const ExportSnapshot& snapshot, ControlBlock& control);

// [audio-thread] Block end: answers a pending snapshot request with one or two bulk copies.
void serveSnapshotRequest(ExportSnapshot& snapshot, const CaptureRing& ring, ControlBlock& control);
