// The daemon's records as the JSON the page and the command line read (README.md, "The HTTP
// API"). Numbers without a value (NaN, infinite, the meters' -200) become null; levels are
// rounded to 0.01 dB and ring fractions to 7 decimals (a float's precision), which keeps the
// pushed status small.
#pragma once

#include "companion/engine.h"
#include "companion/exporter.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
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

// "file://" and the absolute path, every byte outside [A-Za-z0-9-._~/] percent-encoded.
std::string fileUri(const std::filesystem::path& path);

}  // namespace companion
