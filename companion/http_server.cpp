#include "companion/http_server.h"
#include "companion/token_proof.h"

#include "companion/http_guard.h"
#include "companion/segments.h"
#include "companion/status_json.h"
#include "companion/take_file.h"
#include "companion/take_overview.h"
#include "companion/web_assets.h"
#include "companion/ws_push.h"

#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace companion {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr double kThresholdMinDbfs = -120.0;
constexpr double kNormalizeTargetMinDb = -70.0;  // dBTP or LUFS; quieter targets make no sense
constexpr size_t kHistoryChunkPoints = 6000;     // 10 minutes of history per message
constexpr double kSpectrumSteps = 10.0;          // 0.1 dB
constexpr size_t kTokenBufferBytes = 256;        // longer presented tokens are wrong anyway
constexpr const char* kJsonType = "application/json";

// A field that cannot be used: answered with 400 and its message.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A body above kMaxBodyBytes: answered with 413.
struct TooLarge {};

// What a route answers: a status and a JSON body.
struct Reply {
    int status = 200;
    json body;
};

// JSON text that never throws: bytes that are not UTF-8 (a path can hold any) become U+FFFD.
std::string jsonText(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

Reply errorReply(int status, const std::string& message) {
    return Reply{status, json{{"error", message}}};
}

// Success answers {"ok": true} unless the route has something to say.
Reply outcomeReply(const Outcome& outcome, json onSuccess = json{{"ok", true}}) {
    if (outcome.ok) {
        return Reply{200, std::move(onSuccess)};
    }
    const bool errorStatus = outcome.httpStatus >= 400 && outcome.httpStatus <= 599;
    return errorReply(errorStatus ? outcome.httpStatus : 500,
                      outcome.error.empty() ? "the request failed" : outcome.error);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// ---- Request fields -------------------------------------------------------------------------

const json& requiredField(const json& body, const char* name) {
    const auto it = body.find(name);
    if (it == body.end()) {
        throw BadRequest(std::string("missing field \"") + name + "\"");
    }
    return *it;
}

double finiteNumber(const json& value, const char* name) {
    if (!value.is_number()) {
        throw BadRequest(std::string("\"") + name + "\" must be a number");
    }
    const double number = value.get<double>();
    if (!std::isfinite(number)) {
        throw BadRequest(std::string("\"") + name + "\" must be finite");
    }
    return number;
}

// A ring fraction in 0..1. A start of exactly 1 is the ring's start again.
float startField(const json& body, const char* name) {
    const double value = finiteNumber(requiredField(body, name), name);
    if (value < 0.0 || value > 1.0) {
        throw BadRequest(std::string("\"") + name + "\" must be a ring fraction in 0..1");
    }
    return value == 1.0 ? 0.0f : static_cast<float>(value);
}

// The write position the client chose the stretch against ("writePos"), optional.
std::optional<float> seenWritePosField(const json& body) {
    if (!body.contains("writePos")) {
        return std::nullopt;
    }
    const double value = finiteNumber(body["writePos"], "writePos");
    if (value < 0.0 || value > 1.0) {
        throw BadRequest("\"writePos\" must be a ring fraction in 0..1");
    }
    return static_cast<float>(value);
}

// A ring fraction in 0..1 from the query string.
float queryFraction(const mg_request_info* request, const char* name) {
    char value[64];
    const char* query = request->query_string != nullptr ? request->query_string : "";
    if (mg_get_var(query, std::strlen(query), name, value, sizeof value) < 0) {
        throw BadRequest(std::string("missing parameter \"") + name + "\"");
    }
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    if (end == value || *end != '\0' || !std::isfinite(number) || number < 0.0 || number > 1.0) {
        throw BadRequest(std::string("\"") + name + "\" must be a ring fraction in 0..1");
    }
    return static_cast<float>(number);
}

// A stretch's length: above 0, at most the whole ring.
float lengthField(const json& body) {
    const double value = finiteNumber(requiredField(body, "length"), "length");
    if (!(value > 0.0) || value > 1.0) {
        throw BadRequest("\"length\" must be a ring fraction above 0 and at most 1");
    }
    return static_cast<float>(value);
}

int32_t integerField(const json& value, const char* name, int64_t lowest) {
    if (!value.is_number_integer()) {
        throw BadRequest(std::string("\"") + name + "\" must be an integer");
    }
    // Above INT64_MAX the parser keeps an unsigned value, which get<int64_t> would wrap.
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        throw BadRequest(std::string("\"") + name + "\" is out of range");
    }
    const int64_t number = value.get<int64_t>();
    if (number < lowest || number > std::numeric_limits<int32_t>::max()) {
        throw BadRequest(std::string("\"") + name + "\" is out of range");
    }
    return static_cast<int32_t>(number);
}

ExportSettings exportSettingsFields(const json& body) {
    ExportSettings settings;
    if (const auto it = body.find("format"); it != body.end()) {
        if (!it->is_string() || !parseFormat(it->get<std::string>(), settings.format)) {
            throw BadRequest("\"format\" must be one of wav32f, wav24, wav16, flac24, flac16");
        }
    }
    const auto normalize = body.find("normalize");
    if (normalize == body.end() || normalize->is_null()) {
        return settings;
    }
    if (!normalize->is_object()) {
        throw BadRequest("\"normalize\" must be an object with a \"mode\"");
    }
    const json& mode = requiredField(*normalize, "mode");
    if (!mode.is_string()) {
        throw BadRequest("\"mode\" must be none, peak or loudness");
    }
    const std::string modeName = mode.get<std::string>();
    if (modeName == "none") {
        return settings;
    }
    if (modeName == "peak") {
        settings.normalize = NormalizeMode::peak;
        settings.targetDb = kTruePeakCeilingDbtp;
    } else if (modeName == "loudness") {
        settings.normalize = NormalizeMode::loudness;
    } else {
        throw BadRequest("\"mode\" must be none, peak or loudness");
    }
    const auto target = normalize->find("target");
    if (target == normalize->end() && settings.normalize == NormalizeMode::loudness) {
        throw BadRequest("loudness normalisation needs a \"target\" in LUFS");
    }
    if (target != normalize->end()) {
        settings.targetDb = finiteNumber(*target, "target");
        if (settings.targetDb < kNormalizeTargetMinDb || settings.targetDb > 0.0) {
            throw BadRequest("\"target\" must be within -70..0");
        }
    }
    return settings;
}

// ---- Answers --------------------------------------------------------------------------------

void sendResponse(mg_connection* conn, int status, const char* contentType, const void* data,
                  size_t size, const std::string& extraHeaders) {
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\n"
              "Content-Type: %s\r\n"
              "Content-Length: %zu\r\n"
              "Cache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\n"
              "Referrer-Policy: no-referrer\r\n"
              "%s"
              "Connection: close\r\n\r\n",
              status, mg_get_response_code_text(conn, status), contentType, size,
              extraHeaders.c_str());
    if (size > 0) {
        mg_write(conn, data, size);
    }
}

