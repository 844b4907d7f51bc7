// A stand-in for the daemon's engine behind the HTTP server: a live plug-in whose write head
// crosses overview columns at the rate a real one does, a growing loudness history, a spectrum
// that changes 20 times a second, and requests that are recorded and answered with a chosen
// outcome.
#pragma once

#include "companion/http_server.h"
#include "companion/segments.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>

namespace companion::testing {

inline constexpr double kColumnsPerSecond = 1067.0;  // the write head at any rate
inline constexpr size_t kFakeBands = 120;            // a 1/12-octave spectrum

// The overview column values the fake hands out, so a test can check what the page receives.
inline float fakeColumnPeak(uint32_t column) {
    return static_cast<float>(column % 200) / 100.0f - 0.5f;  // -0.5 .. 1.49: some clip
}

struct RecordedCall {
    std::string route;
    float start = -1.0f, length = -1.0f;
    double seconds = 0.0;
    int take = -99;
    int32_t track = -99;
    bool hold = false;
    int meterHold = -1;  // MeterHold as a number
    std::optional<double> thresholdDb;
    ExportSettings settings;
};

class FakeBackend final : public ServerBackend {
public:
    Outcome outcome;  // what every request answers
    std::filesystem::path exportPath = "/tmp/take folder/tessarin_2026-01-01_12-00-00.flac";
    std::string exportNote;                  // said with every save
    std::string exportDir = "/tmp/exports";  // set before a page connects
    double historyPointsPerSecond = 10.0;    // set before a page connects
    int64_t ringHistoryId = 0;               // the history id of the first take in the ring

    int calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    RecordedCall last() const {
        std::lock_guard lock(mutex_);
        return last_;
    }

    EngineStatus status() override {
        const uint64_t columns = columnsWritten();
        EngineStatus s{};
        s.state = PluginState::live;
        s.sampleRateHz = 48000.0;
        s.ringRateHz = 48000.0;
        s.ringSeconds = 60.0;
        s.capturedSeconds = std::min(60.0, seconds() + 5.0);
        s.writePosFraction = static_cast<float>(columns % kOverviewColumns) / kOverviewColumns;
        s.updateCounter = static_cast<uint32_t>(columns / 10);
        s.thresholdLinear = kDefaultThresholdLinear;
        s.playheadFraction = -1.0f;
        s.takes = {Take{0.01f, 0.05f, 3.0, 1796803387000, ringHistoryId},
                   Take{0.1f, 0.2f, 12.0, 0}};
        s.instances = 1;
        s.feedConnected = true;
        s.canInsert = true;
        s.exportDir = exportDir;
        const double wobble = std::sin(seconds() * 3.0);
        s.meters = MeterValues{-18.0 + wobble,
                               -19.0 + wobble,
                               -20.1,
                               -12.0,
                               -15.3,
                               -21.0 + wobble,
                               -17.2,
                               -3.1,
                               14.1,
                               -2.9 + wobble,
                               -0.8,
                               std::numeric_limits<double>::quiet_NaN(),
                               {-24.0 + wobble, -24.5 + wobble},
                               {11.2, 10.9},
                               {-12.8, -13.6}};
        s.overviewVersion = columns + 1;
        return s;
    }

    uint64_t overviewChanges(uint64_t since, std::vector<OverviewChange>& out) override {
        out.clear();
        const uint64_t version = columnsWritten() + 1;
        if (since == version) {
            return version;
        }
        OverviewChange change;
        const bool whole = since == 0 || version - since >= kOverviewColumns;
        change.firstColumn = whole ? 0 : static_cast<uint32_t>((since - 1) % kOverviewColumns);
        const uint64_t count = whole ? kOverviewColumns : version - since;
        for (uint64_t i = 0; i < count; ++i) {
            const float peak = fakeColumnPeak((change.firstColumn + i) % kOverviewColumns);
            change.minL.push_back(-peak);
            change.maxL.push_back(peak);
            change.minR.push_back(-peak / 2);
            change.maxR.push_back(peak / 2);
        }
        out.push_back(std::move(change));
        return version;
    }

    FeedSnapshot feed() override {
        FeedSnapshot f{};
        f.connected = true;
        f.sampleRateHz = 48000.0;
        f.channels = 2;
        f.historyEnd = historyEnd();
        return f;
    }

