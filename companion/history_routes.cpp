#include "companion/history_routes.h"

#include "companion/exporter.h"
#include "companion/http_gate.h"
#include "companion/status_json.h"
#include "companion/take_file.h"
#include "companion/take_overview.h"

#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace companion {

using json = nlohmann::json;

namespace {

// [server-thread] JSON text with every float in its shortest exact form (a float's, not a
// double's).
json samplesJson(const HistoryTake& take, uint64_t first, const std::vector<float>& frames) {
    auto channel = [&](size_t c) {
        std::string text = "[";
        char number[32];
        for (size_t i = c; i < frames.size(); i += kTakeChannels) {
            if (text.size() > 1) {
                text += ',';
            }
            if (std::isfinite(frames[i])) {
                const auto done = std::to_chars(number, number + sizeof number, frames[i]);
                text.append(number, done.ptr);
            } else {
                text += "null";
            }
        }
        return text + "]";
    };
    // Parsed back so the reply stays a json value: the doubles print as the same text.
    json out = {{"id", take.id},
                {"rate", take.rateHz == std::trunc(take.rateHz)
                             ? json(static_cast<int64_t>(take.rateHz))
                             : json(take.rateHz)},
                {"frames", take.frames},
                {"first", first},
                {"count", frames.size() / kTakeChannels}};
    out["left"] = json::parse(channel(0));
    out["right"] = json::parse(channel(1));
    return out;
}

// The frames of a take that a body's optional "start" and "length" (in seconds) name.
struct TakePart {
    uint64_t first = 0;   // in frames from the take's start
    uint64_t wanted = 0;  // in frames, 0: to the end; may reach past what the take holds
};
// [server-thread] Throws BadRequest for a start or length that cannot be used.
TakePart takePartFields(const json& body, double rateHz) {
    double startSeconds = 0.0;
    if (body.contains("start") && !body["start"].is_null()) {
        startSeconds = finiteNumber(body["start"], "start");
        if (startSeconds < 0.0) {
            throw BadRequest("\"start\" must be 0 or more seconds");
        }
    }
    std::optional<double> lengthSeconds;
    if (body.contains("length") && !body["length"].is_null()) {
        lengthSeconds = finiteNumber(body["length"], "length");
        if (!(*lengthSeconds > 0.0)) {
            throw BadRequest("\"length\" must be above 0 seconds");
        }
    }
    // Clamped below 2^63 so that absurd seconds stay a count, not llround's overflow.
    constexpr double kMostFrames = 9.0e18;
    TakePart part;
    part.first = static_cast<uint64_t>(std::llround(std::min(startSeconds * rateHz, kMostFrames)));
    if (lengthSeconds) {
        part.wanted =
            std::max<uint64_t>(1, std::llround(std::min(*lengthSeconds * rateHz, kMostFrames)));
    }
    return part;
}

// [server-thread] A part of a take (to its end when no length is given) as a source that reads
// it from the history a chunk at a time: a take hours long is never in memory at once. The part
// is what the take holds now; false with the answer to give instead.
bool takePartSource(History& history, const HistoryTake& take, const json& body,
                    FrameSource& source, uint64_t& wanted, Reply& refusal) {
    const TakePart part = takePartFields(body, take.rateHz);
    if (part.first >= take.frames) {
        const double held = static_cast<double>(take.frames) / take.rateHz;
        refusal = errorReply(409, "the take holds " + std::to_string(held) + " s only");
        return false;
    }
    const uint64_t held = take.frames - part.first;
    wanted = part.wanted != 0 ? part.wanted : held;
    source.frames = std::min(wanted, held);
    source.read = [&history, id = take.id, from = part.first](
                      uint64_t first, uint64_t count, std::vector<float>& out, std::string& error) {
        return history.read(id, from + first, count, out, error);
    };
    return true;
}

// [server-thread] POST /api/history/ID/analyze: the loudness and peaks of a take or a part.
Reply analyzeTake(History& history, const HistoryTake& take, const json& body) {
    FrameSource source;
    uint64_t wanted = 0;
    Reply refusal;
    if (!takePartSource(history, take, body, source, wanted, refusal)) {
        return refusal;
    }
    StretchAnalysis analysis{};
    std::string error;
    if (!analyzeSource(source, take.rateHz, analysis, error)) {
        return errorReply(500, error);
    }
    json answer = analysisJson(analysis);
    answer["take"] = take.id;
    return Reply{200, std::move(answer)};
}

// [server-thread] POST /api/history/ID/save: the take, or a part, into the export folder.
Reply saveTake(ServerBackend& backend, History& history, const HistoryTake& take,
               const json& body) {
    const ExportSettings settings = exportSettingsFields(body);
    FrameSource source;
    uint64_t wanted = 0;
    Reply refusal;
    if (!takePartSource(history, take, body, source, wanted, refusal)) {
        return refusal;
    }
    const std::string exportDir = backend.status().exportDir;
    const auto when =
        take.startUnixMs > 0
            ? std::chrono::system_clock::time_point(std::chrono::milliseconds(take.startUnixMs))
            : std::chrono::system_clock::now();
    ExportResult result{};
    std::string error;
    if (!exportFromSource(source, take.rateHz, settings, exportDir, when, result, error)) {
        return errorReply(500, error);
    }
    const uint64_t got = source.frames;
    result.requestedSeconds = static_cast<double>(wanted) / take.rateHz;
    if (got < wanted) {
        char note[128];
        std::snprintf(note, sizeof note, "the take holds only %.3f s from there: saved all of it",
                      static_cast<double>(got) / take.rateHz);
        result.note = note;
    }
    json answer = exportJson(result);
    answer["take"] = take.id;
    answer["clipped"] = got < wanted;
    return Reply{200, std::move(answer)};
}

// [server-thread] GET /api/history/ID/audio: a 32-bit float WAV of the frames the take
// holds now, read and sent in chunks.
int streamTake(History& history, mg_connection* conn, int64_t id) {
    const std::optional<HistoryTake> take = history.take(id);
    if (!take) {
        sendReply(conn, errorReply(404, "no take " + std::to_string(id) + " in the history"));
        return 404;
    }
    // first/count (frames, optional): that stretch of the take alone, clipped to it.
    const mg_request_info* request = mg_get_request_info(conn);
    const uint64_t first = std::min(queryInteger(request, "first").value_or(0), take->frames);
    const uint64_t end =
        first + std::min(queryInteger(request, "count").value_or(UINT64_MAX), take->frames - first);
    const std::string header = floatWavHeader(end - first, take->rateHz);
    char name[64] = "tessarin_take.wav";
    const std::time_t seconds = static_cast<std::time_t>(take->startUnixMs / 1000);
    std::tm local{};
    if (take->startUnixMs > 0 && localtime_r(&seconds, &local) != nullptr) {
        std::strftime(name, sizeof name, "tessarin_%Y-%m-%d_%H-%M-%S.wav", &local);
    }
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: audio/wav\r\n"
              "Content-Length: %llu\r\n"
              "Content-Disposition: inline; filename=\"%s\"\r\n"
              "Cache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\n"
              "Referrer-Policy: no-referrer\r\n"
              "Connection: close\r\n\r\n",
              static_cast<unsigned long long>(header.size() + (end - first) * kTakeFrameBytes),
              name);
    if (mg_write(conn, header.data(), header.size()) <= 0) {
        return 200;
    }
    std::vector<float> frames;
    std::string error;
    for (uint64_t at = first; at < end;) {
        const uint64_t count = std::min(kAudioChunkFrames, end - at);
        // A take deleted meanwhile ends the answer short: the length tells the client.
        if (!history.read(id, at, count, frames, error) || frames.empty() ||
            mg_write(conn, frames.data(), frames.size() * sizeof(float)) <= 0) {
            break;
        }
        at += frames.size() / kTakeChannels;
    }
    return 200;
}

