// The WAV writer: header bytes against the canonical layout, samples read back by libsndfile bit
// for bit, and failures (null samples, no directory, full disk) that leave no file claiming to be
// a finished export.
#include "export/wav_writer.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <sys/mount.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "wav_writer_test_XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::vector<unsigned char> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t u32At(const std::vector<unsigned char>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}
uint16_t u16At(const std::vector<unsigned char>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
std::string idAt(const std::vector<unsigned char>& b, size_t at) {
    return std::string(b.begin() + at, b.begin() + at + 4);
}

// The canonical header, field by field, for a file of frames frames at rateHz.
void expectHeader(const std::vector<unsigned char>& b, uint32_t frames, uint32_t rateHz) {
    ASSERT_GE(b.size(), 44u);
    EXPECT_EQ(idAt(b, 0), "RIFF");
    EXPECT_EQ(u32At(b, 4), frames * 8 + 36);
    EXPECT_EQ(idAt(b, 8), "WAVE");
    EXPECT_EQ(idAt(b, 12), "fmt ");
    EXPECT_EQ(u32At(b, 16), 16u);
    EXPECT_EQ(u16At(b, 20), 3u);
    EXPECT_EQ(u16At(b, 22), 2u);
    EXPECT_EQ(u32At(b, 24), rateHz);
    EXPECT_EQ(u32At(b, 28), rateHz * 8);
    EXPECT_EQ(u16At(b, 32), 8u);
    EXPECT_EQ(u16At(b, 34), 32u);
    EXPECT_EQ(idAt(b, 36), "data");
    EXPECT_EQ(u32At(b, 40), frames * 8);
    EXPECT_EQ(b.size(), 44u + frames * 8);
}

// Reads the file with libsndfile; the float bits as stored.
std::vector<uint32_t> readBackBits(const fs::path& file, SF_INFO& info) {
    info = {};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        ADD_FAILURE() << "libsndfile cannot open " << file << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(sf, samples.data(), info.frames), info.frames);
    sf_close(sf);
    std::vector<uint32_t> bits;
    for (float s : samples)
        bits.push_back(std::bit_cast<uint32_t>(s));
    return bits;
}

std::vector<uint32_t> bitsOf(const std::vector<float>& samples) {
    std::vector<uint32_t> bits;
    for (float s : samples)
        bits.push_back(std::bit_cast<uint32_t>(s));
    return bits;
}

}  // namespace

TEST(WavWriter, OneFrameAndSpecialValuesReadBackBitForBit) {
    TempDir dir;
    const fs::path one = dir.path / "one.wav";
    const std::vector<float> frame = {0.25f, -0.75f};
    ASSERT_TRUE(ORV::WriteWavFile(one.string(), frame.data(), 1, 48000.0));
    expectHeader(readBytes(one), 1, 48000);
    EXPECT_EQ(readBytes(one).size(), 52u);

    // Values no converter may touch: NaN payloads, infinities, -0, denormals, beyond full scale.
    const std::vector<float> special = {std::bit_cast<float>(0x7FC01234u),
                                        -std::numeric_limits<float>::infinity(),
                                        std::numeric_limits<float>::infinity(),
                                        -0.0f,
                                        std::numeric_limits<float>::denorm_min(),
                                        -3.5f,
                                        1.0e30f,
                                        std::bit_cast<float>(0xFF800001u)};
    const fs::path many = dir.path / "special.wav";
    ASSERT_TRUE(ORV::WriteWavFile(many.string(), special.data(), special.size() / 2, 96000.0));
    expectHeader(readBytes(many), 4, 96000);
    SF_INFO info;
    const std::vector<uint32_t> bits = readBackBits(many, info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 96000);
    EXPECT_EQ(bits, bitsOf(special));
}

