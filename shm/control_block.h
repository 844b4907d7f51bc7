// The control block: the companion's segment "ORV_Tessarin_SharedMem", laid over the mapping
// byte for byte. The companion creates it, fills the magic and its settings, and raises requests;
// the plug-in publishes status, meters and the waveform overview into it.
//
// Access kinds are part of the contract with the companion: request and state bytes are read
// with acquire loads, flags, positions and counters are written with release stores, bulk values
// (meters, overview columns) with plain stores. Use the helpers at the end of this header so the
// kind of every access is visible where it happens.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr const char* kControlSegmentName = "ORV_Tessarin_SharedMem";
inline constexpr uint32_t kControlMagic = 0x4F525653;  // 'ORVS': bytes 53 56 52 4F
inline constexpr uint32_t kOverviewColumns = 64000;
inline constexpr uint64_t kControlBlockBytes = 1024256;
inline constexpr double kNoLevel = -200.0;  // "no value yet", in LUFS or dB

struct ControlBlock {
    uint32_t magic;  // kControlMagic; written by the companion
    uint8_t reserved4[4];
    float writePosFraction;  // writePos / captureSize; plug-in, release store per block
    uint32_t updateCounter;  // status publications, wrapping; plug-in
    uint8_t active;          // 1 while the instance is active; plug-in
    uint8_t previewRequest;  // level: 1 while the companion wants preview playback
    uint8_t reserved18[2];
    float previewStart;   // preview start, fraction of the ring; companion
    uint8_t captureHold;  // bit 0 set: capture writes nothing; companion
    uint8_t reserved25[3];
    float silenceThreshold;  // silence gate threshold, linear amplitude; companion, plain load
    float playheadFraction;  // previewPos / captureSize, -1.0 when silent; plug-in
    uint8_t insertRequest;   // 1 asks for host insertion; cleared on the main thread
    uint8_t reserved37[3];
    float selectionStart;     // selection start, fraction of the ring; companion
    float selectionLength;    // selection length, fraction of the ring; companion
    int32_t targetTrack;      // 1-based host track for insertion, <= 0 none; companion
    uint8_t snapshotRequest;  // 1 asks for a snapshot; cleared by the plug-in
    uint8_t snapshotReady;    // raised by the plug-in after each answer
    uint8_t reserved54[2];
    uint32_t snapshotCount;      // floats in the last snapshot, 0 = refused; plain store
    uint32_t snapshotBytes;      // snapshot segment size in bytes, 0 = no segment
    double sampleRate;           // host rate in Hz; release store at activation
    int64_t heartbeatMs;         // monotonic clock in ms at the last heartbeat
    double momentaryLufs;        // LUFS, plain store per block
    double shortTermLufs;        // LUFS
    double shortTermMaxLufs;     // LUFS, hold: plain load and store
    double integratedLufs;       // LUFS
    double momentaryMaxLufs;     // LUFS, hold
    double rmsDb;                // dB, written every 0.1 s of audio from inside the sample loop
    double rmsMaxDb;             // dB, hold
    double peakDb;               // dB
    double crestDb;              // dB
    uint8_t resetMetersRequest;  // 1 asks for a meter reset; cleared before the reset
    uint8_t rateMismatch;        // 1 while the ring holds audio recorded at another rate
    uint8_t reserved154[6];
    double capturedRate;   // Hz of the ring's content, valid while rateMismatch is 1
    uint8_t clearRequest;  // 1 asks to clear the capture; cleared after the clear
    uint8_t reserved169[3];
    int32_t lastOverviewColumn;  // newest overview column, -1 = none
    uint8_t reserved176[80];
    float overviewMinL[kOverviewColumns];  // raw sample values, plain stores
    float overviewMaxL[kOverviewColumns];
    float overviewMinR[kOverviewColumns];
    float overviewMaxR[kOverviewColumns];
};

static_assert(offsetof(ControlBlock, magic) == 0);
static_assert(offsetof(ControlBlock, writePosFraction) == 8);
static_assert(offsetof(ControlBlock, updateCounter) == 12);
static_assert(offsetof(ControlBlock, active) == 16);
static_assert(offsetof(ControlBlock, previewRequest) == 17);
static_assert(offsetof(ControlBlock, previewStart) == 20);
static_assert(offsetof(ControlBlock, captureHold) == 24);
static_assert(offsetof(ControlBlock, silenceThreshold) == 28);
static_assert(offsetof(ControlBlock, playheadFraction) == 32);
static_assert(offsetof(ControlBlock, insertRequest) == 36);
static_assert(offsetof(ControlBlock, selectionStart) == 40);
static_assert(offsetof(ControlBlock, selectionLength) == 44);
static_assert(offsetof(ControlBlock, targetTrack) == 48);
static_assert(offsetof(ControlBlock, snapshotRequest) == 52);
static_assert(offsetof(ControlBlock, snapshotReady) == 53);
static_assert(offsetof(ControlBlock, snapshotCount) == 56);
static_assert(offsetof(ControlBlock, snapshotBytes) == 60);
static_assert(offsetof(ControlBlock, sampleRate) == 64);
static_assert(offsetof(ControlBlock, heartbeatMs) == 72);
static_assert(offsetof(ControlBlock, momentaryLufs) == 80);
static_assert(offsetof(ControlBlock, shortTermLufs) == 88);
static_assert(offsetof(ControlBlock, shortTermMaxLufs) == 96);
static_assert(offsetof(ControlBlock, integratedLufs) == 104);
static_assert(offsetof(ControlBlock, momentaryMaxLufs) == 112);
static_assert(offsetof(ControlBlock, rmsDb) == 120);
static_assert(offsetof(ControlBlock, rmsMaxDb) == 128);
static_assert(offsetof(ControlBlock, peakDb) == 136);
static_assert(offsetof(ControlBlock, crestDb) == 144);
static_assert(offsetof(ControlBlock, resetMetersRequest) == 152);
static_assert(offsetof(ControlBlock, rateMismatch) == 153);
static_assert(offsetof(ControlBlock, capturedRate) == 160);
static_assert(offsetof(ControlBlock, clearRequest) == 168);
static_assert(offsetof(ControlBlock, lastOverviewColumn) == 172);
static_assert(offsetof(ControlBlock, overviewMinL) == 256);
static_assert(offsetof(ControlBlock, overviewMaxL) == 256256);
static_assert(offsetof(ControlBlock, overviewMinR) == 512256);
static_assert(offsetof(ControlBlock, overviewMaxR) == 768256);
static_assert(sizeof(ControlBlock) == kControlBlockBytes);

// Shared-field access. Every cross-process access goes through one of these, so the ordering
// the companion relies on is stated at the call site.
template <class T> inline T loadAcquire(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}
template <class T> inline T loadRelaxed(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <class T, class V> inline void storeRelease(T& field, V value) {
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_release);
}
template <class T, class V> inline void storeRelaxed(T& field, V value) {
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

// A request byte counts only when it reads exactly 1.
inline bool requestSet(const uint8_t& requestByte) {
    return loadAcquire(requestByte) == 1;
}
// captureHold and rateMismatch are tested on bit 0.
inline bool flagBit0Set(const uint8_t& flagByte) {
    return (loadAcquire(flagByte) & 1u) != 0;
}

static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<float>::is_always_lock_free);
static_assert(std::atomic_ref<double>::is_always_lock_free);
static_assert(std::atomic_ref<int64_t>::is_always_lock_free);
