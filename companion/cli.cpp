#include "companion/cli.h"

#include "companion/exporter.h"

#include <algorithm>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

extern char** environ;

namespace companion {

namespace {

using json = nlohmann::json;

constexpr size_t kMaxRuntimeFileBytes = 64 * 1024;
constexpr size_t kMaxAnswerBytes = 16 * 1024 * 1024;

constexpr size_t kMaxQuotedChars = 40;        // a bad argument is shown this far
constexpr size_t kMaxDaemonErrorChars = 300;  // a daemon's error line is shown this far
constexpr const char* kRuntimeFileName = "tessarin-companion.json";
constexpr const char* kSessionFileName = "tessarin-companion-session.json";
constexpr const char* kLockFileName = "tessarin-companion.lock";
constexpr const char* kLaunchFileName = "tessarin-companion-open.html";
constexpr mode_t kPrivateFolderMode = 0700;

// Decimal only: strtod alone also takes hex ("0x10" would be 16 s), "inf" and "nan".
bool parseNumber(const char* text, double& value) {
    if (text == nullptr || *text == '\0' ||
        std::strspn(text, "0123456789.eE+-") != std::strlen(text)) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && *end == '\0' && std::isfinite(value);
}

bool parseInteger(const char* text, long lowest, long highest, long& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= lowest && value <= highest;
}

// none, peak, peak:DB or loudness:LUFS, as the API's "normalize" object.
bool parseNormalize(std::string_view text, json& out) {
    const size_t colon = text.find(':');
    const std::string_view mode = text.substr(0, colon);
    if (mode == "none" && colon == std::string_view::npos) {
        out = {{"mode", "none"}};
        return true;
    }
    if (mode != "peak" && mode != "loudness") {
        return false;
    }
    out = {{"mode", std::string(mode)}};
    if (colon == std::string_view::npos) {
        return mode == "peak";  // loudness needs its target
    }
    double target = 0.0;
    if (!parseNumber(std::string(text.substr(colon + 1)).c_str(), target)) {
        return false;
    }
    out["target"] = target;
    return true;
}

// A text from argv or from the daemon as one short printable line: control bytes become '?',
// and a long one is cut.
std::string printable(std::string_view text, size_t maxChars) {
    std::string out;
    for (const char c : text.substr(0, maxChars)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    if (text.size() > maxChars) {
        out += "...";
    }
    return out;
}

std::string quoted(std::string_view argument) {
    std::string out(1, '"');
    out += printable(argument, kMaxQuotedChars);
    out += '"';
    return out;
}

// "-5" is a (refused) number of seconds, not an option.
bool looksNegative(std::string_view argument) {
    return argument.size() > 1 && argument[0] == '-' &&
           (std::isdigit(static_cast<unsigned char>(argument[1])) || argument[1] == '.');
}

// The process lives and is this user's: another user's pid (kill gives EPERM) is no daemon of ours.
bool processOurs(pid_t pid) {
    struct stat st {};
    const std::string proc = "/proc/" + std::to_string(pid);
    return pid > 0 && ::stat(proc.c_str(), &st) == 0 && st.st_uid == geteuid();
}

// The socket inode listening on 127.0.0.1:port (or any address) as this user, from
// /proc/net/tcp; 0 when none.
unsigned long listeningInode(int port) {
    FILE* table = std::fopen("/proc/net/tcp", "re");
    if (table == nullptr) {
        return 0;
    }
    constexpr unsigned kListenState = 0x0A;
    constexpr unsigned long kLoopbackHex = 0x0100007F;  // 127.0.0.1 as the kernel prints it
    char line[512];
    unsigned long found = 0;
    std::fgets(line, sizeof line, table);  // the heading
    while (found == 0 && std::fgets(line, sizeof line, table) != nullptr) {
        unsigned long address = 0, inode = 0;
        unsigned localPort = 0, state = 0, uid = 0;
        if (std::sscanf(line, " %*d: %lX:%X %*X:%*X %X %*X:%*X %*X:%*X %*X %u %*d %lu", &address,
                        &localPort, &state, &uid, &inode) == 5 &&
            localPort == static_cast<unsigned>(port) && state == kListenState && uid == geteuid() &&
            (address == kLoopbackHex || address == 0)) {
            found = inode;
        }
    }
    std::fclose(table);
    return found;
}

// The daemon named by a runtime file is the one listening on its port: the pid is ours and
// holds the listening socket. Else a stale file names a port that someone else may hold now, and
// the token must not go there.
bool daemonOwnsPort(pid_t pid, int port) {
    if (!processOurs(pid)) {
        return false;
    }
    const unsigned long inode = listeningInode(port);
    if (inode == 0) {
        return false;
    }
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    std::error_code ec;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (auto it = std::filesystem::directory_iterator(fds, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        char target[64];
        const ssize_t n = ::readlink(it->path().c_str(), target, sizeof target);
        if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == wanted) {
            return true;
        }
    }
    return false;
}

// Opens a file of ours in the runtime folder without following a link and without waiting on a
// FIFO; -1 with errno ENXIO (not a regular file) or EPERM (another owner) when it is not one.
int openPrivateFile(const std::filesystem::path& path, int flags, mode_t mode = 0600) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        const int reason = S_ISREG(st.st_mode) ? EPERM : ENXIO;
        ::close(fd);
        errno = reason;
        return -1;
    }
    return fd;
}

// The folder is a real directory of this user that nobody else may write into (the /tmp
// fallback: that nobody else may enter).
bool folderPrivate(const std::filesystem::path& dir, bool strict, std::string& error) {
    struct stat st {};
    // The /tmp fallback is a name anyone could have taken: not through a link.
    if ((strict ? ::lstat(dir.c_str(), &st) : ::stat(dir.c_str(), &st)) != 0) {
        error = "cannot use " + dir.string() + ": " + std::strerror(errno);
        return false;
    }
    const mode_t forbidden = strict ? mode_t{S_IRWXG | S_IRWXO} : mode_t{S_IWGRP | S_IWOTH};
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & forbidden) != 0) {
        error = strict ? dir.string() + " is not this user's private folder: remove it or set " +
                             "XDG_RUNTIME_DIR"
                       : "XDG_RUNTIME_DIR (" + dir.string() +
                             ") must be a folder of this user that nobody else may write into";
        return false;
    }
    return true;
}

