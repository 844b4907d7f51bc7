#include "companion/http_guard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace companion {

namespace {

using Clock = std::chrono::steady_clock;

// The local port and the peer of a connected IPv4 socket; nothing for any other descriptor.
bool socketEnds(int fd, uint16_t& localPort, PeerAddress& peer) {
    sockaddr_in local{}, remote{};
    socklen_t localSize = sizeof local, remoteSize = sizeof remote;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        local.sin_family != AF_INET ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0 ||
        remote.sin_family != AF_INET) {
        return false;
    }
    localPort = ntohs(local.sin_port);
    peer = PeerAddress{remote.sin_addr.s_addr, ntohs(remote.sin_port)};
    return true;
}

struct Accepted {
    int fd;
    ino_t inode;
    PeerAddress peer;
};

// Every socket of this process accepted on localPort (its local end is the port; a client of
// the same process has the port at its peer's end).
std::vector<Accepted> acceptedSockets(uint16_t localPort) {
    std::vector<Accepted> out;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return out;
    }
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own) {
            continue;
        }
        struct stat st {};
        if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            continue;
        }
        uint16_t port = 0;
        PeerAddress peer;
        if (socketEnds(static_cast<int>(fd), port, peer) && port == localPort) {
            out.push_back(Accepted{static_cast<int>(fd), st.st_ino, peer});
        }
    }
    closedir(dir);
    return out;
}

// Shuts the connection down if the descriptor still is the one seen: civetweb's worker then
// reads the end at once and closes it.
void shutDown(const Accepted& socket, uint16_t localPort) {
    struct stat st {};
    uint16_t port = 0;
    PeerAddress peer;
    if (fstat(socket.fd, &st) == 0 && st.st_ino == socket.inode &&
        socketEnds(socket.fd, port, peer) && port == localPort && peer == socket.peer) {
        shutdown(socket.fd, SHUT_RDWR);
    }
}

// The owners of the client ends of loopback connections to localPort, by their address.
std::map<PeerAddress, uid_t> peerOwners(uint16_t localPort) {
    std::map<PeerAddress, uid_t> out;
    FILE* table = std::fopen("/proc/net/tcp", "re");
    if (table == nullptr) {
        return out;
    }
    char line[512];
    if (std::fgets(line, sizeof line, table) == nullptr) {  // the column names
        std::fclose(table);
        return out;
    }
    while (std::fgets(line, sizeof line, table) != nullptr) {
        unsigned slot = 0, localAddress = 0, localPortHex = 0, remoteAddress = 0, remotePortHex = 0,
                 state = 0;
        unsigned long uid = 0;
        // sl local rem st tx:rx tr:when retransmits uid ...
        if (std::sscanf(line, " %u: %8X:%4X %8X:%4X %2X %*x:%*x %*x:%*x %*x %lu", &slot,
                        &localAddress, &localPortHex, &remoteAddress, &remotePortHex, &state,
                        &uid) == 7 &&
            remotePortHex == localPort) {
            // /proc prints the address as the 32-bit value stored in memory.
            out[PeerAddress{static_cast<uint32_t>(localAddress),
                            static_cast<uint16_t>(localPortHex)}] = static_cast<uid_t>(uid);
        }
    }
    std::fclose(table);
    return out;
}

}  // namespace

std::optional<PeerAddress> peerAddress(const char* text, int port) {
    in_addr address{};
    if (text == nullptr || inet_pton(AF_INET, text, &address) != 1 || port <= 0 || port > 65535) {
        return std::nullopt;
    }
    return PeerAddress{address.s_addr, static_cast<uint16_t>(port)};
}

int findAcceptedSocket(uint16_t localPort, const PeerAddress& peer) {
    for (const Accepted& socket : acceptedSockets(localPort)) {
        if (socket.peer == peer) {
            return socket.fd;
        }
    }
    return -1;
}

std::optional<uid_t> loopbackPeerUid(uint16_t localPort, const PeerAddress& peer) {
    const std::map<PeerAddress, uid_t> owners = peerOwners(localPort);
    const auto it = owners.find(peer);
    return it == owners.end() ? std::nullopt : std::optional(it->second);
}

ConnectionGuard::~ConnectionGuard() {
    stop();
}

void ConnectionGuard::start(uint16_t port) {
    stop();
    port_ = port;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void ConnectionGuard::stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
}

void ConnectionGuard::connectionOpened() {
    std::lock_guard lock(mutex_);
    ++open_;
    wake_.notify_one();
}

void ConnectionGuard::headArrived(const PeerAddress& peer) {
    std::lock_guard lock(mutex_);
    heads_.insert(peer);
}

void ConnectionGuard::connectionClosed(const PeerAddress& peer) {
    std::lock_guard lock(mutex_);
    open_ = std::max(0, open_ - 1);
    heads_.erase(peer);
}

// [server-thread] the guard: sleeps while no connection is open (a queued one finds a worker
// free then, and its init_connection wakes us), else sweeps every kGuardPeriod.
void ConnectionGuard::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || open_ > 0; });
        if (stopping_) {
            return;
        }
        lock.unlock();
        sweep(Clock::now());
        lock.lock();
        wake_.wait_for(lock, kGuardPeriod, [&] { return stopping_; });
        if (stopping_) {
            return;
        }
    }
}

void ConnectionGuard::sweep(Clock::time_point now) {
    std::vector<Accepted> sockets = acceptedSockets(port_);
    std::set<PeerAddress> heads;
    {
        std::lock_guard lock(mutex_);
        heads = heads_;
    }
    struct Waiting {
        Accepted socket;
        Clock::time_point first;
    };
    std::vector<Waiting> waiting;
    std::map<ino_t, Seen> seen;
    for (const Accepted& socket : sockets) {
        if (heads.contains(socket.peer)) {
            continue;
        }
        const auto it = seen_.find(socket.inode);
        const Seen entry = it == seen_.end() ? Seen{now, false} : it->second;
        seen[socket.inode] = entry;
        if (!entry.shut) {
            waiting.push_back(Waiting{socket, entry.first});
        }
    }
    seen_ = std::move(seen);  // forgets the sockets gone or answered
    if (waiting.empty()) {
        return;
    }
    std::sort(waiting.begin(), waiting.end(),
              [](const Waiting& a, const Waiting& b) { return a.first < b.first; });
    const std::map<PeerAddress, uid_t> owners = peerOwners(port_);
    std::map<std::optional<uid_t>, int> perPeer;
    std::vector<bool> shut(waiting.size(), false);
    int kept = 0;
    // Newest first: a client that sends its head at once is the newest when it matters.
    for (size_t i = waiting.size(); i-- > 0;) {
        const auto owner = owners.find(waiting[i].socket.peer);
        const std::optional<uid_t> uid =
            owner == owners.end() ? std::nullopt : std::optional(owner->second);
        const bool late = now - waiting[i].first > kRequestHeadTimeout;
        if (late || perPeer[uid] >= kMaxWaitingPerPeer || kept >= kMaxWaitingTotal) {
            shut[i] = true;
            continue;
        }
        ++perPeer[uid];
        ++kept;
    }
    for (size_t i = 0; i < waiting.size(); ++i) {
        if (shut[i]) {
            shutDown(waiting[i].socket, port_);
            seen_[waiting[i].socket.inode].shut = true;
        }
    }
}

}  // namespace companion
