// Takes worked out from the write head alone, without a plug-in: pauses split them, the head
// overwrites them, and the ring's end is crossed. And the ring fractions that make a stretch land
// on exactly the floats meant.
#include "companion/ring_fractions.h"
#include "companion/takes.h"

#include <gtest/gtest.h>

using companion::kTakePauseMs;

TEST(Takes, SplitAtPausesClipWhenOverwrittenAndSurviveTheWrap) {
    companion::TakeTracker tracker;
    companion::startTakes(tracker, 0.9f, 0.0);
    int64_t ms = 1000;
    companion::trackWriteHead(tracker, 0.9f, ms, 50'000);  // nothing moved yet: no take
    EXPECT_TRUE(companion::listTakes(tracker, 60.0).empty());

    companion::trackWriteHead(tracker, 0.95f, ms += 10, 50'010);
    companion::trackWriteHead(tracker, 0.05f, ms += 10, 50'020);  // crosses the ring's end
    ms += kTakePauseMs;  // exactly one second still belongs to the same take
    companion::trackWriteHead(tracker, 0.10f, ms, 51'020);
    ms += kTakePauseMs + 1;
    companion::trackWriteHead(tracker, 0.30f, ms, 52'021);
    std::vector<companion::Take> takes = companion::listTakes(tracker, 60.0);
    ASSERT_EQ(takes.size(), 2u);
    EXPECT_FLOAT_EQ(takes[0].start, 0.9f);
    EXPECT_NEAR(takes[0].length, 0.2, 1e-6);
    EXPECT_NEAR(takes[0].seconds, 12.0, 1e-4);
    EXPECT_EQ(takes[0].wallClockMs, 50'010);
    EXPECT_NEAR(takes[1].start, 0.10f, 1e-6);
    EXPECT_EQ(takes[1].wallClockMs, 52'021);

    // Most of a lap later the head has eaten into the first take, then past it.
    companion::trackWriteHead(tracker, 0.6f, ms += 10, 52'031);
    companion::trackWriteHead(tracker, 0.92f, ms += 10, 52'041);
    takes = companion::listTakes(tracker, 60.0);
    ASSERT_EQ(takes.size(), 2u);
    EXPECT_NEAR(takes[0].start, 0.92f, 1e-6);
    EXPECT_NEAR(takes[0].length + takes[1].length, 1.0, 1e-6);
    companion::trackWriteHead(tracker, 0.2f, ms += 10, 52'051);
    takes = companion::listTakes(tracker, 60.0);
    ASSERT_EQ(takes.size(), 1u);
    EXPECT_NEAR(takes[0].start, 0.2f, 1e-6);
    EXPECT_FLOAT_EQ(takes[0].length, 1.0f);
}

TEST(Takes, AudioFromBeforeWeWatchedIsOneTakeOfUnknownTime) {
    companion::TakeTracker tracker;
    companion::startTakes(tracker, 0.25f, 1.0);  // a full ring: the oldest audio is at the head
    std::vector<companion::Take> takes = companion::listTakes(tracker, 60.0);
    ASSERT_EQ(takes.size(), 1u);
    EXPECT_FLOAT_EQ(takes[0].start, 0.25f);
    EXPECT_FLOAT_EQ(takes[0].length, 1.0f);
    EXPECT_EQ(takes[0].wallClockMs, 0);
}

TEST(RingFractions, EveryStretchIndexIsReachedAtHighRatesToo) {
    // Above 2^24 floats (176.4 and 192 kHz rings) single precision steps by 2 or 4 near the
    // ring's end: the aimed fraction alone lands a frame off there.
    for (const uint64_t ringFloats : {uint64_t{5760000}, uint64_t{21168000}, uint64_t{23040000}}) {
        for (uint64_t index = 0; index<ringFloats; index += index> 16'000'000 ? 2 : 2 * 997) {
            ASSERT_EQ(
                companion::pluginIndex(companion::fractionForIndex(index, ringFloats), ringFloats),
                index)
                << "ring " << ringFloats << ", index " << index;
        }
        EXPECT_EQ(companion::pluginIndex(1.0f, ringFloats), ringFloats);
    }
    // From 2^25 floats on (352.8 kHz and up) the plug-in reaches only every other even index
    // near the end: a stretch then starts at most a float step early and is at most one longer.
    for (const uint64_t ringFloats : {uint64_t{42336000}, uint64_t{92160000}}) {
        const uint64_t step = ringFloats > (uint64_t{1} << 26) ? 8 : 4;
        for (uint64_t index = 2; index < ringFloats;
             index += index % 1'000'000 < 20'000 ? 2 : 2 * 4999) {
            const uint64_t below =
                companion::pluginIndex(companion::fractionAtOrBelow(index, ringFloats), ringFloats);
            const uint64_t above =
                companion::pluginIndex(companion::fractionAtOrAbove(index, ringFloats), ringFloats);
            ASSERT_TRUE(below <= index && index - below < step) << index << " from " << below;
            ASSERT_TRUE(above >= index && above - index < step) << index << " for " << above;
        }
    }
}
