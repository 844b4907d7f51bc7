// Turns a stretch of captured audio (interleaved stereo floats, as the snapshot delivers it) into
// an analysis and into a file in the export folder: WAV 32-bit float (bit-exact), WAV 24/16 bit,
// FLAC 24/16 bit, optionally normalised. Plain records and free functions (an export without
// normalisation analyses on a short-lived thread beside the encoding). The audio comes from a
// vector or, chunk by chunk, from a FrameSource (a history take hours long): the memory used
// does not grow with the length.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace companion {

enum class ExportFormat { wav32f, wav24, wav16, flac24, flac16 };
// "wav32f", "wav24", "wav16", "flac24", "flac16"
const char* formatName(ExportFormat format);
bool parseFormat(std::string_view name, ExportFormat& out);

enum class NormalizeMode {
    none,
    peak,      // gain so the true peak lands on targetDb (dBTP)
    loudness,  // gain so the integrated loudness lands on targetDb (LUFS), capped by the ceiling
};
inline constexpr double kTruePeakCeilingDbtp = -1.0;

struct ExportSettings {
    ExportFormat format = ExportFormat::wav32f;
    NormalizeMode normalize = NormalizeMode::none;
    double targetDb = kTruePeakCeilingDbtp;  // dBTP for peak, LUFS for loudness
};

// A stretch measured before anything is written. NaN where there is no value (silence, or a
// stretch too short for the measure: integrated needs 400 ms, LRA 3 s). Samples that are not
// finite are measured as 0. The true peak includes the ringing past both ends of the stretch (as
// the file plays from and into silence) and is never below the sample peak.
struct StretchAnalysis {
    uint64_t frames;
    double seconds;
    double integratedLufs;
    double lraLu;
    double samplePeakDb;  // dBFS
    double truePeakDb;    // dBTP, 4x oversampling
};
StretchAnalysis analyzeStretch(const std::vector<float>& interleavedStereo, double sampleRateHz);

// Frames read at most per call of FrameSource::read: 8 MiB of stereo floats.
inline constexpr uint64_t kSourceChunkFrames = 1u << 20;

// A stretch of interleaved stereo frames read piece by piece, in order, never all at once.
struct FrameSource {
    uint64_t frames = 0;
    // Frames [first, first + count) into out (resized to 2 * count floats); false with one line
    // in error when they cannot be read (a take deleted meanwhile, a disk error). Called from the
    // exporting thread only.
    std::function<bool(uint64_t first, uint64_t count, std::vector<float>& out, std::string& error)>
        read;
};

// [any-thread] analyzeStretch over a source, read once in chunks of kSourceChunkFrames. False
// with one line in error when a read fails.
bool analyzeSource(const FrameSource& source, double sampleRateHz, StretchAnalysis& out,
                   std::string& error);

// The same analysis fed piece by piece (the history measures takes while they are written).
// One thread at a time.
class StretchAnalyzer {
public:
    explicit StretchAnalyzer(double sampleRateHz);
    ~StretchAnalyzer();
    StretchAnalyzer(const StretchAnalyzer&) = delete;
    StretchAnalyzer& operator=(const StretchAnalyzer&) = delete;
    void add(const float* interleavedStereo, size_t frames);
    // Everything added so far, as analyzeStretch would measure it; adding may go on afterwards.
    StretchAnalysis analysis() const;

private:
    struct Meter;
    std::unique_ptr<Meter> meter_;
    double rateHz_;
    uint64_t frames_ = 0;
};

struct ExportResult {
    std::filesystem::path path;  // the written file
    uint64_t frames;
    double seconds;
    double sampleRateHz;
    ExportFormat format;
    double gainDb;    // applied; 0 without normalisation
    bool gainCapped;  // the loudness target would have pushed the true peak above the ceiling
    StretchAnalysis source;  // the stretch before the gain
    // Set by the engine: what was asked for (0: the whole stretch was there) and, when less was
    // captured than asked for, one line that says what was saved instead; empty otherwise.
    double requestedSeconds = 0.0;
    std::string note;
};

// Writes the stretch into directory (created if missing) under a new name from the local time,
// tessarin_YYYY-MM-DD_HH-MM-SS.<ext>, then _2, _3, ... : never overwrites. The file is written
// unnamed (O_TMPFILE; where the filesystem lacks it, under a hidden temporary name) and named
// when complete, so a process killed meanwhile leaves nothing. Returns false with one line in
// error.
//
// - wav32f without gain holds the input bit for bit, NaN and inf included. With a gain, and in
//   the integer formats, a sample that is not finite is written as 0.
// - Integers: rounded to nearest and clipped; 16 bit gets TPDF dither of +-1 LSB first (from a
//   fixed seed: the same stretch gives the same file). FLAC at compression level 1, for speed.
// - The rate is rounded to whole Hz (the files hold integers); refused when not finite, under 1 Hz
//   or above the container (WAV 2^31 - 1 Hz in libsndfile, FLAC 655,350 Hz).
// - Refused: an empty stretch, an odd number of floats, a WAV over 4 GiB, a target that is not
//   finite, a peak target above 0 dBTP. Normalisation without a value to start from (silence,
//   under 400 ms for loudness) applies no gain and succeeds.
// - Files get mode 0644 less the umask; a failure (a file in place of the folder, a full disk, an
//   encoder error) leaves no file, not even the temporary one.
bool exportStretch(const std::vector<float>& interleavedStereo, double sampleRateHz,
                   const ExportSettings& settings, const std::filesystem::path& directory,
                   std::chrono::system_clock::time_point when, ExportResult& out,
                   std::string& error);

// [any-thread] exportStretch over a source read in chunks of kSourceChunkFrames: once without
// normalisation (each chunk analysed beside its encoding), twice with it (the analysis first,
// for the gain). The same frames give the same file as exportStretch. A failed read ends the
// export with the source's line in error and leaves no file.
bool exportFromSource(const FrameSource& source, double sampleRateHz,
                      const ExportSettings& settings, const std::filesystem::path& directory,
                      std::chrono::system_clock::time_point when, ExportResult& out,
                      std::string& error);

// [main-thread] Removes the hidden temporary files (.tessarin_XXXXXXXX.part, regular, this
// user's) that a killed export left in directory where the filesystem has no O_TMPFILE. Call it
// only while no export of this user runs there: at the daemon's start, holding its lock. Returns
// how many it removed.
size_t removeLeftoverTempFiles(const std::filesystem::path& directory);

}  // namespace companion
