#include "companion/ws_pusher.h"

#include "companion/api_routes.h"
#include "companion/http_gate.h"
#include "companion/http_guard.h"
#include "companion/status_json.h"

#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

namespace companion {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kHistoryChunkPoints = 6000;  // 10 minutes of history per message
constexpr double kSpectrumSteps = 10.0;       // 0.1 dB

// [any-thread] Little-endian stores into the overview message.
void putU32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

// [any-thread]
int16_t overviewSample(float value) {
    const float clamped = std::isfinite(value) ? std::clamp(value, -1.0f, 1.0f) : 0.0f;
    return static_cast<int16_t>(std::lround(clamped * 32767.0f));
}

// [pusher-thread] Queues, never waits for the page.
void send(WsClient& client, int opcode, const std::string& message) {
    client.outbox.enqueue(opcode, std::make_shared<const std::string>(message), Clock::now());
}

// [pusher-thread]
void pushStatus(WsPages& pages, const std::vector<std::shared_ptr<WsClient>>& targets,
                const EngineStatus& status) {
    json message = statusJson(status);
    message["type"] = "status";
    std::string text = jsonText(message);
    // An unchanged status (no plug-in, nothing moving) is not sent again.
    if (text != pages.statusText) {
        pages.statusText = std::move(text);
        ++pages.statusSequence;
    }
    for (const auto& client : targets) {
        if (client->statusSequence != pages.statusSequence) {
            send(*client, MG_WEBSOCKET_OPCODE_TEXT, pages.statusText);
            client->statusSequence = pages.statusSequence;
        }
    }
}

// [pusher-thread]
void pushHistory(ServerBackend& backend, WsClient& client, const FeedSnapshot& feed) {
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

// [pusher-thread]
void pushOverview(ServerBackend& backend, WsClient& client, uint64_t currentVersion,
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

// [pusher-thread]
void pushSpectrum(WsPages& pages, ServerBackend& backend,
                  const std::vector<std::shared_ptr<WsClient>>& targets) {
    const SpectrumBands bands = backend.spectrum();
    if (bands.centreHz != pages.bandCentres) {
        pages.bandCentres = bands.centreHz;
        ++pages.bandsVersion;
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
            client->bandsVersion == pages.bandsVersion) {
            continue;
        }
        if (client->bandsVersion != pages.bandsVersion) {
            if (withCentres.empty()) {
                json centres = message;
                centres["centreHz"] = pages.bandCentres;
                withCentres = jsonText(centres);
            }
            send(*client, MG_WEBSOCKET_OPCODE_TEXT, withCentres);
        } else {
            send(*client, MG_WEBSOCKET_OPCODE_TEXT, withoutCentres);
        }
        client->spectrumSequence = bands.sequence;
        client->bandsVersion = pages.bandsVersion;
    }
}

}  // namespace

// [any-thread]
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

// [server-thread] After the gate: one more socket only while workers remain for requests.
// The slot is taken here, not when the handshake is done, so upgrades arriving together
// cannot all pass the check; a slot whose handshake never finished lapses after a while.
int admitUpgrade(WsPages& pages, const mg_connection* conn) {
    std::lock_guard lock(pages.clientsMutex);
    const Clock::time_point now = Clock::now();
    std::erase_if(pages.handshaking,
                  [&](const auto& h) { return now - h.second > kHandshakeLapse; });
    if (pages.clients.size() + pages.handshaking.size() >= static_cast<size_t>(kMaxWebSockets)) {
        return 1;
    }
    pages.handshaking.emplace_back(conn, now);
    return 0;
}

// [server-thread] The page's worker stays here, writing what the pusher queues, until the page
// goes: civetweb reads nothing from the page meanwhile (see ws_push.h).
void serveWebSocket(WsPages& pages, mg_connection* conn, int serverPort) {
    const mg_request_info* request = mg_get_request_info(conn);
    const std::optional<PeerAddress> peer = peerAddress(request->remote_addr, request->remote_port);
    const int fd = peer ? findAcceptedSocket(static_cast<uint16_t>(serverPort), *peer) : -1;
    auto client = std::make_shared<WsClient>();
    client->conn = conn;
    {
        std::lock_guard lock(pages.clientsMutex);
        std::erase_if(pages.handshaking, [&](const auto& h) { return h.first == conn; });
        if (fd < 0 || pages.closingSockets) {
            return;  // civetweb's reading then ends it at the page's first frame
        }
        pages.clients.push_back(client);
    }
    {
        // The newcomer gets the whole overview and history at once, not at the next tick.
        std::lock_guard lock(pages.pusherMutex);
        pages.newClient = true;
        pages.pusherWake.notify_one();
    }
    client->outbox.serve(conn, fd, pages.pushed);
    std::lock_guard lock(pages.clientsMutex);
    std::erase(pages.clients, client);
}

// [server-thread]
void closeWebSocket(WsPages& pages, const mg_connection* conn) {
    std::shared_ptr<WsClient> client;
    {
        std::lock_guard lock(pages.clientsMutex);
        std::erase_if(pages.handshaking, [&](const auto& h) { return h.first == conn; });
        const auto it = std::find_if(pages.clients.begin(), pages.clients.end(),
                                     [&](const auto& c) { return c->conn == conn; });
        if (it == pages.clients.end()) {
            return;
        }
        client = *it;
        pages.clients.erase(it);
    }
    client->outbox.drop();
}

// [pusher-thread] One thread serves every WebSocket.
void runPusher(WsPages& pages, ServerBackend& backend, History* history) {
    Clock::time_point nextStatus = Clock::now();
    Clock::time_point nextSpectrum = nextStatus;
    for (;;) {
        bool idle = false;
        {
            std::lock_guard lock(pages.clientsMutex);
            idle = pages.clients.empty();
        }
        {
            std::unique_lock lock(pages.pusherMutex);
            // Without a page there is nothing to push: sleep until one connects.
            if (idle) {
                pages.pusherWake.wait(lock, [&] { return pages.stopping || pages.newClient; });
            } else {
                pages.pusherWake.wait_until(lock, std::min(nextStatus, nextSpectrum),
                                            [&] { return pages.stopping || pages.newClient; });
            }
            if (pages.stopping) {
                return;
            }
            if (pages.newClient) {
                pages.newClient = false;
                nextStatus = nextSpectrum = Clock::now();
            }
        }
        std::vector<std::shared_ptr<WsClient>> targets;
        {
            std::lock_guard lock(pages.clientsMutex);
            targets = pages.clients;
        }
        const Clock::time_point now = Clock::now();
        if (now >= nextStatus) {
            nextStatus = std::max(nextStatus + std::chrono::milliseconds(kStatusPushMs), now);
            if (!targets.empty()) {
                const EngineStatus status = statusNow(backend, history);
                pushStatus(pages, targets, status);
                const FeedSnapshot feed = backend.feed();
                std::map<std::pair<bool, uint64_t>, OverviewMessages> overviewCache;
                for (const auto& client : targets) {
                    pushHistory(backend, *client, feed);
                    pushOverview(backend, *client, status.overviewVersion, overviewCache);
                }
            }
        }
        if (now >= nextSpectrum) {
            nextSpectrum = std::max(nextSpectrum + std::chrono::milliseconds(kSpectrumPushMs), now);
            if (!targets.empty()) {
                pushSpectrum(pages, backend, targets);
            }
        }
    }
}

}  // namespace companion