    uint64_t history(uint64_t from, std::vector<LoudnessPoint>& out) override {
        out.clear();
        const uint64_t end = historyEnd();
        for (uint64_t i = from; i < end; ++i) {
            out.push_back(LoudnessPoint{-20.0f + static_cast<float>(i % 7),
                                        std::numeric_limits<float>::quiet_NaN()});
        }
        return from;
    }

    SpectrumBands spectrum() override {
        SpectrumBands b;
        b.sampleRateHz = 48000.0;
        b.sequence = static_cast<uint64_t>(seconds() * 20.0);
        for (size_t i = 0; i < kFakeBands; ++i) {
            b.centreHz.push_back(20.0f * std::pow(2.0f, static_cast<float>(i) / 12.0f));
            b.levelDb.push_back(-40.0f - static_cast<float>((i * 7 + b.sequence) % 60) * 1.37f);
            b.peakDb.push_back(-30.0f - static_cast<float>(i % 50) * 1.13f);
        }
        return b;
    }

    Outcome preview(float start, std::optional<float> length) override {
        return record("preview", [&](RecordedCall& c) {
            c.start = start;
            c.length = length.value_or(-1.0f);
        });
    }
    Outcome stopPreview() override { return record("preview/stop"); }
    Outcome setHold(bool hold) override {
        return record("hold", [&](RecordedCall& c) { c.hold = hold; });
    }
    Outcome setThresholdDb(std::optional<double> dbfs) override {
        return record("threshold", [&](RecordedCall& c) { c.thresholdDb = dbfs; });
    }
    Outcome clear() override { return record("clear"); }
    Outcome resetMeters() override { return record("reset-meters"); }
    Outcome resetHold(MeterHold hold) override {
        return record("reset-hold", [&](RecordedCall& c) { c.meterHold = static_cast<int>(hold); });
    }
    Outcome insert(float start, float length, int32_t track) override {
        return record("insert", [&](RecordedCall& c) {
            c.start = start, c.length = length, c.track = track;
        });
    }
    Outcome analyze(float start, float length, std::optional<float>,
                    StretchAnalysis& out) override {
        out = StretchAnalysis{48000, 1.0, -23.004, std::numeric_limits<double>::quiet_NaN(),
                              -6.0,  -5.5};
        return record("analyze", [&](RecordedCall& c) { c.start = start, c.length = length; });
    }
    Outcome exportStretch(float start, float length, std::optional<float>,
                          const ExportSettings& settings, ExportResult& out) override {
        out = result(settings);
        return record("export", [&](RecordedCall& c) {
            c.start = start, c.length = length, c.settings = settings;
        });
    }
    Outcome saveLast(double seconds, const ExportSettings& settings, ExportResult& out) override {
        out = result(settings);
        return record("save-last",
                      [&](RecordedCall& c) { c.seconds = seconds, c.settings = settings; });
    }
    Outcome saveTake(int index, const ExportSettings& settings, ExportResult& out) override {
        out = result(settings);
        return record("save-take", [&](RecordedCall& c) { c.take = index, c.settings = settings; });
    }
    Outcome samples(float start, float length, SampleStretch& out) override {
        out = SampleStretch{};
        out.rateHz = 48000.0;
        out.start = start;
        out.left = {0.5f, -0.25f};
        out.right = {0.125f, 1.0f};
        return record("samples", [&](RecordedCall& c) { c.start = start, c.length = length; });
    }

private:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }
    uint64_t columnsWritten() const { return static_cast<uint64_t>(seconds() * kColumnsPerSecond); }
    uint64_t historyEnd() const {
        return 50 + static_cast<uint64_t>(seconds() * historyPointsPerSecond);
    }

    ExportResult result(const ExportSettings& settings) const {
        ExportResult r{};
        r.path = exportPath;
        r.frames = 480000;
        r.seconds = 10.0;
        r.sampleRateHz = 48000.0;
        r.format = settings.format;
        r.gainDb = 1.234;
        r.note = exportNote;
        return r;
    }
    Outcome record(const char* route, const std::function<void(RecordedCall&)>& fill = {}) {
        std::lock_guard lock(mutex_);
        last_ = RecordedCall();
        last_.route = route;
        if (fill) {
            fill(last_);
        }
        ++calls_;
        return outcome;
    }

    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    int calls_ = 0;
    RecordedCall last_;
};

}  // namespace companion::testing
