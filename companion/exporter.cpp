// The exporter: one pass of analysis (libebur128 for integrated loudness and LRA, our own 4x
// interpolator for the true peak), then one pass of conversion into a file that only gets its
// final name once it is complete and on disk.
#include "companion/exporter.h"

#include "companion/true_peak.h"

#include <ebur128.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <limits>
#include <memory>
#include <system_error>

namespace companion {

namespace {

constexpr size_t kChannels = 2;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kIntegratedMinSeconds = 0.4;  // one gating block
constexpr double kLraMinSeconds = 3.0;         // one short-term window

// Frames per step of both passes: small enough that the working buffers stay in cache.
constexpr size_t kChunkFrames = 4096;
static_assert(kChunkFrames <= kTruePeakChunkFrames);
// A source's chunks split into the same steps as one vector: the same frames, the same numbers.
static_assert(kSourceChunkFrames % kChunkFrames == 0);

// RIFF sizes are 32-bit; keep room for the header and libsndfile's PEAK chunk.
constexpr uint64_t kWavMaxDataBytes = 0xFFFFFFFFull - 4096;
// libsndfile keeps the rate in an int; FLAC's STREAMINFO holds up to 655,350 Hz in libsndfile 1.2.
constexpr double kWavMaxRateHz = static_cast<double>(INT_MAX);
constexpr double kFlacMaxRateHz = 655350.0;

constexpr double kScale24 = 8388608.0;
constexpr double kMax24 = 8388607.0;
constexpr double kScale16 = 32768.0;
constexpr double kMax16 = 32767.0;

// 0 (fastest) to 1 (smallest) for FLAC's levels 0 to 8. Level 1 (fixed predictors, adaptive
// mid-side) encodes a minute of 24-bit stereo in about 120 ms here; the default level 5 takes
// half as long again for files a few percent smaller.
constexpr double kFlacCompressionLevel = 0.125;

constexpr int kMaxNameSuffix = 9999;
constexpr int kTempNameAttempts = 64;
constexpr std::string_view kTempPrefix = ".tessarin_";
constexpr std::string_view kTempSuffix = ".part";
constexpr size_t kTempRandomChars = 8;
constexpr uint64_t kDitherSeed = 0x7e55a41d17be12c5ull;  // fixed: the same take exports the same

double toDb(double linear) {
    return linear > 0.0 ? 20.0 * std::log10(linear) : kNaN;
}

// Everything measured by one pass over the samples.
class StretchMeter {
public:
    StretchMeter(double sampleRateHz) {
        const double rate = std::round(sampleRateHz);
        if (std::isfinite(rate) && rate >= 1.0 && rate <= static_cast<double>(UINT_MAX)) {
            ebur_ = ebur128_init(kChannels, static_cast<unsigned long>(rate),
                                 EBUR128_MODE_I | EBUR128_MODE_LRA);
        }
    }
    ~StretchMeter() {
        if (ebur_ != nullptr) {
            ebur128_destroy(&ebur_);
        }
    }
    StretchMeter(const StretchMeter&) = delete;
    StretchMeter& operator=(const StretchMeter&) = delete;

    // [any thread] interleaved stereo, at most kChunkFrames frames
    void add(const float* interleaved, size_t frames) {
        float samplePeak = samplePeak_;
        for (size_t i = 0; i < frames; ++i) {
            for (size_t ch = 0; ch < kChannels; ++ch) {
                float v = interleaved[kChannels * i + ch];
                // A NaN or inf (a broken plug-in upstream) would make every measure NaN or inf:
                // it is measured as silence instead, the way the integer exports write it.
                if (!std::isfinite(v)) {
                    v = 0.0f;
                }
                clean_[kChannels * i + ch] = v;
                channel_[ch][i] = v;
                samplePeak = std::max(samplePeak, std::fabs(v));
            }
        }
        samplePeak_ = samplePeak;
        for (size_t ch = 0; ch < kChannels; ++ch) {
            truePeak_ = std::max(truePeak_,
                                 addTruePeak(truePeakChannels_[ch], channel_[ch].data(), frames));
        }
        if (ebur_ != nullptr) {
            ebur128_add_frames_float(ebur_, clean_.data(), frames);
        }
    }

