#include "companion/feed_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace companion {

namespace {

constexpr uint64_t kRingMask = kSpectrumFrames - 1;

template <class T> T acquireAt(const uint8_t* base, size_t offset) {
    return std::atomic_ref<T>(*reinterpret_cast<T*>(const_cast<uint8_t*>(base) + offset))
        .load(std::memory_order_acquire);
}

// A segment the reader may map: the plug-in's size, and made by this user with nobody else
// allowed to write it (another user's feed would put their audio, or anything, on the meters).
bool trustedFeed(const struct stat& info) {
    return static_cast<size_t>(info.st_size) == kSpectrumBytes && privateToUs(info);
}

// The most frames a writer can have appended in elapsedMs, a whole ring added: blocks arrive
// whole and the clock ticks in milliseconds.
uint64_t mostFramesIn(int64_t elapsedMs) {
    const double frames = kFeedMostFramesPerSecond * double(std::max<int64_t>(elapsedMs, 1)) / 1e3;
    return frames < 1e18 ? static_cast<uint64_t>(frames) + kSpectrumFrames : uint64_t{1} << 60;
}

// The identity of the segment now under the name; false when there is none the reader may map.
bool segmentUnderName(const std::string& name, dev_t& device, ino_t& inode) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool ok = fstat(fd, &info) == 0 && trustedFeed(info);
    ::close(fd);
    device = info.st_dev;
    inode = info.st_ino;
    return ok;
}

