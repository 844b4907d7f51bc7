// The daemon's server over real loopback HTTP, with a fake engine behind it: the gate (Host,
// Origin, token), field checks, answers, and the WebSocket's pushed data and bandwidth. A raw
// socket client lets the tests forge Host and Origin as a hostile page or a rebound name would.
#include "loopback_http.h"

#include "companion/http_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>

namespace {

using companion::testing::Answer;
using companion::testing::Frame;
using companion::testing::kToken;
using companion::testing::readFrame;
using companion::testing::roundTrip;
using nlohmann::json;

struct Request {
    std::string method = "GET", path = "/api/status", body;
    std::string host;   // empty: 127.0.0.1:PORT
    std::string extra;  // more header lines
    bool bearer = true;
};

Request httpGet(const std::string& path, bool bearer = true, const std::string& host = "",
                const std::string& extra = "") {
    Request r;
    r.path = path;
    r.bearer = bearer;
    r.host = host;
    r.extra = extra;
    return r;
}

Answer call(int port, const Request& r) {
    std::string text = r.method + " " + r.path + " HTTP/1.1\r\nHost: " +
                       (r.host.empty() ? "127.0.0.1:" + std::to_string(port) : r.host) + "\r\n" +
                       (r.bearer ? "Authorization: Bearer " + kToken + "\r\n" : "") + r.extra +
                       "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n" + r.body;
    const Answer answer = roundTrip(port, text);
    EXPECT_EQ(answer.sent, static_cast<ssize_t>(text.size()));
    return answer;
}

Answer post(int port, const std::string& path, const std::string& body) {
    Request r = httpGet(path);
    r.method = "POST";
    r.body = body;
    return call(port, r);
}

class ServerTest : public companion::testing::FakeServerTest {};

TEST_F(ServerTest, GateRefusesForeignHostsOriginsAndMissingTokens) {
    const std::string p = std::to_string(port);
    const std::string wrongToken = std::string(63, 'a') + "b";
    struct Case {
        const char* what;
        Request request;
        int status;
    };
    const std::string status = "/api/status";
    const Case cases[] = {
        {"bearer token", httpGet(status), 200},
        {"no token", httpGet(status, false), 401},
        {"wrong bearer", httpGet(status, false, "", "Authorization: Bearer " + wrongToken + "\r\n"),
         401},
        {"token prefix", httpGet(status + "?token=" + kToken.substr(0, 32), false), 401},
        {"query token", httpGet(status + "?token=" + kToken, false), 200},
        {"cookie", httpGet(status, false, "", "Cookie: a=b; tessarin_token=" + kToken + "\r\n"),
         401},  // every local port would see a cookie of 127.0.0.1
        {"localhost", httpGet(status, true, "LocalHost:" + p), 200},
        {"rebound name", httpGet(status, true, "evil.example:" + p), 403},
        {"other port", httpGet(status, true, "127.0.0.1:1"), 403},
        {"no port", httpGet(status, true, "127.0.0.1"), 403},
        {"own origin", httpGet(status, true, "", "Origin: http://localhost:" + p + "\r\n"), 200},
        {"foreign origin", httpGet(status, true, "", "Origin: http://evil.example\r\n"), 403},
        {"opaque origin", httpGet(status, true, "", "Origin: null\r\n"), 403},
        {"asset without token", httpGet("/index.html", false), 200},
        {"asset, rebound name", httpGet("/", false, "evil.example:" + p), 403},
        {"unknown route", httpGet("/api/nothing"), 404},
        {"unknown route, no token", httpGet("/api/nothing", false), 401},
    };
    for (const Case& c : cases) {
        const Answer answer = call(port, c.request);
        EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body;
        EXPECT_EQ(answer.headers.find("Access-Control-"), std::string::npos) << c.what;
        EXPECT_NE(answer.headers.find("X-Content-Type-Options: nosniff"), std::string::npos);
        if (c.status >= 400) {
            EXPECT_TRUE(json::parse(answer.body).at("error").is_string()) << c.what;
        }
    }
    EXPECT_EQ(backend.calls(), 0);

    // The page: its address carries the token; it is never handed out as a cookie.
    const Answer page = call(port, httpGet("/?token=" + kToken, false));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.find("Set-Cookie"), std::string::npos);
    EXPECT_NE(page.headers.find("Content-Security-Policy: default-src 'self'; connect-src 'self' "
                                "ws://127.0.0.1:" +
                                p + " ws://localhost:" + p),
              std::string::npos);
    const Answer wrong = call(port, httpGet("/?token=" + wrongToken, false));
    EXPECT_EQ(wrong.status, 200);
    EXPECT_EQ(wrong.headers.find("Set-Cookie"), std::string::npos);
}