TEST(WavWriter, ZeroFramesFractionalRateAndReplacement) {
    TempDir dir;
    const fs::path file = dir.path / "out.wav";
    // A longer file first: the export must replace it, not append or leave a tail.
    const std::vector<float> long_(2000, 0.5f);
    ASSERT_TRUE(ORV::WriteWavFile(file.string(), long_.data(), 1000, 44100.0));
    const float dummy = 1.0f;
    ASSERT_TRUE(ORV::WriteWavFile(file.string(), &dummy, 0, 22050.99));
    const std::vector<unsigned char> bytes = readBytes(file);
    expectHeader(bytes, 0, 22050);  // the fraction truncates; byte rate 8 x 22050
    SF_INFO info;
    EXPECT_TRUE(readBackBits(file, info).empty());
    EXPECT_EQ(info.samplerate, 22050);
}

TEST(WavWriter, RefusesWithoutLeavingAFile) {
    TempDir dir;
    const std::vector<float> frame = {0.1f, 0.2f};

    const fs::path nullSamples = dir.path / "null.wav";
    EXPECT_FALSE(ORV::WriteWavFile(nullSamples.string(), nullptr, 1, 48000.0));
    EXPECT_FALSE(fs::exists(nullSamples));

    const fs::path noDirectory = dir.path / "missing" / "x.wav";
    EXPECT_FALSE(ORV::WriteWavFile(noDirectory.string(), frame.data(), 1, 48000.0));
    EXPECT_FALSE(fs::exists(noDirectory.parent_path()));

    // 2^29 frames make 4 GiB of data: the 32-bit size fields cannot describe it.
    const fs::path tooLong = dir.path / "too_long.wav";
    EXPECT_FALSE(ORV::WriteWavFile(tooLong.string(), frame.data(), uint64_t{1} << 29, 48000.0));
    EXPECT_FALSE(fs::exists(tooLong));

    // A rate the 32-bit field cannot hold, or none at all.
    const fs::path badRate = dir.path / "bad_rate.wav";
    for (double rate : {-1.0, 4294967296.0, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(ORV::WriteWavFile(badRate.string(), frame.data(), 1, rate)) << rate;
        EXPECT_FALSE(fs::exists(badRate)) << rate;
    }
    EXPECT_TRUE(ORV::WriteWavFile(badRate.string(), frame.data(), 1, 4294967295.9));
    EXPECT_EQ(u32At(readBytes(badRate), 24), 4294967295u);
}

TEST(WavWriter, DeviceThatRejectsWritesIsAFailureAndIsNotRemoved) {
    // Through a link, so even a writer that wrongly removed the path could only remove the link.
    TempDir dir;
    const fs::path link = dir.path / "full.wav";
    fs::create_symlink("/dev/full", link);
    const std::vector<float> samples(512, 0.5f);
    EXPECT_FALSE(ORV::WriteWavFile(link.string(), samples.data(), 256, 48000.0));
    EXPECT_TRUE(fs::is_symlink(link));  // not a regular file: left alone
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(WavWriter, FullFileSystemGivesFalseAndNoPartialFile) {
    TempDir dir;
    const fs::path mountPoint = dir.path / "tiny";
    fs::create_directory(mountPoint);
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a 64 KiB tmpfs here (needs root)";
    struct Unmount {
        const fs::path& at;
        ~Unmount() { umount(at.c_str()); }
    } unmount{mountPoint};

    // The sample block fails part way: 128 KiB of data into 64 KiB.
    const std::vector<float> big(32768, 0.25f);
    const fs::path large = mountPoint / "large.wav";
    EXPECT_FALSE(ORV::WriteWavFile(large.string(), big.data(), big.size() / 2, 48000.0));
    EXPECT_FALSE(fs::exists(large));

    // Fill the volume, then a one-frame file fits the stdio buffer and fails only at the close.
    {
        std::FILE* filler = std::fopen((mountPoint / "filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::vector<char> chunk(4096, 'x');
        while (std::fwrite(chunk.data(), 1, chunk.size(), filler) == chunk.size() &&
               std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    const std::vector<float> frame = {0.1f, 0.2f};
    const fs::path small = mountPoint / "small.wav";
    EXPECT_FALSE(ORV::WriteWavFile(small.string(), frame.data(), 1, 48000.0));
    EXPECT_FALSE(fs::exists(small));
}
