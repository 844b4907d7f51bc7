// The spectrum feed: segment "ORV_Tessarin_SpectrumFeed", a 64-byte header followed by two rings
// of raw input samples, one per channel. The plug-in appends every block's input as delivered;
// the companion finds frames T - min(T, 65536) .. T - 1 at index k mod 65536, T = totalFrames.
#pragma once

#include "shm/shared_memory.h"

#include <cstddef>
#include <cstdint>

inline constexpr const char* kSpectrumSegmentName = "ORV_Tessarin_SpectrumFeed";
inline constexpr uint32_t kSpectrumMagic = 0x4F525646;  // 'ORVF': bytes 46 56 52 4F
inline constexpr uint32_t kSpectrumVersion = 1;
inline constexpr uint32_t kSpectrumRingFrames = 65536;  // 2^16: the index is totalFrames & mask
inline constexpr uint64_t kSpectrumRingMask = kSpectrumRingFrames - 1;
inline constexpr uint64_t kSpectrumHeaderBytes = 64;
inline constexpr uint64_t kSpectrumRingBytes = kSpectrumRingFrames * sizeof(float);
inline constexpr uint64_t kSpectrumLeftRingOffset = kSpectrumHeaderBytes;
inline constexpr uint64_t kSpectrumRightRingOffset = kSpectrumHeaderBytes + kSpectrumRingBytes;
inline constexpr uint64_t kSpectrumSegmentBytes = kSpectrumHeaderBytes + 2 * kSpectrumRingBytes;

struct SpectrumFeedHeader {
    uint32_t magic;        // kSpectrumMagic, written last-but-one at creation
    uint32_t version;      // kSpectrumVersion
    uint32_t capacity;     // frames per ring while live; 0 while being built and after teardown
    uint32_t channels;     // 2, or 1 while the input has no right channel
    double sampleRate;     // Hz of the samples in the rings
    uint64_t totalFrames;  // frames appended since creation or the last rate change
    uint8_t reserved[32];  // zero, never written
};

static_assert(offsetof(SpectrumFeedHeader, magic) == 0);
static_assert(offsetof(SpectrumFeedHeader, version) == 4);
static_assert(offsetof(SpectrumFeedHeader, capacity) == 8);
static_assert(offsetof(SpectrumFeedHeader, channels) == 12);
static_assert(offsetof(SpectrumFeedHeader, sampleRate) == 16);
static_assert(offsetof(SpectrumFeedHeader, totalFrames) == 24);
static_assert(offsetof(SpectrumFeedHeader, reserved) == 32);
static_assert(sizeof(SpectrumFeedHeader) == kSpectrumHeaderBytes);
static_assert(kSpectrumRightRingOffset == 262208);
static_assert(kSpectrumSegmentBytes == 524352);

inline float* spectrumLeftRing(SpectrumFeedHeader* header) {
    return reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(header) + kSpectrumLeftRingOffset);
}
inline float* spectrumRightRing(SpectrumFeedHeader* header) {
    return reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(header) + kSpectrumRightRingOffset);
}

// The instance's side of the feed.
struct SpectrumFeed {
    SharedMemory segment;                  // owner of the segment
    SpectrumFeedHeader* header = nullptr;  // null while the feed is absent
    int32_t channels = 0;                  // channel count last stored into the header
};

// [main-thread, first activation] Makes the segment and builds its header; capacity goes last.
void createSpectrumFeed(SpectrumFeed& feed, double sampleRate);
// [main-thread, inactive] At every activation: a new rate restarts totalFrames.
void checkSpectrumRate(SpectrumFeed& feed, double sampleRate);
// [audio-thread] Appends the block's raw input; inR is null for a mono block.
void feedSpectrum(SpectrumFeed& feed, const float* inL, const float* inR, uint32_t frames);
// [main-thread] Tells readers the feed is going, then unmaps and removes the name.
void destroySpectrumFeed(SpectrumFeed& feed);
