#include "companion/take_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace companion {

namespace {

constexpr size_t kMaxHeaderBytes = 4096;  // our files put the data at 144 bytes
constexpr uint64_t kRiffLimitBytes = 0xFFFFFFFFull;
constexpr uint32_t kRf64Placeholder = 0xFFFFFFFFu;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kDs64BodyBytes = 28;
constexpr uint32_t kChunkHeaderBytes = 8;
constexpr uint32_t kPlainFmtBodyBytes = 18;  // float: cbSize present and 0

uint32_t getU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t getU16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint64_t getU64(const unsigned char* p) {
    return uint64_t(getU32(p)) | uint64_t(getU32(p + 4)) << 32;
}
void putU16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}
void putU32(std::string& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
}
void putU64(std::string& out, uint64_t v) {
    putU32(out, static_cast<uint32_t>(v));
    putU32(out, static_cast<uint32_t>(v >> 32));
}

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The header as parsed, with the fmt chunk kept for a rewrite.
struct ParsedHeader {
    TakeFileLayout layout;
    std::string fmtChunk;  // id, size and body, as found
};

bool preadAll(int fd, void* buffer, size_t bytes, uint64_t offset, size_t& got) {
    got = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (got < bytes) {
        const ssize_t n = ::pread(fd, out + got, bytes - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool pwriteAll(int fd, const void* buffer, size_t bytes, uint64_t offset) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pwrite(fd, in + done, bytes - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool parseHeader(int fd, ParsedHeader& out, std::string& error) {
    unsigned char h[kMaxHeaderBytes];
    size_t got = 0;
    if (!preadAll(fd, h, sizeof h, 0, got)) {
        error = systemError("read");
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error = systemError("stat");
        return false;
    }
    const bool riff = got >= 12 && std::memcmp(h, "RIFF", 4) == 0;
    const bool rf64 = got >= 12 && std::memcmp(h, "RF64", 4) == 0;
    if ((!riff && !rf64) || std::memcmp(h + 8, "WAVE", 4) != 0) {
        error = "not a WAV file";
        return false;
    }
    uint64_t ds64DataBytes = 0;
    bool haveFmt = false;
    size_t pos = 12;
    while (pos + kChunkHeaderBytes <= got) {
        const unsigned char* chunk = h + pos;
        const uint32_t size = getU32(chunk + 4);
        const unsigned char* body = chunk + kChunkHeaderBytes;
        const size_t bodyAvailable = got - pos - kChunkHeaderBytes;
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFmt) {
                error = "the data comes before its format";
                return false;
            }
            const uint64_t dataBytes = (rf64 && size == kRf64Placeholder) ? ds64DataBytes : size;
            out.layout.dataOffsetBytes = pos + kChunkHeaderBytes;
            out.layout.rf64 = rf64;
            const uint64_t fileBytes = static_cast<uint64_t>(info.st_size);
            const uint64_t held =
                fileBytes > out.layout.dataOffsetBytes ? fileBytes - out.layout.dataOffsetBytes : 0;
            out.layout.frames = std::min(dataBytes, held) / kTakeFrameBytes;
            return true;
        }
        if (std::memcmp(chunk, "ds64", 4) == 0 && size >= kDs64BodyBytes &&
            bodyAvailable >= kDs64BodyBytes) {
            ds64DataBytes = getU64(body + 8);
        } else if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 &&
                   bodyAvailable >= size + (size & 1)) {  // an odd chunk's pad byte is copied too
            uint16_t tag = getU16(body);
            if (tag == kFormatExtensible && size >= 40) {
                tag = getU16(body + 24);  // the sub-format GUID starts with the tag
            }
            if (tag != kFormatFloat || getU16(body + 2) != kTakeChannels ||
                getU16(body + 14) != 32) {
                error = "not a stereo 32-bit float WAV";
                return false;
            }
            out.layout.rateHz = getU32(body + 4);
            out.fmtChunk.assign(reinterpret_cast<const char*>(chunk),
                                kChunkHeaderBytes + size + (size & 1));
            haveFmt = true;
        }
        pos += kChunkHeaderBytes + static_cast<size_t>(size) + (size & 1);
    }
    error = "no data chunk in the first 4 KB";
    return false;
}

// A RIFF or RF64 header (by size) whose data chunk starts at dataOffset; the room between the
// chunks we need and the data goes to a JUNK chunk. 0 dataOffset: no room, the natural size.
bool buildHeader(const std::string& fmtChunk, uint64_t frames, uint64_t dataOffset,
                 std::string& out) {
    const uint64_t dataBytes = frames * kTakeFrameBytes;
    const bool rf64Needed = [&] {
        const uint64_t riffHeader = 12 + fmtChunk.size() + 12 + kChunkHeaderBytes;
        const uint64_t offset = dataOffset > 0 ? dataOffset : riffHeader;
        return offset + dataBytes >= kRiffLimitBytes;
    }();
    std::string chunks;  // everything between "WAVE" and "data"
    if (rf64Needed) {
        chunks += "ds64";
        putU32(chunks, kDs64BodyBytes);
        putU64(chunks, 0);  // the RIFF size, known once the length is
        putU64(chunks, dataBytes);
        putU64(chunks, frames);
        putU32(chunks, 0);  // no table
    }
    chunks += fmtChunk;
    if (!rf64Needed) {
        chunks += "fact";
        putU32(chunks, 4);
        putU32(chunks, static_cast<uint32_t>(frames));
    }
    const uint64_t used = 12 + chunks.size() + kChunkHeaderBytes;
    const uint64_t offset = dataOffset > 0 ? dataOffset : used;
    if (offset < used || (offset > used && offset - used < kChunkHeaderBytes)) {
        return false;
    }
    if (offset > used) {
        const uint64_t fill = offset - used - kChunkHeaderBytes;
        chunks += "JUNK";
        putU32(chunks, static_cast<uint32_t>(fill));
        chunks.append(fill, '\0');
    }
    const uint64_t riffBytes = offset + dataBytes - 8;
    out.clear();
    out += rf64Needed ? "RF64" : "RIFF";
    putU32(out, rf64Needed ? kRf64Placeholder : static_cast<uint32_t>(riffBytes));
    out += "WAVE";
    if (rf64Needed) {
        std::string size;
        putU64(size, riffBytes);
        chunks.replace(8, 8, size);
    }
    out += chunks;
    out += "data";
    putU32(out, rf64Needed ? kRf64Placeholder : static_cast<uint32_t>(dataBytes));
    return true;
}

}  // namespace