bool writePrivateFile(const std::filesystem::path& path, const std::string& text,
                      std::string& error) {
    std::string temporary = path.string() + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    size_t written = 0;
    bool ok = fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    while (ok && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    const int savedErrno = errno;
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path.string() + ": " + std::strerror(ok ? errno : savedErrno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string levelText(const json& value, const char* unit) {
    if (!value.is_number()) {
        return "-";
    }
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << value.get<double>() << ' ' << unit;
    return out.str();
}

std::string stateWords(const std::string& state) {
    if (state == "live") {
        return "live: the plug-in is running";
    }
    if (state == "stalled") {
        return "stalled: the plug-in is loaded but the host is not processing";
    }
    if (state == "inactive") {
        return "inactive: the plug-in is deactivated";
    }
    if (state == "no-plugin") {
        return "no plug-in: none is attached or activated yet";
    }
    return state;
}

std::string fixed(double value, int decimals) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

// The history as a table for people: one take a line, oldest first.
void printHistory(const json& h, std::ostream& out) {
    const json& takes = h.value("takes", json::array());
    out << std::left << std::setw(7) << "id" << std::setw(25) << "start" << std::right
        << std::setw(10) << "length" << std::setw(8) << "rate" << std::setw(12) << "loudness"
        << std::setw(10) << "peak" << std::setw(10) << "true peak"
        << "  flags\n";
    for (const json& t : takes) {
        std::string start = t["start"].is_string() ? t["start"].get<std::string>() : "unknown";
        if (start.size() > 19) {
            start = start.substr(0, 10) + ' ' + start.substr(11, 8);  // local time, to the second
        }
        std::string flags;
        for (const auto& [key, word] :
             {std::pair{"recording", "recording"}, std::pair{"pinned", "pinned"},
              std::pair{"inRing", "in ring"}}) {
            if (t.value(key, false)) {
                flags += (flags.empty() ? "" : ", ") + std::string(word);
            }
        }
        const auto level = [](const json& v) {
            return v.is_number() ? fixed(v.get<double>(), 1) : "-";
        };
        out << std::left << std::setw(7) << t.value("id", int64_t{0}) << std::setw(25) << start
            << std::right << std::setw(9)
            << (t["seconds"].is_number() ? fixed(t["seconds"].get<double>(), 1) : "-") << 's'
            << std::setw(8) << (t["rate"].is_number() ? fixed(t["rate"].get<double>(), 0) : "-")
            << std::setw(12) << level(t["integratedLufs"]) << std::setw(10)
            << level(t["samplePeakDb"]) << std::setw(10) << level(t["truePeakDb"]) << "  " << flags
            << '\n';
    }
    const double mib = 1024.0 * 1024.0;
    out << takes.size() << (takes.size() == 1 ? " take, " : " takes, ")
        << fixed(h.value("bytes", 0.0) / mib, 1) << " MiB of "
        << fixed(h.value("limitBytes", 0.0) / mib, 1) << " MiB (loudness in LUFS, peaks in dB)\n";
    if (const auto it = h.find("error"); it != h.end() && it->is_string()) {
        const std::string& why = it->get_ref<const std::string&>();
        out << "not recording: " << printable(why, why.size()) << '\n';
    }
}

enum class Kind { numberOrNull, boolean, string, object, array };

bool hasKind(const json& object, const char* key, Kind kind) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return false;
    }
    switch (kind) {
    case Kind::numberOrNull:
        return it->is_number() || it->is_null();
    case Kind::boolean:
        return it->is_boolean();
    case Kind::string:
        return it->is_string();
    case Kind::object:
        return it->is_object();
    case Kind::array:
        return it->is_array();
    }
    return false;
}

// Every field printStatus reads, with its kind; the name of the first one that is missing or
// of another kind, or empty when the answer is a status as the daemon makes them.
std::string statusFault(const json& s) {
    static constexpr std::pair<const char*, Kind> kFields[] = {
        {"state", Kind::string},
        {"sampleRate", Kind::numberOrNull},
        {"rateMismatch", Kind::boolean},
        {"capturedRate", Kind::numberOrNull},
        {"ringSeconds", Kind::numberOrNull},
        {"capturedSeconds", Kind::numberOrNull},
        {"hold", Kind::boolean},
        {"takes", Kind::array},
        {"exportDir", Kind::string},
        {"meters", Kind::object}};
    static constexpr const char* kMeters[] = {"momentary",  "shortTerm", "integrated",  "lra",
                                              "samplePeak", "truePeak",  "truePeakMax", "rms"};
    if (!s.is_object()) {
        return "the answer";
    }
    for (const auto& [key, kind] : kFields) {
        if (!hasKind(s, key, kind)) {
            return key;
        }
    }
    static constexpr const char* kStates[] = {"live", "stalled", "inactive", "no-plugin"};
    const std::string& state = s["state"].get_ref<const std::string&>();
    if (std::none_of(std::begin(kStates), std::end(kStates),
                     [&](const char* known) { return state == known; })) {
        return "state";
    }
    for (const char* key : kMeters) {
        if (!hasKind(s["meters"], key, Kind::numberOrNull)) {
            return std::string("meters.") + key;
        }
    }
    for (const json& take : s["takes"]) {
        if (!take.is_object() || !hasKind(take, "seconds", Kind::numberOrNull)) {
            return "takes";
        }
    }
    return {};
}

// Every field printHistory reads, with its kind; the name of the first that is missing or of
// another kind, or empty when the answer is a history as the daemon makes them.
std::string historyFault(const json& h) {
    if (!h.is_object()) {
        return "the answer";
    }
    if (!hasKind(h, "takes", Kind::array)) {
        return "takes";
    }
    for (const char* key : {"bytes", "limitBytes"}) {
        if (!hasKind(h, key, Kind::numberOrNull)) {
            return key;
        }
    }
    static constexpr const char* kNumbers[] = {"seconds", "rate", "integratedLufs", "samplePeakDb",
                                               "truePeakDb"};
    static constexpr const char* kFlags[] = {"recording", "pinned", "inRing"};
    for (const json& take : h["takes"]) {
        if (!take.is_object() || !take.contains("id") || !take["id"].is_number_integer() ||
            !(hasKind(take, "start", Kind::string) || hasKind(take, "start", Kind::numberOrNull))) {
            return "takes";
        }
        for (const char* key : kNumbers) {
            if (!hasKind(take, key, Kind::numberOrNull)) {
                return std::string("takes.") + key;
            }
        }
        for (const char* key : kFlags) {
            if (take.contains(key) && !take[key].is_boolean()) {
                return std::string("takes.") + key;
            }
        }
    }
    return {};
}

// s has passed statusFault.
void printStatus(const json& s, const RuntimeInfo& daemon, std::ostream& out) {
    const json& m = s["meters"];
    out << "state      " << stateWords(s["state"].get<std::string>()) << '\n';
    if (s["sampleRate"].is_number()) {
        out << "rate       " << s["sampleRate"].get<double>() << " Hz";
        if (s["rateMismatch"].get<bool>() && s["capturedRate"].is_number()) {
            out << " (the ring holds audio recorded at " << s["capturedRate"].get<double>()
                << " Hz)";
        }
        out << '\n';
    } else {
        out << "rate       - (not activated yet)\n";
    }
    out << "captured   " << levelText(s["capturedSeconds"], "s") << " of a "
        << levelText(s["ringSeconds"], "s") << " ring" << (s["hold"].get<bool>() ? ", held" : "")
        << '\n';
    out << "loudness   momentary " << levelText(m["momentary"], "LUFS") << ", short-term "
        << levelText(m["shortTerm"], "LUFS") << ", integrated "
        << levelText(m["integrated"], "LUFS") << ", range " << levelText(m["lra"], "LU") << '\n';
    out << "peaks      sample " << levelText(m["samplePeak"], "dBFS") << ", true "
        << levelText(m["truePeak"], "dBTP") << " (max " << levelText(m["truePeakMax"], "dBTP")
        << "), RMS (power sum of both channels) " << levelText(m["rms"], "dB") << '\n';
    const json& takes = s["takes"];
    out << "takes      " << takes.size();
    if (!takes.empty()) {
        out << ", newest " << levelText(takes.back()["seconds"], "s");
    }
    out << '\n';
    const std::string& exportDir = s["exportDir"].get_ref<const std::string&>();
    out << "exports    " << printable(exportDir, exportDir.size()) << '\n';
    if (const auto it = s.find("historyError"); it != s.end() && it->is_string()) {
        const std::string& why = it->get_ref<const std::string&>();
        out << "history    not recording: " << printable(why, why.size()) << '\n';
    }
    out << "page       " << daemon.url << '\n';
}

// The daemon's error line, or a generic one when its answer is not ours.
std::string answerError(int status, const std::string& answer) {
    const json body = json::parse(answer, nullptr, false);
    if (body.is_object() && body.contains("error") && body["error"].is_string()) {
        return printable(body["error"].get<std::string>(), kMaxDaemonErrorChars);
    }
    return "the daemon answered HTTP " + std::to_string(status);
}

}  // namespace

