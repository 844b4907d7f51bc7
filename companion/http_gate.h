// The server's gate and what every route shares: the checks each request passes before any route
// (Host, Origin, token), the readers of request fields that refuse what cannot be used before it
// reaches the backend, and the senders of answers (every answer JSON, no-store, nosniff).
//
// Threads: everything here runs on civetweb's workers ([server-thread]).
#pragma once

#include "companion/exporter.h"
#include "companion/http_server.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct mg_connection;
struct mg_request_info;

namespace companion {

inline constexpr const char* kJsonType = "application/json";
inline constexpr size_t kTokenBufferBytes = 256;  // longer presented tokens are wrong anyway

// A field that cannot be used: answered with 400 and its message.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A body above kMaxBodyBytes: answered with 413.
struct TooLarge {};

// What a route answers: a status and a JSON body.
struct Reply {
    int status = 200;
    nlohmann::json body;
};

// [any-thread] JSON text that never throws: bytes that are not UTF-8 (a path can hold any)
// become U+FFFD.
std::string jsonText(const nlohmann::json& value);
// [any-thread] {"error": message} with the status.
Reply errorReply(int status, const std::string& message);
// [any-thread] Success answers {"ok": true} unless the route has something to say.
Reply outcomeReply(const Outcome& outcome, nlohmann::json onSuccess = nlohmann::json{{"ok", true}});
// [any-thread]
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// ---- The gate ------------------------------------------------------------------------------

// [server-thread] Host must name 127.0.0.1 or localhost with the server's port.
bool hostAllowed(std::string_view host, int port);
// [server-thread] Origin, when present, must be the page's own.
bool originAllowed(std::string_view origin, int port);
// [server-thread] The token as "?token=" in the query string.
bool queryTokenValid(const mg_request_info* request, const std::string& token);
// [server-thread] The token as a bearer header or in the query string.
bool authorised(const mg_connection* conn, const mg_request_info* request,
                const std::string& token);
// [server-thread] The gate every request passes, the WebSocket upgrade included: 1 lets the
// request on to the handlers, 0 when it was refused here (and answered).
int passGate(mg_connection* conn, int port, const std::string& token);

// ---- Request fields ------------------------------------------------------------------------
// Each throws BadRequest with a one-line message when the field cannot be used.

// [server-thread]
const nlohmann::json& requiredField(const nlohmann::json& body, const char* name);
// [server-thread]
double finiteNumber(const nlohmann::json& value, const char* name);
// [server-thread] A ring fraction in 0..1. A start of exactly 1 is the ring's start again.
float startField(const nlohmann::json& body, const char* name);
// [server-thread] The write position the client chose the stretch against ("writePos"),
// optional.
std::optional<float> seenWritePosField(const nlohmann::json& body);
// [server-thread] A ring fraction in 0..1 from the query string.
float queryFraction(const mg_request_info* request, const char* name);
// [server-thread] A stretch's length: above 0, at most the whole ring.
float lengthField(const nlohmann::json& body);
// [server-thread] An integer in lowest..INT32_MAX.
int32_t integerField(const nlohmann::json& value, const char* name, int64_t lowest);
// [server-thread] "format" and "normalize" of an export.
ExportSettings exportSettingsFields(const nlohmann::json& body);
// [server-thread] An unsigned integer from the query string; nullopt when absent.
std::optional<uint64_t> queryInteger(const mg_request_info* request, const char* name);
// [server-thread] Reads the body, at most kMaxBodyBytes: throws TooLarge when it is larger. A
// body that ends before its Content-Length (the client stopped sending, or took longer than
// civetweb's request timeout) is refused, never executed as far as it came.
void readBody(mg_connection* conn, const mg_request_info* request, std::string& body);
// [server-thread] The body as a JSON object; none: an empty object.
nlohmann::json bodyObject(mg_connection* conn, const mg_request_info* request);

// ---- Answers -------------------------------------------------------------------------------

// [server-thread] One whole answer; extraHeaders are lines ending in CRLF.
void sendResponse(mg_connection* conn, int status, const char* contentType, const void* data,
                  size_t size, const std::string& extraHeaders);
// [server-thread] A route's reply as JSON.
void sendReply(mg_connection* conn, const Reply& reply, const std::string& extraHeaders = {});

}  // namespace companion
