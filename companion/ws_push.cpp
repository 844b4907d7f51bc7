#include "companion/ws_push.h"

#include <civetweb.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace companion {

namespace {
constexpr size_t kMaxDrainedBytes = 16 * 1024 * 1024;  // more than a socket's receive buffer
}  // namespace

WsOutbox::WsOutbox() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WsOutbox::~WsOutbox() {
    if (wake_ >= 0) {
        close(wake_);
    }
}

void WsOutbox::wakeServer() {
    const uint64_t one = 1;
    if (wake_ >= 0) {
        [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);  // full: awake anyway
    }
}

void WsOutbox::dropLocked() {
    if (!dropped_ && serving_ && fd_ >= 0) {
        // Ends a write in progress and civetweb's reading afterwards; the socket stays open
        // (civetweb closes it after serve() returns), so fd_ is still this connection.
        shutdown(fd_, SHUT_RDWR);
    }
    dropped_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    wakeServer();
}

void WsOutbox::drop() {
    std::lock_guard lock(mutex_);
    dropLocked();
}

bool WsOutbox::enqueue(int opcode, std::shared_ptr<const std::string> message,
                       std::chrono::steady_clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (dropped_) {
        return false;
    }
    const bool stuck = writingSince_ && now - *writingSince_ > kSendDeadline;
    if (stuck || queuedBytes_ + message->size() > kMaxQueuedBytes) {
        dropLocked();
        return false;
    }
    queuedBytes_ += message->size();
    queue_.push_back(Message{opcode, std::move(message)});
    wakeServer();
    return true;
}

void WsOutbox::serve(mg_connection* conn, int fd, PushTally& tally) {
    std::unique_lock lock(mutex_);
    fd_ = fd;
    serving_ = true;
    while (!dropped_) {
        if (!queue_.empty()) {
            const Message message = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= message.text->size();
            writingSince_ = std::chrono::steady_clock::now();
            lock.unlock();
            // civetweb returns what it wrote of the payload: less is a page that stopped taking.
            const int written = mg_websocket_write(conn, message.opcode, message.text->data(),
                                                   message.text->size());
            lock.lock();
            writingSince_.reset();
            if (written < 0 || static_cast<size_t>(written) != message.text->size()) {
                dropLocked();
                break;
            }
            tally.bytes.fetch_add(message.text->size(), std::memory_order_relaxed);
            (message.opcode == MG_WEBSOCKET_OPCODE_TEXT ? tally.textMessages : tally.binaryMessages)
                .fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        lock.unlock();
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int ready = poll(watched, 2, -1);
        lock.lock();
        if (ready < 0) {
            continue;  // a signal
        }
        if (watched[0].revents != 0) {
            // Bytes from the page (a close frame included) or its end: either way it goes.
            dropLocked();
            break;
        }
        if (watched[1].revents != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
        }
    }
    serving_ = false;
    lock.unlock();
    // What the page sent is discarded here, so civetweb, reading after we return, finds the end
    // and nothing it would buffer (a declared frame size is allocated whole).
    char sink[16384];
    for (size_t drained = 0; drained < kMaxDrainedBytes;) {
        const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        drained += static_cast<size_t>(n);
    }
}

}  // namespace companion