void sendReply(mg_connection* conn, const Reply& reply, const std::string& extraHeaders = {}) {
    const std::string text = jsonText(reply.body);
    sendResponse(conn, reply.status, kJsonType, text.data(), text.size(), extraHeaders);
}

const WebAsset* findAsset(std::string_view path) {
    for (size_t i = 0; i < kWebAssetCount; ++i) {
        if (path == kWebAssets[i].path) {
            return &kWebAssets[i];
        }
    }
    return nullptr;
}

// Little-endian stores into the overview message.
void putU32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

int16_t overviewSample(float value) {
    const float clamped = std::isfinite(value) ? std::clamp(value, -1.0f, 1.0f) : 0.0f;
    return static_cast<int16_t>(std::lround(clamped * 32767.0f));
}

}  // namespace

bool tokenMatches(std::string_view presented, std::string_view token) {
    // Walk our whole token whatever is presented, so the time says nothing about the prefix.
    unsigned difference = presented.size() == token.size() ? 0u : 1u;
    for (size_t i = 0; i < token.size(); ++i) {
        const char p = i < presented.size() ? presented[i] : '\0';
        difference |= static_cast<unsigned char>(p ^ token[i]);
    }
    return difference == 0 && !token.empty();
}

std::string overviewMessage(const OverviewChange& change, bool whole) {
    const size_t count =
        std::min({change.minL.size(), change.maxL.size(), change.minR.size(), change.maxR.size()});
    std::string out;
    out.reserve(12 + count * 8);
    out.push_back(static_cast<char>(kOverviewMessageType));
    out.push_back(static_cast<char>(whole ? kOverviewWholeFlag : 0));
    out.push_back(0);
    out.push_back(0);
    putU32(out, change.firstColumn % kOverviewColumns);
    putU32(out, static_cast<uint32_t>(count));
    const std::vector<float>* columns[] = {&change.minL, &change.maxL, &change.minR, &change.maxR};
    for (size_t c = 0; c < count; ++c) {
        for (const std::vector<float>* values : columns) {
            const uint16_t bits = static_cast<uint16_t>(overviewSample((*values)[c]));
            out.push_back(static_cast<char>(bits & 0xFF));
            out.push_back(static_cast<char>(bits >> 8));
        }
    }
    return out;
}

// One open WebSocket. The pusher queues into its outbox; the page's worker writes from it.
struct WsClient {
    const mg_connection* conn;
    WsOutbox outbox;

    // The pusher's own bookkeeping.
    uint64_t statusSequence = 0;  // the status text last sent
    bool overviewSent = false;
    uint64_t overviewVersion = 0;
    bool historyStarted = false;
    uint64_t historyResets = 0;
    uint64_t historyNext = 0;
    uint64_t bandsVersion = 0;  // the band centres last sent
    uint64_t spectrumSequence = 0;
};

struct HttpServer::Impl {
    ServerBackend& backend;
    ServerOptions options;
    mg_context* context = nullptr;
    int port = 0;
    std::string contentSecurityPolicy;

