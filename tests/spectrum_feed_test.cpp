// The spectrum feed as the companion reads it: mapped by name, the header, the ring rule, and a
// reader in a second process following the feed while blocks run.
#include "plugin_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

using companion::SpectrumReader;
using testhost::PluginFixture;

namespace {

// A deterministic, never-repeating value for frame k of channel c: what the reader expects.
float sampleOf(uint64_t k, int channel) {
    const uint32_t bits = static_cast<uint32_t>(k * 2654435761u + channel * 40503u);
    return static_cast<float>(bits % 2000001u) / 1000000.0f - 1.0f;
}

// Frames [first, first + n) of the stream.
void makeBlock(uint64_t first, uint32_t n, std::vector<float>& l, std::vector<float>& r) {
    l.resize(n);
    r.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        l[i] = sampleOf(first + i, 0);
        r[i] = sampleOf(first + i, 1);
    }
}

}  // namespace

class SpectrumFeed : public PluginFixture {
protected:
    // Streams n frames continuing the sequence.
    void stream(uint32_t n) {
        std::vector<float> l, r;
        makeBlock(streamed, n, l, r);
        ASSERT_EQ(run(l, r), CLAP_PROCESS_CONTINUE);
        streamed += n;
    }
    // Every frame the ring rule promises holds the streamed value (stream frames = feed frames
    // minus `offset`, for feeds that skipped frames of over-long blocks).
    void expectRingRule(const SpectrumReader& reader, uint64_t streamOffset = 0) {
        std::vector<float> left, right;
        const uint64_t total = reader.readLatest(left, right);
        const uint64_t count = std::min<uint64_t>(total, 65536);
        ASSERT_EQ(left.size(), count);
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t k = total - count + i + streamOffset;
            ASSERT_EQ(left[i], sampleOf(k, 0)) << "frame " << k;
            ASSERT_EQ(right[i], sampleOf(k, 1)) << "frame " << k;
        }
    }
    uint64_t streamed = 0;
};

