// tessarin-companion: the daemon (no command), or a command against the running daemon.
#include "companion/cli.h"
#include "companion/engine.h"
#include "companion/engine_backend.h"
#include "companion/exporter.h"
#include "companion/history.h"
#include "companion/http_server.h"

#include <cerrno>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>

namespace {

constexpr int kFindDaemonTries = 20;  // a daemon starting in parallel writes its file soon
constexpr int kFindDaemonPollMs = 100;

// [main-thread] Another daemon holds the lock: show its page instead of starting a second
// engine on the same control block.
int pointAtRunningDaemon(const companion::CommandLine& command) {
    companion::RuntimeInfo running;
    for (int i = 0; i < kFindDaemonTries && !companion::findRunningDaemon(running); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kFindDaemonPollMs));
    }
    if (running.url.empty()) {
        std::cerr << "tessarin-companion: another one is starting but has not said where\n";
        return companion::kExitFailure;
    }
    std::cout << running.url << std::endl;
    std::cerr << "tessarin-companion: already running (pid " << running.pid << ")\n";
    std::string error;
    if (command.openBrowser && !companion::openPage(running.url, error)) {
        std::cerr << "tessarin-companion: " << error << '\n';
    }
    return 0;
}

// [main-thread]
int runDaemon(const companion::CommandLine& command) {
    // Blocked before any thread starts, so every thread inherits the mask and the signals wait
    // for sigwait below.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    if (!companion::prepareRuntimeFolder(error)) {
        std::cerr << "tessarin-companion: " << error << '\n';
        return companion::kExitFailure;
    }
    const std::filesystem::path runtimeFile = companion::runtimeFilePath();
    bool heldElsewhere = false;
    const int lockFd = companion::lockDaemon(runtimeFile, heldElsewhere, error);
    if (lockFd < 0 && heldElsewhere) {
        return pointAtRunningDaemon(command);
    }
    if (lockFd < 0) {  // without the lock two daemons could drive one control block
        std::cerr << "tessarin-companion: " << error << '\n';
        return companion::kExitFailure;
    }

    const std::filesystem::path exportDir = command.exportDir.empty()
                                                ? companion::defaultExportDir()
                                                : std::filesystem::absolute(command.exportDir);
    // This user's only daemon (the lock): a temporary export file there is a killed one's.
    companion::removeLeftoverTempFiles(exportDir);
    // The history: a folder that cannot be used leaves the daemon running without it, saying why
    // in the status.
    companion::History history;
    const std::filesystem::path historyDir = command.historyDir.empty()
                                                 ? companion::defaultHistoryDir()
                                                 : std::filesystem::absolute(command.historyDir);
    if (!history.open(companion::HistoryOptions{historyDir, command.historyLimitBytes}, error)) {
        std::cerr << "tessarin-companion: " << error
                  << " (running without a history; tried again every "
                  << companion::kHistoryReopenSeconds << " s)\n";
    }
    companion::Engine engine(companion::EngineOptions{exportDir, true, &history});
    if (!engine.start(error)) {
        std::cerr << "tessarin-companion: " << error << '\n';
        return companion::kExitFailure;
    }
    // A page left open across a restart reconnects by itself only to the same port and token:
    // both come from the last session unless --port says otherwise (then both are new).
    companion::RuntimeInfo session;
    std::string ignored;
    const std::filesystem::path sessionFile = companion::sessionFilePath();
    const bool haveSession = companion::readRuntimeFile(sessionFile, session, ignored) &&
                             companion::wellFormedToken(session.token);
    // A fresh token into `token`; false (with the reason on stderr) when the kernel gives none.
    std::string token = haveSession && !command.portGiven ? session.token : std::string();
    const auto freshToken = [&] {
        try {
            token = companion::makeToken();
            return true;
        } catch (const std::exception& e) {
            std::cerr << "tessarin-companion: " << e.what() << '\n';
            return false;
        }
    };
    if (token.empty() && !freshToken()) {
        engine.stop();
        return companion::kExitFailure;
    }
    companion::EngineBackend backend(engine);
    const bool reusePort = !command.portGiven && haveSession && session.port > 0;
    auto server = std::make_unique<companion::HttpServer>(
        backend,
        companion::ServerOptions{reusePort ? session.port : command.port, token, &history});
    bool started = server->start(error);
    if (!started && reusePort) {
        // The old port is taken meanwhile, perhaps by someone else's listener that an open page
        // would now offer the token to: a new port and a new token.
        if (!freshToken()) {
            engine.stop();
            return companion::kExitFailure;
        }
        server = std::make_unique<companion::HttpServer>(
            backend, companion::ServerOptions{0, token, &history});
        started = server->start(error);
    }
    if (!started) {
        std::cerr << "tessarin-companion: " << error << '\n';
        engine.stop();
        return companion::kExitFailure;
    }
    if (!companion::writeRuntimeFile(
            sessionFile, companion::RuntimeInfo{"", server->port(), token, getpid(), ""}, error)) {
        std::cerr << "tessarin-companion: " << error << " (an open page will not reconnect)\n";
    }
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server->port()) + "/?token=" + token;
    std::cout << url << std::endl;

    const companion::RuntimeInfo info{url, server->port(), token, getpid(), exportDir.string()};
    const bool wroteRuntimeFile = companion::writeRuntimeFile(runtimeFile, info, error);
    if (!wroteRuntimeFile) {
        std::cerr << "tessarin-companion: " << error
                  << " (the page works; the command line will not find this daemon)\n";
    }
    // Through a 0600 launch page: xdg-open's and the browser's arguments are public.
    const bool wroteLaunchFile = command.openBrowser && companion::openPage(url, error);
    if (command.openBrowser && !wroteLaunchFile) {
        std::cerr << "tessarin-companion: " << error << " (open the address above)\n";
    }

    // Waits for the end; meanwhile a history that could not open is tried again now and then
    // (a disk freed, a drive mounted), so a daemon started at login need not be restarted.
    int received = 0;
    const timespec reopenPeriod{companion::kHistoryReopenSeconds, 0};
    while ((received = sigtimedwait(&endSignals, nullptr, &reopenPeriod)) < 0) {
        if (errno == EAGAIN && history.needsReopen() && history.reopen(error)) {
            std::cerr << "tessarin-companion: the history at " << historyDir.string()
                      << " records again\n";
        }
    }
    std::cerr << "tessarin-companion: " << (received == SIGINT ? "SIGINT" : "SIGTERM")
              << ", stopping\n";
    server->stop();
    engine.stop();    // the control block stays: an attached plug-in keeps its mapping
    history.close();  // after the engine: its last take is completed and synced
    std::error_code ignoredError;
    if (wroteRuntimeFile) {
        std::filesystem::remove(runtimeFile, ignoredError);
    }
    if (wroteLaunchFile) {
        std::filesystem::remove(companion::launchFilePath(), ignoredError);
    }
    close(lockFd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    companion::CommandLine command;
    std::string error;
    if (!companion::parseCommandLine(argc, argv, command, error)) {
        std::cerr << "tessarin-companion: " << error << '\n';
        return companion::kExitUsage;
    }
    switch (command.command) {
    case companion::Command::help:
        std::fputs(companion::usageText(), stdout);
        return 0;
    case companion::Command::daemon:
        return runDaemon(command);
    default:
        return companion::runClientCommand(command, std::cout, std::cerr);
    }
}
