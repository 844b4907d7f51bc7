// The command line against no daemon, a stale runtime file and a running server with a fake
// engine: exit statuses, the error lines people see, and the requests that reach the engine.
#include "fake_backend.h"

#include "companion/cli.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
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

}  // namespace
