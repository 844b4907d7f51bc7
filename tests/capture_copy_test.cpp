// The copy's bookkeeping without a plug-in: frame numbers across the ring's wrap, takes at exact
// frames, losses that leave holes rather than silence, and the write position read back exactly.
#include "companion/capture_copy.h"
#include "companion/ring_fractions.h"

#include <gtest/gtest.h>

#include <vector>

using companion::CaptureCopy;

namespace {

constexpr uint64_t kRingFrames = 1000;
constexpr uint64_t kRingFloats = 2 * kRingFrames;

// Frames k .. k + n - 1 of a signal that names its frame: left k, right -k.
std::vector<float> frames(uint64_t k, uint64_t n) {
    std::vector<float> out;
    for (uint64_t i = 0; i < n; ++i) {
        out.push_back(static_cast<float>(k + i));
        out.push_back(-static_cast<float>(k + i));
    }
    return out;
}

// The head moves n frames and the copy takes them, as the engine does.
void capture(CaptureCopy& copy, uint64_t n, int64_t monoMs, int64_t& next) {
    const uint64_t head = companion::ringIndexOf(copy, copy.headFrame + n);
    ASSERT_EQ(companion::noteHead(copy, head, monoMs, 1000 + monoMs), n);
    const std::vector<float> f = frames(next, n);
    companion::appendCopied(copy, f.data(), n, nullptr, 0);
    next += n;
}

}  // namespace

TEST(CaptureCopy, TakesBeginAtExactFramesAndTheCopyWrapsWithTheRing) {
    CaptureCopy copy;
    // A ring whose head stands at float index 1500 when the generation begins.
    companion::startGeneration(copy, 7, 1000.0, kRingFrames, 1500, 0, 0, false);
    int64_t next = 0;
    capture(copy, 300, 100, next);
    capture(copy, 200, 200, next);  // no pause: the same take
    // Not looked at for 1.5 s (a starved daemon), yet moving whenever it looked: the same take.
    capture(copy, 100, 1700, next);
    capture(copy, 100, 1750, next);
    // Seen standing still 1.1 s after its last move: the next move begins a take at frame 700.
    EXPECT_EQ(companion::noteHead(copy, companion::ringIndexOf(copy, 700), 2851, 3851), 0u);
    capture(copy, 200, 2900, next);
    companion::finishTakes(copy, nullptr, true, 4000);
    ASSERT_EQ(copy.takes.size(), 2u);
    EXPECT_EQ(copy.takes[1].firstFrame, 700u);
    EXPECT_TRUE(copy.takes[1].finished);
    EXPECT_EQ(copy.takes[1].wallClockMs, 3900);

    // Past the ring: frame 0 is overwritten, the first take keeps only its last 100 frames.
    capture(copy, 200, 4100, next);  // a third take, frames 900..1099
    const companion::CopySpan span = companion::heldSpan(copy);
    EXPECT_EQ(span.first, 100u);
    EXPECT_EQ(span.end, 1100u);
    const std::vector<companion::TakeFrames> takes = companion::copyTakeFrames(copy);
    ASSERT_EQ(takes.size(), 3u);
    EXPECT_EQ(takes[0].first, 100u);
    EXPECT_EQ(takes[0].end, 700u);
    EXPECT_EQ(takes[2].first, 900u);

    // Frame f sits at float index 1500 + 2f, wrapping at 2000; a read across the wrap is whole.
    EXPECT_EQ(companion::ringIndexOf(copy, 250), 0u);
    std::vector<float> read;
    EXPECT_EQ(companion::readCopy(copy, 240, 20, read), 240u);
    EXPECT_EQ(read, frames(240, 20));
    EXPECT_EQ(companion::readCopy(copy, 50, 100, read), 100u);  // clipped to what is held
    EXPECT_EQ(read, frames(100, 50));

    // The page's stretch by ring index, against the head it saw: index 1600 holds frame 1050
    // now, and held frame 50 when the head stood at frame 900.
    const uint64_t headNow = companion::ringIndexOf(copy, copy.headFrame);
    EXPECT_EQ(companion::frameAtIndex(copy, 1600, headNow), 1050);
    const uint64_t headThen = companion::ringIndexOf(copy, 900);
    EXPECT_EQ(companion::frameAtIndex(copy, 1600, headThen), 50);
}

