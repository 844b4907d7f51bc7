// One take on disk: a stereo 32-bit float WAV written through libsndfile as RF64 that stays a
// plain RIFF WAV while it is under 4 GiB (libsndfile's auto-downgrade rewrites the header as RF64
// only when the file passes 4 GiB; the data never moves). The header is rewritten and the data
// synced on every flush, so a crash leaves a file whose header lags its data by at most one flush:
// repairTakeFile() makes the header say what the file holds.
//
// Reading goes straight to the data chunk (the layout is found by walking the chunks), so frames
// written but not yet announced in the header can be read while the take is still recording.
//
// Threads: a TakeWriter belongs to one thread (the history's writer); the free functions that
// read may run on any thread, on any take file.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace companion {

inline constexpr int kTakeChannels = 2;
inline constexpr uint64_t kTakeFrameBytes = kTakeChannels * sizeof(float);

// Where a take file's samples are and how many it holds.
struct TakeFileLayout {
    uint64_t dataOffsetBytes = 0;  // first byte of the first frame
    uint64_t frames = 0;           // frames the header announces (repair: what the file holds)
    double rateHz = 0.0;
    bool rf64 = false;  // the header is RF64 (the file is 4 GiB or more)
};

struct TakeWriter {
    SNDFILE* file = nullptr;
    int fd = -1;
    uint64_t frames = 0;           // frames libsndfile accepted
    uint64_t dataOffsetBytes = 0;  // known after create
};

// [any-thread] Creates path (O_EXCL, mode 0600) and writes the header. False with one line in
// error; nothing is left behind then.
bool createTakeFile(const std::filesystem::path& path, double rateHz, TakeWriter& out,
                    std::string& error);
// [any-thread] Appends interleaved stereo frames. On a short write (disk full) writer.frames says
// how many whole frames got in; the file is then finished with closeTakeFile, which cuts the
// partial frame.
bool writeTakeFrames(TakeWriter& writer, const float* interleaved, size_t frames,
                     std::string& error);
// [any-thread] Rewrites the header for the frames written so far and syncs data and header.
bool flushTakeFile(TakeWriter& writer, std::string& error);
// [any-thread] Completes the file (header, sync) and closes it; the descriptor is closed even
// when this fails. The file holds exactly writer.frames frames afterwards.
bool closeTakeFile(TakeWriter& writer, std::string& error);

// [any-thread] The layout of a take file as its header says. False for a file that is not a
// stereo 32-bit float WAV/RF64.
bool readTakeLayout(int fd, TakeFileLayout& out, std::string& error);
// [any-thread] A take a crash left open: counts the whole frames after the data offset, cuts a
// partial last frame and rewrites the header (RIFF or RF64 by size) in place. Writes only the
// header bytes, so it works on a full disk.
bool repairTakeFile(const std::filesystem::path& path, TakeFileLayout& out, std::string& error);
// [any-thread] Frames [firstFrame, firstFrame + frames) of the data chunk into out (appended),
// interleaved stereo. False on a failed or short read.
bool readTakeFrames(int fd, const TakeFileLayout& layout, uint64_t firstFrame, uint64_t frames,
                    std::vector<float>& out, std::string& error);

// The header of a plain 32-bit float stereo WAV holding `frames` frames (RF64 when the data
// passes 4 GiB), as the audio route sends before the samples.
std::string floatWavHeader(uint64_t frames, double rateHz);

}  // namespace companion
