// The history's routes and commands over real loopback HTTP: a real History in a temporary
// folder behind the server, the engine faked. Audio and saved files are read back with
// libsndfile; the command line runs as main() runs it.
#include "fake_backend.h"
#include "loopback_http.h"

#include "companion/cli.h"
#include "companion/exporter.h"
#include "companion/history.h"
#include "companion/http_server.h"
#include "companion/status_json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using companion::History;
using companion::HistoryOptions;
using companion::testing::Answer;
using companion::testing::kToken;
using nlohmann::json;

constexpr double kRate = 44100.0;
constexpr int64_t kStartMs = 1796803387250;

std::vector<float> tone(uint64_t first, size_t frames) {
    std::vector<float> out(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * M_PI * 440.0 * static_cast<double>(first + i) / kRate;
        out[2 * i] = static_cast<float>(0.3 * std::sin(phase));
        out[2 * i + 1] = static_cast<float>(0.1 * std::cos(phase) + 1e-7);
    }
    return out;
}

// One request with the token; reads until the server closes.
Answer request(int port, const std::string& method, const std::string& path,
               const std::string& body = "") {
    return companion::testing::bearerRequest(port, method, path, body);
}

struct SoundFile {
    SF_INFO info{};
    std::vector<float> samples;
};
SoundFile readSound(const fs::path& path) {
    SoundFile r;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &r.info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (f != nullptr) {
        r.samples.resize(static_cast<size_t>(r.info.frames * r.info.channels));
        EXPECT_EQ(sf_readf_float(f, r.samples.data(), r.info.frames), r.info.frames);
        sf_close(f);
    }
    return r;
}

