// libFuzzer harness over the daemon's HTTP server: each input is one request, sent over loopback
// to the real server (civetweb's parsing, the gate, the routes and their field checks) with the
// tests' fake engine behind it. Half the inputs are raw bytes; the others are shaped like the
// requests the server meets (a method, a route, Host, Origin, the token or not, a Content-Length
// that may lie, any body), so the fuzzer gets past the gate. After every request the harness checks
// what must always hold:
//   - an answer is HTTP, and every refusal (status 400 and up) is a JSON object with an "error"
//     string, whoever refused (civetweb or the server);
//   - no route reaches the engine without the token;
//   - the server still answers a plain request afterwards.
// The sanitizers report anything else (memory errors, undefined behaviour).
#include "fake_backend.h"

#include "companion/http_server.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const std::string kToken(64, 'f');

[[noreturn]] void fail(const char* what, const std::string& answer) {
    std::fprintf(stderr, "tessarin_http_fuzz: %s\n%.2000s\n", what, answer.c_str());
    std::abort();  // libFuzzer saves the input as a crash
}

// The server and its fake engine, started once for the whole run.
struct Harness {
    companion::testing::FakeBackend backend;
    companion::HttpServer server{backend, companion::ServerOptions{0, kToken}};
    int port = 0;
    Harness() {
        std::string error;
        if (!server.start(error)) {
            std::fprintf(stderr, "tessarin_http_fuzz: %s\n", error.c_str());
            std::exit(1);
        }
        port = server.port();
    }
};

Harness& harness() {
    static Harness instance;
    return instance;
}

// Sends the request, ends our side and reads the answer until the server closes.
std::string sendRequest(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;  // the server may refuse before reading everything
            }
            sent += static_cast<size_t>(n);
        }
        shutdown(fd, SHUT_WR);
        char buffer[16384];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return answer;
}

int statusOf(const std::string& answer) {
    int status = 0;
    return std::sscanf(answer.c_str(), "HTTP/1.%*d %d", &status) == 1 ? status : -1;
}

void checkAnswer(const std::string& answer) {
    if (answer.empty()) {
        return;  // a head that never ended: closed without an answer
    }
    const int status = statusOf(answer);
    if (status < 100 || status > 599) {
        fail("the answer is not HTTP", answer);
    }
    const size_t end = answer.find("\r\n\r\n");
    if (status >= 400 && end != std::string::npos) {
        const nlohmann::json body = nlohmann::json::parse(answer.substr(end + 4), nullptr, false);
        if (!body.is_object() || !body.contains("error") || !body["error"].is_string()) {
            fail("a refusal that is not JSON with an error", answer);
        }
    }
}

constexpr const char* kMethods[] = {"GET", "POST", "OPTIONS", "PUT", "HEAD", "DELETE"};
constexpr const char* kPaths[] = {"/api/status",
                                  "/api/preview",
                                  "/api/preview/stop",
                                  "/api/hold",
                                  "/api/threshold",
                                  "/api/clear",
                                  "/api/reset-meters",
                                  "/api/analyze",
                                  "/api/export",
                                  "/api/save-last",
                                  "/api/save-take",
                                  "/api/insert",
                                  "/",
                                  "/index.html",
                                  "/api",
                                  "/api/nothing",
                                  "/js/connection.js"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = harness();
    const std::string port = std::to_string(h.port);
    FuzzedDataProvider in(data, size);
    const int callsBefore = h.backend.calls();
    bool tokenGiven = true;  // raw bytes might hold it
    std::string request;
    if (in.ConsumeBool()) {
        request = in.ConsumeRemainingBytesAsString();
    } else {
        const uint8_t shape = in.ConsumeIntegral<uint8_t>();
        std::string path = in.PickValueInArray(kPaths);
        const bool bearer = shape & 1, queryToken = shape & 2;
        tokenGiven = bearer || queryToken;
        if (queryToken) {
            path += "?token=" + kToken;
        } else if (shape & 4) {
            path += "?" + in.ConsumeRandomLengthString(64);
        }
        request = std::string(in.PickValueInArray(kMethods)) + " " + path + " HTTP/1.1\r\n";
        switch ((shape >> 3) & 3) {
        case 0:
            request += "Host: 127.0.0.1:" + port + "\r\n";
            break;
        case 1:
            request += "Host: localhost:" + port + "\r\n";
            break;
        case 2:
            request += "Host: " + in.ConsumeRandomLengthString(64) + "\r\n";
            break;
        default:
            break;  // no Host
        }
        if (shape & 32) {
            request +=
                "Origin: " +
                (in.ConsumeBool() ? "http://127.0.0.1:" + port : in.ConsumeRandomLengthString(64)) +
                "\r\n";
        }
        if (bearer) {
            request += "Authorization: Bearer " + kToken + "\r\n";
        } else if (shape & 64) {
            request += "Authorization: " + in.ConsumeRandomLengthString(80) + "\r\n";
        }
        const std::string lengthText = in.ConsumeRandomLengthString(12);
        const std::string body = in.ConsumeRemainingBytesAsString();
        if (shape & 128) {
            request += "Content-Length: " + lengthText + "\r\n";  // may lie
        } else {
            request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        }
        request += "\r\n" + body;
    }
    const std::string answer = sendRequest(h.port, request);
    checkAnswer(answer);
    if (!tokenGiven && h.backend.calls() != callsBefore) {
        fail("a route reached the engine without the token", answer);
    }
    // The server still serves.
    const std::string status =
        sendRequest(h.port, "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nAuthorization: Bearer " + kToken + "\r\n\r\n");
    if (statusOf(status) != 200) {
        fail("the server stopped answering", status);
    }
    return 0;
}
