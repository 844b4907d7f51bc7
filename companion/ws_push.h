// One page's WebSocket as the pusher feeds it: the pusher queues messages and never waits; the
// page's own civetweb worker writes them out and watches the socket. A page that cannot take a
// message in time (a write unfinished after kSendDeadline, more than kMaxQueuedBytes waiting, a
// short write) is dropped, and so is one that sends anything: the page sends nothing, and
// nothing it sends is read into memory (civetweb would hold a whole frame, of any declared size,
// before handing it over).
//
// Threads: enqueue() and drop() from the pusher or stop ([server-thread]); serve() on the page's
// civetweb worker ([server-thread]), which it holds until the page goes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct mg_connection;

namespace companion {

inline constexpr std::chrono::milliseconds kSendDeadline{1000};
inline constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;  // eight whole overviews

// What the pushers handed to civetweb in full, framing not counted.
struct PushTally {
    std::atomic<uint64_t> bytes{0}, textMessages{0}, binaryMessages{0};
};

class WsOutbox {
public:
    WsOutbox();
    ~WsOutbox();
    WsOutbox(const WsOutbox&) = delete;
    WsOutbox& operator=(const WsOutbox&) = delete;

    // [server-thread] Queues a message (an opcode of civetweb's); false when the page is gone
    // or is dropped now for being too slow.
    bool enqueue(int opcode, std::shared_ptr<const std::string> message,
                 std::chrono::steady_clock::time_point now);
    // [server-thread] Ends the page's connection; serve() returns.
    void drop();
    // [server-thread] The page's worker: writes what is queued until the page goes, sends
    // anything or is dropped. fd is the connection's socket, open until this returns.
    void serve(mg_connection* conn, int fd, PushTally& tally);

private:
    struct Message {
        int opcode;
        std::shared_ptr<const std::string> text;
    };
    void dropLocked();
    void wakeServer();

    std::mutex mutex_;
    std::deque<Message> queue_;                                          // under mutex_
    size_t queuedBytes_ = 0;                                             // under mutex_
    std::optional<std::chrono::steady_clock::time_point> writingSince_;  // under mutex_
    bool dropped_ = false;                                               // under mutex_
    bool serving_ = false;  // serve() runs and its socket is open; under mutex_
    int fd_ = -1;           // under mutex_
    int wake_ = -1;         // an eventfd: something was queued or the page is dropped
};

}  // namespace companion