// [server-thread] GET /api/history: every take, and whether the ring holds it still.
std::string historyList(ServerBackend& backend, History& history) {
    std::set<int64_t> inRing;
    for (const Take& take : backend.status().takes) {
        if (take.historyId != 0) {
            inRing.insert(take.historyId);
        }
    }
    return historyJsonText(history.list(), inRing);
}

// [server-thread] /api/history/ID[/samples|/pin|/save|/analyze]: one branch per action.
Reply historyAction(ServerBackend& backend, History& history, mg_connection* conn,
                    const mg_request_info* request, int64_t id, std::string_view action,
                    std::string_view method) {
    const std::optional<HistoryTake> take = history.take(id);
    if (!take) {
        return errorReply(404, "no take " + std::to_string(id) + " in the history");
    }
    std::string error;
    if (action.empty()) {
        if (method == "GET") {
            std::set<int64_t> inRing;
            for (const Take& t : backend.status().takes) {
                inRing.insert(t.historyId);
            }
            return Reply{200, historyTakeJson(*take, inRing.count(id) > 0)};
        }
        if (method != "DELETE") {
            return errorReply(405, "use GET or DELETE");
        }
        if (take->recording) {
            return errorReply(409, "take " + std::to_string(id) + " is still being recorded");
        }
        return history.remove(id, error) ? Reply{200, json{{"ok", true}}} : errorReply(500, error);
    }
    if (action == "samples") {
        if (method != "GET") {
            return errorReply(405, "use GET");
        }
        const std::optional<uint64_t> first = queryInteger(request, "first");
        const std::optional<uint64_t> count = queryInteger(request, "count");
        if (!first || !count) {
            throw BadRequest("give \"first\" and \"count\" in frames");
        }
        if (*count == 0 || *count > kMaxHistorySamples) {
            throw BadRequest("\"count\" must be 1.." + std::to_string(kMaxHistorySamples));
        }
        std::vector<float> frames;
        if (!history.read(id, *first, *count, frames, error)) {
            return errorReply(500, error);
        }
        return Reply{200, samplesJson(*take, std::min(*first, take->frames), frames)};
    }
    if (action == "overview") {
        if (method != "GET") {
            return errorReply(405, "use GET");
        }
        const uint64_t columns = queryInteger(request, "columns").value_or(0);
        if (columns == 0 || columns > kMaxOverviewColumns) {
            throw BadRequest("\"columns\" must be 1.." + std::to_string(kMaxOverviewColumns));
        }
        TakeOverview overview;
        return takeOverview(history, id, take->frames, queryInteger(request, "first").value_or(0),
                            queryInteger(request, "count").value_or(0), columns, overview, error)
                   ? Reply{200, json::parse(takeOverviewJson(*take, overview))}
                   : errorReply(500, error);
    }
    if (action == "pin") {
        if (method != "POST") {
            return errorReply(405, "use POST");
        }
        const json body = bodyObject(conn, request);
        const json& pinned = requiredField(body, "pinned");
        if (!pinned.is_boolean()) {
            throw BadRequest("\"pinned\" must be true or false");
        }
        return history.setPinned(id, pinned.get<bool>(), error)
                   ? Reply{200, json{{"ok", true}, {"pinned", pinned.get<bool>()}}}
                   : errorReply(500, error);
    }
    if (action == "save") {
        if (method != "POST") {
            return errorReply(405, "use POST");
        }
        return saveTake(backend, history, *take, bodyObject(conn, request));
    }
    if (action == "analyze") {
        if (method != "POST") {
            return errorReply(405, "use POST");
        }
        return analyzeTake(history, *take, bodyObject(conn, request));
    }
    return errorReply(404, "no such route");
}

}  // namespace