    std::mutex clientsMutex;
    std::vector<std::shared_ptr<WsClient>> clients;
    // Upgrades accepted whose handshake is not done yet, with when they were accepted.
    std::vector<std::pair<const mg_connection*, Clock::time_point>> handshaking;

    std::thread pusher;
    std::mutex pusherMutex;
    std::condition_variable pusherWake;
    bool stopping = false;        // under pusherMutex
    bool newClient = false;       // under pusherMutex
    bool closingSockets = false;  // under clientsMutex: stop() ends every page

    PushTally pushed;
    ConnectionGuard guard;

    // The pusher's shared state: texts built once per tick for every client.
    std::string statusText;
    uint64_t statusSequence = 0;
    std::vector<float> bandCentres;
    uint64_t bandsVersion = 0;

    Impl(ServerBackend& b, ServerOptions o) : backend(b), options(std::move(o)) {}

    // [server-thread] The gate every request passes, the WebSocket upgrade included.
    bool hostAllowed(std::string_view host) const {
        const std::string portSuffix = ":" + std::to_string(port);
        return equalsIgnoringCase(host, "127.0.0.1" + portSuffix) ||
               equalsIgnoringCase(host, "localhost" + portSuffix);
    }
    bool originAllowed(std::string_view origin) const {
        const std::string portSuffix = ":" + std::to_string(port);
        return equalsIgnoringCase(origin, "http://127.0.0.1" + portSuffix) ||
               equalsIgnoringCase(origin, "http://localhost" + portSuffix);
    }
    bool queryTokenValid(const mg_request_info* request) const {
        if (request->query_string == nullptr) {
            return false;
        }
        char value[kTokenBufferBytes];
        const int length = mg_get_var(request->query_string, std::strlen(request->query_string),
                                      "token", value, sizeof value);
        return length >= 0 && tokenMatches(value, options.token);
    }
    bool authorised(const mg_connection* conn, const mg_request_info* request) const {
        if (const char* header = mg_get_header(conn, "Authorization")) {
            const std::string_view value = header;
            constexpr std::string_view kScheme = "Bearer ";
            if (value.size() > kScheme.size() &&
                equalsIgnoringCase(value.substr(0, kScheme.size()), kScheme) &&
                tokenMatches(value.substr(kScheme.size()), options.token)) {
                return true;
            }
        }
        if (queryTokenValid(request)) {
            return true;
        }
        // No cookie: browsers send 127.0.0.1's cookies to every port, so any local service the
        // user opens would receive the token.
        return false;
    }

    static int gate(mg_connection* conn, void* data) {
        Impl& self = *static_cast<Impl*>(data);
        const mg_request_info* request = mg_get_request_info(conn);
        const char* host = mg_get_header(conn, "Host");
        if (host == nullptr || !self.hostAllowed(host)) {
            sendReply(conn, errorReply(403, "this server answers only to 127.0.0.1 and localhost"));
            return 0;
        }
        const char* origin = mg_get_header(conn, "Origin");
        if (origin != nullptr && !self.originAllowed(origin)) {
            sendReply(conn, errorReply(403, "requests from other pages are refused"));
            return 0;
        }
        const std::string_view path = request->local_uri ? request->local_uri : "";
        if ((path == "/api" || path.starts_with("/api/")) && !self.authorised(conn, request)) {
            sendReply(conn, errorReply(401, "the access token is missing or wrong"),
                      "WWW-Authenticate: Bearer\r\n");
            return 0;
        }
        return 1;
    }

    // [server-thread] Everything that passed the gate and is not a WebSocket.
    static int handle(mg_connection* conn, void* data) {
        Impl& self = *static_cast<Impl*>(data);
        const mg_request_info* request = mg_get_request_info(conn);
        const std::string_view path = request->local_uri ? request->local_uri : "";
        const std::string_view method = request->request_method ? request->request_method : "";
        if (path == "/api/history" || path.starts_with("/api/history/")) {
            return self.historyRoute(conn, request, path, method);
        }
        if (path == "/api" || path.starts_with("/api/")) {
            Reply reply;
            try {
                reply = self.api(conn, request, path, method);
            } catch (const BadRequest& bad) {
                reply = errorReply(400, bad.what());
            } catch (const std::exception& error) {
                reply = errorReply(500, std::string("internal error: ") + error.what());
            }
            sendReply(conn, reply);
            return reply.status;
        }
        if (path == kProofPath) {  // a page left open asks before it sends its token again
            const Reply reply = self.proofReply(request);
            sendReply(conn, reply);
            return reply.status;
        }
        return self.serveAsset(conn, path, method);
    }

    // [server-thread] GET /proof?nonce=HEX: {"proof": HMAC of the nonce keyed with the token}.
    Reply proofReply(const mg_request_info* request) const {
        char nonce[kMaxNonceChars + 2] = {};
        const char* query = request->query_string ? request->query_string : "";
        if (mg_get_var(query, std::strlen(query), "nonce", nonce, sizeof nonce) < 0 ||
            !wellFormedNonce(nonce)) {
            return errorReply(400, "\"nonce\" must be 16 to 128 lowercase hex digits");
        }
        return Reply{200, json{{"proof", tokenProof(options.token, nonce)}}};
    }