    // [any thread] what was added so far; the meter may go on after it
    void finish(double seconds, StretchAnalysis& out) const {
        // The interpolated signal rings for kTruePeakHistory samples past the end, as the file
        // does when it stops: measured on a copy of the carried samples followed by silence.
        float peak = std::max(samplePeak_, truePeak_);
        for (const TruePeakChannel& channel : truePeakChannels_) {
            peak = std::max(peak, truePeakTail(channel));
        }
        out.samplePeakDb = toDb(samplePeak_);
        out.truePeakDb = toDb(peak);

        out.integratedLufs = kNaN;
        out.lraLu = kNaN;
        if (ebur_ == nullptr) {
            return;
        }
        double integrated = -HUGE_VAL;
        if (seconds >= kIntegratedMinSeconds &&
            ebur128_loudness_global(ebur_, &integrated) == EBUR128_SUCCESS &&
            std::isfinite(integrated)) {
            out.integratedLufs = integrated;
        }
        double lra = 0.0;
        // Silence has no loudness and so no range (libebur128 reports 0 for it).
        if (seconds >= kLraMinSeconds && std::isfinite(out.integratedLufs) &&
            ebur128_loudness_range(ebur_, &lra) == EBUR128_SUCCESS && std::isfinite(lra)) {
            out.lraLu = lra;
        }
    }

private:
    ebur128_state* ebur_ = nullptr;
    float samplePeak_ = 0.0f;
    float truePeak_ = 0.0f;  // of the points measured so far, the samples included
    std::array<TruePeakChannel, kChannels> truePeakChannels_{};
    std::array<std::array<float, kChunkFrames>, kChannels> channel_;
    std::array<float, kChunkFrames * kChannels> clean_;
};

// Two uniform values in [-0.5, 0.5) LSB summed: triangular dither in [-1, 1) LSB. splitmix64,
// one 64-bit draw gives both values (24 bits each).
class TpdfDither {
public:
    double next() {
        state_ += 0x9e3779b97f4a7c15ull;
        uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        constexpr double kUnit = 1.0 / 16777216.0;
        const double a = static_cast<double>(z >> 40) * kUnit;
        const double b = static_cast<double>((z >> 8) & 0xFFFFFF) * kUnit;
        return a + b - 1.0;
    }

private:
    uint64_t state_ = kDitherSeed;
};

struct FormatTraits {
    int sndfileFormat;
    const char* container;  // for people
    const char* extension;
    int bits;  // 32: float
    double maxRateHz;
};

FormatTraits traitsOf(ExportFormat format) {
    switch (format) {
    case ExportFormat::wav24:
        return {SF_FORMAT_WAV | SF_FORMAT_PCM_24, "WAV", ".wav", 24, kWavMaxRateHz};
    case ExportFormat::wav16:
        return {SF_FORMAT_WAV | SF_FORMAT_PCM_16, "WAV", ".wav", 16, kWavMaxRateHz};
    case ExportFormat::flac24:
        return {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, "FLAC", ".flac", 24, kFlacMaxRateHz};
    case ExportFormat::flac16:
        return {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC", ".flac", 16, kFlacMaxRateHz};
    case ExportFormat::wav32f:
        break;
    }
    return {SF_FORMAT_WAV | SF_FORMAT_FLOAT, "WAV", ".wav", 32, kWavMaxRateHz};
}

std::string errnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

// Closes what it holds and removes the temporary file unless it was renamed away.
struct TempFile {
    int dirFd = -1;
    int fd = -1;
    std::string name;      // relative to dirFd; empty once claimed or while unnamed
    bool unnamed = false;  // O_TMPFILE: gone by itself if the process dies before it is named
    ~TempFile() {
        if (fd >= 0) {
            close(fd);
        }
        if (!name.empty()) {
            unlinkat(dirFd, name.c_str(), 0);
        }
        if (dirFd >= 0) {
            close(dirFd);
        }
    }
};

// The unnamed file gets its name through its /proc/self/fd link (linkat with AT_EMPTY_PATH
// would need CAP_DAC_READ_SEARCH).
std::string procFdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// [any thread] A new file in dirFd, mode 0644 less the umask: unnamed where the filesystem
// allows (a killed daemon leaves nothing), else under a random hidden name.
bool createTempFile(TempFile& temp, std::string& error) {
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(temp.dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC,
                              S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
        if (fd >= 0) {
            temp.fd = fd;
            temp.unnamed = true;
            return true;
        }
    }
    static constexpr char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        std::array<unsigned char, 8> random{};
        if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
            error = "cannot make a temporary name: " + errnoText(errno);
            return false;
        }
        std::string name(kTempPrefix);
        for (unsigned char r : random) {
            name += kAlphabet[r % (sizeof(kAlphabet) - 1)];
        }
        name += kTempSuffix;
        const int fd = openat(temp.dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                              S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
        if (fd >= 0) {
            temp.fd = fd;
            temp.name = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot write into the export folder: " + errnoText(errno);
            return false;
        }
    }
    error = "cannot find a free temporary name in the export folder";
    return false;
}

// [any thread] Gives the temporary file the first free name of base, base_2, base_3, ...
bool claimName(TempFile& temp, const std::string& base, const char* extension, std::string& claimed,
               std::string& error) {
    for (int suffix = 1; suffix <= kMaxNameSuffix; ++suffix) {
        std::string name = base;
        if (suffix > 1) {
            name += '_';
            name += std::to_string(suffix);
        }
        name += extension;
        if (temp.unnamed) {
            if (linkat(AT_FDCWD, procFdPath(temp.fd).c_str(), temp.dirFd, name.c_str(),
                       AT_SYMLINK_FOLLOW) == 0) {
                temp.unnamed = false;
                claimed = std::move(name);
                return true;
            }
            if (errno == EEXIST) {
                continue;
            }
            error = "cannot name the file " + name + ": " + errnoText(errno);
            return false;
        }
        if (renameat2(temp.dirFd, temp.name.c_str(), temp.dirFd, name.c_str(), RENAME_NOREPLACE) ==
            0) {
            temp.name.clear();
            claimed = std::move(name);
            return true;
        }
        if (errno == EEXIST) {
            continue;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
            error = "cannot name the file " + name + ": " + errnoText(errno);
            return false;
        }
        // A filesystem without RENAME_NOREPLACE: a hard link claims the name just as atomically.
        if (linkat(temp.dirFd, temp.name.c_str(), temp.dirFd, name.c_str(), 0) == 0) {
            (void)unlinkat(temp.dirFd, temp.name.c_str(), 0);
            temp.name.clear();
            claimed = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot name the file " + name + ": " + errnoText(errno);
            return false;
        }
    }
    error = "too many exports named " + base;
    return false;
}

std::string baseName(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "tessarin_%Y-%m-%d_%H-%M-%S", &local);
    return text;
}

// Converts frames and writes them, call after call, as one stream: the dither runs on from
// where the last call left it, so the chunks a stretch arrives in never change the file.
class SampleWriter {
public:
    SampleWriter(SNDFILE* file, int bits, double gainDb)
        : file_(file), bits_(bits), gain_(std::pow(10.0, gainDb / 20.0)),
          bitExact_(bits == 32 && gainDb == 0.0) {
        const size_t chunk = kChunkFrames * kChannels;
        if (bitExact_) {
            return;  // written straight from the input
        }
        if (bits == 32) {
            outFloat_.resize(chunk);
        } else if (bits == 24) {
            out24_.resize(chunk);
        } else {
            out16_.resize(chunk);
        }
    }

