#include "tessarin_host/wav_io.h"

#include <sndfile.h>

#include <cstdio>
#include <filesystem>

namespace tessarinhost {

namespace {
constexpr int kStereo = 2;
}

bool writeStereoFloatWav(const std::string& path, const std::vector<float>& interleaved,
                         double rateHz, std::string& error) {
    const std::filesystem::path target(path);
    std::string partialName = target.filename().string() + ".part";
    partialName.insert(partialName.begin(), '.');  // hidden while incomplete
    const std::filesystem::path partial = target.parent_path() / partialName;
    SF_INFO info{};
    info.samplerate = static_cast<int>(rateHz);
    info.channels = kStereo;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(partial.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        error = "cannot write '" + partial.string() + "': " + sf_strerror(nullptr);
        return false;
    }
    const auto frames = static_cast<sf_count_t>(interleaved.size() / kStereo);
    const bool written = sf_writef_float(file, interleaved.data(), frames) == frames;
    const std::string why = written ? "" : sf_strerror(file);
    const bool closed = sf_close(file) == 0;
    std::error_code ec;
    if (!written || !closed) {
        std::filesystem::remove(partial, ec);
        error = "cannot write '" + path + "': " + (written ? "closing failed" : why);
        return false;
    }
    std::filesystem::rename(partial, target, ec);
    if (ec) {
        std::filesystem::remove(partial, ec);
        error = "cannot write '" + path + "': renaming into place failed";
        return false;
    }
    return true;
}

bool readWav(const std::string& path, std::vector<float>& interleaved, int& channels,
             double& rateHz, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    interleaved.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    if (got != info.frames) {
        error = "cannot read '" + path + "': short read";
        return false;
    }
    channels = info.channels;
    rateHz = info.samplerate;
    return true;
}

}  // namespace tessarinhost
