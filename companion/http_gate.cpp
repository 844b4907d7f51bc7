#include "companion/http_gate.h"

#include <civetweb.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace companion {

using json = nlohmann::json;

namespace {

constexpr double kNormalizeTargetMinDb = -70.0;  // dBTP or LUFS; quieter targets make no sense

}  // namespace

// JSON text that never throws: bytes that are not UTF-8 (a path can hold any) become U+FFFD.
std::string jsonText(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

Reply errorReply(int status, const std::string& message) {
    return Reply{status, json{{"error", message}}};
}

// Success answers {"ok": true} unless the route has something to say.
Reply outcomeReply(const Outcome& outcome, json onSuccess) {
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

bool tokenMatches(std::string_view presented, std::string_view token) {
    // Walk our whole token whatever is presented, so the time says nothing about the prefix.
    unsigned difference = presented.size() == token.size() ? 0u : 1u;
    for (size_t i = 0; i < token.size(); ++i) {
        const char p = i < presented.size() ? presented[i] : '\0';
        difference |= static_cast<unsigned char>(p ^ token[i]);
    }
    return difference == 0 && !token.empty();
}

// ---- The gate ------------------------------------------------------------------------------

// [server-thread]
bool hostAllowed(std::string_view host, int port) {
    // Appended, not ":" + to_string(): GCC 12 warns falsely (-Wrestrict) on that once inlined.
    const std::string portSuffix = std::string(":").append(std::to_string(port));
    return equalsIgnoringCase(host, "127.0.0.1" + portSuffix) ||
           equalsIgnoringCase(host, "localhost" + portSuffix);
}
// [server-thread]
bool originAllowed(std::string_view origin, int port) {
    // Appended, not ":" + to_string(): GCC 12 warns falsely (-Wrestrict) on that once inlined.
    const std::string portSuffix = std::string(":").append(std::to_string(port));
    return equalsIgnoringCase(origin, "http://127.0.0.1" + portSuffix) ||
           equalsIgnoringCase(origin, "http://localhost" + portSuffix);
}
// [server-thread]
bool queryTokenValid(const mg_request_info* request, const std::string& token) {
    if (request->query_string == nullptr) {
        return false;
    }
    char value[kTokenBufferBytes];
    const int length = mg_get_var(request->query_string, std::strlen(request->query_string),
                                  "token", value, sizeof value);
    return length >= 0 && tokenMatches(value, token);
}
// [server-thread]
bool authorised(const mg_connection* conn, const mg_request_info* request,
                const std::string& token) {
    if (const char* header = mg_get_header(conn, "Authorization")) {
        const std::string_view value = header;
        constexpr std::string_view kScheme = "Bearer ";
        if (value.size() > kScheme.size() &&
            equalsIgnoringCase(value.substr(0, kScheme.size()), kScheme) &&
            tokenMatches(value.substr(kScheme.size()), token)) {
            return true;
        }
    }
    if (queryTokenValid(request, token)) {
        return true;
    }
    // No cookie: browsers send 127.0.0.1's cookies to every port, so any local service the
    // user opens would receive the token.
    return false;
}

// [server-thread] The gate every request passes, the WebSocket upgrade included.
int passGate(mg_connection* conn, int port, const std::string& token) {
    const mg_request_info* request = mg_get_request_info(conn);
    const char* host = mg_get_header(conn, "Host");
    if (host == nullptr || !hostAllowed(host, port)) {
        sendReply(conn, errorReply(403, "this server answers only to 127.0.0.1 and localhost"));
        return 0;
    }
    const char* origin = mg_get_header(conn, "Origin");
    if (origin != nullptr && !originAllowed(origin, port)) {
        sendReply(conn, errorReply(403, "requests from other pages are refused"));
        return 0;
    }
    const std::string_view path = request->local_uri ? request->local_uri : "";
    if ((path == "/api" || path.starts_with("/api/")) && !authorised(conn, request, token)) {
        sendReply(conn, errorReply(401, "the access token is missing or wrong"),
                  "WWW-Authenticate: Bearer\r\n");
        return 0;
    }
    return 1;
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
// An unsigned integer from the query string; nullopt when absent.
std::optional<uint64_t> queryInteger(const mg_request_info* request, const char* name) {
    if (request->query_string == nullptr) {
        return std::nullopt;
    }
    char value[32];
    const int length = mg_get_var(request->query_string, std::strlen(request->query_string), name,
                                  value, sizeof value);
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

// Reads the body, at most kMaxBodyBytes: 413 when it is larger. A body that ends before its
// Content-Length (the client stopped sending, or took longer than civetweb's request
// timeout) is refused, never executed as far as it came.
void readBody(mg_connection* conn, const mg_request_info* request, std::string& body) {
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

json bodyObject(mg_connection* conn, const mg_request_info* request) {
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

void sendReply(mg_connection* conn, const Reply& reply, const std::string& extraHeaders) {
    const std::string text = jsonText(reply.body);
    sendResponse(conn, reply.status, kJsonType, text.data(), text.size(), extraHeaders);
}

}  // namespace companion