    // [any thread] false with error on a short write
    bool write(const float* in, size_t frames, std::string& error) {
        const size_t total = frames * kChannels;
        auto shortWrite = [&] {
            error = std::string("writing failed: ") + sf_strerror(file_);
            return false;
        };
        if (bitExact_) {
            // Bit-exact: the samples go out as they came, NaN and inf included.
            if (sf_write_float(file_, in, static_cast<sf_count_t>(total)) !=
                static_cast<sf_count_t>(total)) {
                return shortWrite();
            }
            return true;
        }
        const size_t chunk = kChunkFrames * kChannels;
        for (size_t start = 0; start < total; start += chunk) {
            const size_t n = std::min(chunk, total - start);
            const float* src = in + start;
            sf_count_t written = 0;
            // Samples that are not finite cannot be represented in an integer file and would
            // spread through the gain: they are written as 0.
            if (bits_ == 32) {
                for (size_t i = 0; i < n; ++i) {
                    const float v = src[i];
                    outFloat_[i] = std::isfinite(v) ? static_cast<float>(v * gain_) : 0.0f;
                }
                written = sf_write_float(file_, outFloat_.data(), static_cast<sf_count_t>(n));
            } else if (bits_ == 24) {
                const double scale = gain_ * kScale24;
                for (size_t i = 0; i < n; ++i) {
                    const float v = src[i];
                    const double s =
                        std::isfinite(v) ? std::clamp(v * scale, -kScale24, kMax24) : 0.0;
                    // libsndfile keeps the top 24 bits of an int written to a 24-bit file.
                    out24_[i] = static_cast<int>(std::lrint(s)) * 256;
                }
                written = sf_write_int(file_, out24_.data(), static_cast<sf_count_t>(n));
            } else {
                const double scale = gain_ * kScale16;
                for (size_t i = 0; i < n; ++i) {
                    const float v = src[i];
                    const double d = dither_.next();
                    const double s =
                        std::isfinite(v) ? std::clamp(v * scale + d, -kScale16, kMax16) : 0.0;
                    out16_[i] = static_cast<short>(std::lrint(s));
                }
                written = sf_write_short(file_, out16_.data(), static_cast<sf_count_t>(n));
            }
            if (written != static_cast<sf_count_t>(n)) {
                return shortWrite();
            }
        }
        return true;
    }

private:
    SNDFILE* file_;
    int bits_;
    double gain_;
    bool bitExact_;
    std::vector<float> outFloat_;
    std::vector<int> out24_;
    std::vector<short> out16_;
    TpdfDither dither_;
};

// [any thread] Feeds the meter in its own steps, whatever the length.
void meterAdd(StretchMeter& meter, const float* interleaved, size_t frames) {
    for (size_t start = 0; start < frames; start += kChunkFrames) {
        meter.add(interleaved + kChannels * start, std::min(kChunkFrames, frames - start));
    }
}

// [any thread] Frames [first, first + count) of the source, all of them or an error.
bool readChunk(const FrameSource& source, uint64_t first, uint64_t count, std::vector<float>& out,
               std::string& error) {
    std::string why;
    if (!source.read(first, count, out, why)) {
        error = "cannot read the audio: " + why;
        return false;
    }
    if (out.size() != count * kChannels) {
        error = "cannot read the audio: it ended at frame " +
                std::to_string(first + out.size() / kChannels) + " of " +
                std::to_string(source.frames);
        return false;
    }
    return true;
}

// A source over a vector the caller keeps alive; it never fails.
FrameSource vectorSource(const std::vector<float>& interleavedStereo) {
    FrameSource source;
    source.frames = interleavedStereo.size() / kChannels;
    source.read = [&interleavedStereo](uint64_t first, uint64_t count, std::vector<float>& out,
                                       std::string&) {
        const auto begin = interleavedStereo.begin() + static_cast<ptrdiff_t>(first * kChannels);
        out.assign(begin, begin + static_cast<ptrdiff_t>(count * kChannels));
        return true;
    };
    return source;
}

}  // namespace

