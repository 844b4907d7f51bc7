// The one file format the plug-in writes: a canonical 44-byte RIFF/WAVE header (IEEE float,
// two channels, 32 bits) followed by the samples exactly as they are in memory.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint32_t kWavHeaderBytes = 44;

namespace ORV {

// [main-thread] Writes frameCount interleaved stereo frames to path ("wb", front to back, one
// pass). Returns false, leaving no file behind, when samples is null, the file cannot be opened,
// or any write or the close fails (a full disk must never look like a finished export).
bool WriteWavFile(const std::string& path, const float* samples, uint64_t frameCount,
                  double sampleRate);

enum class NewFileResult {
    written,    // the file was made under path and holds the whole export
    nameTaken,  // something already exists under path; it is left as it was
    failed,     // as for WriteWavFile's false: no file is left behind
};

// [main-thread] As WriteWavFile, but never replaces anything: the file is created only when path
// does not exist yet (O_EXCL, so two writers can never both have the same name).
NewFileResult WriteNewWavFile(const std::string& path, const float* samples, uint64_t frameCount,
                              double sampleRate);

}  // namespace ORV
