#include "companion/api_routes.h"

#include "companion/status_json.h"

#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace companion {

using json = nlohmann::json;

namespace {

constexpr double kThresholdMinDbfs = -120.0;

// A request may say which ring it was chosen on ("generation", as the status gave it): when
// the ring has been cleared or another instance began since, what it names is not there any
// more, and nothing is saved, measured or inserted in its place.
std::optional<Reply> staleRing(ServerBackend& backend, const json& body) {
    const auto seen = body.find("generation");
    if (seen == body.end() || seen->is_null()) {
        return std::nullopt;
    }
    const int64_t generation = integerField(*seen, "generation", 0);
    if (static_cast<uint64_t>(generation) == backend.status().generation) {
        return std::nullopt;
    }
    return errorReply(409, "the ring was cleared or another plug-in instance began since this was "
                           "chosen: nothing done (the earlier takes are in the history)");
}

// A take named by its index may also say where it began ("start", its ring fraction in the
// status): a take that has left the ring since shifts the indexes, and another take is never
// saved in its place.
std::optional<Reply> staleTake(ServerBackend& backend, int index, const json& body) {
    const auto seen = body.find("start");
    if (seen == body.end() || seen->is_null()) {
        return std::nullopt;
    }
    const float start = startField(body, "start");
    const std::vector<Take> takes = backend.status().takes;
    const size_t at = index < 0 ? takes.size() - 1 : static_cast<size_t>(index);
    // The status prints fractions rounded; takes lie seconds apart.
    if (!takes.empty() && at < takes.size() && std::fabs(takes[at].start - start) <= 1e-5f) {
        return std::nullopt;
    }
    return errorReply(409, "that take is no longer where it was in the ring: nothing saved (look "
                           "for it in the history)");
}

}  // namespace

EngineStatus statusNow(ServerBackend& backend, History* history) {
    EngineStatus status = backend.status();
    if (status.historyError.empty() && history != nullptr) {
        status.historyError = history->error();
    }
    return status;
}