// [server-thread] /api/history and /api/history/ID[/audio|/samples|/pin|/save].
int historyRoute(ServerBackend& backend, History* history, mg_connection* conn,
                 const mg_request_info* request, std::string_view path, std::string_view method) {
    Reply reply;
    try {
        if (history == nullptr) {
            reply = errorReply(404, "this daemon keeps no history");
        } else if (path == "/api/history" || path == "/api/history/") {
            if (method != "GET") {
                reply = errorReply(405, "use GET");
            } else {
                const std::string text = historyList(backend, *history);
                sendResponse(conn, 200, kJsonType, text.data(), text.size(), {});
                return 200;
            }
        } else {
            std::string_view rest = path.substr(std::strlen("/api/history/"));
            const size_t slash = rest.find('/');
            const std::string_view idText = rest.substr(0, slash);
            const std::string_view action =
                slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
            int64_t id = 0;
            const auto [end, ec] =
                std::from_chars(idText.data(), idText.data() + idText.size(), id);
            if (ec != std::errc() || end != idText.data() + idText.size() || id <= 0) {
                reply = errorReply(404, "no such take");
            } else if (action == "audio") {
                if (method != "GET") {
                    reply = errorReply(405, "use GET");
                } else {
                    return streamTake(*history, conn, id);
                }
            } else {
                reply = historyAction(backend, *history, conn, request, id, action, method);
            }
        }
    } catch (const BadRequest& bad) {
        reply = errorReply(400, bad.what());
    } catch (const TooLarge&) {
        reply = errorReply(413, "the body is larger than 64 KB");
    } catch (const std::exception& error) {
        reply = errorReply(500, std::string("internal error: ") + error.what());
    }
    sendReply(conn, reply);
    return reply.status;
}

}  // namespace companion
