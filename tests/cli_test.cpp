// The command line against no daemon, a stale runtime file and a running server with a fake
// engine: exit statuses, the error lines people see, and the requests that reach the engine.
#include "fake_backend.h"

#include "companion/cli.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using companion::CommandLine;

struct CommandRun {
    int status;
    std::string out, err;
};

// Parses and runs a command as main() does.
CommandRun runCommand(std::vector<const char*> args) {
    args.insert(args.begin(), "tessarin-companion");
    CommandLine command;
    std::string error;
    if (!companion::parseCommandLine(static_cast<int>(args.size()), args.data(), command, error)) {
        return CommandRun{companion::kExitUsage, "", error};
    }
    std::ostringstream out, err;
    const int status = companion::runClientCommand(command, out, err);
    return CommandRun{status, out.str(), err.str()};
}

constexpr uid_t kNobody = 65534;

// A listening socket on 127.0.0.1, any port; -1 on failure.
int listenOnLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Reads one request (headers and body) and answers 200 with what body() gives then.
std::string answerOne(int listener, const std::function<std::string()>& body) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 100) != 1) {
        return {};
    }
    const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
        return {};
    }
    std::string request;
    char buffer[4096];
    pollfd reading{conn, POLLIN, 0};
    while (poll(&reading, 1, 200) == 1) {
        const ssize_t n = recv(conn, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        request.append(buffer, static_cast<size_t>(n));
        const size_t end = request.find("\r\n\r\n");
        const size_t length = request.find("Content-Length: ");
        if (end != std::string::npos &&
            (length == std::string::npos ||
             request.size() >= end + 4 + std::stoul(request.substr(length + 16)))) {
            break;
        }
    }
    const std::string text = body();
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                              "Content-Length: " +
                              std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" + text;
    (void)!write(conn, reply.data(), reply.size());
    close(conn);
    return request;
}

// A listener of this process that answers every request with a body the test chooses.
class CannedServer {
public:
    CannedServer() {
        listener_ = listenOnLoopback(port_);
        thread_ = std::thread([this] {
            while (!stop_) {
                (void)answerOne(listener_, [this] {
                    std::lock_guard lock(mutex_);
                    return body_;
                });
            }
        });
    }
    ~CannedServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    void answer(std::string body) {
        std::lock_guard lock(mutex_);
        body_ = std::move(body);
    }
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string body_;
    std::thread thread_;
};

// Another process that listens on loopback (as uid when given) and answers every request with
// an empty JSON object, passing each request it was sent up the pipe.
struct Stranger {
    pid_t pid = -1;
    int port = 0;
    int requests = -1;  // read end
    explicit Stranger(std::optional<uid_t> uid = std::nullopt) {
        int portPipe[2], requestPipe[2];
        if (pipe2(portPipe, O_CLOEXEC) != 0 || pipe2(requestPipe, O_CLOEXEC) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            if (uid && (setresgid(*uid, *uid, *uid) != 0 || setresuid(*uid, *uid, *uid) != 0)) {
                _exit(1);
            }
            int listenPort = 0;
            const int listener = listenOnLoopback(listenPort);
            (void)!write(portPipe[1], &listenPort, sizeof listenPort);
            for (;;) {
                const std::string request = answerOne(listener, [] { return std::string("{}"); });
                if (!request.empty()) {
                    (void)!write(requestPipe[1], request.data(), request.size());
                }
            }
        }
        close(portPipe[1]);
        close(requestPipe[1]);
        if (read(portPipe[0], &port, sizeof port) != sizeof port) {
            port = 0;
        }
        close(portPipe[0]);
        requests = requestPipe[0];
    }
    // Everything it was sent; ends it.
    std::string stop() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::string all;
        char buffer[4096];
        ssize_t n;
        while ((n = read(requests, buffer, sizeof buffer)) > 0) {
            all.append(buffer, static_cast<size_t>(n));
        }
        close(requests);
        return all;
    }
};

bool oneLine(const std::string& text) {
    return !text.empty() && text.find('\n') == text.size() - 1;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tessarin-cli-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        setenv("XDG_RUNTIME_DIR", name, 1);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(CliTest, UsageErrorsExitTwo) {
    for (const auto& args :
         std::vector<std::vector<const char*>>{{"save-last"},
                                               {"save-last", "ten"},
                                               {"save-last", "-3"},
                                               {"save-last", "10", "--format", "mp3"},
                                               {"save-last", "10", "--normalize", "loudness"},
                                               {"save-last", "10", "--normalize", "peak:loud"},
                                               {"save-take", "--take", "-2"},
                                               {"status", "--format", "wav16"},
                                               {"--port", "70000"},
                                               {"--frobnicate"}}) {
        const CommandRun r = runCommand(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), std::string::npos);
    }
}

