// tessarin-host's summary: what the plug-in measured and captured, as text or as JSON.
#pragma once

#include "companion/segments.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace tessarinhost {

struct ExportReport {
    float start = 0.0f, length = 0.0f;  // fractions of the ring
    uint64_t frames = 0;                // stereo frames in the stretch
    std::string snapshotPath;           // written by this tool from the snapshot segment
    std::string insertedPath;           // written by the plug-in, handed to the host's InsertMedia
    bool identical = false;             // both files hold the same samples
};

struct Summary {
    std::string input, pluginPath, pluginName;
    double inputRateHz = 0.0;  // the file's (or phrase's) rate
    double rateHz = 0.0;       // activation rate
    int channels = 0;
    uint32_t blockFrames = 0;
    uint64_t frames = 0;          // frames streamed
    double elapsedSeconds = 0.0;  // decoding and processing, wall clock
    companion::MeterReadings meters{};
    uint64_t framesCaptured = 0;  // frames the gate let into the ring, laps included
    uint64_t ringFrames = 0;      // the ring's length in frames
    bool captureFollowed = true;  // false beside a companion (--attach): the two above unknown
    bool exported = false;
    ExportReport exportReport;

    double seconds() const { return rateHz > 0.0 ? static_cast<double>(frames) / rateHz : 0.0; }
    double realtimeFactor() const {
        return elapsedSeconds > 0.0 ? seconds() / elapsedSeconds : 0.0;
    }
    uint64_t ringFillFrames() const {
        return framesCaptured < ringFrames ? framesCaptured : ringFrames;
    }
};

void printHuman(const Summary& summary, std::FILE* out);
void printJson(const Summary& summary, std::FILE* out);

}  // namespace tessarinhost