TEST_F(ServerTest, StatusCarriesNullsNeverNanOrPlaceholders) {
    const Answer answer = call(port, httpGet("/api/status"));
    ASSERT_EQ(answer.status, 200);
    EXPECT_NE(answer.headers.find("Cache-Control: no-store"), std::string::npos);
    EXPECT_EQ(answer.body.find("NaN"), std::string::npos);
    const json s = json::parse(answer.body);
    EXPECT_EQ(s["state"], "live");
    EXPECT_EQ(s["sampleRate"], 48000);
    EXPECT_TRUE(s["capturedRate"].is_null());
    EXPECT_DOUBLE_EQ(s["thresholdDb"].get<double>(), -72.04);  // 20 log10(2.5e-4) = -72.0412
    EXPECT_TRUE(s["meters"]["lra"].is_null());
    EXPECT_TRUE(s["preview"]["playhead"].is_null());
    EXPECT_TRUE(s["takes"][1]["wallClock"].is_null());
    EXPECT_EQ(s["takes"][0]["wallClock"], 1796803387000);
    EXPECT_DOUBLE_EQ(s["takes"][0]["start"].get<double>(), 0.01);
}

TEST_F(ServerTest, BadFieldsAreRefusedBeforeTheEngine) {
    struct Case {
        const char* path;
        std::string body;
        int status;
    };
    const Case cases[] = {
        {"/api/preview", "{}", 400},
        {"/api/preview", R"({"start": 1.5})", 400},
        {"/api/preview", R"({"start": -0.1})", 400},
        {"/api/preview", R"({"start": "0.5"})", 400},
        {"/api/preview", "start=0.5", 400},
        {"/api/preview", "[0.5]", 400},
        {"/api/preview", R"({"start": 0.5, "length": 0})", 400},
        {"/api/preview", R"({"start": 0.5, "length": "0.1"})", 400},
        {"/api/analyze", R"({"start": 0.5, "length": 0})", 400},
        {"/api/analyze", R"({"start": 0.5, "length": 1e999})", 400},
        {"/api/export", R"({"start": 0, "length": 0.5, "format": "mp3"})", 400},
        {"/api/export", R"({"start": 0, "length": 0.5, "normalize": {"mode": "loudness"}})", 400},
        {"/api/export",
         R"({"start": 0, "length": 0.5, "normalize": {"mode": "peak", "target": 3}})", 400},
        {"/api/save-last", R"({"seconds": 0})", 400},
        {"/api/save-last", R"({"seconds": -5, "format": "wav16"})", 400},
        {"/api/save-take", R"({"take": 1.5})", 400},
        {"/api/hold", R"({"hold": 1})", 400},
        {"/api/reset-meters", R"({"hold": "samplePeak"})", 400},
        {"/api/reset-meters", R"({"hold": 2})", 400},
        {"/api/threshold", R"({"dbfs": -130})", 400},
        {"/api/threshold", "{}", 400},
        {"/api/insert", R"({"start": 0.1, "length": 0.2, "track": 1e10})", 400},
        {"/api/save-last", R"({"seconds": 5, "pad": ")" + std::string(70000, 'x') + "\"}", 413},
    };
    for (const Case& c : cases) {
        const Answer answer = post(port, c.path, c.body);
        EXPECT_EQ(answer.status, c.status) << c.path << " " << c.body.substr(0, 80);
        if (answer.status == 400) {
            const json error = json::parse(answer.body);
            EXPECT_EQ(error.size(), 1u);
            EXPECT_EQ(error["error"].get<std::string>().find('\n'), std::string::npos);
        }
    }
    EXPECT_EQ(backend.calls(), 0);
    EXPECT_EQ(call(port, httpGet("/api/preview")).status, 405);
    for (const char* query : {"", "?start=0.1", "?start=0.1&length=0", "?start=x&length=0.1",
                              "?start=0.1&length=1.5", "?start=nan&length=0.1"})
        EXPECT_EQ(call(port, httpGet(std::string("/api/samples") + query)).status, 400) << query;
    EXPECT_EQ(backend.calls(), 0);
}

TEST_F(ServerTest, PreviewLengthAndSamplesReachTheEngine) {
    ASSERT_EQ(post(port, "/api/preview", R"({"start": 0.25})").status, 200);
    EXPECT_EQ(backend.last().length, -1.0f);  // the old body: no length, plays until stopped
    ASSERT_EQ(post(port, "/api/preview", R"({"start": 0.25, "length": 0.125})").status, 200);
    EXPECT_EQ(backend.last().length, 0.125f);

    const Answer answer = call(port, httpGet("/api/samples?start=0.5&length=0.001"));
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(backend.last().route, "samples");
    EXPECT_EQ(backend.last().start, 0.5f);
    EXPECT_EQ(backend.last().length, 0.001f);
    const json samples = json::parse(answer.body);
    EXPECT_EQ(samples["rate"], 48000);
    EXPECT_EQ(samples["frames"], 2);
    EXPECT_EQ(samples["left"][1].get<float>(), -0.25f);
    EXPECT_EQ(samples["right"][0].get<float>(), 0.125f);
}