bool createTakeFile(const std::filesystem::path& path, double rateHz, TakeWriter& out,
                    std::string& error) {
    out = TakeWriter{};
    const long rate = std::isfinite(rateHz) ? std::lround(rateHz) : 0;
    if (rate < 1 || rate > INT32_MAX) {
        error = "the rate " + std::to_string(rateHz) + " Hz cannot be written";
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot create " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    const auto fail = [&](const std::string& why) {
        if (out.file != nullptr) {
            sf_close(out.file);
            out.file = nullptr;
        }
        ::close(fd);
        ::unlink(path.c_str());
        error = "cannot write " + path.string() + ": " + why;
        return false;
    };
    fchmod(fd, 0600);  // whatever the umask
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = kTakeChannels;
    info.format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
    out.file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (out.file == nullptr) {
        return fail(sf_strerror(nullptr));
    }
    // A RIFF header while under 4 GiB, so every WAV reader plays it.
    sf_command(out.file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    sf_command(out.file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (sf_error(out.file) != SF_ERR_NO_ERROR) {
        return fail(sf_strerror(out.file));
    }
    ParsedHeader header;
    std::string why;
    if (!parseHeader(fd, header, why)) {
        return fail(why);
    }
    out.fd = fd;
    out.dataOffsetBytes = header.layout.dataOffsetBytes;
    return true;
}

bool writeTakeFrames(TakeWriter& writer, const float* interleaved, size_t frames,
                     std::string& error) {
    errno = 0;
    const sf_count_t written =
        sf_writef_float(writer.file, interleaved, static_cast<sf_count_t>(frames));
    if (written > 0) {
        writer.frames += static_cast<uint64_t>(written);
    }
    if (written != static_cast<sf_count_t>(frames)) {
        const int saved = errno;
        error = sf_strerror(writer.file);
        if (saved != 0) {
            error = std::strerror(saved);
        }
        return false;
    }
    return true;
}

bool flushTakeFile(TakeWriter& writer, std::string& error) {
    sf_command(writer.file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (sf_error(writer.file) != SF_ERR_NO_ERROR) {
        error = sf_strerror(writer.file);
        return false;
    }
    // Delayed allocation reports a full disk only here.
    if (fdatasync(writer.fd) != 0) {
        error = systemError("sync");
        return false;
    }
    return true;
}

bool closeTakeFile(TakeWriter& writer, std::string& error) {
    bool ok = true;
    if (writer.file != nullptr) {
        if (sf_close(writer.file) != 0) {
            error = "closing: " + std::string(sf_strerror(nullptr));
            ok = false;
        }
        writer.file = nullptr;
    }
    if (writer.fd >= 0) {
        // A short write may have left part of a frame, which the header would count: cut it and
        // make the header say exactly the frames written.
        struct stat info {};
        const uint64_t exact = writer.dataOffsetBytes + writer.frames * kTakeFrameBytes;
        if (fstat(writer.fd, &info) == 0 && static_cast<uint64_t>(info.st_size) != exact) {
            ParsedHeader header;
            std::string bytes;
            std::string why;
            if (ftruncate(writer.fd, static_cast<off_t>(exact)) != 0 ||
                !parseHeader(writer.fd, header, why) ||
                !buildHeader(header.fmtChunk, writer.frames, writer.dataOffsetBytes, bytes) ||
                !pwriteAll(writer.fd, bytes.data(), bytes.size(), 0)) {
                error = "cannot complete the file: " + (why.empty() ? systemError("write") : why);
                ok = false;
            }
        }
        if (fsync(writer.fd) != 0 && ok) {
            error = systemError("sync");
            ok = false;
        }
        ::close(writer.fd);
        writer.fd = -1;
    }
    return ok;
}

bool readTakeLayout(int fd, TakeFileLayout& out, std::string& error) {
    ParsedHeader header;
    if (!parseHeader(fd, header, error)) {
        return false;
    }
    out = header.layout;
    return true;
}

bool repairTakeFile(const std::filesystem::path& path, TakeFileLayout& out, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    ParsedHeader header;
    struct stat info {};
    bool ok = parseHeader(fd, header, error) && fstat(fd, &info) == 0;
    if (ok) {
        const uint64_t offset = header.layout.dataOffsetBytes;
        const uint64_t size = static_cast<uint64_t>(info.st_size);
        const uint64_t frames = size > offset ? (size - offset) / kTakeFrameBytes : 0;
        const uint64_t exact = offset + frames * kTakeFrameBytes;
        std::string bytes;
        if (size != exact && ftruncate(fd, static_cast<off_t>(exact)) != 0) {
            error = systemError("truncate");
            ok = false;
        } else if (!buildHeader(header.fmtChunk, frames, offset, bytes)) {
            error = "no room for the header";
            ok = false;
        } else if (!pwriteAll(fd, bytes.data(), bytes.size(), 0) || fdatasync(fd) != 0) {
            error = systemError("write");
            ok = false;
        } else {
            out = header.layout;
            out.frames = frames;
            out.rf64 = bytes.compare(0, 4, "RF64") == 0;
        }
    }
    ::close(fd);
    if (!ok) {
        error = path.filename().string() + ": " + error;
    }
    return ok;
}

bool readTakeFrames(int fd, const TakeFileLayout& layout, uint64_t firstFrame, uint64_t frames,
                    std::vector<float>& out, std::string& error) {
    const size_t before = out.size();
    out.resize(before + frames * kTakeChannels);
    size_t got = 0;
    const size_t bytes = frames * kTakeFrameBytes;
    if (!preadAll(fd, out.data() + before, bytes,
                  layout.dataOffsetBytes + firstFrame * kTakeFrameBytes, got) ||
        got != bytes) {
        error = got != bytes ? "the take file is shorter than its index says" : systemError("read");
        out.resize(before);
        return false;
    }
    if constexpr (std::endian::native == std::endian::big) {
        for (size_t i = before; i < out.size(); ++i) {
            uint32_t bits;
            std::memcpy(&bits, &out[i], 4);
            bits = __builtin_bswap32(bits);
            std::memcpy(&out[i], &bits, 4);
        }
    }
    return true;
}

std::string floatWavHeader(uint64_t frames, double rateHz) {
    const uint32_t rate =
        std::isfinite(rateHz) && rateHz >= 1.0 ? static_cast<uint32_t>(std::lround(rateHz)) : 1;
    std::string fmt = "fmt ";
    putU32(fmt, kPlainFmtBodyBytes);
    putU16(fmt, kFormatFloat);
    putU16(fmt, kTakeChannels);
    putU32(fmt, rate);
    putU32(fmt, rate * static_cast<uint32_t>(kTakeFrameBytes));
    putU16(fmt, static_cast<uint16_t>(kTakeFrameBytes));
    putU16(fmt, 32);
    putU16(fmt, 0);
    std::string header;
    buildHeader(fmt, frames, 0, header);
    return header;
}

}  // namespace companion
