// tessarin-companion's command line: the daemon's options, the runtime file through which the
// command line finds a running daemon, and the subcommands that call its API over HTTP on
// 127.0.0.1 (status, save-last, save-take, history).
#pragma once

#include "companion/history.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace companion {

inline constexpr const char* kProgramName = "tessarin-companion";
inline constexpr const char* kNotRunningMessage =
    "tessarin-companion is not running: start it first";
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kClientTimeoutMs = 30000;  // a save waits for the snapshot and the file
inline constexpr size_t kTokenBytes = 32;       // random bytes; the token is their hex

enum class Command { daemon, help, status, saveLast, saveTake, history };

struct CommandLine {
    Command command = Command::daemon;
    // The daemon.
    int port = 0;            // 0: any free port
    bool portGiven = false;  // --port given; else the last session's port is tried first
    bool openBrowser = true;
    std::filesystem::path exportDir;                         // empty: ~/Music/Tessarin
    std::filesystem::path historyDir;                        // empty: defaultHistoryDir()
    uint64_t historyLimitBytes = kDefaultHistoryLimitBytes;  // 0: no history
    // The subcommands.
    bool json = false;                                        // status --json, history --json
    double seconds = 0.0;                                     // save-last
    int take = -1;                                            // save-take --take; -1 the newest
    int64_t historyId = 0;                                    // save-take --id; 0: not given
    nlohmann::json exportOptions = nlohmann::json::object();  // "format", "normalize"
};

// Fills out from argv. Returns false with one line in error (exit status kExitUsage).
bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error);
const char* usageText();

// ~/Music/Tessarin ($HOME, else the password database).
std::filesystem::path defaultExportDir();
// $XDG_DATA_HOME/tessarin/history, else ~/.local/share/tessarin/history.
std::filesystem::path defaultHistoryDir();
// Bytes, optionally with K, M or G (binary: 1K = 1024 bytes): "4G", "512M", "0".
bool parseByteSize(std::string_view text, uint64_t& bytes);
// kTokenBytes from getrandom, as lowercase hex. Throws when the kernel gives none.
std::string makeToken();

// Where the daemon tells the command line about itself.
struct RuntimeInfo {
    std::string url;
    int port = 0;
    std::string token;
    pid_t pid = 0;
    std::string exportDir;
};
// The folder of the runtime, session, lock and launch files: $XDG_RUNTIME_DIR, else
// /tmp/tessarin-$EUID (made 0700; one that another user made first is refused, never used).
std::filesystem::path runtimeFolder();
// [main-thread] Makes the /tmp fallback if missing and checks the folder: a directory of this
// user that nobody else may write into (the fallback: nobody else may enter). Returns false with
// one line in error.
bool prepareRuntimeFolder(std::string& error);
// tessarin-companion.json in the runtime folder.
std::filesystem::path runtimeFilePath();
// The session kept across restarts (port and token, same format) so a page left open
// reconnects by itself: tessarin-companion-session.json beside the runtime file. Never removed.
std::filesystem::path sessionFilePath();
// tessarin-companion-open.html beside the runtime file: see writeLaunchFile.
std::filesystem::path launchFilePath();
// A token as makeToken makes them: 2 * kTokenBytes lowercase hex digits.
bool wellFormedToken(const std::string& token);
// Written under a temporary name with mode 0600, then renamed over the old one. Bytes of
// exportDir that are not UTF-8 are written as U+FFFD.
bool writeRuntimeFile(const std::filesystem::path& path, const RuntimeInfo& info,
                      std::string& error);
// Refuses a file that is not ours (another owner) or not a regular file, without waiting on a
// FIFO or following a link.
bool readRuntimeFile(const std::filesystem::path& path, RuntimeInfo& info, std::string& error);

// One daemon per user, or two engines would drive the same control block: an exclusive lock on
// tessarin-companion.lock beside the runtime file, held for the daemon's life. Returns the
// descriptor, or -1 with heldElsewhere set when another daemon holds it (else with one line in
// error).
int lockDaemon(const std::filesystem::path& runtimeFile, bool& heldElsewhere, std::string& error);
// The running daemon's runtime file, if its process is this user's and holds the listening
// socket of the port the file names (a stale file may name a port someone else holds now: the
// token must not go there).
bool findRunningDaemon(RuntimeInfo& info);

// The launch page: a file of mode 0600 at launchFilePath() that sends the browser on to url.
// Opening it keeps the token out of every command line (ps shows argv to every user).
bool writeLaunchFile(const std::string& url, std::filesystem::path& file, std::string& error);
// [main-thread] Writes the launch page and opens it in the browser. False with one line in
// error when the file cannot be written.
bool openPage(const std::string& url, std::string& error);
// Opens a file or address in the user's browser with xdg-open, detached, its output discarded.
// Does nothing without DISPLAY or WAYLAND_DISPLAY.
void openInBrowser(const std::string& target);

// Runs a subcommand against the running daemon, its results on out and one error line on err.
// Returns the exit status.
int runClientCommand(const CommandLine& command, std::ostream& out, std::ostream& err);

// A minimal HTTP/1.1 exchange with 127.0.0.1:port. Returns the status (0 when no answer came,
// with the reason in error) and the body.
int httpRequest(int port, const std::string& method, const std::string& path,
                const std::string& token, const std::string& body, std::string& answer,
                std::string& error, int timeoutMs = kClientTimeoutMs);

}  // namespace companion