// text against a pattern where 'd' stands for a digit and '+' for a sign; all else as is.
bool matchesPattern(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool ok = pattern[i] == 'd'   ? (c >= '0' && c <= '9')
                        : pattern[i] == '+' ? (c == '+' || c == '-')
                                            : c == pattern[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool sameBits(const float* a, const float* b, size_t count) {
    return std::memcmp(a, b, count * sizeof(float)) == 0;
}

class HistoryRoutesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/history_routes_test_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        setenv("XDG_RUNTIME_DIR", name, 1);
        std::string error;
        ASSERT_TRUE(history.open(HistoryOptions{root / "history", 64ull << 20}, error)) << error;
        // Two finished takes (one second, half a second of unknown start) and one recording.
        first = record(kStartMs, 44100);
        second = record(0, 22050);
        third = history.beginTake(3, kStartMs + 60000, kRate);
        const std::vector<float> part = tone(0, 1000);
        history.append(third, part.data(), 1000);
        backend.exportDir = (root / "exports").string();
        backend.ringHistoryId = second;
        server = std::make_unique<companion::HttpServer>(
            backend, companion::ServerOptions{0, kToken, &history});
        ASSERT_TRUE(server->start(error)) << error;
        port = server->port();
    }
    void TearDown() override {
        server->stop();
        history.close();
        fs::remove_all(root);
    }
    int64_t record(int64_t startMs, size_t frames) { return record(startMs, tone(0, frames)); }
    int64_t record(int64_t startMs, const std::vector<float>& audio) {
        const int64_t id = history.beginTake(2, startMs, kRate);
        history.append(id, audio.data(), audio.size() / 2);
        history.finishTake(id);
        for (int i = 0; i < 2000 && history.take(id)->recording; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_FALSE(history.take(id)->recording);
        return id;
    }
    std::string takePath(int64_t id, const std::string& action = "") {
        return "/api/history/" + std::to_string(id) + (action.empty() ? "" : "/" + action);
    }

    fs::path root;
    History history;
    companion::testing::FakeBackend backend;
    std::unique_ptr<companion::HttpServer> server;
    int port = 0;
    int64_t first = 0, second = 0, third = 0;
};

TEST_F(HistoryRoutesTest, ListSaysWhatEachTakeIsOldestFirst) {
    const Answer answer = request(port, "GET", "/api/history");
    ASSERT_EQ(answer.status, 200) << answer.body;
    const json h = json::parse(answer.body);
    ASSERT_EQ(h["takes"].size(), 3u);
    const json& a = h["takes"][0];
    const json& b = h["takes"][1];
    const json& c = h["takes"][2];
    EXPECT_EQ(a["id"], first);
    EXPECT_EQ(b["id"], second);
    EXPECT_EQ(c["id"], third);
    // Local time with its offset, to the millisecond, of the first frame.
    const std::string start = a["start"].get<std::string>();
    EXPECT_TRUE(matchesPattern(start, "dddd-dd-ddTdd:dd:dd.250+dd:dd")) << start;
    std::tm tm{};
    int offsetHours = 0, offsetMinutes = 0;
    char sign = '+';
    std::sscanf(start.c_str(), "%d-%d-%dT%d:%d:%d.250%c%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &sign, &offsetHours, &offsetMinutes);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const int64_t offsetSeconds =
        (sign == '-' ? -1 : 1) * (offsetHours * 3600 + offsetMinutes * 60);
    EXPECT_EQ((timegm(&tm) - offsetSeconds) * 1000 + 250, kStartMs);
    EXPECT_TRUE(b["start"].is_null());
    EXPECT_EQ(a["seconds"], 1);
    EXPECT_EQ(b["seconds"], 0.5);
    EXPECT_EQ(a["frames"], 44100);
    EXPECT_EQ(a["rate"], 44100);
    EXPECT_FALSE(a["inRing"].get<bool>());
    EXPECT_TRUE(b["inRing"].get<bool>());
    EXPECT_FALSE(a["recording"].get<bool>());
    EXPECT_TRUE(c["recording"].get<bool>());
    EXPECT_FALSE(a["pinned"].get<bool>());
    // A 0.3-amplitude left channel: -10.46 dBFS sample peak.
    EXPECT_NEAR(a["samplePeakDb"].get<double>(), 20.0 * std::log10(0.3), 0.01);
    EXPECT_GE(a["truePeakDb"].get<double>(), a["samplePeakDb"].get<double>());
    EXPECT_TRUE(a["integratedLufs"].is_number());
    EXPECT_EQ(h["limitBytes"], 64ull << 20);
    uint64_t bytes = 0;
    for (const int64_t id : {first, second}) {
        bytes += fs::file_size(root / "history" / ("take-" + std::to_string(id) + ".wav"));
    }
    EXPECT_GE(h["bytes"].get<uint64_t>(), bytes);
    EXPECT_TRUE(h["error"].is_null());
    EXPECT_EQ(answer.body.find("NaN"), std::string::npos);

    const json status = json::parse(request(port, "GET", "/api/status").body);
    EXPECT_TRUE(status.contains("historyError"));
    EXPECT_TRUE(status["historyError"].is_null());
}

TEST_F(HistoryRoutesTest, AudioAndSamplesAreTheTakeBitForBit) {
    const Answer audio = request(port, "GET", takePath(first, "audio"));
    ASSERT_EQ(audio.status, 200);
    EXPECT_NE(audio.headers.find("Content-Type: audio/wav"), std::string::npos);
    EXPECT_NE(audio.headers.find("Content-Length: " + std::to_string(audio.body.size())),
              std::string::npos);
    const fs::path file = root / "streamed.wav";
    std::ofstream(file, std::ios::binary) << audio.body;
    const SoundFile streamed = readSound(file);
    EXPECT_EQ(streamed.info.frames, 44100);
    EXPECT_EQ(streamed.info.samplerate, 44100);
    EXPECT_EQ(streamed.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const std::vector<float> expected = tone(0, 44100);
    ASSERT_EQ(streamed.samples.size(), expected.size());
    EXPECT_TRUE(sameBits(streamed.samples.data(), expected.data(), expected.size()));

    // A take still recording streams what it holds so far.
    const Answer partial = request(port, "GET", takePath(third, "audio"));
    ASSERT_EQ(partial.status, 200);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << partial.body;
    EXPECT_EQ(readSound(file).info.frames, 1000);

    // A stretch of it alone, still a WAV of its own: frames 1000 .. 1999; and clipped at the end.
    const Answer part = request(port, "GET", takePath(first, "audio") + "?first=1000&count=1000");
    ASSERT_EQ(part.status, 200);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << part.body;
    const SoundFile stretch = readSound(file);
    ASSERT_EQ(stretch.info.frames, 1000);
    EXPECT_TRUE(sameBits(stretch.samples.data(), expected.data() + 2000, 2000));
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        << request(port, "GET", takePath(first, "audio") + "?first=44000&count=500").body;
    EXPECT_EQ(readSound(file).info.frames, 100);
    EXPECT_EQ(request(port, "GET", takePath(first, "audio") + "?first=x").status, 400);

    Answer answer = request(port, "GET", takePath(first, "samples") + "?first=44000&count=300");
    ASSERT_EQ(answer.status, 200) << answer.body;
    json samples = json::parse(answer.body);
    EXPECT_EQ(samples["rate"], 44100);
    EXPECT_EQ(samples["frames"], 44100);
    ASSERT_EQ(samples["left"].size(), 100u);  // clipped at the end of the take
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(static_cast<float>(samples["left"][i].get<double>()), expected[2 * (44000 + i)]);
        EXPECT_EQ(static_cast<float>(samples["right"][i].get<double>()),
                  expected[2 * (44000 + i) + 1]);
    }
    answer = request(port, "GET", takePath(first, "samples") + "?first=0&count=16384");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(json::parse(answer.body)["left"].size(), 16384u);
    for (const std::string query : {"?first=0&count=16385", "?first=0&count=0", "?first=-1&count=5",
                                    "?count=5", "?first=0&count=5x"}) {
        EXPECT_EQ(request(port, "GET", takePath(first, "samples") + query).status, 400) << query;
    }
}

// Min and max per column worked out by hand, non-finite samples left out, and a stretch past the
// first chunk read from the file.
TEST_F(HistoryRoutesTest, OverviewGivesEachColumnsExtremes) {
    const float nan = NAN;
    const float inf = INFINITY;
    // 10 frames in 4 columns: frames [0,2) [2,5) [5,7) [7,10).
    const std::vector<float> left = {0.1f, -0.2f, 0.3f, nan, 0.5f, -0.6f, inf, 0.8f, -0.9f, 1.0f};
    const std::vector<float> right = {0.0f, 0.0f, -0.5f, -0.5f, -inf, nan, nan, 0.25f, 0.5f, 0.75f};
    std::vector<float> audio;
    for (size_t i = 0; i < left.size(); ++i) {
        audio.push_back(left[i]);
        audio.push_back(right[i]);
    }
    const int64_t small = record(kStartMs, audio);

    Answer answer = request(port, "GET", takePath(small, "overview") + "?columns=4");
    ASSERT_EQ(answer.status, 200) << answer.body;
    json o = json::parse(answer.body);
    EXPECT_EQ(o["frames"], 10);
    EXPECT_EQ(o["first"], 0);
    EXPECT_EQ(o["count"], 10);
    EXPECT_EQ(o["columns"], 4);
    const std::vector<float> expected = {
        -0.2f, 0.1f,  0.0f,  0.0f,   // column 0
        0.3f,  0.5f,  -0.5f, -0.5f,  // column 1: the NaN and -inf left out
        -0.6f, -0.6f, 0.0f,  0.0f,   // column 2: right has no finite sample
        -0.9f, 1.0f,  0.25f, 0.75f,  // column 3
    };
    ASSERT_EQ(o["minMax"].size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(static_cast<float>(o["minMax"][i].get<double>()), expected[i]) << i;
    }
    // A stretch: frames [7, 10) in two columns ([7,8) and [8,10)); more columns than frames give
    // one column per frame.
    o = json::parse(
        request(port, "GET", takePath(small, "overview") + "?columns=2&first=7&count=5").body);
    EXPECT_EQ(o["count"], 3);
    EXPECT_EQ(o["minMax"], json({0.8, 0.8, 0.25, 0.25, -0.9, 1.0, 0.5, 0.75}));
    o = json::parse(
        request(port, "GET", takePath(small, "overview") + "?columns=4096&first=8").body);
    EXPECT_EQ(o["columns"], 2);

    // 70,000 frames at ±0.25 with one spike past the first chunk, in 7 columns of 10,000.
    constexpr size_t kLong = 70000;
    constexpr size_t kSpike = 66000;
    std::vector<float> flat(kLong * 2);
    for (size_t i = 0; i < kLong; ++i) {
        flat[2 * i] = 0.25f;
        flat[2 * i + 1] = -0.25f;
    }
    flat[2 * kSpike] = 0.9f;
    const int64_t longer = record(kStartMs, flat);
    o = json::parse(request(port, "GET", takePath(longer, "overview") + "?columns=7").body);
    ASSERT_EQ(o["minMax"].size(), 28u);
    for (size_t c = 0; c < 7; ++c) {
        EXPECT_EQ(static_cast<float>(o["minMax"][4 * c + 1].get<double>()),
                  c == kSpike / 10000 ? 0.9f : 0.25f)
            << c;
        EXPECT_EQ(o["minMax"][4 * c + 2], -0.25) << c;
    }

    for (const std::string query : {"", "?columns=0", "?columns=4097", "?columns=4&first=x"}) {
        EXPECT_EQ(request(port, "GET", takePath(small, "overview") + query).status, 400) << query;
    }
    EXPECT_EQ(request(port, "POST", takePath(small, "overview") + "?columns=4").status, 405);
    EXPECT_EQ(request(port, "GET", "/api/history/999/overview?columns=4").status, 404);
}

TEST_F(HistoryRoutesTest, PinDeleteAndSaveChangeWhatIsKept) {
    Answer answer = request(port, "POST", takePath(first, "pin"), R"({"pinned": true})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_TRUE(history.take(first)->pinned);
    EXPECT_EQ(request(port, "POST", takePath(first, "pin"), R"({"pinned": "yes"})").status, 400);
    EXPECT_EQ(request(port, "POST", takePath(first, "pin"), "{}").status, 400);
    EXPECT_EQ(request(port, "POST", takePath(first, "pin"),
                      R"({"pinned": false, "pad": ")" + std::string(70000, 'x') + "\"}")
                  .status,
              413);
    EXPECT_TRUE(history.take(first)->pinned);

    // A part of a take, saved twice: two files named by the take's start, never overwritten.
    for (int i = 0; i < 2; ++i) {
        answer = request(port, "POST", takePath(first, "save"),
                         R"({"start": 0.25, "length": 0.5, "format": "wav32f"})");
        ASSERT_EQ(answer.status, 200) << answer.body;
    }
    const json saved = json::parse(answer.body);
    EXPECT_EQ(saved["take"], first);
    EXPECT_FALSE(saved["clipped"].get<bool>());
    const std::string name = saved["name"].get<std::string>();
    EXPECT_TRUE(matchesPattern(name, "tessarin_dddd-dd-dd_dd-dd-dd_2.wav")) << name;
    EXPECT_EQ(fs::path(saved["path"].get<std::string>()).parent_path(), root / "exports");
    const SoundFile part = readSound(saved["path"].get<std::string>());
    const std::vector<float> expected = tone(11025, 22050);
    ASSERT_EQ(part.samples.size(), expected.size());
    EXPECT_TRUE(sameBits(part.samples.data(), expected.data(), expected.size()));
    // More than the take holds: what there is, and the answer says so.
    answer = request(port, "POST", takePath(second, "save"), R"({"start": 0.4, "length": 5})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_TRUE(json::parse(answer.body)["clipped"].get<bool>());
    EXPECT_EQ(json::parse(answer.body)["frames"], 22050 - 17640);
    EXPECT_EQ(json::parse(answer.body)["requestedSeconds"], 5);
    EXPECT_EQ(json::parse(answer.body)["note"],
              "the take holds only 0.100 s from there: saved all of it");
    EXPECT_EQ(request(port, "POST", takePath(second, "save"), R"({"start": 0.6})").status, 409);
    EXPECT_EQ(request(port, "POST", takePath(second, "save"), R"({"length": -1})").status, 400);

    // A part's levels: the tone's 0.3 peak, and the loudness of a steady tone is the whole
    // take's, as the history measured it while writing.
    answer = request(port, "POST", takePath(first, "analyze"), R"({"start": 0.25, "length": 0.5})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    const json levels = json::parse(answer.body);
    EXPECT_EQ(levels["frames"], 22050);
    EXPECT_NEAR(levels["samplePeak"].get<double>(), 20.0 * std::log10(0.3), 0.01);
    EXPECT_NEAR(levels["integrated"].get<double>(), history.take(first)->integratedLufs, 0.05);
    EXPECT_EQ(request(port, "POST", takePath(first, "analyze"), R"({"start": 1e300})").status, 409);
    EXPECT_EQ(request(port, "GET", takePath(first, "analyze")).status, 405);

    EXPECT_EQ(request(port, "DELETE", takePath(third)).status, 409);  // still recording
    ASSERT_EQ(request(port, "DELETE", takePath(second)).status, 200);
    EXPECT_FALSE(history.take(second).has_value());
    EXPECT_FALSE(fs::exists(root / "history" / ("take-" + std::to_string(second) + ".wav")));
    EXPECT_EQ(request(port, "GET", takePath(second, "audio")).status, 404);
    EXPECT_EQ(request(port, "DELETE", takePath(second)).status, 404);
    EXPECT_EQ(request(port, "GET", "/api/history/abc/audio").status, 404);
    EXPECT_EQ(request(port, "GET", "/api/history/0").status, 404);
    EXPECT_EQ(request(port, "POST", "/api/history").status, 405);
    EXPECT_EQ(request(port, "PUT", takePath(first, "audio")).status, 405);
    EXPECT_EQ(request(port, "GET", takePath(first, "pin")).status, 405);
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A take longer than the exporter's chunk is saved and analysed a chunk at a time: the files and
// levels are those of the same frames exported from one vector, across the chunk boundary too
// (where a dither restarted or a chunk read from the wrong frame would show).
TEST_F(HistoryRoutesTest, LongTakeSavesAndAnalysesAsOneVectorWould) {
    const size_t frames = companion::kSourceChunkFrames + 30000;
    std::vector<float> audio(2 * frames);
    uint32_t seed = 7;
    for (size_t i = 0; i < frames; ++i) {  // a tone under noise that grows along the take
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>((seed >> 8) * 0x1p-24 - 0.5);
        const float level = 0.05f + 0.5f * static_cast<float>(i) / frames;
        audio[2 * i] = level * (0.6f * std::sin(0.05f * i) + 0.4f * noise);
        audio[2 * i + 1] = level * noise;
    }
    const size_t boundary = 2 * companion::kSourceChunkFrames;
    audio[boundary - 1] = NAN, audio[boundary] = INFINITY, audio[boundary + 1] = -1.5f;
    const int64_t id = record(kStartMs, audio);
    ASSERT_EQ(history.take(id)->frames, frames);
    const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(kStartMs));

    // The whole take as 32-bit float: bit for bit, the NaN and inf included.
    Answer answer = request(port, "POST", takePath(id, "save"), R"({"format": "wav32f"})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    json saved = json::parse(answer.body);
    EXPECT_EQ(saved["frames"], frames);
    EXPECT_FALSE(saved["clipped"].get<bool>());
    const SoundFile whole = readSound(saved["path"].get<std::string>());
    ASSERT_EQ(whole.samples.size(), audio.size());
    EXPECT_TRUE(sameBits(whole.samples.data(), audio.data(), audio.size()));

    // Integer files, dithered or normalised (the take read twice): the vector path's bytes.
    const size_t skip = 22050;  // "start": 0.5 s
    const std::vector<float> tail(audio.begin() + 2 * skip, audio.end());
    const struct {
        const char* body;
        companion::ExportSettings settings;
        const std::vector<float>& frames;
    } cases[] = {
        {R"({"format": "wav16", "start": 0.5})", {companion::ExportFormat::wav16}, tail},
        {R"({"format": "flac24", "normalize": {"mode": "peak", "target": -3}})",
         {companion::ExportFormat::flac24, companion::NormalizeMode::peak, -3.0},
         audio},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        answer = request(port, "POST", takePath(id, "save"), c.body);
        ASSERT_EQ(answer.status, 200) << answer.body;
        saved = json::parse(answer.body);
        companion::ExportResult direct{};
        std::string error;
        ASSERT_TRUE(companion::exportStretch(c.frames, kRate, c.settings, root / "direct", when,
                                             direct, error))
            << error;
        EXPECT_EQ(saved["frames"], c.frames.size() / 2);
        EXPECT_EQ(saved["gainDb"], companion::exportJson(direct)["gainDb"]);
        const std::string bytes = fileBytes(saved["path"].get<std::string>());
        EXPECT_GT(bytes.size(), c.frames.size());  // at least 16 bits a sample
        EXPECT_TRUE(bytes == fileBytes(direct.path));
    }

    // A part's levels, and the whole take's, as the vector analysis gives them.
    answer = request(port, "POST", takePath(id, "analyze"), R"({"start": 0.5})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    json expected = companion::analysisJson(companion::analyzeStretch(tail, kRate));
    expected["take"] = id;
    EXPECT_EQ(json::parse(answer.body), expected);
    answer = request(port, "POST", takePath(id, "analyze"), "{}");
    ASSERT_EQ(answer.status, 200) << answer.body;
    expected = companion::analysisJson(companion::analyzeStretch(audio, kRate));
    expected["take"] = id;
    EXPECT_EQ(json::parse(answer.body), expected);
}

// A history that cannot write says so in the status and the list; the daemon answers on.
TEST(HistoryRoutesUnusable, StatusAndListCarryTheHistoryError) {
    char name[] = "/tmp/history_routes_bad_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path root = name;
    std::ofstream(root / "file") << "in the way";
    History history;
    std::string error;
    ASSERT_FALSE(history.open(HistoryOptions{root / "file" / "history", 1ull << 30}, error));
    companion::testing::FakeBackend backend;
    companion::HttpServer server(backend, companion::ServerOptions{0, kToken, &history});
    ASSERT_TRUE(server.start(error)) << error;
    const json status = json::parse(request(server.port(), "GET", "/api/status").body);
    ASSERT_TRUE(status["historyError"].is_string());
    EXPECT_EQ(status["historyError"], history.error());
    const json list = json::parse(request(server.port(), "GET", "/api/history").body);
    EXPECT_EQ(list["error"], history.error());
    EXPECT_TRUE(list["takes"].empty());
    EXPECT_EQ(list["limitBytes"], 0);
    server.stop();
    fs::remove_all(root);
}

// Parses and runs a command as main() does.
int runCommand(std::vector<const char*> args, std::string& out, std::string& err) {
    args.insert(args.begin(), "tessarin-companion");
    companion::CommandLine command;
    std::string error;
    if (!companion::parseCommandLine(static_cast<int>(args.size()), args.data(), command, error)) {
        err = error;
        return companion::kExitUsage;
    }
    std::ostringstream o, e;
    const int status = companion::runClientCommand(command, o, e);
    out = o.str();
    err = e.str();
    return status;
}

TEST_F(HistoryRoutesTest, CommandLineListsAndSavesTakes) {
    std::string error;
    ASSERT_TRUE(companion::writeRuntimeFile(
        companion::runtimeFilePath(),
        {"http://127.0.0.1:" + std::to_string(port) + "/", port, kToken, getpid(), "/tmp"}, error));
    std::string out, err;
    ASSERT_EQ(runCommand({"history", "--json"}, out, err), 0) << err;
    EXPECT_EQ(json::parse(out)["takes"].size(), 3u);
    ASSERT_EQ(runCommand({"history"}, out, err), 0) << err;
    EXPECT_NE(out.find("recording"), std::string::npos) << out;
    EXPECT_NE(out.find("in ring"), std::string::npos) << out;
    EXPECT_NE(out.find("3 takes"), std::string::npos) << out;

    const std::string id = std::to_string(first);
    ASSERT_EQ(runCommand({"save-take", "--id", id.c_str(), "--format", "wav24"}, out, err), 0)
        << err;
    ASSERT_FALSE(out.empty());
    const fs::path saved = out.substr(0, out.size() - 1);
    EXPECT_EQ(saved.parent_path(), root / "exports");
    const SoundFile file = readSound(saved);
    EXPECT_EQ(file.info.frames, 44100);
    EXPECT_EQ(file.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(runCommand({"save-take", "--id", "999"}, out, err), 1);
    EXPECT_EQ(err, "no take 999 in the history\n");
}

// Start times against the C library's own local time, in zones with summer time, negative and
// half-hour offsets, over every quarter hour around the transitions and over a century.
TEST(HistoryTimes, LocalTimeWithOffsetMatchesTheCLibrary) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    for (const char* zone : {"Europe/Berlin", "America/St_Johns", "Asia/Kolkata", "UTC"}) {
        if (!fs::exists(fs::path("/usr/share/zoneinfo") / zone)) {
            continue;
        }
        setenv("TZ", zone, 1);
        tzset();
        std::vector<int64_t> moments;
        for (int64_t s = 1774746000 - 86400; s < 1774746000 + 86400; s += 450) {
            moments.push_back(s * 1000 + 7);  // around 2026-03-29, quarter hours and halves
        }
        for (int64_t s = 1792890000 - 86400; s < 1792890000 + 86400; s += 450) {
            moments.push_back(s * 1000 + 999);  // around 2026-10-25
        }
        uint64_t x = 88172645463325252ull;
        for (int i = 0; i < 20000; ++i) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            moments.push_back(1 + static_cast<int64_t>(x % 4102444800000ull));  // 1970..2100
        }
        for (const int64_t ms : moments) {
            const std::time_t t = static_cast<std::time_t>(ms / 1000);
            std::tm local{};
            ASSERT_NE(localtime_r(&t, &local), nullptr);
            char text[64], zoneText[40];
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
            const long offset = local.tm_gmtoff / 60;
            std::snprintf(zoneText, sizeof zoneText, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                          std::labs(offset) / 60, std::labs(offset) % 60);
            char expected[160];
            std::snprintf(expected, sizeof expected, "%s.%03d%s", text, static_cast<int>(ms % 1000),
                          zoneText);
            ASSERT_EQ(companion::localTimeJson(ms), expected) << zone << " " << ms;
        }
    }
    if (saved) {
        setenv("TZ", before.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_TRUE(companion::localTimeJson(0).is_null());
}

TEST(HistoryOptions, SizesAndIdsAreChecked) {
    uint64_t bytes = 0;
    EXPECT_TRUE(companion::parseByteSize("4G", bytes));
    EXPECT_EQ(bytes, 4ull << 30);
    EXPECT_TRUE(companion::parseByteSize("512m", bytes));
    EXPECT_EQ(bytes, 512ull << 20);
    EXPECT_TRUE(companion::parseByteSize("0", bytes));
    EXPECT_EQ(bytes, 0u);
    for (const char* bad : {"", "G", "4T", "-1", "1.5G", "99999999999999999999", "17179869184G"}) {
        EXPECT_FALSE(companion::parseByteSize(bad, bytes)) << bad;
    }
    const char* args[] = {"tessarin-companion", "--history-dir", "/x/y", "--history-limit", "2M"};
    companion::CommandLine command;
    std::string error;
    ASSERT_TRUE(companion::parseCommandLine(5, args, command, error)) << error;
    EXPECT_EQ(command.historyDir, "/x/y");
    EXPECT_EQ(command.historyLimitBytes, 2ull << 20);
    for (const auto& bad : std::vector<std::vector<const char*>>{
             {"tessarin-companion", "save-take", "--id", "0"},
             {"tessarin-companion", "save-take", "--id", "7", "--take", "1"},
             {"tessarin-companion", "--history-limit", "lots"},
             {"tessarin-companion", "history", "--format", "wav16"}}) {
        companion::CommandLine c;
        EXPECT_FALSE(
            companion::parseCommandLine(static_cast<int>(bad.size()), bad.data(), c, error))
            << bad[1];
    }
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(companion::defaultHistoryDir(), "/data/home/tessarin/history");
    setenv("XDG_DATA_HOME", "relative", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(companion::defaultHistoryDir(), "/home/someone/.local/share/tessarin/history");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", home.c_str(), 1);
}

}  // namespace