const char* usageText() {
    return "usage: tessarin-companion [--port N] [--no-browser] [--export-dir DIR]\n"
           "                         [--history-dir DIR] [--history-limit SIZE]\n"
           "       tessarin-companion status [--json]\n"
           "       tessarin-companion save-last SECONDS [--format F] [--normalize N]\n"
           "       tessarin-companion save-take [--take INDEX | --id ID] [--format F] [--normalize "
           "N]\n"
           "       tessarin-companion history [--json]\n"
           "\n"
           "Without a command: runs the daemon. It owns the plug-in's control block, serves the\n"
           "page on 127.0.0.1 and prints its address (with the access token) as the first line.\n"
           "  --port N          listen on port N (0: any free port; default: the last\n"
           "                    session's port, else any free one)\n"
           "  --no-browser      do not open the page in the browser\n"
           "  --export-dir DIR  where exports go (default ~/Music/Tessarin)\n"
           "  --history-dir DIR where the history of takes is kept (default\n"
           "                    $XDG_DATA_HOME/tessarin/history, ~/.local/share/...)\n"
           "  --history-limit SIZE  room for the history: bytes, or with K, M or G\n"
           "                    (default 4G; the oldest unpinned takes go first; 0: none)\n"
           "\n"
           "Commands, against the running daemon:\n"
           "  status            the plug-in's state, rate, captured audio, meters and takes\n"
           "    --json          the daemon's status JSON instead\n"
           "  save-last SECONDS writes the newest SECONDS of captured audio; prints the file\n"
           "  save-take         writes the newest take (--take INDEX: 0 is the oldest kept;\n"
           "                    --id ID: the history's take ID); prints the file\n"
           "  history           the takes kept on disk, oldest first\n"
           "    --json          the daemon's history JSON instead\n"
           "    --format F      wav32f (default), wav24, wav16, flac24 or flac16\n"
           "    --normalize N   none (default), peak (to -1 dBTP), peak:DB or loudness:LUFS\n"
           "\n"
           "exit status: 0 done, 1 failed (no daemon, no plug-in live, nothing captured),\n"
           "2 bad options\n";
}

