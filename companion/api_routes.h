// The JSON API under /api/ (the history's routes aside, history_routes.h): the status, the ring's
// samples and the engine's commands. Every field is checked (http_gate.h) before the backend
// sees it; the backend's refusals come back with their status and line.
//
// Threads: civetweb's workers ([server-thread]); statusNow() from the pusher too.
#pragma once

#include "companion/engine.h"
#include "companion/history.h"
#include "companion/http_gate.h"
#include "companion/http_server.h"

#include <string_view>

struct mg_connection;
struct mg_request_info;

namespace companion {

// [server-thread] [pusher-thread] The engine's status; the history's error when the engine has
// none to say. history: nullptr when none is kept.
EngineStatus statusNow(ServerBackend& backend, History* history);

// [server-thread] The answer to an /api/ request past the gate. Throws BadRequest for a field
// that cannot be used (the caller answers 400); reads the body of the POST routes itself.
Reply apiReply(ServerBackend& backend, History* history, mg_connection* conn,
               const mg_request_info* request, std::string_view path, std::string_view method);

}  // namespace companion