TEST_F(ServerTest, GoodRequestsReachTheEngineWithTheirValues) {
    Answer answer = post(port, "/api/export",
                         R"({"start": 0.75, "length": 0.5, "format": "flac24",
                             "normalize": {"mode": "loudness", "target": -16}})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    companion::testing::RecordedCall last = backend.last();
    EXPECT_EQ(last.route, "export");
    EXPECT_FLOAT_EQ(last.start, 0.75f);
    EXPECT_FLOAT_EQ(last.length, 0.5f);
    EXPECT_EQ(last.settings.format, companion::ExportFormat::flac24);
    EXPECT_EQ(last.settings.normalize, companion::NormalizeMode::loudness);
    EXPECT_DOUBLE_EQ(last.settings.targetDb, -16.0);
    const json result = json::parse(answer.body);
    EXPECT_EQ(result["path"], backend.exportPath.string());
    EXPECT_EQ(result["name"], "tessarin_2026-01-01_12-00-00.flac");
    EXPECT_EQ(result["uri"], "file:///tmp/take%20folder/tessarin_2026-01-01_12-00-00.flac");
    EXPECT_EQ(result["format"], "flac24");
    EXPECT_DOUBLE_EQ(result["gainDb"].get<double>(), 1.23);

    ASSERT_EQ(post(port, "/api/threshold", R"({"dbfs": null})").status, 200);
    EXPECT_FALSE(backend.last().thresholdDb.has_value());
    ASSERT_EQ(post(port, "/api/save-take", R"({"normalize": {"mode": "peak"}})").status, 200);
    last = backend.last();
    EXPECT_EQ(last.take, -1);
    EXPECT_EQ(last.settings.normalize, companion::NormalizeMode::peak);
    EXPECT_DOUBLE_EQ(last.settings.targetDb, -1.0);
    ASSERT_EQ(post(port, "/api/reset-meters", R"({"hold": "rmsMax"})").status, 200);
    EXPECT_EQ(backend.last().route, "reset-hold");
    EXPECT_EQ(backend.last().meterHold, static_cast<int>(companion::MeterHold::rmsMax));
    ASSERT_EQ(post(port, "/api/reset-meters", R"({"hold": null})").status, 200);
    EXPECT_EQ(backend.last().route, "reset-meters");
    ASSERT_EQ(post(port, "/api/insert", R"({"start": 1, "length": 1})").status, 200);
    EXPECT_EQ(backend.last().start, 0.0f);  // the ring's end is its start
    EXPECT_EQ(backend.last().track, 0);

    answer = post(port, "/api/analyze", R"({"start": 0, "length": 0.01})");
    const json analysis = json::parse(answer.body);
    EXPECT_DOUBLE_EQ(analysis["integrated"].get<double>(), -23.0);
    EXPECT_TRUE(analysis["lra"].is_null());

    // The engine's refusal comes back with its status and its line.
    backend.outcome = companion::Outcome::failure(409, "no plug-in is live");
    answer = post(port, "/api/save-last", R"({"seconds": 30})");
    EXPECT_EQ(answer.status, 409);
    EXPECT_EQ(json::parse(answer.body), json({{"error", "no plug-in is live"}}));
    EXPECT_DOUBLE_EQ(backend.last().seconds, 30.0);
}

TEST_F(ServerTest, RequestsChosenOnAnotherRingOrTakeDoNothing) {
    // The fake's ring is generation 0 and its takes start at 0.01 and 0.1.
    const int calls = backend.calls();
    for (const auto& [route, body] : std::vector<std::pair<std::string, std::string>>{
             {"/api/export", R"({"start": 0.1, "length": 0.1, "generation": 3})"},
             {"/api/analyze", R"({"start": 0.1, "length": 0.1, "generation": 3})"},
             {"/api/insert", R"({"start": 0.1, "length": 0.1, "generation": 3})"},
             {"/api/save-take", R"({"take": 1, "generation": 3})"},
             {"/api/save-take", R"({"take": 0, "start": 0.1})"},  // take 1 moved to index 0
             {"/api/save-take", R"({"take": 2, "start": 0.1})"}}) {
        const Answer answer = post(port, route, body);
        EXPECT_EQ(answer.status, 409) << route << " " << body;
        EXPECT_NE(json::parse(answer.body)["error"].get<std::string>().find("nothing"),
                  std::string::npos)
            << answer.body;
    }
    EXPECT_EQ(backend.calls(), calls) << "nothing reached the engine";
    // The ring and the take as they were seen: done.
    ASSERT_EQ(post(port, "/api/save-take", R"({"take": 1, "start": 0.1, "generation": 0})").status,
              200);
    EXPECT_EQ(backend.last().take, 1);
    ASSERT_EQ(post(port, "/api/save-take", R"({"take": -1, "start": 0.1})").status, 200);
    ASSERT_EQ(post(port, "/api/export", R"({"start": 0.1, "length": 0.1, "generation": 0})").status,
              200);
}

