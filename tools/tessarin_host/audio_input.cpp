#include "tessarin_host/audio_input.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>

namespace tessarinhost {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kEdgeSeconds = 0.005;  // fade at every section edge: no clicks

// One section of the phrase: [startSeconds, endSeconds), zero outside.
struct Section {
    double startSeconds, endSeconds;
};
constexpr Section kChord{0.5, 4.5}, kPlucks{6.0, 10.0}, kSwell{11.5, 15.5}, kLastNote{17.0, 19.5};

// Linear fade in and out over kEdgeSeconds at the section's edges, 1 inside.
double edgeGain(double t, const Section& s) {
    const double in = (t - s.startSeconds) / kEdgeSeconds;
    const double out = (s.endSeconds - t) / kEdgeSeconds;
    return std::clamp(std::min(in, out), 0.0, 1.0);
}

// A tone with three harmonics of falling strength.
double tone(double hz, double t) {
    return std::sin(kTwoPi * hz * t) + 0.35 * std::sin(kTwoPi * 2.0 * hz * t) +
           0.15 * std::sin(kTwoPi * 3.0 * hz * t);
}

// A deterministic white-noise source in -1..1 (fixed seed, 32-bit LCG).
struct Noise {
    uint32_t state = 20240611u;
    double next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state) / 2147483648.0 - 1.0;
    }
};

}  // namespace

std::vector<float> synthesizePhrase(double rateHz) {
    const auto frames = static_cast<size_t>(rateHz * kPhraseSeconds);
    std::vector<float> out(2 * frames, 0.0f);
    constexpr double kPluckHz[8] = {440.0, 523.25, 587.33, 659.25, 783.99, 659.25, 587.33, 523.25};
    constexpr double kPluckSeconds = 0.5;
    Noise noise;
    double lowpassL = 0.0, lowpassR = 0.0;
    const double lowpassCoeff = 1.0 - std::exp(-kTwoPi * 1200.0 / rateHz);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rateHz;
        double l = 0.0, r = 0.0;
        if (t >= kChord.startSeconds && t < kChord.endSeconds) {
            // A major chord, swelling in over 0.3 s and fading over the last second.
            const double u = t - kChord.startSeconds;
            const double env = std::min(u / 0.3, 1.0) * std::min((kChord.endSeconds - t), 1.0);
            const double a = tone(220.0, t), cs = tone(277.18, t), e = tone(329.63, t);
            l = 0.09 * env * (1.0 * a + 0.7 * cs + 0.5 * e) * edgeGain(t, kChord);
            r = 0.09 * env * (0.5 * a + 0.7 * cs + 1.0 * e) * edgeGain(t, kChord);
        } else if (t >= kPlucks.startSeconds && t < kPlucks.endSeconds) {
            // Eight plucked notes, panned left and right in turn.
            const double u = t - kPlucks.startSeconds;
            const auto note = static_cast<size_t>(u / kPluckSeconds);
            const double v = u - static_cast<double>(note) * kPluckSeconds;
            const double s = 0.3 * std::exp(-v / 0.12) * tone(kPluckHz[note % 8], t) *
                             std::min(v / 0.002, 1.0) * edgeGain(t, kPlucks);
            const double pan = note % 2 == 0 ? 0.75 : 0.25;
            l = s * (1.0 - pan) * 2.0;
            r = s * pan * 2.0;
        } else if (t >= kSwell.startSeconds && t < kSwell.endSeconds) {
            // Low-passed noise rising and falling, with a 60 Hz pulse every half second.
            const double u = (t - kSwell.startSeconds) / (kSwell.endSeconds - kSwell.startSeconds);
            const double env = std::sin(std::numbers::pi * u);
            lowpassL += lowpassCoeff * (noise.next() - lowpassL);
            lowpassR += lowpassCoeff * (noise.next() - lowpassR);
            const double beat = std::fmod(t - kSwell.startSeconds, 0.5);
            const double pulse = 0.4 * std::exp(-beat / 0.08) * std::sin(kTwoPi * 60.0 * beat);
            l = (0.5 * env * lowpassL + pulse) * edgeGain(t, kSwell);
            r = (0.5 * env * lowpassR + pulse) * edgeGain(t, kSwell);
        } else if (t >= kLastNote.startSeconds && t < kLastNote.endSeconds) {
            // A last low note with a slow vibrato, decaying to nothing at the section's end.
            const double u = t - kLastNote.startSeconds;
            const double fade =
                (kLastNote.endSeconds - t) / (kLastNote.endSeconds - kLastNote.startSeconds);
            const double vibrato = 0.004 * std::sin(kTwoPi * 5.0 * u);
            const double s = 0.25 * std::exp(-u / 0.9) * fade *
                             (tone(110.0 * (1.0 + vibrato), t) + 0.5 * tone(220.0, t)) *
                             edgeGain(t, kLastNote);
            l = s;
            r = 0.9 * s;
        }
        out[2 * i] = static_cast<float>(l);
        out[2 * i + 1] = static_cast<float>(r);
    }
    return out;
}

AudioInput::~AudioInput() {
    if (file_ != nullptr)
        sf_close(file_);
}

bool AudioInput::openFile(const std::string& path, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        error = "cannot read '" + path + "': no such file";
        return false;
    }
    if (std::filesystem::is_directory(path, ec)) {
        error = "cannot read '" + path + "': it is a directory";
        return false;
    }
    SF_INFO info{};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (file_ == nullptr) {
        error = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 2) {
        error = "cannot use '" + path + "': " + std::to_string(info.channels) +
                " channels (mono or stereo only)";
        return false;
    }
    if (info.samplerate <= 0 || info.frames < 0) {
        error = "cannot use '" + path + "': no valid sample rate or length";
        return false;
    }
    rateHz_ = info.samplerate;
    channels_ = info.channels;
    frames_ = static_cast<uint64_t>(info.frames);
    name_ = path;
    return true;
}

void AudioInput::openEmbedded(double rateHz) {
    embedded_ = synthesizePhrase(rateHz);
    rateHz_ = rateHz;
    channels_ = 2;
    frames_ = embedded_.size() / 2;
    name_ = "(embedded phrase)";
}

size_t AudioInput::read(float* dest, size_t maxFrames, std::string& error) {
    if (file_ == nullptr) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(maxFrames, frames_ - position_));
        std::memcpy(dest, embedded_.data() + 2 * position_, n * 2 * sizeof(float));
        position_ += n;
        return n;
    }
    const sf_count_t n = sf_readf_float(file_, dest, static_cast<sf_count_t>(maxFrames));
    if (n <= 0 && sf_error(file_) != SF_ERR_NO_ERROR) {
        error = "cannot decode '" + name_ + "': " + sf_strerror(file_);
        return 0;
    }
    position_ += static_cast<uint64_t>(std::max<sf_count_t>(n, 0));
    return static_cast<size_t>(std::max<sf_count_t>(n, 0));
}

bool AudioInput::rewind(std::string& error) {
    if (file_ != nullptr && sf_seek(file_, 0, SEEK_SET) < 0) {
        error = "cannot go back to the start of '" + name_ + "': " + sf_strerror(file_);
        return false;
    }
    position_ = 0;
    return true;
}

}  // namespace tessarinhost
