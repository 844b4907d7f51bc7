// The pages' WebSockets (/api/ws) and the one pusher thread that feeds them all (README.md, "The
// WebSocket"): the status and loudness history 25 times a second, the spectrum 20 times, the
// overview's changed columns. A newcomer gets the whole overview and history at once; after that
// each page gets only what changed since it was last sent. Texts are built once per tick for
// every page; each page's own queue and writer are in ws_push.h.
//
// Threads: the upgrade callbacks on civetweb's workers ([server-thread]), the page's worker then
// held by serveWebSocket() until the page goes; runPusher() on the pusher ([pusher-thread]).
#pragma once

#include "companion/history.h"
#include "companion/http_server.h"
#include "companion/ws_push.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct mg_connection;

namespace companion {

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

// The open pages, the upgrades on their way and the pusher's wake-ups.
struct WsPages {
    std::mutex clientsMutex;
    std::vector<std::shared_ptr<WsClient>> clients;  // under clientsMutex
    // Upgrades accepted whose handshake is not done yet, with when they were accepted; under
    // clientsMutex.
    std::vector<std::pair<const mg_connection*, std::chrono::steady_clock::time_point>> handshaking;

    std::mutex pusherMutex;
    std::condition_variable pusherWake;
    bool stopping = false;        // under pusherMutex
    bool newClient = false;       // under pusherMutex
    bool closingSockets = false;  // under clientsMutex: stop() ends every page

    PushTally pushed;

    // The pusher's shared state: texts built once per tick for every client.
    std::string statusText;
    uint64_t statusSequence = 0;
    std::vector<float> bandCentres;
    uint64_t bandsVersion = 0;
};

// [server-thread] civetweb's connect callback, after the gate: one more socket only while
// workers remain for requests (0 accepts the upgrade, 1 refuses it).
int admitUpgrade(WsPages& pages, const mg_connection* conn);

// [server-thread] civetweb's ready callback: the page's worker stays here, writing what the
// pusher queues, until the page goes. serverPort finds the page's socket (http_guard.h).
void serveWebSocket(WsPages& pages, mg_connection* conn, int serverPort);

// [server-thread] civetweb's close callback: forgets the page and ends its writer.
void closeWebSocket(WsPages& pages, const mg_connection* conn);

// [pusher-thread] Pushes to every open page until pages.stopping is set; sleeps while none is
// open. history: for the status's history error, nullptr when none is kept.
void runPusher(WsPages& pages, ServerBackend& backend, History* history);

}  // namespace companion