// ---- WebSocket ------------------------------------------------------------------------------

int openSocket(int port, const std::string& query, const std::string& extra, int& status) {
    return companion::testing::openWebSocket(port, "/api/ws" + query, extra, status);
}

TEST_F(ServerTest, WebSocketUpgradeNeedsTokenAndOwnOrigin) {
    int status = 0;
    close(openSocket(port, "", "", status));
    EXPECT_EQ(status, 401);
    close(openSocket(port, "?token=" + kToken, "Origin: http://evil.example\r\n", status));
    EXPECT_EQ(status, 403);
    close(openSocket(port, "?token=" + kToken,
                     "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n", status));
    EXPECT_EQ(status, 101);
}

TEST_F(ServerTest, WebSocketPushesEverythingFirstThenChangesWithinBandwidth) {
    int status = 0;
    const int fd = openSocket(port, "?token=" + kToken, "", status);
    ASSERT_EQ(status, 101);

    // On connecting: the whole overview, the whole history with reset, a status, the bands.
    size_t wire = 0;
    bool sawWhole = false, sawHistory = false, sawStatus = false, sawCentres = false;
    for (int i = 0; i < 20 && !(sawWhole && sawHistory && sawStatus && sawCentres); ++i) {
        const Frame frame = readFrame(fd, &wire);
        ASSERT_NE(frame.opcode, -1);
        if (frame.opcode == 2 && frame.payload[1] == 1) {
            sawWhole = true;
            ASSERT_EQ(frame.payload.size(), 12u + 64000u * 8u);
            // Column 150: maxL 1.0 (clamped from 1.0), minR -0.5; column 60: maxL 0.1.
            const auto sample = [&](size_t column, size_t which) {
                const size_t at = 12 + column * 8 + which * 2;
                return static_cast<int16_t>(static_cast<uint8_t>(frame.payload[at]) |
                                            static_cast<uint8_t>(frame.payload[at + 1]) << 8);
            };
            EXPECT_EQ(sample(150, 1), 32767);
            EXPECT_EQ(sample(150, 2), -16384);  // round(-0.5 * 32767) = -16383.5 -> -16384
            EXPECT_EQ(sample(60, 1), 3277);     // round(0.1 * 32767) = 3276.7 -> 3277
            EXPECT_EQ(sample(199, 0), -32767);  // clamped: -1.49 -> -1
        } else if (frame.opcode == 1) {
            const json message = json::parse(frame.payload);
            if (message["type"] == "history" && message["reset"] == true) {
                sawHistory = true;
                EXPECT_EQ(message["from"], 0);
                EXPECT_GE(message["momentary"].size(), 50u);
                EXPECT_EQ(message["momentary"][3], -17.0);
                EXPECT_TRUE(message["shortTerm"][0].is_null());
            }
            sawStatus = sawStatus || message["type"] == "status";
            sawCentres =
                sawCentres || (message["type"] == "spectrum" &&
                               message["centreHz"].size() == companion::testing::kFakeBands);
        }
    }
    ASSERT_TRUE(sawWhole && sawHistory && sawStatus && sawCentres);

    // Then only changes: measure what goes over the wire while the head moves as a live one's.
    wire = 0;
    int status_count = 0, spectra = 0, overviews = 0, centres = 0;
    const auto begin = std::chrono::steady_clock::now();
    constexpr double kSeconds = 3.0;
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() <
           kSeconds) {
        const Frame frame = readFrame(fd, &wire);
        ASSERT_NE(frame.opcode, -1);
        if (frame.opcode == 2) {
            ++overviews;
            EXPECT_EQ(frame.payload[1], 0) << "a whole overview after the first";
        } else {
            const json message = json::parse(frame.payload);
            status_count += message["type"] == "status";
            spectra += message["type"] == "spectrum";
            centres += message.contains("centreHz");
        }
    }
    close(fd);
    const double bytesPerSecond = wire / kSeconds;
    std::printf("WebSocket while live: %.1f KB/s (%d status, %d spectrum, %d overview messages "
                "in %.0f s)\n",
                bytesPerSecond / 1000.0, status_count, spectra, overviews, kSeconds);
    EXPECT_LT(bytesPerSecond, 100000.0);
    EXPECT_GE(status_count, 60);  // about 25 a second
    EXPECT_GE(spectra, 45);       // about 20 a second
    EXPECT_GE(overviews, 60);
    EXPECT_EQ(centres, 0);
}

}  // namespace
