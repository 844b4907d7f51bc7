// The built daemon as people start it: how it opens the page, which token it keeps, the folder
// names it accepts and the runtime folder it uses without XDG_RUNTIME_DIR. Each case starts
// tessarin-companion with an environment of its own and ends it with SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kDaemon = TESSARIN_BINARY_DIR "/tessarin-companion";
constexpr int kStartMs = 15000;  // sanitizer builds start and stop slowly
constexpr uid_t kNobody = 65534;

struct Process {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

// Runs the built program with exactly env as its environment, stdout and stderr on pipes.
Process start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv{const_cast<char*>(kDaemon)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : env) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
        execve(kDaemon, argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, out[0], err[0]};
}

// One line from fd within timeoutMs (without its newline); empty when none came.
std::string readLine(int fd, int timeoutMs) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char c;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) == 1) {
            if (read(fd, &c, 1) != 1) {
                break;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
    }
    return {};
}

// The wait status once the process ended, SIGKILL after timeoutMs.
int waitFor(pid_t pid, int timeoutMs) {
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

// SIGTERM, then the wait status.
int stop(Process& p) {
    kill(p.pid, SIGTERM);
    const int status = waitFor(p.pid, kStartMs);
    close(p.out);
    close(p.err);
    return status;
}

bool exitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::string tokenOf(const std::string& url) {
    const size_t at = url.find("?token=");
    return at == std::string::npos ? std::string() : url.substr(at + 7);
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tessarin-daemon-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        base = name;
        fs::create_directories(base / "run");
        fs::permissions(base / "run", fs::perms::owner_all);
        fs::create_directories(base / "home");
        fs::create_directories(base / "bin");
        // xdg-open as the daemon calls it: writes down its arguments.
        std::ofstream(base / "bin/xdg-open")
            << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" << (base / "args").string() << "\"\n";
        fs::permissions(base / "bin/xdg-open", fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(base); }
    std::vector<std::string> environment(const fs::path& home) const {
        return {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + (base / "run").string(), "DISPLAY=:0",
                "PATH=" + (base / "bin").string() + ":/usr/bin:/bin"};
    }
    std::vector<std::string> environment() const { return environment(base / "home"); }
    fs::path base;
};

// Every local user can read a process's arguments: the browser is sent to a launch page of this
// user's instead of the address with its token.
TEST_F(DaemonTest, OpensThePageThroughAPrivateLaunchFile) {
    Process daemon = start({}, environment());
    const std::string url = readLine(daemon.out, kStartMs);
    const std::string token = tokenOf(url);
    ASSERT_EQ(token.size(), 64u) << url;
    std::string opened;
    for (int i = 0; i < 500 && opened.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        opened = fileText(base / "args");
    }
    EXPECT_EQ(opened.find(token), std::string::npos) << opened;
    ASSERT_FALSE(opened.empty());
    const fs::path launch = opened.substr(0, opened.find('\n'));
    EXPECT_EQ(launch.parent_path(), base / "run");
    struct stat st {};
    ASSERT_EQ(lstat(launch.c_str(), &st), 0) << launch;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_NE(fileText(launch).find("content=\"0;url=" + url + "\""), std::string::npos);
    EXPECT_TRUE(exitedWith(stop(daemon), 0));
    EXPECT_FALSE(fs::exists(launch)) << "the launch page goes with the daemon";
}

// The session's token comes back after a plain restart, so an open page reconnects; --port
// starts a new one.
TEST_F(DaemonTest, AGivenPortMeansANewToken) {
    const auto tokenAfterStart = [&](std::vector<std::string> args) {
        args.push_back("--no-browser");
        Process daemon = start(args, environment());
        const std::string token = tokenOf(readLine(daemon.out, kStartMs));
        EXPECT_TRUE(exitedWith(stop(daemon), 0));
        return token;
    };
    const std::string first = tokenAfterStart({});
    ASSERT_EQ(first.size(), 64u);
    EXPECT_EQ(tokenAfterStart({}), first);
    const std::string withPort = tokenAfterStart({"--port", "0"});
    ASSERT_EQ(withPort.size(), 64u);
    EXPECT_NE(withPort, first);
    EXPECT_EQ(tokenAfterStart({}), withPort);
}

// A home folder or export folder whose name is not UTF-8 (a Latin-1 name, say).
TEST_F(DaemonTest, StartsWhateverBytesTheFolderNamesHold) {
    const fs::path home = base / "h\xf6me";
    const fs::path exports = base / "M\xfasica";
    fs::create_directories(home);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--no-browser"}, {"--no-browser", "--export-dir", exports}}) {
        Process daemon = start(args, environment(home));
        EXPECT_EQ(readLine(daemon.out, kStartMs).rfind("http://127.0.0.1:", 0), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const int status = stop(daemon);
        EXPECT_TRUE(exitedWith(status, 0))
            << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                    : "exit " + std::to_string(WEXITSTATUS(status)));
    }
}

