#include "companion/status_json.h"

#include "companion/segments.h"

#include <cmath>

namespace companion {

namespace {

constexpr double kLevelSteps = 100.0;          // 0.01 dB
constexpr double kFractionSteps = 10000000.0;  // 7 decimals: below a float's step near 1.0
constexpr double kSecondsSteps = 1000.0;       // 1 ms
constexpr const char* kHexDigits = "0123456789ABCDEF";

// nlohmann prints every double with a fraction ("48000.0"): whole numbers go out as integers,
// which also keeps the pushed status short.
nlohmann::json compactNumber(double value) {
    constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53
    if (value == std::trunc(value) && std::fabs(value) < kExactIntegerLimit) {
        return static_cast<int64_t>(value);
    }
    return value;
}

nlohmann::json roundTo(double value, double steps) {
    return compactNumber(std::round(value * steps) / steps);
}

// Seconds and rates: finite or null, never NaN.
nlohmann::json secondsJson(double seconds) {
    return std::isfinite(seconds) ? roundTo(seconds, kSecondsSteps) : nullptr;
}

// A rate of 0 means "none yet".
nlohmann::json rateJson(double hz) {
    return (std::isfinite(hz) && hz > 0.0) ? compactNumber(hz) : nullptr;
}

nlohmann::json takeJson(const Take& take) {
    return {{"start", fractionJson(take.start)},
            {"length", fractionJson(take.length)},
            {"seconds", secondsJson(take.seconds)},
            {"wallClock", take.wallClockMs > 0 ? nlohmann::json(take.wallClockMs) : nullptr},
            {"historyId", take.historyId > 0 ? nlohmann::json(take.historyId) : nullptr}};
}

nlohmann::json metersJson(const MeterValues& m) {
    return {{"momentary", levelJson(m.momentaryLufs)},
            {"shortTerm", levelJson(m.shortTermLufs)},
            {"integrated", levelJson(m.integratedLufs)},
            {"momentaryMax", levelJson(m.momentaryMaxLufs)},
            {"shortTermMax", levelJson(m.shortTermMaxLufs)},
            {"rms", levelJson(m.rmsDb)},
            {"rmsMax", levelJson(m.rmsMaxDb)},
            {"samplePeak", levelJson(m.samplePeakDb)},
            {"crest", levelJson(m.crestDb)},
            {"truePeak", levelJson(m.truePeakDb)},
            {"truePeakMax", levelJson(m.truePeakMaxDb)},
            {"lra", levelJson(m.lraLu)}};
}

}  // namespace

nlohmann::json levelJson(double db) {
    // The plug-in stores kNoValue before it has a reading: never show it as a level.
    if (!std::isfinite(db) || db <= kNoValue) {
        return nullptr;
    }
    return roundTo(db, kLevelSteps);
}

nlohmann::json fractionJson(double fraction) {
    if (!std::isfinite(fraction)) {
        return nullptr;
    }
    return roundTo(fraction, kFractionSteps);
}

nlohmann::json statusJson(const EngineStatus& s) {
    nlohmann::json takes = nlohmann::json::array();
    for (const Take& take : s.takes) {
        takes.push_back(takeJson(take));
    }
    nlohmann::json lost = nlohmann::json::array();
    for (const LostMark& mark : s.lostStretches) {
        lost.push_back({{"at", fractionJson(mark.at)}, {"frames", mark.frames}});
    }
    const bool capturesAll = !(s.thresholdLinear > 0.0f);  // NaN too: nothing is gated
    const nlohmann::json thresholdDb =
        capturesAll ? nlohmann::json(nullptr) : levelJson(20.0 * std::log10(s.thresholdLinear));
    return {
        {"state", stateName(s.state)},
        {"sampleRate", rateJson(s.sampleRateHz)},
        {"rateMismatch", s.rateMismatch},
        {"capturedRate", s.rateMismatch ? rateJson(s.capturedRateHz) : nullptr},
        {"ringSeconds", secondsJson(s.ringSeconds)},
        {"capturedSeconds", secondsJson(s.capturedSeconds)},
        {"writePos", fractionJson(s.writePosFraction)},
        {"updateCounter", s.updateCounter},
        {"observedAt", s.observedAtMs},
        {"hold", s.hold},
        {"thresholdDb", thresholdDb},
        {"preview",
         {{"playing", s.previewRequested},
          {"start", fractionJson(s.previewStart)},
          {"playhead", s.playheadFraction >= 0.0f ? fractionJson(s.playheadFraction) : nullptr}}},
        {"takes", std::move(takes)},
        {"instances", s.instances},
        {"lostFeedFrames", s.lostFeedFrames},
        {"generation", s.generation},
        {"copiedFrames", s.copiedFrames},
        {"lostCaptureFrames", s.lostCaptureFrames},
        {"lostStretches", std::move(lost)},
        {"feedConnected", s.feedConnected},
        {"insert",
         {{"available", s.canInsert},
          {"reason", s.canInsert ? nlohmann::json(nullptr) : nlohmann::json(s.insertReason)}}},
        {"exportDir", s.exportDir},
        {"meters", metersJson(s.meters)},
    };
}

nlohmann::json analysisJson(const StretchAnalysis& a) {
    return {{"frames", a.frames},
            {"seconds", secondsJson(a.seconds)},
            {"integrated", levelJson(a.integratedLufs)},
            {"lra", levelJson(a.lraLu)},
            {"samplePeak", levelJson(a.samplePeakDb)},
            {"truePeak", levelJson(a.truePeakDb)}};
}

nlohmann::json exportJson(const ExportResult& r) {
    return {{"path", r.path.string()},
            {"name", r.path.filename().string()},
            {"uri", fileUri(r.path)},
            {"frames", r.frames},
            {"seconds", secondsJson(r.seconds)},
            {"sampleRate", rateJson(r.sampleRateHz)},
            {"format", formatName(r.format)},
            {"gainDb", std::isfinite(r.gainDb) ? roundTo(r.gainDb, kLevelSteps) : nullptr},
            {"gainCapped", r.gainCapped},
            {"requestedSeconds", secondsJson(r.requestedSeconds)},
            {"note", r.note.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.note)}};
}

nlohmann::json ringSamplesJson(const SampleStretch& samples) {
    nlohmann::json left = nlohmann::json::array(), right = nlohmann::json::array();
    for (size_t i = 0; i < samples.left.size(); ++i) {
        left.push_back(std::isfinite(samples.left[i]) ? nlohmann::json(samples.left[i]) : nullptr);
        right.push_back(std::isfinite(samples.right[i]) ? nlohmann::json(samples.right[i])
                                                        : nullptr);
    }
    return {{"rate", rateJson(samples.rateHz)},
            {"frames", samples.left.size()},
            {"start", fractionJson(samples.start)},
            {"left", std::move(left)},
            {"right", std::move(right)}};
}

std::string fileUri(const std::filesystem::path& path) {
    const std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
    std::string uri = "file://";
    uri.reserve(uri.size() + absolute.size() * 3);
    for (const unsigned char c : absolute) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           c == '/';
        if (plain) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += kHexDigits[c >> 4];
            uri += kHexDigits[c & 0x0F];
        }
    }
    return uri;
}

}  // namespace companion
