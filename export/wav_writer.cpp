#include "export/wav_writer.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The samples go to disk straight from memory, so memory order must be the file's byte order.
static_assert(std::endian::native == std::endian::little,
              "the WAV writer stores floats as they are in memory: little-endian hosts only");

namespace {

inline constexpr uint16_t kFormatIeeeFloat = 3;
inline constexpr uint16_t kChannels = 2;
inline constexpr uint16_t kBitsPerSample = 32;
inline constexpr uint16_t kBlockAlignBytes = kChannels * (kBitsPerSample / 8);  // 8 per frame
inline constexpr uint32_t kFormatChunkBytes = 16;
inline constexpr uint32_t kRiffSizeOverData = kWavHeaderBytes - 8;  // 36: header minus "RIFF"+size

// A file being written, with the first failure remembered so every field need not be tested.
struct WavFile {
    std::FILE* file = nullptr;
    bool ok = true;
};

// [main-thread] One header field or the sample block, written by itself.
void writeBytes(WavFile& wav, const void* bytes, std::size_t count) {
    if (wav.ok && count != 0 && std::fwrite(bytes, 1, count, wav.file) != count)
        wav.ok = false;
}

// [main-thread] A four-character chunk id, without its terminating NUL.
void writeId(WavFile& wav, const char (&id)[5]) {
    writeBytes(wav, id, 4);
}

// [main-thread] Little-endian integers at their widths.
void writeU16(WavFile& wav, uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value),
                                    static_cast<unsigned char>(value >> 8)};
    writeBytes(wav, bytes, sizeof bytes);
}
void writeU32(WavFile& wav, uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    writeBytes(wav, bytes, sizeof bytes);
}

// [main-thread] What both writers refuse before touching the file system.
bool writable(const float* samples, uint64_t frameCount, double sampleRate) {
    // The header's rate is 32-bit: a rate it cannot hold (or none at all) has no file to describe.
    if (samples == nullptr || !(sampleRate >= 0.0 && sampleRate < 4294967296.0))
        return false;
    // The 32-bit size fields cannot describe more; a wrapped size would make a corrupt file.
    const uint64_t dataBytes64 = frameCount * kBlockAlignBytes;
    return frameCount <= std::numeric_limits<uint32_t>::max() / kBlockAlignBytes &&
           dataBytes64 + kRiffSizeOverData <= std::numeric_limits<uint32_t>::max();
}

// [main-thread] Writes the header and the samples into the open file and closes it; a failed
// write or close removes the file again when it is a regular one.
bool writeAndClose(std::FILE* file, const std::string& path, const float* samples,
                   uint64_t frameCount, double sampleRate) {
    WavFile wav;
    wav.file = file;
    // Only a regular file is ours to remove after a failure, never a device such as /dev/full.
    struct stat info {};
    const bool regularFile = fstat(fileno(wav.file), &info) == 0 && S_ISREG(info.st_mode);

    // All sizes in unsigned 32-bit arithmetic; the rate truncates toward zero.
    const uint64_t dataBytes64 = frameCount * kBlockAlignBytes;
    const uint32_t rateHz = static_cast<uint32_t>(sampleRate);
    const uint32_t byteRate = rateHz * kBlockAlignBytes;
    const uint32_t dataBytes = static_cast<uint32_t>(dataBytes64);
    const uint32_t riffBytes = dataBytes + kRiffSizeOverData;

    writeId(wav, "RIFF");
    writeU32(wav, riffBytes);
    writeId(wav, "WAVE");
    writeId(wav, "fmt ");
    writeU32(wav, kFormatChunkBytes);
    writeU16(wav, kFormatIeeeFloat);
    writeU16(wav, kChannels);
    writeU32(wav, rateHz);
    writeU32(wav, byteRate);
    writeU16(wav, kBlockAlignBytes);
    writeU16(wav, kBitsPerSample);
    writeId(wav, "data");
    writeU32(wav, dataBytes);
    writeBytes(wav, samples, static_cast<std::size_t>(dataBytes64));

    // fclose flushes the stdio buffer: a full disk often shows only here.
    const bool closed = std::fclose(wav.file) == 0;
    if (!wav.ok || !closed) {
        // A truncated file must never be mistaken for a finished export.
        if (regularFile)
            std::remove(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

namespace ORV {

// [main-thread]
bool WriteWavFile(const std::string& path, const float* samples, uint64_t frameCount,
                  double sampleRate) {
    if (!writable(samples, frameCount, sampleRate))
        return false;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    return writeAndClose(file, path, samples, frameCount, sampleRate);
}

// [main-thread]
NewFileResult WriteNewWavFile(const std::string& path, const float* samples, uint64_t frameCount,
                              double sampleRate) {
    if (!writable(samples, frameCount, sampleRate))
        return NewFileResult::failed;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EEXIST ? NewFileResult::nameTaken : NewFileResult::failed;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        std::remove(path.c_str());
        return NewFileResult::failed;
    }
    return writeAndClose(file, path, samples, frameCount, sampleRate) ? NewFileResult::written
                                                                      : NewFileResult::failed;
}

}  // namespace ORV