const char* formatName(ExportFormat format) {
    switch (format) {
    case ExportFormat::wav32f:
        return "wav32f";
    case ExportFormat::wav24:
        return "wav24";
    case ExportFormat::wav16:
        return "wav16";
    case ExportFormat::flac24:
        return "flac24";
    case ExportFormat::flac16:
        return "flac16";
    }
    return "wav32f";
}

bool parseFormat(std::string_view name, ExportFormat& out) {
    for (ExportFormat f : {ExportFormat::wav32f, ExportFormat::wav24, ExportFormat::wav16,
                           ExportFormat::flac24, ExportFormat::flac16}) {
        if (name == formatName(f)) {
            out = f;
            return true;
        }
    }
    return false;
}

// [any thread]
bool analyzeSource(const FrameSource& source, double sampleRateHz, StretchAnalysis& out,
                   std::string& error) {
    out = StretchAnalysis{};
    out.frames = source.frames;
    out.seconds = sampleRateHz > 0.0 && std::isfinite(sampleRateHz)
                      ? static_cast<double>(out.frames) / sampleRateHz
                      : kNaN;
    auto meter = std::make_unique<StretchMeter>(sampleRateHz);  // ~130 KB of buffers: not on stack
    std::vector<float> chunk;
    for (uint64_t first = 0; first < source.frames; first += kSourceChunkFrames) {
        const uint64_t count = std::min(kSourceChunkFrames, source.frames - first);
        if (!readChunk(source, first, count, chunk, error)) {
            return false;
        }
        meterAdd(*meter, chunk.data(), static_cast<size_t>(count));
    }
    meter->finish(out.seconds, out);
    return true;
}

