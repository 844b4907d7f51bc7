#include "tessarin_host/report.h"

namespace tessarinhost {

namespace {

// Meter values at or below this mean "no value yet".
constexpr double kNoValueAbove = companion::kNoValue;

std::string level(double value, const char* unit) {
    if (!(value > kNoValueAbove))
        return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%.2f %s", value, unit);
    return text;
}

std::string jsonNumber(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string jsonLevel(double value) {
    return value > kNoValueAbove ? jsonNumber(value) : "null";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

double percent(uint64_t part, uint64_t whole) {
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

}  // namespace

void printHuman(const Summary& s, std::FILE* out) {
    const companion::MeterReadings& m = s.meters;
    std::fprintf(out, "plug-in    %s (%s)\n", s.pluginName.c_str(), s.pluginPath.c_str());
    std::fprintf(out, "input      %s: %.2f s, %s, %.0f Hz\n", s.input.c_str(),
                 s.inputRateHz > 0.0 ? static_cast<double>(s.frames) / s.inputRateHz : 0.0,
                 s.channels == 1 ? "mono" : "stereo", s.inputRateHz);
    std::fprintf(out, "run        activated at %.0f Hz, %u-frame blocks, %.3f s: %.0fx real time\n",
                 s.rateHz, s.blockFrames, s.elapsedSeconds, s.realtimeFactor());
    std::fprintf(out, "loudness   momentary max %s, short-term max %s, integrated %s\n",
                 level(m.momentaryMaxLufs, "LUFS").c_str(),
                 level(m.shortTermMaxLufs, "LUFS").c_str(),
                 level(m.integratedLufs, "LUFS").c_str());
    std::fprintf(out, "level      RMS max %s, peak %s, crest %s\n", level(m.rmsMaxDb, "dB").c_str(),
                 level(m.peakDb, "dB").c_str(), level(m.crestDb, "dB").c_str());
    if (!s.captureFollowed)
        std::fprintf(out, "ring       followed by the companion (--attach)\n");
    else
        std::fprintf(
            out, "ring       %.2f s of %.2f s hold audio (%.1f %%); %llu frames captured\n",
            static_cast<double>(s.ringFillFrames()) / s.rateHz,
            static_cast<double>(s.ringFrames) / s.rateHz, percent(s.ringFillFrames(), s.ringFrames),
            static_cast<unsigned long long>(s.framesCaptured));
    if (!s.exported)
        return;
    const ExportReport& e = s.exportReport;
    std::fprintf(out, "export     start %g, length %g of the ring: %llu frames (%.2f s)\n", e.start,
                 e.length, static_cast<unsigned long long>(e.frames),
                 static_cast<double>(e.frames) / s.rateHz);
    std::fprintf(out, "  snapshot   %s\n", e.snapshotPath.c_str());
    std::fprintf(out, "  insertion  %s (%s)\n", e.insertedPath.c_str(),
                 e.identical ? "the same samples" : "SAMPLES DIFFER");
}

void printJson(const Summary& s, std::FILE* out) {
    const companion::MeterReadings& m = s.meters;
    std::string j = "{";
    j += "\"input\": " + jsonString(s.input);
    j += ", \"plugin\": " + jsonString(s.pluginPath);
    j += ", \"inputRateHz\": " + jsonNumber(s.inputRateHz);
    j += ", \"sampleRateHz\": " + jsonNumber(s.rateHz);
    j += ", \"channels\": " + std::to_string(s.channels);
    j += ", \"blockFrames\": " + std::to_string(s.blockFrames);
    j += ", \"frames\": " + std::to_string(s.frames);
    j += ", \"seconds\": " + jsonNumber(s.seconds());
    j += ", \"elapsedSeconds\": " + jsonNumber(s.elapsedSeconds);
    j += ", \"realtimeFactor\": " + jsonNumber(s.realtimeFactor());
    j += ", \"momentaryMaxLufs\": " + jsonLevel(m.momentaryMaxLufs);
    j += ", \"shortTermMaxLufs\": " + jsonLevel(m.shortTermMaxLufs);
    j += ", \"integratedLufs\": " + jsonLevel(m.integratedLufs);
    j += ", \"rmsMaxDb\": " + jsonLevel(m.rmsMaxDb);
    j += ", \"peakDb\": " + jsonLevel(m.peakDb);
    j += ", \"crestDb\": " + jsonLevel(m.crestDb);
    if (s.captureFollowed) {
        j += ", \"framesCaptured\": " + std::to_string(s.framesCaptured);
        j += ", \"ringFrames\": " + std::to_string(s.ringFrames);
        j += ", \"ringFillFrames\": " + std::to_string(s.ringFillFrames());
        j += ", \"ringFill\": " + jsonNumber(percent(s.ringFillFrames(), s.ringFrames) / 100.0);
    } else {
        j += ", \"framesCaptured\": null, \"ringFrames\": null, \"ringFillFrames\": null, "
             "\"ringFill\": null";
    }
    if (s.exported) {
        const ExportReport& e = s.exportReport;
        j += ", \"export\": {\"start\": " + jsonNumber(e.start);
        j += ", \"length\": " + jsonNumber(e.length);
        j += ", \"frames\": " + std::to_string(e.frames);
        j += ", \"snapshotWav\": " + jsonString(e.snapshotPath);
        j += ", \"insertedWav\": " + jsonString(e.insertedPath);
        j += std::string(", \"identical\": ") + (e.identical ? "true" : "false") + "}";
    }
    j += "}\n";
    std::fputs(j.c_str(), out);
}

}  // namespace tessarinhost