TEST_F(SpectrumFeed, HeaderAfterFirstActivation) {
    start(48000.0);
    SpectrumReader reader;
    ASSERT_TRUE(reader.open());
    const uint8_t* bytes = reader.bytes();
    EXPECT_EQ(std::memcmp(bytes, "\x46\x56\x52\x4F", 4), 0);
    EXPECT_EQ(reader.magic(), companion::kSpectrumMagic);
    EXPECT_EQ(reader.version(), 1u);
    EXPECT_EQ(reader.capacity(), 65536u);
    EXPECT_EQ(reader.channels(), 2u);
    EXPECT_EQ(reader.sampleRate(), 48000.0);
    EXPECT_EQ(reader.totalFrames(), 0u);
    for (size_t i = 32; i < companion::kSpectrumBytes; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

TEST_F(SpectrumFeed, RingRuleAcrossTheEndAndOverLongBlocks) {
    start(48000.0);
    SpectrumReader reader;
    ASSERT_TRUE(reader.open());
    stream(65500);  // 36 frames short of the ring's end
    EXPECT_EQ(reader.totalFrames(), 65500u);
    stream(100);  // 36 at the end, 64 at the start
    EXPECT_EQ(reader.totalFrames(), 65600u);
    EXPECT_EQ(reader.leftRing()[65535], sampleOf(65535, 0));
    EXPECT_EQ(reader.leftRing()[0], sampleOf(65536, 0));
    EXPECT_EQ(reader.rightRing()[63], sampleOf(65599, 1));
    EXPECT_EQ(reader.rightRing()[64], sampleOf(64, 1)) << "index 64 still holds the first lap";
    expectRingRule(reader);
    // A block longer than the ring: only its last 65,536 frames are appended.
    std::vector<float> l, r;
    makeBlock(streamed, 70000, l, r);
    run(l, r);
    EXPECT_EQ(reader.totalFrames(), 65600u + 65536u);
    expectRingRule(reader, 70000 - 65536);
}

TEST_F(SpectrumFeed, MonoBlockBetweenStereoBlocksAndEmptyBlocks) {
    start(48000.0);
    SpectrumReader reader;
    ASSERT_TRUE(reader.open());
    stream(1000);
    std::vector<float> mono(500, 0.75f), out(500);
    instance->process(mono.data(), nullptr, out.data(), out.data(), 500);
    EXPECT_EQ(reader.channels(), 1u);
    EXPECT_EQ(reader.totalFrames(), 1500u);
    EXPECT_EQ(reader.leftRing()[1000], 0.75f);
    EXPECT_EQ(reader.rightRing()[1000], 0.0f) << "the right ring is left as it was";
    EXPECT_EQ(reader.rightRing()[999], sampleOf(999, 1));
    // An empty stereo block switches the channel count back and appends nothing.
    run(0, 0.0f, 0.0f);
    EXPECT_EQ(reader.channels(), 2u);
    EXPECT_EQ(reader.totalFrames(), 1500u);
}

TEST_F(SpectrumFeed, RawInputEvenInPlaceWithPreviewPlaying) {
    start(8000.0);
    run(4000, 0.5f, 0.5f);  // something to preview
    control.setPreview(true, 0.0f);
    std::vector<float> l, r;
    makeBlock(0, 2000, l, r);
    std::vector<float> ioL = l, ioR = r;
    instance->process(ioL.data(), ioR.data(), ioL.data(), ioR.data(), 2000);
    EXPECT_NE(ioL, l) << "the output carries the preview";
    SpectrumReader reader;
    ASSERT_TRUE(reader.open());
    for (uint32_t i = 0; i < 2000; ++i) {
        ASSERT_EQ(reader.leftRing()[4000 + i], l[i]);
        ASSERT_EQ(reader.rightRing()[4000 + i], r[i]);
    }
}

TEST_F(SpectrumFeed, RateChangeRestartsTheCount) {
    start(48000.0);
    stream(3000);
    SpectrumReader reader;
    ASSERT_TRUE(reader.open());
    instance->deactivate();
    EXPECT_EQ(reader.capacity(), 65536u) << "deactivation leaves the feed live";
    ASSERT_TRUE(instance->activate(44100.0));
    EXPECT_EQ(reader.totalFrames(), 0u);
    EXPECT_EQ(reader.sampleRate(), 44100.0);
    EXPECT_EQ(reader.leftRing()[2999], sampleOf(2999, 0)) << "old samples stay";
    run(10, 0.0f, 0.0f);
    instance->deactivate();
    ASSERT_TRUE(instance->activate(44100.0));
    EXPECT_EQ(reader.totalFrames(), 10u) << "the same rate changes nothing";
}

TEST_F(SpectrumFeed, TeardownZeroesCapacityBeforeTheNameGoes) {
    start(48000.0);
    SpectrumReader reader;
    ASSERT_TRUE(reader.open());
    instance.reset();  // destroys the instance
    EXPECT_EQ(reader.capacity(), 0u);
    SpectrumReader again;
    EXPECT_FALSE(again.open());
}

TEST_F(SpectrumFeed, WorksWithoutTheCompanion) {
    control.remove();
    start(48000.0);
    stream(777);
    SpectrumReader reader;
    ASSERT_TRUE(reader.open());
    EXPECT_EQ(reader.totalFrames(), 777u);
    expectRingRule(reader);
}

TEST_F(SpectrumFeed, ReaderInAnotherProcessFollowsTheFeed) {
    start(48000.0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The companion's reader: check the newest 1024 frames at every count it sees.
        SpectrumReader reader;
        char go = 1;
        if (!reader.open() || reader.capacity() != 65536u)
            _exit(2);
        if (write(ready[1], &go, 1) != 1)
            _exit(3);
        uint64_t seen = 0;
        int checks = 0;
        while (seen < 400000) {
            const uint64_t total = reader.totalFrames();
            if (total == seen || total < 1024) {
                std::this_thread::yield();
                continue;
            }
            float left[1024], right[1024];
            for (uint64_t k = total - 1024, i = 0; k < total; ++k, ++i) {
                left[i] = reader.leftRing()[k & 65535];
                right[i] = reader.rightRing()[k & 65535];
            }
            // Frames may have been overwritten while copying only if the writer lapped them.
            if (reader.totalFrames() - (total - 1024) <= 65536) {
                for (uint64_t k = total - 1024, i = 0; k < total; ++k, ++i)
                    if (left[i] != sampleOf(k, 0) || right[i] != sampleOf(k, 1))
                        _exit(4);
                ++checks;
            }
            seen = total;
        }
        _exit(checks > 10 ? 0 : 5);
    }
    char go = 0;
    ASSERT_EQ(read(ready[0], &go, 1), 1);
    while (streamed < 400000) {
        stream(512);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(ready[0]);
    close(ready[1]);
}
