// What the server answers outside /api/: the page's embedded files (web_assets.h), under a
// content security policy that lets it reach this server only, and /proof, which a page left
// open asks before it sends its token again (token_proof.h).
//
// Threads: civetweb's workers ([server-thread]).
#pragma once

#include "companion/http_gate.h"

#include <string>
#include <string_view>

struct mg_connection;
struct mg_request_info;

namespace companion {

// [any-thread] The Content-Security-Policy header's value for the page served on port.
std::string pageSecurityPolicy(int port);

// [server-thread] GET /proof?nonce=HEX: {"proof": HMAC of the nonce keyed with the token}.
Reply proofReply(const mg_request_info* request, const std::string& token);

// [server-thread] Sends the embedded file at path (/ is /index.html); returns the status sent.
int serveAsset(mg_connection* conn, std::string_view path, std::string_view method,
               const std::string& contentSecurityPolicy);

}  // namespace companion