// In a child with its own /tmp and /dev/shm: files another user put where the daemon looks
// without XDG_RUNTIME_DIR. Returns 0, or the number of the failed check (77: cannot mount).
int withoutRuntimeDirectory() {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
        return 77;
    }
    // As another user: a FIFO under each fixed name in /tmp (a daemon opening one blocks), and
    // a lock file.
    const auto asNobody = [](auto body) {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(setresgid(kNobody, kNobody, kNobody) == 0 &&
                          setresuid(kNobody, kNobody, kNobody) == 0 && body()
                      ? 0
                      : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return exitedWith(status, 0);
    };
    const std::string uid = std::to_string(geteuid());
    if (!asNobody([&] {
            const std::string old = "/tmp/tessarin-companion-" + uid;
            return mkfifo((old + ".json").c_str(), 0666) == 0 &&
                   mkfifo((old + "-session.json").c_str(), 0666) == 0 &&
                   close(open((old + ".lock").c_str(), O_CREAT | O_RDWR, 0666)) == 0;
        })) {
        return 1;
    }
    const std::vector<std::string> env = {"HOME=/tmp", "PATH=/usr/bin:/bin"};
    Process daemon = start({"--no-browser"}, env);
    const std::string url = readLine(daemon.out, kStartMs);
    if (url.rfind("http://127.0.0.1:", 0) != 0) {
        stop(daemon);
        return 2;
    }
    struct stat st {};
    const std::string folder = "/tmp/tessarin-" + uid;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & 0777) != 0700 ||
        st.st_uid != geteuid()) {
        stop(daemon);
        return 3;
    }
    Process status = start({"status"}, env);
    if (!exitedWith(waitFor(status.pid, kStartMs), 0)) {
        stop(daemon);
        return 4;
    }
    // A second daemon finds the lock held and points at the first.
    Process second = start({"--no-browser"}, env);
    const std::string pointed = readLine(second.out, kStartMs);
    if (!exitedWith(waitFor(second.pid, kStartMs), 0) || pointed != url) {
        stop(daemon);
        return 5;
    }
    if (!exitedWith(stop(daemon), 0)) {
        return 6;
    }
    // Another user made the folder first (and put a FIFO in it): refused in one line, at once.
    fs::remove_all(folder);
    if (!asNobody([&] {
            return mkdir(folder.c_str(), 0777) == 0 && chmod(folder.c_str(), 0777) == 0 &&
                   mkfifo((folder + "/tessarin-companion.json").c_str(), 0666) == 0;
        })) {
        return 7;
    }
    Process refused = start({"--no-browser"}, env);
    const std::string reason = readLine(refused.err, kStartMs);
    if (!exitedWith(waitFor(refused.pid, kStartMs), 1) ||
        reason.find(folder) == std::string::npos || !readLine(refused.err, 100).empty()) {
        return 8;
    }
    Process client = start({"status"}, env);
    if (!exitedWith(waitFor(client.pid, kStartMs), 1)) {
        return 9;
    }
    return 0;
}

TEST(DaemonRuntimeFolder, WithoutXdgRuntimeDirOtherUsersFilesAreNeverUsed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "another user and a private /tmp need root";
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(withoutRuntimeDirectory());
    }
    const int status = waitFor(child, 180000);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's exit code names the failed check";
}

}  // namespace