// [main-thread]
bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error) {
    int i = 1;
    if (argc > 1) {
        const std::string_view first = argv[1];
        if (first == "status") {
            out.command = Command::status;
            ++i;
        } else if (first == "save-last") {
            out.command = Command::saveLast;
            ++i;
        } else if (first == "save-take") {
            out.command = Command::saveTake;
            ++i;
        } else if (first == "history") {
            out.command = Command::history;
            ++i;
        } else if (first == "help") {
            out.command = Command::help;
            return true;
        }
    }
    const Command command = out.command;
    const bool saves = command == Command::saveLast || command == Command::saveTake;
    bool haveSeconds = false;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "-h" || arg == "--help") {
            out.command = Command::help;
            return true;
        } else if (command == Command::daemon && arg == "--port") {
            long port = 0;
            if (!parseInteger(value, 0, 65535, port)) {
                error = "--port needs a port number, 0..65535";
                return false;
            }
            out.port = static_cast<int>(port);
            out.portGiven = true;
            ++i;
        } else if (command == Command::daemon && arg == "--no-browser") {
            out.openBrowser = false;
        } else if (command == Command::daemon && arg == "--export-dir") {
            if (value == nullptr || *value == '\0') {
                error = "--export-dir needs a directory";
                return false;
            }
            out.exportDir = value;
            ++i;
        } else if (command == Command::daemon && arg == "--history-dir") {
            if (value == nullptr || *value == '\0') {
                error = "--history-dir needs a directory";
                return false;
            }
            out.historyDir = value;
            ++i;
        } else if (command == Command::daemon && arg == "--history-limit") {
            if (value == nullptr || !parseByteSize(value, out.historyLimitBytes)) {
                error = "--history-limit needs a size in bytes, with K, M or G (\"4G\", 0: off)";
                return false;
            }
            ++i;
        } else if ((command == Command::status || command == Command::history) && arg == "--json") {
            out.json = true;
        } else if (command == Command::saveTake && arg == "--id") {
            long long id = 0;
            char* end = nullptr;
            errno = 0;
            if (value != nullptr) {
                id = std::strtoll(value, &end, 10);
            }
            if (value == nullptr || *value == '\0' || errno != 0 || *end != '\0' || id <= 0) {
                error = "--id needs a take id from the history (see tessarin-companion history)";
                return false;
            }
            out.historyId = id;
            ++i;
        } else if (saves && arg == "--format") {
            ExportFormat format;
            if (value == nullptr || !parseFormat(value, format)) {
                error = "--format needs one of wav32f, wav24, wav16, flac24, flac16";
                return false;
            }
            out.exportOptions["format"] = value;
            ++i;
        } else if (saves && arg == "--normalize") {
            json normalize;
            if (value == nullptr || !parseNormalize(value, normalize)) {
                error = "--normalize needs none, peak, peak:DB or loudness:LUFS";
                return false;
            }
            out.exportOptions["normalize"] = normalize;
            ++i;
        } else if (command == Command::saveTake && arg == "--take") {
            long take = 0;
            if (!parseInteger(value, 0, 1000000, take)) {
                error = "--take needs a take index, 0 for the oldest";
                return false;
            }
            out.take = static_cast<int>(take);
            ++i;
        } else if (command == Command::saveLast && !haveSeconds &&
                   (!arg.starts_with("-") || looksNegative(arg))) {
            if (!parseNumber(argv[i], out.seconds) || !(out.seconds > 0.0)) {
                error = "save-last needs a number of seconds above 0, not " + quoted(arg);
                return false;
            }
            haveSeconds = true;
        } else {
            error = "unknown option " + quoted(arg) + " (see --help)";
            return false;
        }
    }
    if (command == Command::saveLast && !haveSeconds) {
        error = "save-last needs a number of seconds";
        return false;
    }
    if (command == Command::saveTake && out.historyId != 0 && out.take != -1) {
        error = "save-take takes --take or --id, not both";
        return false;
    }
    return true;
}

