// 32-bit float WAV files through libsndfile, for the snapshot export and its check.
#pragma once

#include <string>
#include <vector>

namespace tessarinhost {

// [main-thread] Writes interleaved stereo floats as a 32-bit float WAV. The file is written under
// a temporary name in the same directory and renamed into place only when complete, so a failure
// never leaves a half-written file at path. Returns false with one line in error.
bool writeStereoFloatWav(const std::string& path, const std::vector<float>& interleaved,
                         double rateHz, std::string& error);

// [main-thread] Reads a whole file as interleaved floats; channels and rate come back too.
bool readWav(const std::string& path, std::vector<float>& interleaved, int& channels,
             double& rateHz, std::string& error);

}  // namespace tessarinhost
