#include "companion/status_json.h"

#include "companion/segments.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

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
            {"lra", levelJson(m.lraLu)},
            {"rmsLeft", levelJson(m.channelRmsDb[0])},
            {"rmsRight", levelJson(m.channelRmsDb[1])},
            {"crestLeft", levelJson(m.channelCrestDb[0])},
            {"crestRight", levelJson(m.channelCrestDb[1])},
            {"peakLeft", levelJson(m.channelPeakDb[0])},
            {"peakRight", levelJson(m.channelPeakDb[1])}};
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
        {"historyError",
         s.historyError.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.historyError)},
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

namespace {

// The zone's offset from UTC at a moment, asked of the C library once per quarter hour of
// Unix time (offsets change on quarter hours): a list of 10,000 takes needs a few lookups.
struct ZoneOffsets {
    static constexpr int64_t kSlotSeconds = 900;
    int64_t slot = INT64_MIN;
    long offsetSeconds = 0;
    bool known = false;

    bool at(int64_t unixSeconds, long& offset) {
        const int64_t s = unixSeconds >= 0 ? unixSeconds / kSlotSeconds
                                           : -((-unixSeconds + kSlotSeconds - 1) / kSlotSeconds);
        if (s != slot) {
            slot = s;
            const std::time_t t = static_cast<std::time_t>(unixSeconds);
            std::tm local{};
            known = localtime_r(&t, &local) != nullptr;
            offsetSeconds = local.tm_gmtoff;
        }
        offset = offsetSeconds;
        return known;
    }
};

// Year, month (1-12) and day (1-31) of a count of days since 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;  // from 0000-03-01
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthFromMarch = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

void appendDigits(std::string& out, int64_t value, int width) {
    char text[24];
    int n = 0;
    uint64_t v = static_cast<uint64_t>(value < 0 ? -value : value);
    do {
        text[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0 || n < width);
    while (n > 0) {
        out += text[--n];
    }
}

// The text of localTimeJson, without the quotes; false when there is none.
bool appendLocalTime(std::string& out, int64_t unixMs, ZoneOffsets& zone) {
    if (unixMs <= 0) {
        return false;
    }
    long offset = 0;
    if (!zone.at(unixMs / 1000, offset)) {
        return false;
    }
    const int64_t local = unixMs / 1000 + offset;
    const int64_t days = local / 86400;
    const int64_t secondOfDay = local - days * 86400;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    appendDigits(out, year, 4);
    out += '-';
    appendDigits(out, month, 2);
    out += '-';
    appendDigits(out, day, 2);
    out += 'T';
    appendDigits(out, secondOfDay / 3600, 2);
    out += ':';
    appendDigits(out, secondOfDay / 60 % 60, 2);
    out += ':';
    appendDigits(out, secondOfDay % 60, 2);
    out += '.';
    appendDigits(out, unixMs % 1000, 3);
    out += offset < 0 ? '-' : '+';
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    appendDigits(out, minutes / 60, 2);
    out += ':';
    appendDigits(out, minutes % 60, 2);
    return true;
}

}  // namespace

nlohmann::json localTimeJson(int64_t unixMs) {
    std::string text;
    ZoneOffsets zone;
    return appendLocalTime(text, unixMs, zone) ? nlohmann::json(std::move(text))
                                               : nlohmann::json(nullptr);
}

namespace {

// A number as compactNumber prints it: whole values as integers, others in their shortest form.
void appendNumber(std::string& out, double value) {
    char text[40];
    constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53
    if (value == std::trunc(value) && std::fabs(value) < kExactIntegerLimit) {
        const auto end = std::to_chars(text, text + sizeof text, static_cast<int64_t>(value));
        out.append(text, end.ptr);
    } else {
        const auto end = std::to_chars(text, text + sizeof text, value);
        out.append(text, end.ptr);
    }
}

void appendRounded(std::string& out, double value, double steps, bool valid) {
    if (!valid || !std::isfinite(value)) {
        out += "null";
    } else {
        appendNumber(out, std::round(value * steps) / steps);
    }
}

void appendField(std::string& out, const char* name) {
    out += '"';
    out += name;
    out += "\":";
}

// One take as JSON text: the history's list is built without a document of 10,000 objects.
void appendHistoryTake(std::string& out, const HistoryTake& t, bool inRing, ZoneOffsets& zone) {
    const double seconds = t.rateHz > 0.0 ? static_cast<double>(t.frames) / t.rateHz : NAN;
    out += '{';
    appendField(out, "id");
    appendNumber(out, static_cast<double>(t.id));
    out += ',';
    appendField(out, "start");
    out += '"';
    if (!appendLocalTime(out, t.startUnixMs, zone)) {
        out.back() = 'n';
        out += "ull";
    } else {
        out += '"';
    }
    out += ',';
    appendField(out, "seconds");
    appendRounded(out, seconds, kSecondsSteps, true);
    out += ',';
    appendField(out, "frames");
    appendNumber(out, static_cast<double>(t.frames));
    out += ',';
    appendField(out, "rate");
    appendRounded(out, t.rateHz, 1.0e6, t.rateHz > 0.0);
    out += ',';
    appendField(out, "generation");
    appendNumber(out, static_cast<double>(t.generation));
    out += ',';
    appendField(out, "pinned");
    out += t.pinned ? "true" : "false";
    out += ',';
    appendField(out, "inRing");
    out += inRing ? "true" : "false";
    out += ',';
    appendField(out, "recording");
    out += t.recording ? "true" : "false";
    // Levels as levelJson gives them: 0.01 steps, null for none and for the meters' floor.
    const struct {
        const char* name;
        double value;
    } levels[] = {{"integratedLufs", t.integratedLufs},
                  {"samplePeakDb", t.samplePeakDb},
                  {"truePeakDb", t.truePeakDb}};
    for (const auto& level : levels) {
        out += ',';
        appendField(out, level.name);
        appendRounded(out, level.value, kLevelSteps, level.value > kNoValue);
    }
    out += ',';
    appendField(out, "name");
    out += t.name.empty() ? std::string("null") : nlohmann::json(t.name).dump();
    out += ',';
    appendField(out, "bytes");
    appendNumber(out, static_cast<double>(t.bytes));
    out += '}';
}

}  // namespace

nlohmann::json historyTakeJson(const HistoryTake& take, bool inRing) {
    std::string text;
    ZoneOffsets zone;
    appendHistoryTake(text, take, inRing, zone);
    return nlohmann::json::parse(text);
}

std::string historyJsonText(const HistorySummary& summary, const std::set<int64_t>& inRing) {
    std::string out;
    out.reserve(64 + summary.takes.size() * 280);
    ZoneOffsets zone;
    out += "{\"takes\":[";
    for (size_t i = 0; i < summary.takes.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendHistoryTake(out, summary.takes[i], inRing.count(summary.takes[i].id) > 0, zone);
    }
    out += "],\"bytes\":" + std::to_string(summary.bytes);
    out += ",\"limitBytes\":" + std::to_string(summary.limitBytes);
    out += ",\"error\":";
    out += summary.error.empty()
               ? std::string("null")
               : nlohmann::json(summary.error)
                     .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out += '}';
    return out;
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
