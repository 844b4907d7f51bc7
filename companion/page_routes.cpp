#include "companion/page_routes.h"

#include "companion/token_proof.h"
#include "companion/web_assets.h"

#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <cstring>

namespace companion {

using json = nlohmann::json;

namespace {

// [any-thread] The embedded file at path, or nullptr.
const WebAsset* findAsset(std::string_view path) {
    for (size_t i = 0; i < kWebAssetCount; ++i) {
        if (path == kWebAssets[i].path) {
            return &kWebAssets[i];
        }
    }
    return nullptr;
}

}  // namespace

std::string pageSecurityPolicy(int port) {
    const std::string p = std::to_string(port);
    return "default-src 'self'; connect-src 'self' ws://127.0.0.1:" + p + " ws://localhost:" + p +
           "; img-src 'self' data: blob:; style-src 'self'; "
           "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
}

// [server-thread] GET /proof?nonce=HEX: {"proof": HMAC of the nonce keyed with the token}.
Reply proofReply(const mg_request_info* request, const std::string& token) {
    char nonce[kMaxNonceChars + 2] = {};
    const char* query = request->query_string ? request->query_string : "";
    if (mg_get_var(query, std::strlen(query), "nonce", nonce, sizeof nonce) < 0 ||
        !wellFormedNonce(nonce)) {
        return errorReply(400, "\"nonce\" must be 16 to 128 lowercase hex digits");
    }
    return Reply{200, json{{"proof", tokenProof(token, nonce)}}};
}

// [server-thread]
int serveAsset(mg_connection* conn, std::string_view path, std::string_view method,
               const std::string& contentSecurityPolicy) {
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

}  // namespace companion