TEST_F(CliTest, WithoutADaemonEveryCommandSaysSo) {
    const std::string line = std::string(companion::kNotRunningMessage) + "\n";
    for (const auto& args : std::vector<std::vector<const char*>>{
             {"status"}, {"status", "--json"}, {"save-last", "5"}, {"save-take"}}) {
        const CommandRun r = runCommand(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, line);
        EXPECT_TRUE(r.out.empty());
    }
    // A file left by a daemon that died: its pid is gone.
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    std::string error;
    ASSERT_TRUE(companion::writeRuntimeFile(companion::runtimeFilePath(),
                                            {"http://127.0.0.1:9/?token=x", 9, "x", child, "/tmp"},
                                            error));
    const CommandRun r = runCommand({"save-last", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, line);
}

TEST_F(CliTest, CommandsAgainstARunningServer) {
    companion::testing::FakeBackend backend;
    const std::string token = companion::makeToken();
    ASSERT_EQ(token.size(), 64u);
    EXPECT_NE(token, companion::makeToken());
    companion::HttpServer server(backend, companion::ServerOptions{0, token});
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    const fs::path file = companion::runtimeFilePath();
    EXPECT_EQ(file, dir / "tessarin-companion.json");
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server.port()) + "/?token=" + token;
    ASSERT_TRUE(
        companion::writeRuntimeFile(file, {url, server.port(), token, getpid(), "/tmp/x"}, error))
        << error;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    CommandRun r =
        runCommand({"save-last", "12.5", "--format", "flac16", "--normalize", "peak:-2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, backend.exportPath.string() + "\n");
    companion::testing::RecordedCall last = backend.last();
    EXPECT_EQ(last.route, "save-last");
    EXPECT_DOUBLE_EQ(last.seconds, 12.5);
    EXPECT_EQ(last.settings.format, companion::ExportFormat::flac16);
    EXPECT_EQ(last.settings.normalize, companion::NormalizeMode::peak);
    EXPECT_DOUBLE_EQ(last.settings.targetDb, -2.0);

    // Less than was asked: the path alone on stdout, what was short on stderr, control bytes
    // from the daemon made harmless.
    backend.exportNote = "only 8.000 s are captured:\x1b[2J saved all of it";
    r = runCommand({"save-last", "12.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, backend.exportPath.string() + "\n");
    EXPECT_EQ(r.err, "note: only 8.000 s are captured:?[2J saved all of it\n");
    backend.exportNote.clear();

    r = runCommand({"save-take", "--take", "1", "--normalize", "loudness:-23"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(backend.last().take, 1);
    EXPECT_DOUBLE_EQ(backend.last().settings.targetDb, -23.0);

    r = runCommand({"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("live: the plug-in is running"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("48000 Hz"), std::string::npos) << r.out;
    r = runCommand({"status", "--json"});
    EXPECT_EQ(nlohmann::json::parse(r.out)["state"], "live");

    // The daemon's refusals pass through as one line; a target out of range is the daemon's
    // to refuse too.
    backend.outcome = companion::Outcome::failure(409, "nothing has been captured yet");
    r = runCommand({"save-last", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nothing has been captured yet\n");
    EXPECT_TRUE(r.out.empty());
    r = runCommand({"save-last", "5", "--normalize", "peak:6"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\"target\" must be within -70..0\n");

    // A daemon already holds the lock: a second one must not start.
    bool held = false;
    const int fd = companion::lockDaemon(file, held, error);
    ASSERT_GE(fd, 0) << error;
    EXPECT_EQ(companion::lockDaemon(file, held, error), -1);
    EXPECT_TRUE(held);
    close(fd);
}

TEST_F(CliTest, ArgumentsAreReadAsWrittenAndQuotedShort) {
    // A negative or hex count of seconds is a bad count, not an option nor 16 s.
    for (const char* seconds : {"-5", "-0.5", "0x10", "0x1p4", "inf", "nan", "1e999", "0"}) {
        const CommandRun r = runCommand({"save-last", seconds});
        EXPECT_EQ(r.status, 2) << seconds;
        EXPECT_NE(r.err.find("seconds above 0"), std::string::npos) << seconds << ": " << r.err;
    }
    EXPECT_NE(runCommand({"save-last", "5", "--normalize", "peak:0x1"}).err.find("--normalize"),
              std::string::npos);
    // 100 KB of argument, control bytes included, comes back as a short line.
    const std::string huge = "\x1b]0;" + std::string(100 * 1024, 'x');
    for (const auto& args : std::vector<std::vector<const char*>>{{"save-last", huge.c_str()},
                                                                  {"status", huge.c_str()}}) {
        const CommandRun r = runCommand(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_LT(r.err.size(), 160u) << r.err.substr(0, 200);
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    }
}

TEST_F(CliTest, AnyExportFolderNameGoesIntoTheRuntimeFile) {
    const fs::path file = companion::runtimeFilePath();
    const std::string folder = "/home/\xff\xfe/M\xe9sica";  // Latin-1, not UTF-8
    std::string error;
    ASSERT_TRUE(companion::writeRuntimeFile(
        file, {"http://127.0.0.1:9/?token=x", 9, "x", getpid(), folder}, error))
        << error;
    companion::RuntimeInfo info;
    ASSERT_TRUE(companion::readRuntimeFile(file, info, error)) << error;
    EXPECT_EQ(info.port, 9);
    EXPECT_EQ(info.exportDir, "/home/\xef\xbf\xbd\xef\xbf\xbd/M\xef\xbf\xbdsica");
}

// Answers printed as they come would crash the command line or fill the terminal: each one
// that is not a status as the daemon makes them is one error line and exit 1.
TEST_F(CliTest, StatusAndSavesRefuseAnswersTheyCannotRead) {
    CannedServer server;
    std::string error;
    ASSERT_TRUE(companion::writeRuntimeFile(
        companion::runtimeFilePath(),
        {"http://127.0.0.1/", server.port(), std::string(64, 'a'), getpid(), "/tmp"}, error));
    nlohmann::json good = {{"state", "live"},
                           {"sampleRate", 48000},
                           {"rateMismatch", false},
                           {"capturedRate", nullptr},
                           {"ringSeconds", 60},
                           {"capturedSeconds", 1.5},
                           {"hold", false},
                           {"exportDir", "/x"},
                           {"takes", nlohmann::json::array({{{"seconds", 1.5}}})},
                           {"meters",
                            {{"momentary", -20},
                             {"shortTerm", -21},
                             {"integrated", nullptr},
                             {"lra", nullptr},
                             {"samplePeak", -6},
                             {"truePeak", -5.9},
                             {"truePeakMax", -5},
                             {"rms", -9}}}};
    server.answer(good.dump());
    CommandRun r = runCommand({"status"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("momentary -20.0 LUFS"), std::string::npos) << r.out;

    std::vector<nlohmann::json> bad;
    for (const char* key : {"state", "meters", "takes", "exportDir", "sampleRate", "hold"}) {
        nlohmann::json missing = good;
        missing.erase(key);
        bad.push_back(missing);
        nlohmann::json wrong = good;
        wrong[key] = key == std::string("exportDir") ? nlohmann::json(5) : nlohmann::json("x");
        bad.push_back(wrong);
    }
    nlohmann::json noMeter = good;
    noMeter["meters"].erase("rms");
    bad.push_back(noMeter);
    nlohmann::json wrongMeter = good;
    wrongMeter["meters"]["truePeak"] = nlohmann::json::array();
    bad.push_back(wrongMeter);
    nlohmann::json oddTake = good;
    oddTake["takes"] = {5};
    bad.push_back(oddTake);
    nlohmann::json oddState = good;
    oddState["state"] = "\x1b[2J";
    bad.push_back(oddState);
    std::vector<std::string> answers = {"[]", "\"live\"", "{", "", "null"};
    for (const nlohmann::json& j : bad) {
        answers.push_back(j.dump());
    }
    for (const std::string& answer : answers) {
        server.answer(answer);
        for (const auto& args :
             std::vector<std::vector<const char*>>{{"status"}, {"status", "--json"}}) {
            r = runCommand(args);
            EXPECT_EQ(r.status, 1) << answer;
            EXPECT_TRUE(r.out.empty()) << answer;
            EXPECT_TRUE(oneLine(r.err)) << answer << " -> " << r.err;
        }
    }
    // A save that names no file failed, whatever the HTTP status says.
    for (const char* answer : {"{}", "{\"path\":5}", "{\"path\":\"\"}", "[]"}) {
        server.answer(answer);
        r = runCommand({"save-last", "5"});
        EXPECT_EQ(r.status, 1) << answer;
        EXPECT_TRUE(r.out.empty()) << answer;
        EXPECT_TRUE(oneLine(r.err)) << answer;
    }
}

// A runtime file left behind names a port that another program holds now: the token goes
// nowhere but to the process the file names, and only when that process is this user's and
// listens on the port.
TEST_F(CliTest, TheTokenGoesOnlyToTheDaemonTheRuntimeFileNames) {
    const std::string token = std::string(64, 'c');
    const auto expectRefusedWithoutToken = [&](Stranger& stranger, pid_t named) {
        ASSERT_GT(stranger.port, 0);
        std::string error;
        ASSERT_TRUE(companion::writeRuntimeFile(companion::runtimeFilePath(),
                                                {"http://x/", stranger.port, token, named, "/tmp"},
                                                error));
        for (const auto& args :
             std::vector<std::vector<const char*>>{{"status"}, {"save-last", "5"}}) {
            const CommandRun r = runCommand(args);
            EXPECT_EQ(r.status, 1) << args[0];
            EXPECT_EQ(r.err, std::string(companion::kNotRunningMessage) + "\n") << args[0];
            EXPECT_TRUE(r.out.empty()) << args[0] << ": " << r.out;
        }
        const std::string seen = stranger.stop();
        EXPECT_EQ(seen.find(token), std::string::npos) << seen;
    };
    // The file names this (live) process, which does not listen on that port.
    Stranger sameUser;
    expectRefusedWithoutToken(sameUser, getpid());

    if (geteuid() != 0) {
        GTEST_SKIP() << "another user's process needs root";
    }
    // The named pid is another user's, and it does listen on the port.
    Stranger otherUser(kNobody);
    expectRefusedWithoutToken(otherUser, otherUser.pid);
}

}  // namespace
