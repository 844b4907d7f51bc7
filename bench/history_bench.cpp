// The history of takes: what its writer costs per second of 48 kHz stereo audio (on the disk of
// /tmp, syncs included), and how fast the server answers for a large history: GET /api/history
// with 10,000 takes (goal: under 50 ms), a 10-minute take's audio and one samples window.
// The 10,000 takes live on a tmpfs (/dev/shm) so that making them does not take minutes of syncs;
// the answer's time does not depend on the disk.
#include "fake_backend.h"

#include "companion/history.h"
#include "companion/http_server.h"
#include "companion/status_json.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kRateHz = 48000.0;
constexpr int kListTakes = 10000;
constexpr size_t kListTakeFrames = 480;    // 10 ms each: the listing does not read audio
constexpr double kWriterSeconds = 60.0;    // of audio through the writer, as fast as it goes
constexpr double kRealTimeSeconds = 10.0;  // and at real time
constexpr size_t kBlockFrames = 12000;     // what the engine hands over every 250 ms at 48 kHz
constexpr double kLongTakeSeconds = 600.0;
constexpr int kRequests = 20;
constexpr double kListGoalMs = 50.0;

const std::string kToken(64, 'c');

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<float> block(size_t frames, uint64_t seed) {
    std::vector<float> out(frames * 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const uint32_t bits = static_cast<uint32_t>((seed + i) * 2654435761u);
        out[i] = static_cast<float>(bits % 20001u) / 40000.0f - 0.25f;
    }
    return out;
}

void waitFinished(const companion::History& history, int64_t id) {
    while (history.take(id) && history.take(id)->recording) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

fs::path makeDir(const char* base) {
    std::string name = std::string(base) + "/tessarin_history_bench_XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
        return {};
    }
    return name;
}

// The writer's cost: 60 s of audio handed over in 250 ms blocks as fast as it goes, the
// process's CPU minus the handing thread's own.
void benchWriter() {
    const fs::path dir = makeDir("/tmp");
    companion::History history;
    std::string error;
    if (dir.empty() || !history.open({dir, companion::kDefaultHistoryLimitBytes}, error)) {
        std::printf("writer: cannot open a history in /tmp: %s\n", error.c_str());
        return;
    }
    const std::vector<float> audio = block(kBlockFrames, 1);
    const size_t blocks = static_cast<size_t>(kWriterSeconds * kRateHz / kBlockFrames);
    const double cpuStart = processCpuSeconds();
    const double handingStart = threadCpuSeconds();
    const Clock::time_point start = Clock::now();
    const int64_t id = history.beginTake(1, 1, kRateHz);
    for (size_t b = 0; b < blocks; ++b) {
        history.append(id, audio.data(), kBlockFrames);
    }
    history.finishTake(id);
    waitFinished(history, id);
    const double wallMs = msSince(start);
    const double handing = threadCpuSeconds() - handingStart;
    const double writer = processCpuSeconds() - cpuStart - handing;
    std::printf("history writer, %.0f s of 48 kHz stereo into %s (file, levels, syncs):\n",
                kWriterSeconds, dir.c_str());
    std::printf("  %.1f ms wall (%.0fx real time); writer CPU %.0f us per second of audio "
                "(%.3f%% of a core at real time); engine-side append %.1f us per 250 ms block\n",
                wallMs, kWriterSeconds * 1000.0 / wallMs, writer * 1e6 / kWriterSeconds,
                writer * 100.0 / kWriterSeconds, handing * 1e6 / double(blocks));

    // At real time, as the engine hands frames over: flushes and syncs at their real pace.
    const int realTimeBlocks = static_cast<int>(kRealTimeSeconds * kRateHz / kBlockFrames);
    const double rtCpuStart = processCpuSeconds();
    const double rtHandingStart = threadCpuSeconds();
    const Clock::time_point rtStart = Clock::now();
    const int64_t live = history.beginTake(2, 1, kRateHz);
    for (int b = 0; b < realTimeBlocks; ++b) {
        history.append(live, audio.data(), kBlockFrames);
        std::this_thread::sleep_until(
            rtStart + std::chrono::milliseconds(
                          static_cast<int64_t>((b + 1) * 1000.0 * double(kBlockFrames) / kRateHz)));
    }
    history.finishTake(live);
    waitFinished(history, live);
    const double rtWriter =
        processCpuSeconds() - rtCpuStart - (threadCpuSeconds() - rtHandingStart);
    std::printf("  at real time for %.0f s (250 ms blocks, a flush every %d ms): writer CPU %.0f "
                "us per second (%.3f%% of a core)\n",
                kRealTimeSeconds, companion::kHistoryFlushMs * 3 / 4,
                rtWriter * 1e6 / kRealTimeSeconds, rtWriter * 100.0 / kRealTimeSeconds);
    history.close();
    fs::remove_all(dir);
}

struct Timing {
    double bestMs = 0.0, medianMs = 0.0, worstMs = 0.0;
    size_t bytes = 0;
    int status = 0;
};

