#include "companion/http_guard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace companion {

namespace {

using Clock = std::chrono::steady_clock;

// civetweb closes the silent connections its workers hold after kRequestHeadTimeout; the guard
// closes those still queued a little later, so the two never close one socket together.
constexpr std::chrono::milliseconds kQueuedLateMargin{500};

// The loopback table as far as our port goes: our accepted sockets by inode with their peers,
// and the owners of the client ends by their address. Read from /proc/net/tcp, so the guard never
// touches a descriptor civetweb may be closing meanwhile.
struct PortTable {
    std::map<ino_t, PeerAddress> accepted;
    std::set<ino_t> unread;  // accepted sockets holding bytes civetweb has not read yet
    std::map<PeerAddress, uid_t> owners;
};

PortTable portTable(uint16_t localPort) {
    constexpr unsigned kListening = 0x0A;
    PortTable out;
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
        unsigned long receiveQueue = 0, uid = 0, inode = 0;
        // sl local rem st tx:rx tr:when retransmits uid timeout inode; an address is the
        // 32-bit value as stored in memory, a port in host order, rx the bytes not yet read.
        if (std::sscanf(line, " %u: %8X:%4X %8X:%4X %2X %*x:%lx %*x:%*x %*x %lu %*d %lu", &slot,
                        &localAddress, &localPortHex, &remoteAddress, &remotePortHex, &state,
                        &receiveQueue, &uid, &inode) != 9) {
            continue;
        }
        if (localPortHex == localPort && state != kListening && inode != 0) {
            out.accepted[static_cast<ino_t>(inode)] = PeerAddress{
                static_cast<uint32_t>(remoteAddress), static_cast<uint16_t>(remotePortHex)};
            if (receiveQueue > 0) {
                out.unread.insert(static_cast<ino_t>(inode));
            }
        }
        if (remotePortHex == localPort) {
            out.owners[PeerAddress{static_cast<uint32_t>(localAddress),
                                   static_cast<uint16_t>(localPortHex)}] = static_cast<uid_t>(uid);
        }
    }
    std::fclose(table);
    return out;
}

// The socket inode a descriptor of ours refers to, from its /proc link; 0 for anything else.
ino_t socketInode(int dir, const char* name) {
    char link[64];
    const ssize_t size = readlinkat(dir, name, link, sizeof link - 1);
    if (size <= 0) {
        return 0;
    }
    link[size] = '\0';
    unsigned long inode = 0;
    return std::sscanf(link, "socket:[%lu]", &inode) == 1 ? static_cast<ino_t>(inode) : 0;
}

struct Accepted {
    int fd;
    ino_t inode;
    PeerAddress peer;
};

// Every socket of this process accepted on localPort (its local end is the port; a client of
// the same process has the port at its peer's end).
std::vector<Accepted> acceptedSockets(const PortTable& table) {
    std::vector<Accepted> out;
    if (table.accepted.empty()) {
        return out;
    }
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return out;
    }
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') {
            continue;
        }
        const auto it = table.accepted.find(socketInode(dirfd(dir), entry->d_name));
        if (it != table.accepted.end()) {
            out.push_back(Accepted{static_cast<int>(fd), it->first, it->second});
        }
    }
    closedir(dir);
    return out;
}

// Shuts the connection down if the descriptor still is the one seen: civetweb's worker then
// reads the end at once and closes it.
void shutDown(const Accepted& socket) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    const std::string name = std::to_string(socket.fd);
    if (socketInode(dirfd(dir), name.c_str()) == socket.inode) {
        shutdown(socket.fd, SHUT_RDWR);
    }
    closedir(dir);
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
    for (const Accepted& socket : acceptedSockets(portTable(localPort))) {
        if (socket.peer == peer) {
            return socket.fd;
        }
    }
    return -1;
}

std::optional<uid_t> loopbackPeerUid(uint16_t localPort, const PeerAddress& peer) {
    const std::map<PeerAddress, uid_t> owners = portTable(localPort).owners;
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
    const PortTable table = portTable(port_);
    const std::vector<Accepted> sockets = acceptedSockets(table);
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
        // Bytes waiting for a worker (a page's burst of requests queued behind busy ones) are
        // not silence; a trickle on a connection already silent does not restart its clock.
        if (table.unread.contains(socket.inode)) {
            if (it != seen_.end()) {
                seen[socket.inode] = it->second;
            }
            continue;
        }
        const Seen entry = it == seen_.end() ? Seen{now, false} : it->second;
        seen[socket.inode] = entry;
        // A worker may have read a head it has not handed on yet: silence counts after a while.
        if (!entry.shut && now - entry.first >= kSilentGrace) {
            waiting.push_back(Waiting{socket, entry.first});
        }
    }
    seen_ = std::move(seen);  // forgets the sockets gone or answered
    if (waiting.empty()) {
        return;
    }
    std::sort(waiting.begin(), waiting.end(),
              [](const Waiting& a, const Waiting& b) { return a.first < b.first; });
    const std::map<PeerAddress, uid_t>& owners = table.owners;
    std::map<std::optional<uid_t>, int> perPeer;
    std::vector<bool> shut(waiting.size(), false);
    int kept = 0;
    // Newest first: a client that sends its head at once is the newest when it matters.
    for (size_t i = waiting.size(); i-- > 0;) {
        const auto owner = owners.find(waiting[i].socket.peer);
        const std::optional<uid_t> uid =
            owner == owners.end() ? std::nullopt : std::optional(owner->second);
        const bool late = now - waiting[i].first > kRequestHeadTimeout + kQueuedLateMargin;
        if (late || perPeer[uid] >= kMaxWaitingPerPeer || kept >= kMaxWaitingTotal) {
            shut[i] = true;
            continue;
        }
        ++perPeer[uid];
        ++kept;
    }
    for (size_t i = 0; i < waiting.size(); ++i) {
        if (shut[i]) {
            shutDown(waiting[i].socket);
            seen_[waiting[i].socket.inode].shut = true;
        }
    }
}

}  // namespace companion
