// The server's backend in the running daemon: every call goes to the Engine and its feed monitor.
// Kept apart from http_server.h so the server (and its tests) do not depend on the engine.
#pragma once

#include "companion/engine.h"
#include "companion/http_server.h"

namespace companion {

// The backend of the running daemon.
class EngineBackend final : public ServerBackend {
public:
    explicit EngineBackend(Engine& engine) : engine_(engine) {}
    EngineStatus status() override { return engine_.status(); }
    uint64_t overviewChanges(uint64_t sinceVersion, std::vector<OverviewChange>& out) override {
        return engine_.overviewChanges(sinceVersion, out);
    }
    FeedSnapshot feed() override { return engine_.feed().snapshot(); }
    uint64_t history(uint64_t from, std::vector<LoudnessPoint>& out) override {
        return engine_.feed().history(from, out);
    }
    SpectrumBands spectrum() override { return engine_.feed().spectrum(); }
    Outcome preview(float start, std::optional<float> length) override {
        return engine_.preview(start, length);
    }
    Outcome stopPreview() override { return engine_.stopPreview(); }
    Outcome setHold(bool hold) override { return engine_.setHold(hold); }
    Outcome setThresholdDb(std::optional<double> dbfs) override {
        return engine_.setThresholdDb(dbfs);
    }
    Outcome clear() override { return engine_.clear(); }
    Outcome resetMeters() override { return engine_.resetMeters(); }
    Outcome resetHold(MeterHold hold) override { return engine_.resetHold(hold); }
    Outcome insert(float start, float length, int32_t track) override {
        return engine_.insert(start, length, track);
    }
    Outcome analyze(float start, float length, std::optional<float> seenWritePos,
                    StretchAnalysis& out) override {
        return engine_.analyze(start, length, out, seenWritePos);
    }
    Outcome exportStretch(float start, float length, std::optional<float> seenWritePos,
                          const ExportSettings& settings, ExportResult& out) override {
        return engine_.exportStretch(start, length, settings, out, seenWritePos);
    }
    Outcome saveLast(double seconds, const ExportSettings& settings, ExportResult& out) override {
        return engine_.saveLast(seconds, settings, out);
    }
    Outcome saveTake(int index, const ExportSettings& settings, ExportResult& out) override {
        return engine_.saveTake(index, settings, out);
    }
    Outcome samples(float start, float length, SampleStretch& out) override {
        return engine_.samples(start, length, out);
    }

private:
    Engine& engine_;
};

}  // namespace companion