bool parseByteSize(std::string_view text, uint64_t& bytes) {
    if (text.empty()) {
        return false;
    }
    int shift = 0;
    switch (text.back()) {
    case 'K':
    case 'k':
        shift = 10;
        break;
    case 'M':
    case 'm':
        shift = 20;
        break;
    case 'G':
    case 'g':
        shift = 30;
        break;
    default:
        break;
    }
    const std::string_view digits = shift > 0 ? text.substr(0, text.size() - 1) : text;
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    uint64_t value = 0;
    for (const char c : digits) {
        if (value > (UINT64_MAX - 9) / 10) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > (UINT64_MAX >> shift)) {
        return false;
    }
    bytes = value << shift;
    return true;
}

// $HOME, else the password database's.
static std::filesystem::path homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/tmp";
}

std::filesystem::path defaultExportDir() {
    return homeDirectory() / "Music" / "Tessarin";
}

std::filesystem::path defaultHistoryDir() {
    // XDG: a relative XDG_DATA_HOME is invalid and ignored.
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return std::filesystem::path(data) / "tessarin" / "history";
    }
    return homeDirectory() / ".local" / "share" / "tessarin" / "history";
}

std::string makeToken() {
    unsigned char bytes[kTokenBytes];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("no random bytes: ") + std::strerror(errno));
        }
        filled += static_cast<size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 0x0F];
    }
    return token;
}