// [any thread]
StretchAnalysis analyzeStretch(const std::vector<float>& interleavedStereo, double sampleRateHz) {
    StretchAnalysis a{};
    std::string unused;
    (void)analyzeSource(vectorSource(interleavedStereo), sampleRateHz, a, unused);  // cannot fail
    return a;
}

struct StretchAnalyzer::Meter : StretchMeter {
    using StretchMeter::StretchMeter;
};

StretchAnalyzer::StretchAnalyzer(double sampleRateHz)
    : meter_(std::make_unique<Meter>(sampleRateHz)), rateHz_(sampleRateHz) {}

StretchAnalyzer::~StretchAnalyzer() = default;

void StretchAnalyzer::add(const float* interleaved, size_t frames) {
    meterAdd(*meter_, interleaved, frames);
    frames_ += frames;
}

StretchAnalysis StretchAnalyzer::analysis() const {
    StretchAnalysis a{};
    a.frames = frames_;
    a.seconds =
        rateHz_ > 0.0 && std::isfinite(rateHz_) ? static_cast<double>(frames_) / rateHz_ : kNaN;
    meter_->finish(a.seconds, a);
    return a;
}

// [any thread]
bool exportStretch(const std::vector<float>& interleavedStereo, double sampleRateHz,
                   const ExportSettings& settings, const std::filesystem::path& directory,
                   std::chrono::system_clock::time_point when, ExportResult& out,
                   std::string& error) {
    if (interleavedStereo.size() >= kChannels && interleavedStereo.size() % kChannels != 0) {
        out = ExportResult{};
        out.format = settings.format;
        error = "the stretch is not whole stereo frames";
        return false;
    }
    return exportFromSource(vectorSource(interleavedStereo), sampleRateHz, settings, directory,
                            when, out, error);
}

