// The plug-in's side of the spectrum feed on a segment name of one's own, for tests and
// benchmarks that must not meet other processes on the global name: creation, the per-block
// append, a rate change and teardown, each as the plug-in performs it.
#pragma once

#include "companion/segments.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

class FeedEmulator {
public:
    ~FeedEmulator() { destroy(); }

    // Makes the segment zero-filled, then the header, capacity last (release).
    bool create(const std::string& name, double rateHz) {
        destroy();
        name_ = name;
        shm_unlink(name.c_str());
        const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0)
            return false;
        const bool sized = ftruncate(fd, companion::kSpectrumBytes) == 0;
        void* addr = sized ? mmap(nullptr, companion::kSpectrumBytes, PROT_READ | PROT_WRITE,
                                  MAP_SHARED, fd, 0)
                           : MAP_FAILED;
        ::close(fd);
        if (addr == MAP_FAILED)
            return false;
        base_ = static_cast<uint8_t*>(addr);
        put<uint32_t>(companion::spectrumOff::channels, 2);
        put<double>(companion::spectrumOff::sampleRate, rateHz);
        put<uint32_t>(companion::spectrumOff::version, 1);
        std::atomic_thread_fence(std::memory_order_release);
        put<uint32_t>(companion::spectrumOff::magic, companion::kSpectrumMagic);
        ref<uint32_t>(companion::spectrumOff::capacity)
            .store(companion::kSpectrumFrames, std::memory_order_release);
        return true;
    }

    // One block: its last 65,536 frames at most, at most two copies per channel, then
    // totalFrames (release). right null means a mono block.
    void append(const float* left, const float* right, uint64_t frames) {
        ref<uint32_t>(companion::spectrumOff::channels)
            .store(right ? 2 : 1, std::memory_order_relaxed);
        const uint64_t n = std::min<uint64_t>(frames, companion::kSpectrumFrames);
        const uint64_t skip = frames - n;
        const uint64_t total = ref<uint64_t>(companion::spectrumOff::totalFrames).load();
        const uint64_t index = total & (companion::kSpectrumFrames - 1);
        const uint64_t first = std::min(n, companion::kSpectrumFrames - index);
        for (int c = 0; c < (right ? 2 : 1); ++c) {
            const float* in = (c == 0 ? left : right) + skip;
            auto* ring =
                reinterpret_cast<float*>(base_ + (c == 0 ? companion::spectrumOff::leftRing
                                                         : companion::spectrumOff::rightRing));
            std::memcpy(ring + index, in, first * sizeof(float));
            std::memcpy(ring, in + first, (n - first) * sizeof(float));
        }
        ref<uint64_t>(companion::spectrumOff::totalFrames)
            .store(total + n, std::memory_order_release);
    }

    // An activation at another rate: totalFrames restarts, then the rate (release).
    void changeRate(double rateHz) {
        ref<uint64_t>(companion::spectrumOff::totalFrames).store(0, std::memory_order_relaxed);
        ref<double>(companion::spectrumOff::sampleRate).store(rateHz, std::memory_order_release);
    }

    // capacity 0 (release), then unmap and remove the name.
    void destroy() {
        if (base_ == nullptr)
            return;
        ref<uint32_t>(companion::spectrumOff::capacity).store(0, std::memory_order_release);
        munmap(base_, companion::kSpectrumBytes);
        shm_unlink(name_.c_str());
        base_ = nullptr;
    }

private:
    template <class T> std::atomic_ref<T> ref(size_t offset) {
        return std::atomic_ref<T>(*reinterpret_cast<T*>(base_ + offset));
    }
    template <class T> void put(size_t offset, T value) {
        std::memcpy(base_ + offset, &value, sizeof(T));
    }
    uint8_t* base_ = nullptr;
    std::string name_;
};