// [feed-thread] Maps the segment under the name if it has exactly the feed's size.
bool openFeed(FeedReader& r, int64_t nowMs) {
    const int fd = shm_open(r.name.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    struct stat info {};
    // A segment being made has no size yet, a foreign one the wrong size or owner: all read as
    // absent and are looked at again next poll. Mapping past a shorter object's end would fault.
    if (fstat(fd, &info) != 0 || !trustedFeed(info)) {
        ::close(fd);
        return false;
    }
    void* addr = mmap(nullptr, kSpectrumBytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (addr == MAP_FAILED)
        return false;
    r.base = static_cast<const uint8_t*>(addr);
    r.device = info.st_dev;
    r.inode = info.st_ino;
    r.nameCheckedMs = nowMs;
    r.endedHere = false;
    r.streaming = false;
    ++r.remaps;
    if (r.left.size() != kSpectrumFrames) {
        r.left.assign(kSpectrumFrames, 0.0f);
        r.right.assign(kSpectrumFrames, 0.0f);
    }
    return true;
}

void reportLost(FeedReader& r, FeedSink& sink, uint64_t frames) {
    r.framesLost += frames;
    ++r.gaps;
    sink.feedGap(frames);
}

// [feed-thread] A new stream at rateHz whose newest frame is totalFrames - 1. fromStart: it
// began while the reader watched, so it is read from frame 0 and whatever is already gone of it
// counts as lost; otherwise it starts at the oldest frame the reader can trust.
void startStream(FeedReader& r, FeedSink& sink, double rateHz, uint64_t totalFrames,
                 bool fromStart) {
    r.nextFrame = fromStart || totalFrames <= kFeedSafeFrames ? 0 : totalFrames - kFeedSafeFrames;
    r.streaming = true;
    r.rateHz = rateHz;
    r.framesPerMs = std::max(r.framesPerMs, kFeedNewStreamFramesPerMs);
    ++r.restarts;
    sink.feedRestarted(rateHz);
}

// [feed-thread] Copies frames [nextFrame, total) out of the rings, validates the copy against a
// second look at the header and delivers what the writer cannot have touched.
void readUpTo(FeedReader& r, FeedSink& sink, uint64_t total, uint32_t channels) {
    uint64_t next = r.nextFrame;
    if (total - next > kFeedSafeFrames) {
        reportLost(r, sink, total - next - kFeedSafeFrames);
        next = total - kFeedSafeFrames;
    }
    const uint64_t count = total - next;
    if (count == 0)
        return;
    const auto* leftRing = reinterpret_cast<const float*>(r.base + spectrumOff::leftRing);
    const auto* rightRing = reinterpret_cast<const float*>(r.base + spectrumOff::rightRing);
    const uint64_t index = next & kRingMask;
    const uint64_t first = std::min(count, kSpectrumFrames - index);
    float* left = r.left.data();
    float* right = r.right.data();
    std::memcpy(left, leftRing + index, first * sizeof(float));
    if (first < count)
        std::memcpy(left + first, leftRing, (count - first) * sizeof(float));
    if (channels == 2) {
        std::memcpy(right, rightRing + index, first * sizeof(float));
        if (first < count)
            std::memcpy(right + first, rightRing, (count - first) * sizeof(float));
    } else {
        std::memset(right, 0, count * sizeof(float));
    }

    // Validate: a block in flight since the first look may have overwritten the oldest frames.
    const uint64_t totalAfter = acquireAt<uint64_t>(r.base, spectrumOff::totalFrames);
    const double rateAfter = acquireAt<double>(r.base, spectrumOff::sampleRate);
    r.nextFrame = total;
    if (totalAfter < total || rateAfter != r.rateHz) {
        // The stream restarted during the copy: none of it can be trusted. The next poll sees
        // the restart.
        reportLost(r, sink, count);
        return;
    }
    // Frames below totalAfter + kFeedBlockInFlightFrames - kSpectrumFrames may be overwritten
    // (written without the sum, which a garbage totalAfter would wrap).
    const uint64_t aheadAfter = totalAfter - next;
    const uint64_t overwritten =
        aheadAfter > kFeedSafeFrames ? std::min(count, aheadAfter - kFeedSafeFrames) : 0;
    if (overwritten > 0)
        reportLost(r, sink, overwritten);
    if (overwritten < count) {
        sink.feedFrames(left + overwritten, right + overwritten, count - overwritten, channels);
        r.framesRead += count - overwritten;
    }
}

// [feed-thread] One look at the mapped segment; mostNew: the most frames a writer can have
// appended since the previous look.
void readMapped(FeedReader& r, FeedSink& sink, uint64_t mostNew) {
    const uint32_t capacity = acquireAt<uint32_t>(r.base, spectrumOff::capacity);
    if (capacity != kSpectrumFrames) {
        if (r.streaming) {
            // Torn down: the writer has stopped for good, so what it appended since the last
            // poll is still in place. Deliver it, then wait for a new segment under the name.
            const uint64_t total = acquireAt<uint64_t>(r.base, spectrumOff::totalFrames);
            if (total >= r.nextFrame && total - r.nextFrame <= mostNew)
                readUpTo(r, sink, total, r.channels);
            r.streaming = false;
            r.endedHere = true;
        }
        r.state = FeedState::waiting;
        return;
    }
    const double rateHz = acquireAt<double>(r.base, spectrumOff::sampleRate);
    // Rates outside the plug-in's own bounds read as no feed.
    if (acquireAt<uint32_t>(r.base, spectrumOff::magic) != kSpectrumMagic || !pluginRate(rateHz)) {
        r.streaming = false;
        r.state = FeedState::absent;
        return;
    }
    const uint64_t total = acquireAt<uint64_t>(r.base, spectrumOff::totalFrames);
    r.channels = acquireAt<uint32_t>(r.base, spectrumOff::channels) == 1 ? 1 : 2;
    // totalFrames going back, or another rate, means the plug-in was activated at a new rate and
    // counts from 0 again. A stream that has appended more than any writer could since the last
    // look (a restart's whole count included) is garbage: followed on from its newest frames,
    // with nothing counted as lost.
    if (!r.streaming || rateHz != r.rateHz || total < r.nextFrame)
        startStream(r, sink, rateHz, total, r.watchedBefore && total <= mostNew);
    else if (total - r.nextFrame > mostNew)
        startStream(r, sink, rateHz, total, false);
    r.state = FeedState::live;
    readUpTo(r, sink, total, r.channels);
}

}  // namespace

FeedReader::~FeedReader() {
    closeFeed(*this);
}

void closeFeed(FeedReader& r) {
    if (r.base != nullptr)
        munmap(const_cast<uint8_t*>(r.base), kSpectrumBytes);
    r.base = nullptr;
    r.streaming = false;
    r.endedHere = false;
    r.state = FeedState::absent;
}

void feedNameChanged(FeedReader& r, int64_t nowMs) {
    r.nameChangedMs = nowMs;
    r.nameCheckedMs = nowMs - kFeedNameCheckMs;
}

int64_t nextPollDelayMs(const FeedReader& r, int64_t longestMs) {
    if (r.state != FeedState::live)
        return r.lastPollMs - r.nameChangedMs < kFeedNameCheckMs ? kFeedFastPollMs
                                                                 : kFeedIdlePollMs;
    // At the pace the feed ran lately, a quarter of the safe stretch arrives before the next poll.
    longestMs = std::max(longestMs, kFeedFastPollMs);
    if (r.framesPerMs <= 0.0)
        return longestMs;
    const double quarterMs = double(kFeedSafeFrames / 4) / r.framesPerMs;
    return std::clamp<int64_t>(static_cast<int64_t>(quarterMs), kFeedFastPollMs, longestMs);
}

FeedState pollFeed(FeedReader& r, FeedSink& sink, int64_t nowMs) {
    const uint64_t before = r.framesRead + r.framesLost;
    const uint64_t mostNew = mostFramesIn(nowMs - r.lastPollMs);
    if (r.base != nullptr) {
        readMapped(r, sink, mostNew);
        // A newer instance replaces the segment under the name. While this mapping is live that
        // is checked now and then; once it is not, at every poll, so a new instance's first
        // frames are not missed.
        if (r.state != FeedState::live || nowMs - r.nameCheckedMs >= kFeedNameCheckMs) {
            r.nameCheckedMs = nowMs;
            dev_t device = 0;
            ino_t inode = 0;
            const bool present = segmentUnderName(r.name, device, inode);
            if (!present || device != r.device || inode != r.inode) {
                // Anything this mapping still held was delivered by readMapped above.
                closeFeed(r);
            }
        }
    }
    if (r.base == nullptr) {
        r.state = FeedState::absent;
        if (openFeed(r, nowMs))
            readMapped(r, sink, mostNew);
    }
    r.watchedBefore = true;
    r.lastPollFrames = r.framesRead + r.framesLost - before;
    // A host hands over whole blocks: a quick poll between two finds nothing. The pace seen lately
    // is kept for about a second, so one empty poll does not slow the polls down again.
    const int64_t sinceMs = nowMs - r.lastPollMs;
    if (sinceMs > 0) {
        const double seen = double(r.lastPollFrames) / double(sinceMs);
        r.framesPerMs =
            std::max(seen, r.framesPerMs * std::exp(-double(sinceMs) / kFeedPaceMemoryMs));
    }
    r.lastPollMs = nowMs;
    return r.state;
}

FeedNameWatch::~FeedNameWatch() {
    if (fd >= 0)
        ::close(fd);
}

bool openFeedNameWatch(FeedNameWatch& w, const std::string& name) {
    if (w.fd >= 0)
        ::close(w.fd);
    // shm_open names live as files in /dev/shm, without their leading slash.
    w.fileName =
        name.substr(name.find_first_not_of('/') == std::string::npos ? name.size()
                                                                     : name.find_first_not_of('/'));
    w.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.fd < 0)
        return false;
    // Made, sized (ftruncate), re-moded, renamed into place or removed; writes through a mapping
    // raise nothing, so a segment being built is then polled fast (feedNameChanged).
    constexpr uint32_t kEvents = IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_MOVED_TO | IN_DELETE;
    if (inotify_add_watch(w.fd, "/dev/shm", kEvents) < 0) {
        ::close(w.fd);
        w.fd = -1;
        return false;
    }
    return true;
}

bool waitForFeedName(FeedNameWatch& w, int64_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    if (w.fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const auto leftMs =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (leftMs <= 0)
            return false;
        pollfd ready{w.fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(leftMs)) <= 0)
            continue;  // timed out (caught above) or interrupted
        // Other programs' segments share the folder: only events about the name count.
        bool ours = false;
        for (ssize_t got; (got = ::read(w.fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                ours = ours || (event->mask & IN_Q_OVERFLOW) != 0 ||
                       (event->len > 0 && w.fileName == event->name);
                at += ssize_t(sizeof(inotify_event)) + event->len;
            }
        }
        if (ours)
            return true;
    }
}

}  // namespace companion