std::filesystem::path runtimeFolder() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && *runtimeDir != '\0') {
        return runtimeDir;
    }
    return "/tmp/tessarin-" + std::to_string(geteuid());
}

bool prepareRuntimeFolder(std::string& error) {
    const std::filesystem::path dir = runtimeFolder();
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    const bool fallback = runtimeDir == nullptr || *runtimeDir == '\0';
    if (fallback && ::mkdir(dir.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) {
        error = "cannot make " + dir.string() + ": " + std::strerror(errno);
        return false;
    }
    return folderPrivate(dir, fallback, error);
}

std::filesystem::path runtimeFilePath() {
    return runtimeFolder() / kRuntimeFileName;
}

std::filesystem::path sessionFilePath() {
    return runtimeFolder() / kSessionFileName;
}

std::filesystem::path launchFilePath() {
    return runtimeFolder() / kLaunchFileName;
}

bool wellFormedToken(const std::string& token) {
    return token.size() == 2 * kTokenBytes && std::all_of(token.begin(), token.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool writeRuntimeFile(const std::filesystem::path& path, const RuntimeInfo& info,
                      std::string& error) {
    // A folder name need not be UTF-8: such bytes are written as U+FFFD (the name is shown,
    // never used to reach the folder).
    const std::string text = json{{"url", info.url},
                                  {"port", info.port},
                                  {"token", info.token},
                                  {"pid", info.pid},
                                  {"exportDir", info.exportDir}}
                                 .dump(-1, ' ', false, json::error_handler_t::replace) +
                             "\n";
    return writePrivateFile(path, text, error);
}

bool writeLaunchFile(const std::string& url, std::filesystem::path& file, std::string& error) {
    file = launchFilePath();
    const std::string text = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
                             "<meta http-equiv=\"refresh\" content=\"0;url=" +
                             url +
                             "\">\n<title>Tessarin</title></head>\n"
                             "<body><p>Opening <a href=\"" +
                             url + "\">the Tessarin companion</a>.</p></body></html>\n";
    return writePrivateFile(file, text, error);
}

bool readRuntimeFile(const std::filesystem::path& path, RuntimeInfo& info, std::string& error) {
    const int fd = openPrivateFile(path, O_RDONLY);
    if (fd < 0) {
        error = errno == ENXIO || errno == EPERM
                    ? path.string() + " is not this user's runtime file"
                    : path.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) != 0 || st.st_size > static_cast<off_t>(kMaxRuntimeFileBytes)) {
        ::close(fd);
        error = path.string() + " is not this user's runtime file";
        return false;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxRuntimeFileBytes) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    const json j = json::parse(text, nullptr, false);
    const auto has = [&](const char* key, json::value_t type) {
        return j.is_object() && j.contains(key) && j[key].type() == type;
    };
    if (!has("token", json::value_t::string) || !has("url", json::value_t::string) ||
        !j.contains("port") || !j["port"].is_number_integer() || !j.contains("pid") ||
        !j["pid"].is_number_integer()) {
        error = path.string() + " is damaged";
        return false;
    }
    info.url = j["url"].get<std::string>();
    info.token = j["token"].get<std::string>();
    const int64_t port = j["port"].get<int64_t>();
    const int64_t pid = j["pid"].get<int64_t>();
    if (port <= 0 || port > 65535 || pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
        error = path.string() + " is damaged";
        return false;
    }
    info.port = static_cast<int>(port);
    info.pid = static_cast<pid_t>(pid);
    info.exportDir =
        has("exportDir", json::value_t::string) ? j["exportDir"].get<std::string>() : std::string();
    return true;
}

int lockDaemon(const std::filesystem::path& runtimeFile, bool& heldElsewhere, std::string& error) {
    heldElsewhere = false;
    const std::filesystem::path lockPath = runtimeFile.parent_path() / kLockFileName;
    const int fd = openPrivateFile(lockPath, O_RDWR | O_CREAT);
    if (fd < 0) {
        error = errno == ENXIO || errno == EPERM
                    ? lockPath.string() + " is not this user's lock file: remove it"
                    : "cannot open " + lockPath.string() + ": " + std::strerror(errno);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        heldElsewhere = errno == EWOULDBLOCK;
        error = "cannot lock " + lockPath.string() + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool findRunningDaemon(RuntimeInfo& info) {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    const bool fallback = runtimeDir == nullptr || *runtimeDir == '\0';
    std::string ignored;
    return folderPrivate(runtimeFolder(), fallback, ignored) &&
           readRuntimeFile(runtimeFilePath(), info, ignored) && daemonOwnsPort(info.pid, info.port);
}

bool openPage(const std::string& url, std::string& error) {
    std::filesystem::path file;
    if (!writeLaunchFile(url, file, error)) {
        return false;
    }
    openInBrowser(file.string());
    return true;
}

void openInBrowser(const std::string& url) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0')) {
        return;
    }
    // posix_spawn, not fork: the daemon has threads by now. The child gets a clean signal mask
    // (the daemon blocks SIGINT and SIGTERM) and its own session, so a Ctrl-C to the daemon's
    // terminal leaves the browser alone.
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    std::string program = "xdg-open";
    std::string address = url;
    char* arguments[] = {program.data(), address.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", &actions, &attributes, arguments, environ) == 0) {
        // xdg-open may live as long as the browser it started: reap it whenever it ends.
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
}

int httpRequest(int port, const std::string& method, const std::string& path,
                const std::string& token, const std::string& body, std::string& answer,
                std::string& error, int timeoutMs) {
    answer.clear();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return 0;
    }
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        return 0;
    }
    std::string request = method + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nAuthorization: Bearer " + token + "\r\nConnection: close\r\n";
    if (!body.empty()) {
        request +=
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n";
    }
    request += "\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            error = std::string("send: ") + std::strerror(errno);
            ::close(fd);
            return 0;
        }
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno == EAGAIN ? "no answer in time" : std::strerror(errno);
            ::close(fd);
            return 0;
        }
        raw.append(buffer, static_cast<size_t>(n));
        if (raw.size() > kMaxAnswerBytes) {
            break;
        }
    }
    ::close(fd);
    // "HTTP/1.1 200 OK\r\n...\r\n\r\nbody"
    const size_t headerEnd = raw.find("\r\n\r\n");
    int status = 0;
    if (headerEnd == std::string::npos || std::sscanf(raw.c_str(), "HTTP/1.%*d %d", &status) != 1) {
        error = "the answer is not HTTP";
        return 0;
    }
    answer = raw.substr(headerEnd + 4);
    return status;
}

