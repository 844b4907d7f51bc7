// The daemon's records as the JSON the page and the command line read (README.md, "The HTTP
// API"). Numbers without a value (NaN, infinite, the meters' -200) become null; levels are
// rounded to 0.01 dB and ring fractions to 7 decimals (a float's precision), which keeps the
// pushed status small.
#pragma once

#include "companion/engine.h"
#include "companion/exporter.h"
#include "companion/history.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

namespace companion {

// A level in dB, LUFS or LU rounded to 0.01; null for no value.
nlohmann::json levelJson(double db);
// A ring fraction rounded to 7 decimals; null when not finite.
nlohmann::json fractionJson(double fraction);

nlohmann::json statusJson(const EngineStatus& status);
nlohmann::json analysisJson(const StretchAnalysis& analysis);
nlohmann::json exportJson(const ExportResult& result);
// {"rate", "frames", "start", "left", "right"}: samples as the floats they are (a non-finite
// sample is null).
nlohmann::json ringSamplesJson(const SampleStretch& samples);

// The history as GET /api/history answers it, as text (10,000 takes in a few milliseconds);
// inRing: the history ids of the takes still in the live ring (EngineStatus::takes).
std::string historyJsonText(const HistorySummary& summary, const std::set<int64_t>& inRing);
// One take of it.
nlohmann::json historyTakeJson(const HistoryTake& take, bool inRing);
// Unix ms as ISO 8601 local time with its offset ("2026-12-08T14:03:07.250+01:00"); null for 0.
nlohmann::json localTimeJson(int64_t unixMs);

// "file://" and the absolute path, every byte outside [A-Za-z0-9-._~/] percent-encoded.
std::string fileUri(const std::filesystem::path& path);

}  // namespace companion
