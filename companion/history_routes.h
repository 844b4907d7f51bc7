// The history of takes over HTTP (README.md, "The HTTP API"): /api/history lists the takes on
// disk, /api/history/ID describes or deletes one, and its actions read its samples, stream it as
// a WAV (/audio, read and sent in chunks of kAudioChunkFrames), pin it, save it or a part of it
// into the export folder, or measure it.
//
// Threads: civetweb's workers ([server-thread]).
#pragma once

#include "companion/history.h"
#include "companion/http_server.h"

#include <string_view>

struct mg_connection;
struct mg_request_info;

namespace companion {

// [server-thread] Answers /api/history and /api/history/ID[/action] past the gate, every
// refusal as JSON; returns the status sent. history: nullptr when the daemon keeps none (404).
int historyRoute(ServerBackend& backend, History* history, mg_connection* conn,
                 const mg_request_info* request, std::string_view path, std::string_view method);

}  // namespace companion