int runClientCommand(const CommandLine& command, std::ostream& out, std::ostream& err) {
    RuntimeInfo daemon;
    if (!findRunningDaemon(daemon)) {
        err << kNotRunningMessage << '\n';
        return kExitFailure;
    }
    std::string method = "POST", path, body;
    if (command.command == Command::status) {
        method = "GET";
        path = "/api/status";
    } else if (command.command == Command::saveLast) {
        path = "/api/save-last";
        json request = command.exportOptions;
        request["seconds"] = command.seconds;
        body = request.dump();
    } else if (command.command == Command::saveTake && command.historyId > 0) {
        path = "/api/history/" + std::to_string(command.historyId) + "/save";
        body = command.exportOptions.dump();
    } else if (command.command == Command::saveTake) {
        path = "/api/save-take";
        json request = command.exportOptions;
        request["take"] = command.take;
        body = request.dump();
    } else if (command.command == Command::history) {
        method = "GET";
        path = "/api/history";
    } else {
        err << "nothing to ask the daemon\n";
        return kExitUsage;
    }
    std::string answer, error;
    const int status = httpRequest(daemon.port, method, path, daemon.token, body, answer, error);
    if (status == 0) {
        // The process lives but nothing answers on its port: not a daemon we can use.
        err << kNotRunningMessage << " (" << error << ")\n";
        return kExitFailure;
    }
    if (status != 200) {
        err << answerError(status, answer) << '\n';
        return kExitFailure;
    }
    const json result = json::parse(answer, nullptr, false);
    if (!result.is_object()) {
        err << "the daemon's answer is not JSON\n";
        return kExitFailure;
    }
    if (command.command == Command::status) {
        if (const std::string fault = statusFault(result); !fault.empty()) {
            err << "the daemon's status is not understood (" << fault << ")\n";
            return kExitFailure;
        }
    }
    if (command.command == Command::history) {
        if (const std::string fault = historyFault(result); !fault.empty()) {
            err << "the daemon's history is not understood (" << fault << ")\n";
            return kExitFailure;
        }
    }
    if (command.command == Command::status || command.command == Command::history) {
        if (command.json) {
            out << result.dump(2) << '\n';
        } else if (command.command == Command::status) {
            printStatus(result, daemon, out);
        } else {
            printHistory(result, out);
        }
        return 0;
    }
    const auto written = result.find("path");
    if (written == result.end() || !written->is_string() ||
        written->get_ref<const std::string&>().empty()) {
        err << "the daemon's answer names no file\n";
        return kExitFailure;
    }
    out << written->get<std::string>() << '\n';
    // Less than was asked (more seconds than were captured, audio not copied): said on stderr,
    // so the path stays the only line on stdout.
    const auto note = result.find("note");
    if (note != result.end() && note->is_string() && !note->get_ref<const std::string&>().empty())
        err << "note: " << printable(note->get<std::string>(), kMaxDaemonErrorChars) << '\n';
    return 0;
}

}  // namespace companion
