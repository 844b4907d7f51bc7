// Where tessarin-host's audio comes from: a file read by libsndfile (any format and rate it
// reads, mono or stereo), or the embedded phrase synthesized at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;  // libsndfile's handle

namespace tessarinhost {

inline constexpr double kPhraseSeconds = 20.0;

// The embedded default: a stereo phrase of kPhraseSeconds with four stretches of digital silence
// between its sections (a chord, plucked notes, a noise swell with low pulses, a last note), so the
// gate, the meters and the export all have something to show. Interleaved, left first.
std::vector<float> synthesizePhrase(double rateHz);

class AudioInput {
public:
    AudioInput() = default;
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    // [main-thread] Opens a file. On failure returns false with one line in error.
    bool openFile(const std::string& path, std::string& error);
    // [main-thread] Uses the embedded phrase, made at rateHz.
    void openEmbedded(double rateHz);

    double rateHz() const { return rateHz_; }
    int channels() const { return channels_; }
    uint64_t frames() const { return frames_; }
    const std::string& name() const { return name_; }

    // [main-thread] Reads up to maxFrames interleaved frames into dest (channels() floats per
    // frame). Returns the frames read; 0 at the end. A decoding error returns 0 and sets error.
    size_t read(float* dest, size_t maxFrames, std::string& error);
    // [main-thread] Goes back to the first frame (for --loop). False with error when the file
    // cannot seek.
    bool rewind(std::string& error);

private:
    SNDFILE* file_ = nullptr;
    std::vector<float> embedded_;  // the phrase, when no file is open
    uint64_t position_ = 0;        // frames handed out so far
    double rateHz_ = 0.0;
    int channels_ = 0;
    uint64_t frames_ = 0;
    std::string name_;
};

}  // namespace tessarinhost