// One GET over loopback, read to the end; the answer's bytes are counted, not kept.
size_t fetch(int port, const std::string& path, int& status) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    status = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return 0;
    }
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nAuthorization: Bearer " + kToken + "\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::vector<char> buffer(1 << 20);
    size_t total = 0;
    ssize_t n;
    while ((n = recv(fd, buffer.data(), buffer.size(), 0)) > 0) {
        if (total == 0) {
            std::sscanf(buffer.data(), "HTTP/1.1 %d", &status);
        }
        total += static_cast<size_t>(n);
    }
    close(fd);
    return total;
}

Timing timeRequest(int port, const std::string& path, int requests = kRequests) {
    std::vector<double> ms;
    Timing t;
    for (int i = 0; i < requests; ++i) {
        const Clock::time_point start = Clock::now();
        t.bytes = fetch(port, path, t.status);
        ms.push_back(msSince(start));
    }
    std::sort(ms.begin(), ms.end());
    t.bestMs = ms.front();
    t.medianMs = ms[ms.size() / 2];
    t.worstMs = ms.back();
    return t;
}

void benchServer() {
    const fs::path dir = makeDir(fs::exists("/dev/shm") ? "/dev/shm" : "/tmp");
    companion::History history;
    std::string error;
    if (dir.empty() || !history.open({dir, 16ull << 30}, error)) {
        std::printf("server: cannot open a history: %s\n", error.c_str());
        return;
    }
    Clock::time_point start = Clock::now();
    const std::vector<float> small = block(kListTakeFrames, 2);
    int64_t last = 0;
    for (int i = 0; i < kListTakes; ++i) {
        last = history.beginTake(1, 1796803387000 + i * 1000, kRateHz);
        history.append(last, small.data(), kListTakeFrames);
        history.finishTake(last);
        if (i % 500 == 499) {
            waitFinished(history, last);  // keep the queue short
        }
    }
    waitFinished(history, last);
    std::printf("\nserver, %d takes made in %.1f s in %s\n", kListTakes, msSince(start) / 1000.0,
                dir.c_str());
    // The 10-minute take: written in large blocks.
    const std::vector<float> big = block(480000, 3);
    const int64_t longTake = history.beginTake(1, 1796803387000, kRateHz);
    for (double s = 0; s < kLongTakeSeconds; s += 10.0) {
        history.append(longTake, big.data(), 480000);
        // No further ahead of the disk than a live capture could be: the history ends a take
        // whose frames wait in memory beyond its bound.
        for (;;) {
            const companion::HistoryTake t = *history.take(longTake);
            if (t.frames * 8 < t.bytes + (32u << 20)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    history.finishTake(longTake);
    waitFinished(history, longTake);
    std::printf("  a %.0f s take made (%s)\n", history.take(longTake)->frames / kRateHz,
                history.error().empty() ? "no error" : history.error().c_str());

    companion::testing::FakeBackend backend;
    companion::HttpServer server(backend, companion::ServerOptions{0, kToken, &history});
    if (!server.start(error)) {
        std::printf("server: %s\n", error.c_str());
        return;
    }
    std::vector<double> buildMs, buildCpuMs;
    for (int i = 0; i < kRequests; ++i) {
        const Clock::time_point built = Clock::now();
        const double cpu = threadCpuSeconds();
        const std::string text = companion::historyJsonText(history.list(), {});
        buildCpuMs.push_back((threadCpuSeconds() - cpu) * 1000.0);
        buildMs.push_back(msSince(built));
    }
    std::sort(buildMs.begin(), buildMs.end());
    std::sort(buildCpuMs.begin(), buildCpuMs.end());
    std::printf(
        "  the answer built in the daemon: median %.1f ms (%.1f ms of CPU), worst %.1f ms\n",
        buildMs[buildMs.size() / 2], buildCpuMs[buildCpuMs.size() / 2], buildMs.back());
    const Timing list = timeRequest(server.port(), "/api/history");
    std::printf("  GET /api/history, %d takes: best %.1f ms, median %.1f ms, worst %.1f ms of %d "
                "(%zu bytes, HTTP %d) -- goal under %.0f ms: %s\n",
                kListTakes + 1, list.bestMs, list.medianMs, list.worstMs, kRequests, list.bytes,
                list.status, kListGoalMs, list.medianMs < kListGoalMs ? "met" : "MISSED");
    const std::string take = "/api/history/" + std::to_string(longTake);
    const Timing audio = timeRequest(server.port(), take + "/audio", 5);
    std::printf("  GET %s/audio, a 10-minute take: median %.0f ms, worst %.0f ms (%.0f MB, HTTP "
                "%d)\n",
                take.c_str(), audio.medianMs, audio.worstMs, audio.bytes / 1e6, audio.status);
    const Timing samples = timeRequest(server.port(), take + "/samples?first=14400000&count=16384");
    std::printf("  GET %s/samples, 16384 frames: median %.1f ms, worst %.1f ms (%zu bytes)\n",
                take.c_str(), samples.medianMs, samples.worstMs, samples.bytes);
    server.stop();
    history.close();
    fs::remove_all(dir);
}

}  // namespace

int main() {
    benchWriter();
    benchServer();
    return 0;
}
