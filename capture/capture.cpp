#include "capture/capture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

bool allocateCaptureRing(std::vector<float>& buffer, double sampleRate) noexcept {
    try {
        // Value-initialised: every page is written here, never touched first by the audio thread.
        std::vector<float> ring(captureSizeForRate(sampleRate), 0.0f);
        buffer.swap(ring);
        return true;
    } catch (const std::exception&) {  // bad_alloc, or a length the vector cannot hold
        return false;
    }
}

void sizeCaptureRing(CaptureRing& ring, std::vector<float>&& buffer, double sampleRate) {
    // The size is recorded only once the ring exists.
    ring.buffer = std::move(buffer);
    ring.captureSize = ring.buffer.size();
    ring.writePos.store(0, std::memory_order_release);
    ring.lastOverviewColumn = -1;
    ring.silenceCounter = gateLimits(sampleRate).ceilingFrames;  // the gate starts closed
}

void recordActivationRate(const CaptureRing& ring, ControlBlock& control, double newRate) {
    if (!ring.captureAllocated || ring.capturedRate == newRate) {
        storeRelease(control.rateMismatch, 0);
        return;
    }
    control.capturedRate = ring.capturedRate;
    storeRelease(control.rateMismatch, 1);
}

void zeroCaptureRing(CaptureRing& ring) {
    float* data = ring.buffer.data();
    for (uint64_t i = 0; i < ring.captureSize; ++i)
        storeRelaxed(data[i], 0.0f);
}

void copyRingRelaxed(const CaptureRing& ring, uint64_t start, uint64_t count, float* dest) {
    const uint64_t size = ring.captureSize;
    if (size == 0)
        return;
    const float* data = ring.buffer.data();
    uint64_t index = start % size;
    for (uint64_t i = 0; i < count; ++i) {
        dest[i] = loadRelaxed(data[index]);
        if (++index == size)
            index = 0;
    }
}

uint64_t ringIndexOfFraction(float fraction, uint64_t captureSize) {
    const float clamped = std::fmax(std::fmin(fraction, 1.0f), 0.0f);
    const uint64_t index = static_cast<uint64_t>(clamped * static_cast<float>(captureSize));
    return std::min(index, captureSize);
}

uint64_t nextColumnBoundary(uint64_t p, uint64_t captureSize) {
    const int32_t column = overviewColumn(p, captureSize);
    if (column == kLastOverviewColumn)
        return captureSize;
    // Start from the exact-arithmetic boundary; single-precision rounding moves the real one by
    // a few positions at most, and the rule is monotonic, so a short walk settles it.
    uint64_t boundary =
        (static_cast<uint64_t>(column + 1) * captureSize + kOverviewColumns - 1) / kOverviewColumns;
    boundary = std::clamp<uint64_t>(boundary, p + 1, captureSize);
    while (boundary - 1 > p && overviewColumn(boundary - 1, captureSize) != column)
        --boundary;
    while (boundary < captureSize && overviewColumn(boundary, captureSize) == column)
        ++boundary;
    return boundary;
}

void zeroOverview(ControlBlock& control) {
    std::memset(control.overviewMinL, 0, sizeof(control.overviewMinL));
    std::memset(control.overviewMaxL, 0, sizeof(control.overviewMaxL));
    std::memset(control.overviewMinR, 0, sizeof(control.overviewMinR));
    std::memset(control.overviewMaxR, 0, sizeof(control.overviewMaxR));
}

void previewRequestEdge(Preview& preview, bool requested, float previewStart,
                        uint64_t captureSize) {
    if (requested && !preview.previewRequestSeen) {
        const float start = std::max(std::min(previewStart, 1.0f), 0.0f);
        uint64_t position = 0;
        if (start == start)  // a NaN start plays from the ring's beginning
            position = static_cast<uint64_t>(static_cast<double>(captureSize) *
                                             static_cast<double>(start)) &
                       ~uint64_t{1};
        const uint64_t last = captureSize >= 2 ? captureSize - 2 : 0;
        preview.previewPos = std::min(position, last);
        preview.previewGain = 0.0f;
        preview.previewActive = true;
    } else if (!requested && preview.previewRequestSeen) {
        preview.previewActive = false;  // previewPos and gain stay: the fade-out follows
    }
    preview.previewRequestSeen = requested;
}

void createSnapshotSegment(ExportSnapshot& snapshot, uint64_t captureSize) {
    if (!snapshot.segment.create(kSnapshotSegmentName, captureSize * sizeof(float)))
        return;
    snapshot.data = static_cast<float*>(snapshot.segment.addr);
    snapshot.capacity = captureSize;
}

void announceSnapshot(const ExportSnapshot& snapshot, ControlBlock& control) {
    control.snapshotReady = 0;
    control.snapshotRequest = 0;
    control.snapshotCount = 0;
    // The ring's byte size fits: activation refuses rates whose ring would not.
    storeRelease(control.snapshotBytes, static_cast<uint32_t>(snapshot.capacity * sizeof(float)));
}

void serveSnapshotRequest(ExportSnapshot& snapshot, const CaptureRing& ring,
                          ControlBlock& control) {
    if (snapshot.data == nullptr || !requestSet(control.snapshotRequest))
        return;
    const float selectionStart = loadAcquire(control.selectionStart);
    const float selectionLength = loadAcquire(control.selectionLength);
    const uint64_t size = ring.captureSize;
    uint64_t count = 0;
    if (size != 0) {
        uint64_t n = ringIndexOfFraction(selectionLength, size);
        if (n >= 2 && (n &= ~uint64_t{1}) <= snapshot.capacity) {
            const uint64_t start = ringIndexOfFraction(selectionStart, size) & ~uint64_t{1};
            const float* data = ring.buffer.data();
            if (start + n <= size) {
                std::memcpy(snapshot.data, data + start, n * sizeof(float));
            } else {
                const uint64_t first = size - start;  // 0 for a start of 1.0
                if (first > 0)
                    std::memcpy(snapshot.data, data + start, first * sizeof(float));
                std::memcpy(snapshot.data + first, data, (n - first) * sizeof(float));
            }
            count = n;
        }
    }
    control.snapshotCount = static_cast<uint32_t>(count);
    control.snapshotRequest = 0;
    storeRelease(control.snapshotReady, 1);
}
