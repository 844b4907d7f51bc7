// Raw HTTP and WebSocket over loopback for the tests that start the daemon's server: requests go
// out byte for byte as written (so a test can forge Host and Origin or break the head), answers
// are read until the server closes, server frames (RFC 6455) as they come.
#pragma once

#include "fake_backend.h"

#include "companion/http_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace companion::testing {

inline const std::string kToken(64, 'a');
inline constexpr int kReceiveTimeoutSeconds = 5;

// A TCP socket connected to 127.0.0.1:port whose reads give up after receiveTimeoutSeconds.
// receiveBufferBytes > 0 shrinks its receive buffer; owner: created as that local user, when we
// may (the socket's owner is the creating thread's fsuid).
inline int connectLoopback(int port, int receiveTimeoutSeconds = kReceiveTimeoutSeconds,
                           int receiveBufferBytes = 0, std::optional<uid_t> owner = {}) {
    if (owner) {
        syscall(SYS_setfsuid, *owner);
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (owner) {
        syscall(SYS_setfsuid, 0);
    }
    timeval timeout{receiveTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (receiveBufferBytes > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

struct Answer {
    int status = 0;  // 0: no answer head came
    std::string headers, body;
    double seconds = 0.0;  // from connecting to the answer's first byte (or the close)
    ssize_t sent = 0;      // what send() took of the request
};

struct RoundTripOptions {
    int receiveTimeoutSeconds = kReceiveTimeoutSeconds;
    bool halfClose = false;  // shut our side down after the request: the sender stopped
};

// Sends the request as written on a new connection and reads until the server closes.
inline Answer roundTrip(int port, const std::string& request, RoundTripOptions options = {}) {
    using Clock = std::chrono::steady_clock;
    const auto secondsSince = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    const Clock::time_point start = Clock::now();
    const int fd = connectLoopback(port, options.receiveTimeoutSeconds);
    Answer answer;
    answer.sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (options.halfClose) {
        shutdown(fd, SHUT_WR);
    }
    std::string raw;
    char buffer[65536];
    ssize_t n;
    double firstByteSeconds = 0.0;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        if (raw.empty()) {
            firstByteSeconds = secondsSince(start);
        }
        raw.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    answer.seconds = raw.empty() ? secondsSince(start) : firstByteSeconds;
    const size_t end = raw.find("\r\n\r\n");
    if (end != std::string::npos) {
        std::sscanf(raw.c_str(), "HTTP/%*d.%*d %d", &answer.status);
        answer.headers = raw.substr(0, end + 2);
        answer.body = raw.substr(end + 4);
    }
    return answer;
}

// A request head to our server with the bearer token, without its closing empty line; extra:
// more header lines, each ending in CRLF.
inline std::string bearerHead(int port, const std::string& method, const std::string& path,
                              const std::string& extra = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nAuthorization: Bearer " + kToken + "\r\n" + extra;
}

// One request with the bearer token and a body (which may be empty).
inline Answer bearerRequest(int port, const std::string& method, const std::string& path,
                            const std::string& body = "", RoundTripOptions options = {}) {
    return roundTrip(port,
                     bearerHead(port, method, path) +
                         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                     options);
}

// ---- WebSocket ------------------------------------------------------------------------------

struct Frame {
    int opcode = -1;  // -1: the socket ended
    std::string payload;
};

inline bool readExactly(int fd, char* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = recv(fd, out + got, size - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// One unmasked server frame; what it took on the wire is added to wireBytes when given.
inline Frame readFrame(int fd, size_t* wireBytes = nullptr) {
    unsigned char bytes[8];
    Frame frame;
    if (!readExactly(fd, reinterpret_cast<char*>(bytes), 2)) {
        return frame;
    }
    const int opcode = bytes[0] & 0x0F;
    uint64_t length = bytes[1] & 0x7F;
    const size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (extra > 0) {
        if (!readExactly(fd, reinterpret_cast<char*>(bytes), extra)) {
            return frame;
        }
        length = 0;
        for (size_t i = 0; i < extra; ++i) {
            length = (length << 8) | bytes[i];
        }
    }
    frame.payload.resize(length);
    if (readExactly(fd, frame.payload.data(), length)) {
        frame.opcode = opcode;
        if (wireBytes != nullptr) {
            *wireBytes += 2 + extra + length;
        }
    }
    return frame;
}

// Asks for an upgrade at target ("/api/ws?token=...") on a new connection; extra: more header
// lines. The answer's status goes into status; the socket is returned open.
inline int openWebSocket(int port, const std::string& target, const std::string& extra, int& status,
                         int receiveTimeoutSeconds = kReceiveTimeoutSeconds,
                         int receiveBufferBytes = 0) {
    const int fd = connectLoopback(port, receiveTimeoutSeconds, receiveBufferBytes);
    const std::string request = "GET " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                                "Sec-WebSocket-Version: 13\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
                                extra + "\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) {
        head += c;
    }
    status = 0;
    std::sscanf(head.c_str(), "HTTP/1.1 %d", &status);
    return fd;
}

// ---- Setup ----------------------------------------------------------------------------------

// The server on a free loopback port with the fake engine behind it and kToken as its token.
class FakeServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        port = server.port();
        ASSERT_GT(port, 0);
    }
    FakeBackend backend;
    HttpServer server{backend, ServerOptions{0, kToken}};
    int port = 0;
};

}  // namespace companion::testing
