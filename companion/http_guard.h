// Keeps the server's workers for requests that arrive: connections that send no request head are
// let go. civetweb hands each accepted connection to one worker, which then waits for its head;
// silent sockets from any local user could otherwise hold every worker (and fill the queue behind
// them). The guard looks at the server's accepted sockets while any are open and shuts down the
// silent ones: no head handled and nothing unread, for kSilentGrace at least. Those go after
// kRequestHeadTimeout, and at once the oldest beyond kMaxWaitingPerPeer of one peer (a peer is
// the local user owning the other end: on loopback every address is the same) and the oldest
// beyond kMaxWaitingTotal of all. A request sent in full is never cut, however long it queues.
//
// Threads: the callbacks come from civetweb's workers ([server-thread]); the guard runs one
// thread of its own ([server-thread], the guard).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace companion {

// How long a connection may take to send its request head (and a request its body, and a page
// to take an answer or a pushed message: civetweb's request timeout).
inline constexpr std::chrono::milliseconds kRequestHeadTimeout{2000};
// Connections of one peer, and of all, that may wait for their head at once.
inline constexpr int kMaxWaitingPerPeer = 4;
inline constexpr int kMaxWaitingTotal = 8;
inline constexpr std::chrono::milliseconds kGuardPeriod{100};
// How long a connection must stay silent before it counts: a browser's connections send their
// heads at once, but a loaded machine may leave one unparsed for a while.
inline constexpr std::chrono::milliseconds kSilentGrace{250};

// The other end of an accepted IPv4 connection: its address as stored in a sockaddr_in (network
// order) and its port (host order).
struct PeerAddress {
    uint32_t address = 0;
    uint16_t port = 0;
    auto operator<=>(const PeerAddress&) const = default;
};

// [any-thread] Parses civetweb's remote address text ("127.0.0.1") and port.
std::optional<PeerAddress> peerAddress(const char* text, int port);

// [any-thread] The descriptor of the connection accepted on localPort from peer, or -1. The
// descriptor stays ours only while its connection is known to be open.
int findAcceptedSocket(uint16_t localPort, const PeerAddress& peer);

// [any-thread] The user owning the peer's end of a loopback connection to localPort, from
// /proc/net/tcp; nothing when it cannot be told.
std::optional<uid_t> loopbackPeerUid(uint16_t localPort, const PeerAddress& peer);

class ConnectionGuard {
public:
    ConnectionGuard() = default;
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // [main-thread] Watches the connections accepted on port.
    void start(uint16_t port);
    // [main-thread] Stops the guard's thread.
    void stop();

    // [server-thread] civetweb's init_connection: a worker took a new connection.
    void connectionOpened();
    // [server-thread] civetweb's begin_request: the connection's head has arrived.
    void headArrived(const PeerAddress& peer);
    // [server-thread] civetweb's connection_closed.
    void connectionClosed(const PeerAddress& peer);

private:
    void run();
    void sweep(std::chrono::steady_clock::time_point now);

    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;        // under mutex_
    int open_ = 0;                 // connections a worker took, not closed yet; under mutex_
    std::set<PeerAddress> heads_;  // connections whose head arrived; under mutex_

    // The guard thread's own: when each waiting socket (by inode) was first seen, and the ones
    // already shut down.
    struct Seen {
        std::chrono::steady_clock::time_point first;
        bool shut = false;
    };
    std::map<ino_t, Seen> seen_;
};

}  // namespace companion
