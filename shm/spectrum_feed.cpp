#include "shm/spectrum_feed.h"

#include "shm/control_block.h"

#include <algorithm>
#include <atomic>
#include <cstring>

void createSpectrumFeed(SpectrumFeed& feed, double sampleRate) {
    if (!feed.segment.create(kSpectrumSegmentName, kSpectrumSegmentBytes))
        return;
    auto* header = static_cast<SpectrumFeedHeader*>(feed.segment.addr);
    if (header == nullptr)
        return;
    feed.header = header;
    header->capacity = 0;
    header->channels = 2;
    header->sampleRate = sampleRate;
    header->totalFrames = 0;
    std::memset(spectrumLeftRing(header), 0, 2 * kSpectrumRingBytes);
    header->version = kSpectrumVersion;
    std::atomic_thread_fence(std::memory_order_seq_cst);  // a full barrier before the magic
    header->magic = kSpectrumMagic;
    feed.channels = 2;
    storeRelease(header->capacity, kSpectrumRingFrames);
}

void checkSpectrumRate(SpectrumFeed& feed, double sampleRate) {
    SpectrumFeedHeader* header = feed.header;
    if (header == nullptr)
        return;
    if (!(header->sampleRate == sampleRate)) {  // NaN counts as a change
        header->totalFrames = 0;
        storeRelease(header->sampleRate, sampleRate);
    }
}

// Copies frames [skip, skip + n) of one channel to the ring from index idx, wrapping once.
static void appendChannel(float* ring, const float* in, uint64_t skip, uint64_t n, uint64_t idx) {
    const uint64_t first = std::min<uint64_t>(n, kSpectrumRingFrames - idx);
    std::memcpy(ring + idx, in + skip, first * sizeof(float));
    if (first < n)
        std::memcpy(ring, in + skip + first, (n - first) * sizeof(float));
}

void feedSpectrum(SpectrumFeed& feed, const float* inL, const float* inR, uint32_t frames) {
    SpectrumFeedHeader* header = feed.header;
    if (header == nullptr)
        return;
    const int32_t channels = inR == nullptr ? 1 : 2;
    if (channels != feed.channels) {
        feed.channels = channels;
        header->channels = static_cast<uint32_t>(channels);
    }
    if (frames == 0)
        return;
    const uint64_t n = std::min<uint64_t>(frames, kSpectrumRingFrames);
    const uint64_t skip = frames - n;
    const uint64_t total = header->totalFrames;  // only this thread writes it
    const uint64_t idx = total & kSpectrumRingMask;
    appendChannel(spectrumLeftRing(header), inL, skip, n, idx);
    if (inR != nullptr)
        appendChannel(spectrumRightRing(header), inR, skip, n, idx);
    storeRelease(header->totalFrames, total + n);
}

void destroySpectrumFeed(SpectrumFeed& feed) {
    if (feed.header != nullptr) {
        storeRelease(feed.header->capacity, 0u);
        feed.header = nullptr;
    }
    feed.segment.close();
}
