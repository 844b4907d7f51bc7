// Reads the plug-in's spectrum feed without losing frames: every frame appended to the rings is
// delivered once, in order, or counted as lost. The plug-in never waits for readers, so each poll
// copies what is new and then checks `totalFrames` again (copy, then validate), dropping what the
// writer may have overwritten during the copy.
//
//     companion::FeedReader reader;                  // the plug-in's segment name by default
//     MySink sink;                                   // receives restarts, gaps and frames
//     for (;;) { pollFeed(reader, sink, nowMs()); sleep 10 ms; }
//
// A poll never blocks and allocates only when a segment is (re)mapped. Everything read from the
// segment is untrusted: only a segment of the user's own that nobody else may write is mapped,
// its size is checked before mapping, the header before every read, and a frame counter that
// runs back or leaps further than any host could write is taken for a new stream, never for
// lost frames.
#pragma once

#include "companion/segments.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace companion {

// The largest block the writer is assumed to have in flight while a poll copies: frames that far
// behind the newest published one may already be overwritten.
inline constexpr uint64_t kFeedBlockInFlightFrames = 16384;
// How far behind the newest frame a poll may start and still trust what it copies.
inline constexpr uint64_t kFeedSafeFrames = kSpectrumFrames - kFeedBlockInFlightFrames;
// A live mapping's name is checked this often for a newer instance's segment.
inline constexpr int64_t kFeedNameCheckMs = 1000;
// Polls come this often while the feed runs at about real time (at 48 kHz a poll then finds 1,200
// frames, 2.4 % of the safe stretch, and a render that starts at 40 times real time still fits
// between two); sooner while the feed runs so fast that a quarter of the safe stretch would
// arrive in between (a host rendering far faster than real time), so a late wake-up still finds
// the frames there. Without a live feed the name is looked at less often: a new stream is read
// from its first frame anyway.
inline constexpr int64_t kFeedPollMs = 25;
// While no page watches, readings wait longer: a poll then finds 2,400 frames at 48 kHz, and a
// stream that speeds up to 20 times real time still fits between two.
inline constexpr int64_t kFeedUnwatchedPollMs = 50;
inline constexpr int64_t kFeedFastPollMs = 2;
inline constexpr int64_t kFeedIdlePollMs = 100;
inline constexpr double kFeedPaceMemoryMs = 1000.0;  // how long a fast pace is remembered
// A new stream may come at any speed (an offline render starts at full tilt): until its pace is
// seen it is polled as if a quarter of the safe stretch arrived every kFeedFastPollMs.
inline constexpr double kFeedNewStreamFramesPerMs = double(kFeedSafeFrames / 4) / kFeedFastPollMs;
// No host pushes more frames than this through the plug-in in a second (its meters alone cost
// more per frame): a counter that leaps further between two looks is garbage, not lost audio.
inline constexpr double kFeedMostFramesPerSecond = 1.0e9;

// What a poll delivers, in order: a restart before the first frames of every stream (a new
// segment, a rate change), a gap before frames that follow lost ones, then the frames.
struct FeedSink {
    virtual ~FeedSink() = default;
    // [feed-thread] A new stream at rateHz: what follows does not continue what came before.
    virtual void feedRestarted(double rateHz) = 0;
    // [feed-thread] lostFrames frames were overwritten before they could be read.
    virtual void feedGap(uint64_t lostFrames) = 0;
    // [feed-thread] The next frames of the stream; right holds zeros while the input is mono
    // (channels 1). The pointers are valid during the call only.
    virtual void feedFrames(const float* left, const float* right, size_t frames,
                            uint32_t channels) = 0;
};

enum class FeedState {
    absent,   // no segment of the name, or one of the wrong size or with an unusable header
    waiting,  // a segment is mapped but not live (being built, or torn down)
    live,     // frames are being followed
};

struct FeedReader {
    std::string name = kSpectrumName;

    // The mapping and the identity of the segment it came from.
    const uint8_t* base = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t nameCheckedMs = 0;
    bool endedHere = false;  // this mapping's feed was torn down: only a new segment goes on

    // The stream being followed.
    bool streaming = false;
    double rateHz = 0.0;
    uint32_t channels = 0;
    uint64_t nextFrame = 0;  // the first frame not yet delivered or counted lost
    // The name was looked at before: a stream found now began while the reader watched, so it is
    // read from its first frame (what is gone of it counts as lost).
    bool watchedBefore = false;
    int64_t nameChangedMs = INT64_MIN / 2;  // when a FeedNameWatch last saw the name change
    FeedState state = FeedState::absent;

    // Since the reader was made.
    uint64_t framesRead = 0;
    uint64_t framesLost = 0;
    uint64_t gaps = 0;
    uint64_t restarts = 0;
    uint64_t remaps = 0;
    uint64_t lastPollFrames = 0;  // delivered or lost by the latest poll
    int64_t lastPollMs = 0;       // when the latest poll ran (the caller's clock)
    double framesPerMs = 0.0;     // the feed's recent pace, decaying over kFeedPaceMemoryMs

    std::vector<float> left, right;  // the copy, kSpectrumFrames each once mapped

    FeedReader() = default;
    ~FeedReader();
    FeedReader(const FeedReader&) = delete;
    FeedReader& operator=(const FeedReader&) = delete;
};

// [feed-thread] One poll: (re)maps the segment as needed, delivers what is new to sink and
// returns the state afterwards. nowMs is any monotonic clock in milliseconds (it paces the check
// for a newer segment under the name).
FeedState pollFeed(FeedReader& reader, FeedSink& sink, int64_t nowMs);

// [feed-thread] How long to wait before the next poll, in ms, after the latest one: at most
// longestMs while the feed runs at about real time.
int64_t nextPollDelayMs(const FeedReader& reader, int64_t longestMs = kFeedPollMs);

// [feed-thread] Unmaps; the next poll looks the name up again. Counters stay.
void closeFeed(FeedReader& reader);

// [feed-thread] Something happened to the name (a FeedNameWatch said so) at nowMs: the next poll
// looks it up at once, and polls come fast for kFeedNameCheckMs while a new segment is built.
void feedNameChanged(FeedReader& reader, int64_t nowMs);

// Wakes the feed thread when a segment under the feed's name is made, sized, replaced or removed
// in /dev/shm, so a new instance's stream is followed from its first block rather than from the
// next idle poll (an offline render writes 96,000 frames in 100 ms at 20 times real time).
struct FeedNameWatch {
    int fd = -1;           // inotify on /dev/shm; -1: none, the caller just sleeps
    std::string fileName;  // the name as a file there

    FeedNameWatch() = default;
    ~FeedNameWatch();
    FeedNameWatch(const FeedNameWatch&) = delete;
    FeedNameWatch& operator=(const FeedNameWatch&) = delete;
};

// [feed-thread] Starts watching; false when the system offers no watch (then fd stays -1).
bool openFeedNameWatch(FeedNameWatch& watch, const std::string& name);
// [feed-thread] Waits up to timeoutMs; true as soon as something happened to the name, false
// when the time passed (or there is no watch: it then sleeps the whole time).
bool waitForFeedName(FeedNameWatch& watch, int64_t timeoutMs);

}  // namespace companion