    int serveAsset(mg_connection* conn, std::string_view path, std::string_view method) {
        if (method != "GET") {
            sendReply(conn, errorReply(405, "only GET is served here"), "Allow: GET\r\n");
            return 405;
        }
        const bool index = path == "/" || path == "/index.html";
        const WebAsset* asset = findAsset(index ? "/index.html" : path);
        if (asset == nullptr) {
            sendReply(conn, errorReply(404, "no such file"));
            return 404;
        }
        const std::string headers = "Content-Security-Policy: " + contentSecurityPolicy + "\r\n";
        sendResponse(conn, 200, asset->contentType, asset->bytes, asset->size, headers);
        return 200;
    }

    // The engine's status; the history's error when the engine has none to say.
    EngineStatus statusNow() {
        EngineStatus status = backend.status();
        if (status.historyError.empty() && options.history != nullptr) {
            status.historyError = options.history->error();
        }
        return status;
    }

    // ---- The history of takes ---------------------------------------------------------

    // [server-thread] /api/history and /api/history/ID[/audio|/samples|/pin|/save].
    int historyRoute(mg_connection* conn, const mg_request_info* request, std::string_view path,
                     std::string_view method) {
        Reply reply;
        try {
            if (options.history == nullptr) {
                reply = errorReply(404, "this daemon keeps no history");
            } else if (path == "/api/history" || path == "/api/history/") {
                if (method != "GET") {
                    reply = errorReply(405, "use GET");
                } else {
                    const std::string text = historyList();
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
                        return streamTake(conn, id);
                    }
                } else {
                    reply = historyAction(conn, request, id, action, method);
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

    std::string historyList() {
        std::set<int64_t> inRing;
        for (const Take& take : backend.status().takes) {
            if (take.historyId != 0) {
                inRing.insert(take.historyId);
            }
        }
        return historyJsonText(options.history->list(), inRing);
    }

    static json bodyObject(mg_connection* conn, const mg_request_info* request) {
        std::string text;
        readBody(conn, request, text);
        if (text.empty()) {
            return json::object();
        }
        json body = json::parse(text, nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            throw BadRequest("the body must be a JSON object");
        }
        return body;
    }

    // An unsigned integer from the query string; nullopt when absent.
    static std::optional<uint64_t> queryInteger(const mg_request_info* request, const char* name) {
        if (request->query_string == nullptr) {
            return std::nullopt;
        }
        char value[32];
        const int length = mg_get_var(request->query_string, std::strlen(request->query_string),
                                      name, value, sizeof value);
        if (length < 0) {
            return std::nullopt;
        }
        uint64_t number = 0;
        const auto [end, ec] = std::from_chars(value, value + length, number);
        if (ec != std::errc() || end != value + length || length == 0) {
            throw BadRequest(std::string("\"") + name + "\" must be a whole number");
        }
        return number;
    }

    Reply historyAction(mg_connection* conn, const mg_request_info* request, int64_t id,
                        std::string_view action, std::string_view method) {
        History& history = *options.history;
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
            return history.remove(id, error) ? Reply{200, json{{"ok", true}}}
                                             : errorReply(500, error);
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
            const uint64_t columns = queryInteger(request, "columns").value_or(0);
            if (method != "GET") {
                return errorReply(405, "use GET");
            }
            if (columns == 0 || columns > kMaxOverviewColumns) {
                throw BadRequest("\"columns\" must be 1.." + std::to_string(kMaxOverviewColumns));
            }
            TakeOverview overview;
            return takeOverview(
                       history, id, take->frames, queryInteger(request, "first").value_or(0),
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
            return saveTake(*take, bodyObject(conn, request));
        }
        if (action == "analyze") {
            if (method != "POST") {
                return errorReply(405, "use POST");
            }
            return analyzeTake(*take, bodyObject(conn, request));
        }
        return errorReply(404, "no such route");
    }

    // JSON text with every float in its shortest exact form (a float's, not a double's).
    static json samplesJson(const HistoryTake& take, uint64_t first,
                            const std::vector<float>& frames) {
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
    static TakePart takePartFields(const json& body, double rateHz) {
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
        part.first =
            static_cast<uint64_t>(std::llround(std::min(startSeconds * rateHz, kMostFrames)));
        if (lengthSeconds) {
            part.wanted =
                std::max<uint64_t>(1, std::llround(std::min(*lengthSeconds * rateHz, kMostFrames)));
        }
        return part;
    }

    // [server-thread] The frames of a part of a take (to its end when no length is given);
    // false with the answer to give instead.
    bool readTakePart(const HistoryTake& take, const json& body, std::vector<float>& frames,
                      uint64_t& wanted, Reply& refusal) {
        const TakePart part = takePartFields(body, take.rateHz);
        if (part.first >= take.frames) {
            const double held = static_cast<double>(take.frames) / take.rateHz;
            refusal = errorReply(409, "the take holds " + std::to_string(held) + " s only");
            return false;
        }
        wanted = part.wanted != 0 ? part.wanted : take.frames - part.first;
        std::string error;
        if (!options.history->read(take.id, part.first, wanted, frames, error)) {
            refusal = errorReply(500, error);
            return false;
        }
        return true;
    }

    // [server-thread] POST /api/history/ID/analyze: the loudness and peaks of a take or a part.
    Reply analyzeTake(const HistoryTake& take, const json& body) {
        std::vector<float> frames;
        uint64_t wanted = 0;
        Reply refusal;
        if (!readTakePart(take, body, frames, wanted, refusal)) {
            return refusal;
        }
        json answer = analysisJson(analyzeStretch(frames, take.rateHz));
        answer["take"] = take.id;
        return Reply{200, std::move(answer)};
    }

    // [server-thread] POST /api/history/ID/save: the take, or a part, into the export folder.
    Reply saveTake(const HistoryTake& take, const json& body) {
        const ExportSettings settings = exportSettingsFields(body);
        std::vector<float> frames;
        uint64_t wanted = 0;
        Reply refusal;
        if (!readTakePart(take, body, frames, wanted, refusal)) {
            return refusal;
        }
        const std::string exportDir = backend.status().exportDir;
        const auto when =
            take.startUnixMs > 0
                ? std::chrono::system_clock::time_point(std::chrono::milliseconds(take.startUnixMs))
                : std::chrono::system_clock::now();
        ExportResult result{};
        std::string error;
        if (!exportStretch(frames, take.rateHz, settings, exportDir, when, result, error)) {
            return errorReply(500, error);
        }
        json answer = exportJson(result);
        answer["take"] = take.id;
        answer["clipped"] = frames.size() / kTakeChannels < wanted;
        return Reply{200, std::move(answer)};
    }

    // [server-thread] GET /api/history/ID/audio: a 32-bit float WAV of the frames the take
    // holds now, read and sent in chunks.
    int streamTake(mg_connection* conn, int64_t id) {
        const std::optional<HistoryTake> take = options.history->take(id);
        if (!take) {
            sendReply(conn, errorReply(404, "no take " + std::to_string(id) + " in the history"));
            return 404;
        }
        // first/count (frames, optional): that stretch of the take alone, clipped to it.
        const mg_request_info* request = mg_get_request_info(conn);
        const uint64_t first = std::min(queryInteger(request, "first").value_or(0), take->frames);
        const uint64_t end = first + std::min(queryInteger(request, "count").value_or(UINT64_MAX),
                                              take->frames - first);
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
            if (!options.history->read(id, at, count, frames, error) || frames.empty() ||
                mg_write(conn, frames.data(), frames.size() * sizeof(float)) <= 0) {
                break;
            }
            at += frames.size() / kTakeChannels;
        }
        return 200;
    }

    // Reads the body, at most kMaxBodyBytes: 413 when it is larger. A body that ends before its
    // Content-Length (the client stopped sending, or took longer than civetweb's request
    // timeout) is refused, never executed as far as it came.
    static void readBody(mg_connection* conn, const mg_request_info* request, std::string& body) {
        if (request->content_length > static_cast<long long>(kMaxBodyBytes)) {
            throw TooLarge();
        }
        char buffer[4096];
        for (;;) {
            const int n = mg_read(conn, buffer, sizeof buffer);
            if (n < 0) {
                throw BadRequest("the body could not be read");
            }
            if (n == 0) {
                break;
            }
            body.append(buffer, static_cast<size_t>(n));
            if (body.size() > kMaxBodyBytes) {
                throw TooLarge();
            }
        }
        if (request->content_length >= 0 &&
            body.size() != static_cast<size_t>(request->content_length)) {
            throw BadRequest("the body ended before its Content-Length");
        }
    }

    Reply api(mg_connection* conn, const mg_request_info* request, std::string_view path,
              std::string_view method) {
        if (path == "/api/status") {
            if (method != "GET") {
                return errorReply(405, "use GET");
            }
            return Reply{200, statusJson(statusNow())};
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
                 StretchAnalysis analysis{};
                 const Outcome outcome =
                     backend.analyze(start, length, seenWritePosField(b), analysis);
                 return outcomeReply(outcome, outcome.ok ? analysisJson(analysis) : json());
             }},
            {"/api/export",
             [&](const json& b) {
                 const float start = startField(b, "start");
                 const float length = lengthField(b);
                 const ExportSettings settings = exportSettingsFields(b);
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

    // ---- WebSocket --------------------------------------------------------------------------

    // [server-thread] After the gate: one more socket only while workers remain for requests.
    // The slot is taken here, not when the handshake is done, so upgrades arriving together
    // cannot all pass the check; a slot whose handshake never finished lapses after a while.
    static int wsConnect(const mg_connection* conn, void* data) {
        Impl& self = *static_cast<Impl*>(data);
        std::lock_guard lock(self.clientsMutex);
        const Clock::time_point now = Clock::now();
        std::erase_if(self.handshaking,
                      [&](const auto& h) { return now - h.second > kHandshakeLapse; });
        if (self.clients.size() + self.handshaking.size() >= static_cast<size_t>(kMaxWebSockets)) {
            return 1;
        }
        self.handshaking.emplace_back(conn, now);
        return 0;
    }

    // The page's worker stays here, writing what the pusher queues, until the page goes: civetweb
    // reads nothing from the page meanwhile (see ws_push.h).
    static void wsReady(mg_connection* conn, void* data) {
        Impl& self = *static_cast<Impl*>(data);
        const mg_request_info* request = mg_get_request_info(conn);
        const std::optional<PeerAddress> peer =
            peerAddress(request->remote_addr, request->remote_port);
        const int fd = peer ? findAcceptedSocket(static_cast<uint16_t>(self.port), *peer) : -1;
        auto client = std::make_shared<WsClient>();
        client->conn = conn;
        {
            std::lock_guard lock(self.clientsMutex);
            std::erase_if(self.handshaking, [&](const auto& h) { return h.first == conn; });
            if (fd < 0 || self.closingSockets) {
                return;  // civetweb's reading then ends it at the page's first frame
            }
            self.clients.push_back(client);
        }
        {
            // The newcomer gets the whole overview and history at once, not at the next tick.
            std::lock_guard lock(self.pusherMutex);
            self.newClient = true;
            self.pusherWake.notify_one();
        }
        client->outbox.serve(conn, fd, self.pushed);
        std::lock_guard lock(self.clientsMutex);
        std::erase(self.clients, client);
    }

    static int wsData(mg_connection*, int, char*, size_t, void*) {
        return 0;  // the page sends nothing: any frame ends the connection
    }

    static void wsClose(const mg_connection* conn, void* data) {
        Impl& self = *static_cast<Impl*>(data);
        std::shared_ptr<WsClient> client;
        {
            std::lock_guard lock(self.clientsMutex);
            std::erase_if(self.handshaking, [&](const auto& h) { return h.first == conn; });
            const auto it = std::find_if(self.clients.begin(), self.clients.end(),
                                         [&](const auto& c) { return c->conn == conn; });
            if (it == self.clients.end()) {
                return;
            }
            client = *it;
            self.clients.erase(it);
        }
        client->outbox.drop();
    }

    // [server-thread] the pusher: queues, never waits for the page.
    void send(WsClient& client, int opcode, const std::string& message) {
        client.outbox.enqueue(opcode, std::make_shared<const std::string>(message), Clock::now());
    }

    void pushStatus(const std::vector<std::shared_ptr<WsClient>>& targets,
                    const EngineStatus& status) {
        json message = statusJson(status);
        message["type"] = "status";
        std::string text = jsonText(message);
        // An unchanged status (no plug-in, nothing moving) is not sent again.
        if (text != statusText) {
            statusText = std::move(text);
            ++statusSequence;
        }
        for (const auto& client : targets) {
            if (client->statusSequence != statusSequence) {
                send(*client, MG_WEBSOCKET_OPCODE_TEXT, statusText);
                client->statusSequence = statusSequence;
            }
        }
    }

    void pushHistory(WsClient& client, const FeedSnapshot& feed) {
        bool reset = false;
        uint64_t from = client.historyNext;
        // A new page, or a history that restarted: start again from 0.
        if (!client.historyStarted || feed.resets != client.historyResets) {
            reset = true;
            from = 0;
            client.historyStarted = true;
            client.historyResets = feed.resets;
        } else if (from >= feed.historyEnd) {
            return;
        }
        std::vector<LoudnessPoint> points;
        const uint64_t first = backend.history(from, points);
        size_t offset = 0;
        do {
            const size_t count = std::min(kHistoryChunkPoints, points.size() - offset);
            json momentary = json::array(), shortTerm = json::array();
            for (size_t i = offset; i < offset + count; ++i) {
                momentary.push_back(levelJson(points[i].momentaryLufs));
                shortTerm.push_back(levelJson(points[i].shortTermLufs));
            }
            const json message = {{"type", "history"},
                                  {"reset", reset},
                                  {"from", first + offset},
                                  {"momentary", std::move(momentary)},
                                  {"shortTerm", std::move(shortTerm)}};
            send(client, MG_WEBSOCKET_OPCODE_TEXT, jsonText(message));
            reset = false;
            offset += count;
        } while (offset < points.size());
        client.historyNext = first + points.size();
    }

    // Overview messages for one starting version, shared by clients at the same version.
    struct OverviewMessages {
        uint64_t version;
        std::vector<std::string> messages;
    };

    void pushOverview(WsClient& client, uint64_t currentVersion,
                      std::map<std::pair<bool, uint64_t>, OverviewMessages>& cache) {
        if (client.overviewSent && client.overviewVersion == currentVersion) {
            return;
        }
        const uint64_t since = client.overviewSent ? client.overviewVersion : 0;
        const auto key = std::make_pair(client.overviewSent, since);
        auto it = cache.find(key);
        if (it == cache.end()) {
            std::vector<OverviewChange> changes;
            OverviewMessages built;
            built.version = backend.overviewChanges(since, changes);
            size_t columns = 0;
            for (const OverviewChange& change : changes) {
                columns += change.minL.size();
            }
            // Too old a version brings every column back: that is a whole overview too.
            const bool whole = !client.overviewSent || columns >= kOverviewColumns;
            for (const OverviewChange& change : changes) {
                built.messages.push_back(overviewMessage(change, whole));
            }
            it = cache.emplace(key, std::move(built)).first;
        }
        for (const std::string& message : it->second.messages) {
            send(client, MG_WEBSOCKET_OPCODE_BINARY, message);
        }
        client.overviewSent = true;
        client.overviewVersion = it->second.version;
    }

    void pushSpectrum(const std::vector<std::shared_ptr<WsClient>>& targets) {
        const SpectrumBands bands = backend.spectrum();
        if (bands.centreHz != bandCentres) {
            bandCentres = bands.centreHz;
            ++bandsVersion;
        }
        auto tenths = [](const std::vector<float>& levels) {
            json out = json::array();
            for (const float db : levels) {
                const double value =
                    std::isfinite(db) ? std::max(db, kSpectrumFloorDb) : kSpectrumFloorDb;
                const double rounded = std::round(value * kSpectrumSteps) / kSpectrumSteps;
                out.push_back(rounded == std::trunc(rounded) ? json(static_cast<int>(rounded))
                                                             : json(rounded));
            }
            return out;
        };
        json message = {
            {"type", "spectrum"}, {"level", tenths(bands.levelDb)}, {"peak", tenths(bands.peakDb)}};
        const std::string withoutCentres = jsonText(message);
        std::string withCentres;
        for (const auto& client : targets) {
            if (client->spectrumSequence == bands.sequence &&
                client->bandsVersion == bandsVersion) {
                continue;
            }
            if (client->bandsVersion != bandsVersion) {
                if (withCentres.empty()) {
                    json centres = message;
                    centres["centreHz"] = bandCentres;
                    withCentres = jsonText(centres);
                }
                send(*client, MG_WEBSOCKET_OPCODE_TEXT, withCentres);
            } else {
                send(*client, MG_WEBSOCKET_OPCODE_TEXT, withoutCentres);
            }
            client->spectrumSequence = bands.sequence;
            client->bandsVersion = bandsVersion;
        }
    }

    // [server-thread] the pusher: one thread serves every WebSocket.
    void runPusher() {
        Clock::time_point nextStatus = Clock::now();
        Clock::time_point nextSpectrum = nextStatus;
        for (;;) {
            bool idle = false;
            {
                std::lock_guard lock(clientsMutex);
                idle = clients.empty();
            }
            {
                std::unique_lock lock(pusherMutex);
                // Without a page there is nothing to push: sleep until one connects.
                if (idle) {
                    pusherWake.wait(lock, [&] { return stopping || newClient; });
                } else {
                    pusherWake.wait_until(lock, std::min(nextStatus, nextSpectrum),
                                          [&] { return stopping || newClient; });
                }
                if (stopping) {
                    return;
                }
                if (newClient) {
                    newClient = false;
                    nextStatus = nextSpectrum = Clock::now();
                }
            }
            std::vector<std::shared_ptr<WsClient>> targets;
            {
                std::lock_guard lock(clientsMutex);
                targets = clients;
            }
            const Clock::time_point now = Clock::now();
            if (now >= nextStatus) {
                nextStatus = std::max(nextStatus + std::chrono::milliseconds(kStatusPushMs), now);
                if (!targets.empty()) {
                    const EngineStatus status = statusNow();
                    pushStatus(targets, status);
                    const FeedSnapshot feed = backend.feed();
                    std::map<std::pair<bool, uint64_t>, OverviewMessages> overviewCache;
                    for (const auto& client : targets) {
                        pushHistory(*client, feed);
                        pushOverview(*client, status.overviewVersion, overviewCache);
                    }
                }
            }
            if (now >= nextSpectrum) {
                nextSpectrum =
                    std::max(nextSpectrum + std::chrono::milliseconds(kSpectrumPushMs), now);
                if (!targets.empty()) {
                    pushSpectrum(targets);
                }
            }
        }
    }

    // [server-thread] civetweb's callbacks for the connection guard (http_guard.h).
    static Impl& of(const mg_connection* conn) {
        return *static_cast<Impl*>(mg_get_user_context_data(conn));
    }
    static std::optional<PeerAddress> peerOf(const mg_connection* conn) {
        const mg_request_info* request = mg_get_request_info(conn);
        return request ? peerAddress(request->remote_addr, request->remote_port) : std::nullopt;
    }
    static int initConnection(const mg_connection* conn, void**) {
        of(conn).guard.connectionOpened();
        return 0;
    }
    static int beginRequest(mg_connection* conn) {
        if (const std::optional<PeerAddress> peer = peerOf(conn)) {
            of(conn).guard.headArrived(*peer);
        }
        return 0;  // civetweb goes on: the gate, then the handlers
    }
    static void connectionClosed(const mg_connection* conn) {
        const std::optional<PeerAddress> peer = peerOf(conn);
        of(conn).guard.connectionClosed(peer.value_or(PeerAddress{}));
    }

    // [server-thread] What civetweb refuses itself (a head too large or malformed, a bad
    // Content-Length) is answered as JSON too.
    static int httpError(mg_connection* conn, int status, const char* message) {
        const std::string text = message != nullptr && *message != '\0'
                                     ? std::string(message)
                                     : std::string(mg_get_response_code_text(conn, status));
        sendReply(conn, errorReply(status, text));
        return 0;
    }

    static int logMessage(const mg_connection*, const char* message) {
        std::fprintf(stderr, "tessarin-companion: http: %s\n", message);
        return 1;
    }
};

HttpServer::HttpServer(ServerBackend& backend, ServerOptions options)
    : impl_(std::make_unique<Impl>(backend, std::move(options))) {}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::start(std::string& error) {
    Impl& s = *impl_;
    if (s.context != nullptr) {
        return true;
    }
    if (s.options.token.empty()) {
        error = "the server needs an access token";
        return false;
    }
    if (s.options.port < 0 || s.options.port > 65535) {
        error = "port " + std::to_string(s.options.port) + " is not a TCP port";
        return false;
    }
    mg_init_library(MG_FEATURES_WEBSOCKET);
    if (mg_check_feature(MG_FEATURES_WEBSOCKET) == 0) {
        mg_exit_library();
        error = "this civetweb was built without WebSocket support";
        return false;
    }
    const std::string ports = "127.0.0.1:" + std::to_string(s.options.port);
    const std::string threads = std::to_string(kServerThreads);
    const std::string queue = std::to_string(kConnectionQueue);
    const std::string requestTimeout = std::to_string(kRequestHeadTimeout.count());
    const char* config[] = {
        "listening_ports", ports.c_str(), "num_threads", threads.c_str(), "connection_queue",
        queue.c_str(),
        // One request per connection: an idle keep-alive connection would hold a worker.
        "enable_keep_alive", "no",
        // Bounds the wait for a head and a body, and a write to a client that stopped reading.
        "request_timeout_ms", requestTimeout.c_str(), "enable_directory_listing", "no",
        "tcp_nodelay", "1",
        // No CORS: civetweb would answer preflights itself, before the gate.
        "access_control_allow_origin", "", "access_control_allow_methods", "",
        "access_control_allow_headers", "", nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = &Impl::logMessage;
    callbacks.init_connection = &Impl::initConnection;
    callbacks.begin_request = &Impl::beginRequest;
    callbacks.connection_closed = &Impl::connectionClosed;
    callbacks.http_error = &Impl::httpError;
    char errorText[256] = "";
    mg_error_data errorData{};
    errorData.text = errorText;
    errorData.text_buffer_size = sizeof errorText;
    mg_init_data init{};
    init.callbacks = &callbacks;
    init.user_data = &s;
    init.configuration_options = config;
    s.context = mg_start2(&init, &errorData);
    if (s.context == nullptr) {
        mg_exit_library();
        error = "cannot listen on " + ports + (errorText[0] ? std::string(": ") + errorText : "");
        return false;
    }
    mg_server_port bound[4];
    const int count = mg_get_server_ports(s.context, 4, bound);
    s.port = count > 0 ? bound[0].port : 0;
    if (s.port <= 0) {
        stop();
        error = "cannot tell which port the server listens on";
        return false;
    }
    const std::string p = std::to_string(s.port);
    s.contentSecurityPolicy = "default-src 'self'; connect-src 'self' ws://127.0.0.1:" + p +
                              " ws://localhost:" + p +
                              "; img-src 'self' data: blob:; style-src 'self'; "
                              "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
    s.guard.start(static_cast<uint16_t>(s.port));
    mg_set_auth_handler(s.context, "/", &Impl::gate, &s);
    mg_set_websocket_handler(s.context, "/api/ws", &Impl::wsConnect, &Impl::wsReady, &Impl::wsData,
                             &Impl::wsClose, &s);
    mg_set_request_handler(s.context, "/", &Impl::handle, &s);
    {
        std::lock_guard lock(s.pusherMutex);
        s.stopping = false;
    }
    {
        std::lock_guard lock(s.clientsMutex);
        s.closingSockets = false;
    }
    s.pusher = std::thread([&s] { s.runPusher(); });
    return true;
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (s.pusher.joinable()) {
        {
            std::lock_guard lock(s.pusherMutex);
            s.stopping = true;
            s.pusherWake.notify_one();
        }
        s.pusher.join();
    }
    {
        // Every page's worker returns, so civetweb can stop.
        std::lock_guard lock(s.clientsMutex);
        s.closingSockets = true;
        for (const auto& client : s.clients) {
            client->outbox.drop();
        }
    }
    if (s.context != nullptr) {
        mg_stop(s.context);
        s.context = nullptr;
        mg_exit_library();
    }
    s.guard.stop();
}

int HttpServer::port() const {
    return impl_->port;
}

PushCounters HttpServer::pushCounters() const {
    return PushCounters{impl_->pushed.bytes.load(), impl_->pushed.textMessages.load(),
                        impl_->pushed.binaryMessages.load()};
}

}  // namespace companion
