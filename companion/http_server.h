// The daemon's HTTP and WebSocket server on 127.0.0.1 (civetweb): the page's files, the JSON API
// and the pushed status, history, spectrum and overview (README.md, "The HTTP API" and "The
// WebSocket").
//
// Every request passes one gate first: Host must name 127.0.0.1 or localhost with our port (a
// DNS-rebound name is refused), Origin, when present, must be the page's own, and every /api/
// route and the WebSocket need the token. Bodies are limited to kMaxBodyBytes and every field is
// checked before it reaches the backend.
//
// The server composes one file per role: the gate and the request fields (http_gate.h), the
// JSON API (api_routes.h), the history's routes (history_routes.h), the page's files and /proof
// (page_routes.h), the WebSockets and their pusher (ws_pusher.h).
//
// Threads: civetweb's workers ([server-thread]) serve requests, and each WebSocket's worker
// writes what one pusher thread of ours ([pusher-thread]) queues for it (ws_push.h); a guard
// thread ([server-thread]) lets go of connections that send no request (http_guard.h).
#pragma once

#include "companion/engine.h"
#include "companion/exporter.h"
#include "companion/feed_monitor.h"
#include "companion/history.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace companion {

inline constexpr size_t kMaxBodyBytes = 64 * 1024;
// Silent connections hold at most kMaxWaitingTotal workers (http_guard.h), each open WebSocket
// one: the rest are left for requests.
inline constexpr int kServerThreads = 16;
inline constexpr int kConnectionQueue = 32;  // accepted connections waiting for a worker
inline constexpr int kMaxWebSockets = 3;
// An accepted upgrade holds its slot this long while its handshake has not finished.
inline constexpr std::chrono::seconds kHandshakeLapse{5};
inline constexpr int kStatusPushMs = 40;    // status, history and overview: 25 per second
inline constexpr int kSpectrumPushMs = 50;  // 20 per second

// What the server asks of the daemon. EngineBackend (engine_backend.h) forwards to the Engine;
// tests pass a fake.
// Called from the server's threads, several at once.
struct ServerBackend {
    virtual ~ServerBackend() = default;
    virtual EngineStatus status() = 0;
    virtual uint64_t overviewChanges(uint64_t sinceVersion, std::vector<OverviewChange>& out) = 0;
    virtual FeedSnapshot feed() = 0;
    virtual uint64_t history(uint64_t from, std::vector<LoudnessPoint>& out) = 0;
    virtual SpectrumBands spectrum() = 0;

    // length: the ring fraction after which the daemon lowers the preview itself; none: until
    // stopped (or until no page has watched for a while).
    virtual Outcome preview(float start, std::optional<float> length) = 0;
    virtual Outcome stopPreview() = 0;
    virtual Outcome setHold(bool hold) = 0;
    virtual Outcome setThresholdDb(std::optional<double> dbfs) = 0;
    virtual Outcome clear() = 0;
    virtual Outcome resetMeters() = 0;
    virtual Outcome resetHold(MeterHold hold) = 0;
    virtual Outcome insert(float start, float length, int32_t track) = 0;
    // seenWritePos: the write position the stretch was chosen against, when the client says.
    virtual Outcome analyze(float start, float length, std::optional<float> seenWritePos,
                            StretchAnalysis& out) = 0;
    virtual Outcome exportStretch(float start, float length, std::optional<float> seenWritePos,
                                  const ExportSettings& settings, ExportResult& out) = 0;
    virtual Outcome saveLast(double seconds, const ExportSettings& settings, ExportResult& out) = 0;
    virtual Outcome saveTake(int index, const ExportSettings& settings, ExportResult& out) = 0;
    // Samples of the daemon's copy for the deepest zoom (at most kMaxSampleFrames).
    virtual Outcome samples(float start, float length, SampleStretch& out) = 0;
};

struct ServerOptions {
    int port = 0;                // 0: any free port (port() tells which)
    std::string token;           // the access token, as hex
    History* history = nullptr;  // the takes on disk (/api/history); nullptr: none kept
};

inline constexpr uint64_t kMaxHistorySamples = 16384;  // frames per /api/history/ID/samples
inline constexpr uint64_t kAudioChunkFrames = 65536;   // frames per read while streaming a take

// Bytes the pusher handed to civetweb since start, WebSocket framing not counted.
struct PushCounters {
    uint64_t bytes = 0;
    uint64_t textMessages = 0;
    uint64_t binaryMessages = 0;
};

class HttpServer {
public:
    HttpServer(ServerBackend& backend, ServerOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // [main-thread] Listens on 127.0.0.1 and starts the pusher. Returns false with one line in
    // error (the port is taken, civetweb lacks WebSocket support).
    bool start(std::string& error);
    // [main-thread] Stops the pusher, then civetweb (closing every WebSocket).
    void stop();
    int port() const;
    PushCounters pushCounters() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Compares a presented token with ours in time that depends only on our token's length.
bool tokenMatches(std::string_view presented, std::string_view token);

// The overview as the WebSocket carries it: a 12-byte header (type 1, flags, zero, first
// column, count; little-endian) and four i16 per column (minL, maxL, minR, maxR).
inline constexpr uint8_t kOverviewMessageType = 1;
inline constexpr uint8_t kOverviewWholeFlag = 1;
std::string overviewMessage(const OverviewChange& change, bool whole);

}  // namespace companion