// [any thread]
bool exportFromSource(const FrameSource& source, double sampleRateHz,
                      const ExportSettings& settings, const std::filesystem::path& directory,
                      std::chrono::system_clock::time_point when, ExportResult& out,
                      std::string& error) {
    out = ExportResult{};
    out.format = settings.format;
    const FormatTraits traits = traitsOf(settings.format);
    const uint64_t frames = source.frames;

    if (frames == 0) {
        error = "nothing to export";
        return false;
    }
    // The file holds a whole number of Hz; a host's 44100.0000001 is 44100.
    const double rateHz = std::isfinite(sampleRateHz) ? std::round(sampleRateHz) : kNaN;
    if (!(rateHz >= 1.0) || rateHz > traits.maxRateHz) {
        char line[160];
        std::snprintf(line, sizeof line, "cannot write %s at %g Hz (%s holds 1 to %.0f Hz)",
                      formatName(settings.format), sampleRateHz, traits.container,
                      traits.maxRateHz);
        error = line;
        return false;
    }
    if (std::string_view(traits.container) == "WAV" &&
        frames * kChannels * (traits.bits / 8) > kWavMaxDataBytes) {
        error = "the stretch is too long for a WAV file (4 GiB)";
        return false;
    }
    if (settings.normalize != NormalizeMode::none && !std::isfinite(settings.targetDb)) {
        error = "the normalisation target is not a number";
        return false;
    }
    if (settings.normalize == NormalizeMode::peak && settings.targetDb > 0.0) {
        error = "a peak target above 0 dBTP would clip";
        return false;
    }

    out.frames = frames;
    out.sampleRateHz = rateHz;
    out.seconds = static_cast<double>(frames) / rateHz;
    // Normalisation needs the whole analysis before the first sample is written: the source is
    // read twice. Without it the analysis is only reported: each chunk is measured on a helper
    // thread beside its encoding (a FLAC file takes about as long to encode as to measure), and
    // the source is read once.
    std::unique_ptr<StretchMeter> meter;
    if (settings.normalize == NormalizeMode::none) {
        meter = std::make_unique<StretchMeter>(rateHz);
    } else if (!analyzeSource(source, rateHz, out.source, error)) {
        return false;
    }

    // No value to normalise from (silence, or too short for loudness): the stretch goes out as is.
    const StretchAnalysis& src = out.source;
    if (settings.normalize == NormalizeMode::peak && std::isfinite(src.truePeakDb)) {
        out.gainDb = settings.targetDb - src.truePeakDb;
    } else if (settings.normalize == NormalizeMode::loudness && std::isfinite(src.integratedLufs)) {
        out.gainDb = settings.targetDb - src.integratedLufs;
        if (std::isfinite(src.truePeakDb) && src.truePeakDb + out.gainDb > kTruePeakCeilingDbtp) {
            out.gainDb = kTruePeakCeilingDbtp - src.truePeakDb;
            out.gainCapped = true;
        }
    }

    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        error = "cannot create the export folder " + directory.string() + ": " + ec.message();
        return false;
    }
    TempFile temp;
    temp.dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (temp.dirFd < 0) {
        error = "cannot open the export folder " + directory.string() + ": " + errnoText(errno);
        return false;
    }
    if (!createTempFile(temp, error)) {
        return false;
    }

    SF_INFO info{};
    info.samplerate = static_cast<int>(rateHz);
    info.channels = kChannels;
    info.format = traits.sndfileFormat;
    SNDFILE* file = sf_open_fd(temp.fd, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        error = std::string("cannot start the file: ") + sf_strerror(nullptr);
        return false;
    }
    if (std::string_view(traits.container) == "FLAC") {
        double level = kFlacCompressionLevel;
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    SampleWriter writer(file, traits.bits, out.gainDb);
    bool ok = true;
    std::vector<float> chunk;
    for (uint64_t first = 0; ok && first < frames; first += kSourceChunkFrames) {
        const uint64_t count = std::min(kSourceChunkFrames, frames - first);
        ok = readChunk(source, first, count, chunk, error);
        if (!ok) {
            break;
        }
        std::future<void> measured;
        if (meter != nullptr) {
            measured = std::async(std::launch::async, [&] {
                meterAdd(*meter, chunk.data(), static_cast<size_t>(count));
            });
        }
        ok = writer.write(chunk.data(), static_cast<size_t>(count), error);
        if (measured.valid()) {
            measured.get();  // the chunk is read again only once both are done with it
        }
    }
    // sf_close writes the header (and FLAC's last frame): its failure is a failed export too.
    const int closeError = sf_close(file);
    if (ok && closeError != SF_ERR_NO_ERROR) {
        error = std::string("finishing the file failed: ") + sf_error_number(closeError);
        ok = false;
    }
    if (!ok) {
        return false;
    }
    // On disk before it has a name: a crash leaves a complete file or none.
    if (fsync(temp.fd) != 0) {
        error = "writing failed: " + errnoText(errno);
        return false;
    }
    // A named temporary file is closed first (a close can still report a failed write); an
    // unnamed one needs its descriptor to get a name.
    if (!temp.unnamed) {
        const int fd = temp.fd;
        temp.fd = -1;
        if (close(fd) != 0) {
            error = "writing failed: " + errnoText(errno);
            return false;
        }
    }

    std::string name;
    if (!claimName(temp, baseName(when), traits.extension, name, error)) {
        return false;
    }
    (void)fsync(temp.dirFd);  // the name itself; the file is complete either way
    out.path = directory / name;
    if (meter != nullptr) {
        out.source.frames = frames;
        out.source.seconds = out.seconds;
        meter->finish(out.source.seconds, out.source);
    }
    return true;
}

size_t removeLeftoverTempFiles(const std::filesystem::path& directory) {
    const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        return 0;
    }
    size_t removed = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(directory, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool ours =
            name.size() == kTempPrefix.size() + kTempRandomChars + kTempSuffix.size() &&
            name.starts_with(kTempPrefix) && name.ends_with(kTempSuffix) &&
            std::all_of(name.begin() + kTempPrefix.size(), name.end() - kTempSuffix.size(),
                        [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
        struct stat st {};
        if (ours && fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            unlinkat(dirFd, name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    close(dirFd);
    return removed;
}

}  // namespace companion