TEST(CaptureCopy, LostFramesLeaveAHoleAndEndTheTake) {
    CaptureCopy copy;
    companion::startGeneration(copy, 1, 1000.0, kRingFrames, 0, 0, 0, false);
    int64_t next = 0;
    capture(copy, 600, 100, next);
    // The head went round once more than it looked: 300 seen, 1300 written. The 300 frames
    // after the copy's end are gone; the ring holds the newest 1000.
    const uint64_t head = companion::ringIndexOf(copy, copy.headFrame + 300);
    companion::noteHead(copy, head, 120, 1120);
    companion::loseFrames(copy, companion::pendingFrames(copy), nullptr);
    companion::addLap(copy);
    EXPECT_EQ(copy.lostFrames, 300u);
    EXPECT_EQ(companion::pendingFrames(copy), kRingFrames);
    const std::vector<float> lap = frames(900, kRingFrames);
    companion::appendCopied(copy, lap.data(), kRingFrames, nullptr, 0);

    ASSERT_EQ(copy.lost.size(), 1u);
    EXPECT_EQ(copy.lost[0].firstFrame, 600u);
    EXPECT_EQ(copy.copiedEnd, 1900u);
    EXPECT_EQ(companion::heldSpan(copy).first, 900u);  // nothing before the hole is offered
    std::vector<float> read;
    companion::readCopy(copy, 0, 2000, read);
    EXPECT_EQ(read, frames(900, kRingFrames));  // no silence where the hole is
    // The take ended at the hole (and has left the ring); the frames after it are a take of
    // their own.
    ASSERT_EQ(copy.takes.size(), 1u);
    EXPECT_EQ(copy.takes[0].firstFrame, 900u);
    EXPECT_FALSE(copy.takes[0].finished);
}

TEST(CaptureCopy, AdoptedAudioIsOneTakeOfUnknownTimeKeptOutOfTheHistory) {
    CaptureCopy copy;
    // The daemon starts with 400 frames behind a head at float index 100 (the ring wrapped).
    companion::startGeneration(copy, 3, 1000.0, kRingFrames, 100, 400, 5000, true);
    EXPECT_EQ(companion::ringIndexOf(copy, 0), 1300u);
    ASSERT_EQ(copy.takes.size(), 1u);
    EXPECT_EQ(copy.takes[0].wallClockMs, 0);      // unknown
    EXPECT_EQ(copy.takes[0].historyFirst, 400u);  // only what follows goes to the history
    EXPECT_EQ(companion::pendingFrames(copy), 400u);
}

TEST(RingFractions, TheWritePositionIsReadBackExactlyAtEveryRate) {
    // The plug-in publishes float(index) / float(ringFloats) in single precision; above 2^24
    // floats (176.4 and 192 kHz) rounding the double product lands a frame off.
    for (const uint64_t ringFloats : {uint64_t{5760000}, uint64_t{21168000}, uint64_t{23040000}}) {
        for (uint64_t index = 0; index < ringFloats; index += 2 * 499) {
            const float fraction = static_cast<float>(index) / static_cast<float>(ringFloats);
            ASSERT_EQ(companion::headIndexForFraction(fraction, ringFloats), index)
                << ringFloats << " floats, index " << index;
        }
        const uint64_t last = ringFloats - 2;
        EXPECT_EQ(companion::headIndexForFraction(
                      static_cast<float>(last) / static_cast<float>(ringFloats), ringFloats),
                  last);
    }
    // From 2^25 floats (352.8 kHz and up) one fraction stands for up to three frames, or five at
    // 768 kHz: the head read is never past the real one (the copy would take a frame not yet
    // written) and never goes back while the real one goes on (a lap that never was).
    for (const uint64_t ringFloats : {uint64_t{42336000}, uint64_t{46080000}, uint64_t{92160000}}) {
        const uint64_t slack = ringFloats > (uint64_t{1} << 26) ? 8 : 4;
        uint64_t previous = 0;
        for (uint64_t index = 0; index < ringFloats;
             index += index % 1'000'000 < 20'000 ? 2 : 2 * 4999) {
            const uint64_t read = companion::headIndexForFraction(
                static_cast<float>(index) / static_cast<float>(ringFloats), ringFloats);
            ASSERT_TRUE(read <= index && index - read <= slack)
                << ringFloats << " floats, index " << index << " read as " << read;
            ASSERT_GE(read, previous) << ringFloats << " floats, index " << index;
            previous = read;
        }
    }
}