Reply apiReply(ServerBackend& backend, History* history, mg_connection* conn,
               const mg_request_info* request, std::string_view path, std::string_view method) {
    if (path == "/api/status") {
        if (method != "GET") {
            return errorReply(405, "use GET");
        }
        return Reply{200, statusJson(statusNow(backend, history))};
    }
    if (path == "/api/samples") {
        if (method != "GET") {
            return errorReply(405, "use GET");
        }
        const float start = queryFraction(request, "start");
        const float length = queryFraction(request, "length");
        if (!(length > 0.0f)) {
            throw BadRequest("\"length\" must be a ring fraction above 0 and at most 1");
        }
        SampleStretch samples;
        const Outcome outcome = backend.samples(start == 1.0f ? 0.0f : start, length, samples);
        return outcomeReply(outcome, outcome.ok ? ringSamplesJson(samples) : json());
    }
    if (path == "/api/ws") {
        return errorReply(400, "this address upgrades to a WebSocket");
    }
    using Route = std::function<Reply(const json&)>;
    const std::map<std::string_view, Route> routes = {
        {"/api/preview",
         [&](const json& b) {
             const float start = startField(b, "start");
             const auto length = b.find("length");
             std::optional<float> played;
             if (length != b.end() && !length->is_null()) {
                 played = lengthField(b);
             }
             return outcomeReply(backend.preview(start, played));
         }},
        {"/api/preview/stop", [&](const json&) { return outcomeReply(backend.stopPreview()); }},
        {"/api/hold",
         [&](const json& b) {
             const json& hold = requiredField(b, "hold");
             if (!hold.is_boolean()) {
                 throw BadRequest("\"hold\" must be true or false");
             }
             return outcomeReply(backend.setHold(hold.get<bool>()));
         }},
        {"/api/threshold",
         [&](const json& b) {
             const json& dbfs = requiredField(b, "dbfs");
             std::optional<double> threshold;
             if (!dbfs.is_null()) {
                 threshold = finiteNumber(dbfs, "dbfs");
                 if (*threshold < kThresholdMinDbfs || *threshold > 0.0) {
                     throw BadRequest("\"dbfs\" must be within -120..0, or null");
                 }
             }
             return outcomeReply(backend.setThresholdDb(threshold));
         }},
        {"/api/clear", [&](const json&) { return outcomeReply(backend.clear()); }},
        {"/api/reset-meters",
         [&](const json& b) {
             // {"hold": NAME} empties that maximum only; without it every meter restarts.
             const auto hold = b.find("hold");
             if (hold == b.end() || hold->is_null()) {
                 return outcomeReply(backend.resetMeters());
             }
             static const std::map<std::string, MeterHold> kHolds = {
                 {"momentaryMax", MeterHold::momentaryMax},
                 {"shortTermMax", MeterHold::shortTermMax},
                 {"rmsMax", MeterHold::rmsMax},
                 {"truePeakMax", MeterHold::truePeakMax}};
             const auto found =
                 hold->is_string() ? kHolds.find(hold->get<std::string>()) : kHolds.end();
             if (found == kHolds.end()) {
                 throw BadRequest(
                     "\"hold\" must be momentaryMax, shortTermMax, rmsMax or truePeakMax");
             }
             return outcomeReply(backend.resetHold(found->second));
         }},
        {"/api/analyze",
         [&](const json& b) {
             const float start = startField(b, "start");
             const float length = lengthField(b);
             if (std::optional<Reply> stale = staleRing(backend, b)) {
                 return *stale;
             }
             StretchAnalysis analysis{};
             const Outcome outcome = backend.analyze(start, length, seenWritePosField(b), analysis);
             return outcomeReply(outcome, outcome.ok ? analysisJson(analysis) : json());
         }},
        {"/api/export",
         [&](const json& b) {
             const float start = startField(b, "start");
             const float length = lengthField(b);
             const ExportSettings settings = exportSettingsFields(b);
             if (std::optional<Reply> stale = staleRing(backend, b)) {
                 return *stale;
             }
             ExportResult result{};
             const Outcome outcome =
                 backend.exportStretch(start, length, seenWritePosField(b), settings, result);
             return outcomeReply(outcome, outcome.ok ? exportJson(result) : json());
         }},
        {"/api/save-last",
         [&](const json& b) {
             const double seconds = finiteNumber(requiredField(b, "seconds"), "seconds");
             if (!(seconds > 0.0)) {
                 throw BadRequest("\"seconds\" must be above 0");
             }
             const ExportSettings settings = exportSettingsFields(b);
             ExportResult result{};
             const Outcome outcome = backend.saveLast(seconds, settings, result);
             return outcomeReply(outcome, outcome.ok ? exportJson(result) : json());
         }},
        {"/api/save-take",
         [&](const json& b) {
             const auto take = b.find("take");
             const int index =
                 take == b.end() || take->is_null() ? -1 : integerField(*take, "take", -1);
             const ExportSettings settings = exportSettingsFields(b);
             if (std::optional<Reply> stale = staleRing(backend, b)) {
                 return *stale;
             }
             if (std::optional<Reply> stale = staleTake(backend, index, b)) {
                 return *stale;
             }
             ExportResult result{};
             const Outcome outcome = backend.saveTake(index, settings, result);
             return outcomeReply(outcome, outcome.ok ? exportJson(result) : json());
         }},
        {"/api/insert",
         [&](const json& b) {
             const float start = startField(b, "start");
             const float length = lengthField(b);
             const auto track = b.find("track");
             // 0 or less: the host's selected track (or its first).
             const int32_t trackNumber =
                 track == b.end() || track->is_null()
                     ? 0
                     : integerField(*track, "track", std::numeric_limits<int32_t>::min());
             if (std::optional<Reply> stale = staleRing(backend, b)) {
                 return *stale;
             }
             return outcomeReply(backend.insert(start, length, trackNumber));
         }},
    };
    const auto route = routes.find(path);
    if (route == routes.end()) {
        return errorReply(404, "no such route");
    }
    if (method != "POST") {
        return errorReply(405, "use POST");
    }
    std::string text;
    try {
        readBody(conn, request, text);
    } catch (const TooLarge&) {
        return errorReply(413, "the body is larger than 64 KB");
    }
    json body = json::object();
    if (!text.empty()) {
        body = json::parse(text, nullptr, false);
        if (body.is_discarded()) {
            throw BadRequest("the body is not JSON");
        }
        if (!body.is_object()) {
            throw BadRequest("the body must be a JSON object");
        }
    }
    return route->second(body);
}

}  // namespace companion
