#include "companion/http_server.h"

#include "companion/api_routes.h"
#include "companion/history_routes.h"
#include "companion/http_gate.h"
#include "companion/http_guard.h"
#include "companion/page_routes.h"
#include "companion/token_proof.h"
#include "companion/ws_pusher.h"

#include <civetweb.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <thread>

namespace companion {

// The server composes its roles: civetweb's callbacks hand each request to the gate
// (http_gate.h), then to its routes (api_routes.h, history_routes.h, page_routes.h), and each
// WebSocket to the pusher's pages (ws_pusher.h).
struct HttpServer::Impl {
    ServerBackend& backend;
    ServerOptions options;
    mg_context* context = nullptr;
    int port = 0;
    std::string contentSecurityPolicy;

    std::thread pusher;
    WsPages pages;
    ConnectionGuard guard;

    Impl(ServerBackend& b, ServerOptions o) : backend(b), options(std::move(o)) {}

    // [server-thread] The gate every request passes, the WebSocket upgrade included.
    static int gate(mg_connection* conn, void* data) {
        const Impl& self = *static_cast<Impl*>(data);
        return passGate(conn, self.port, self.options.token);
    }

    // [server-thread] Everything that passed the gate and is not a WebSocket.
    static int handle(mg_connection* conn, void* data) {
        Impl& self = *static_cast<Impl*>(data);
        const mg_request_info* request = mg_get_request_info(conn);
        const std::string_view path = request->local_uri ? request->local_uri : "";
        const std::string_view method = request->request_method ? request->request_method : "";
        if (path == "/api/history" || path.starts_with("/api/history/")) {
            return historyRoute(self.backend, self.options.history, conn, request, path, method);
        }
        if (path == "/api" || path.starts_with("/api/")) {
            Reply reply;
            try {
                reply = apiReply(self.backend, self.options.history, conn, request, path, method);
            } catch (const BadRequest& bad) {
                reply = errorReply(400, bad.what());
            } catch (const std::exception& error) {
                reply = errorReply(500, std::string("internal error: ") + error.what());
            }
            sendReply(conn, reply);
            return reply.status;
        }
        if (path == kProofPath) {  // a page left open asks before it sends its token again
            const Reply reply = proofReply(request, self.options.token);
            sendReply(conn, reply);
            return reply.status;
        }
        return serveAsset(conn, path, method, self.contentSecurityPolicy);
    }

    // [server-thread] civetweb's WebSocket callbacks (ws_pusher.h).
    static int wsConnect(const mg_connection* conn, void* data) {
        return admitUpgrade(static_cast<Impl*>(data)->pages, conn);
    }
    static void wsReady(mg_connection* conn, void* data) {
        Impl& self = *static_cast<Impl*>(data);
        serveWebSocket(self.pages, conn, self.port);
    }
    static int wsData(mg_connection*, int, char*, size_t, void*) {
        return 0;  // the page sends nothing: any frame ends the connection
    }
    static void wsClose(const mg_connection* conn, void* data) {
        closeWebSocket(static_cast<Impl*>(data)->pages, conn);
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

    // [server-thread] civetweb's own log lines go to stderr.
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
    s.contentSecurityPolicy = pageSecurityPolicy(s.port);
    s.guard.start(static_cast<uint16_t>(s.port));
    mg_set_auth_handler(s.context, "/", &Impl::gate, &s);
    mg_set_websocket_handler(s.context, "/api/ws", &Impl::wsConnect, &Impl::wsReady, &Impl::wsData,
                             &Impl::wsClose, &s);
    mg_set_request_handler(s.context, "/", &Impl::handle, &s);
    {
        std::lock_guard lock(s.pages.pusherMutex);
        s.pages.stopping = false;
    }
    {
        std::lock_guard lock(s.pages.clientsMutex);
        s.pages.closingSockets = false;
    }
    s.pusher = std::thread([&s] { runPusher(s.pages, s.backend, s.options.history); });
    return true;
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (s.pusher.joinable()) {
        {
            std::lock_guard lock(s.pages.pusherMutex);
            s.pages.stopping = true;
            s.pages.pusherWake.notify_one();
        }
        s.pusher.join();
    }
    {
        // Every page's worker returns, so civetweb can stop.
        std::lock_guard lock(s.pages.clientsMutex);
        s.pages.closingSockets = true;
        for (const auto& client : s.pages.clients) {
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
    return PushCounters{impl_->pages.pushed.bytes.load(), impl_->pages.pushed.textMessages.load(),
                        impl_->pages.pushed.binaryMessages.load()};
}

}  // namespace companion
