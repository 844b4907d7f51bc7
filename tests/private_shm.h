// A private /dev/shm for one child process: a small tmpfs in its own mount namespace, so a test
// can fill it, or plant segments under the global names, without touching the machine's own
// (root only; the cases skip elsewhere). Each case runs in a forked child and reports by exit code.
#pragma once

#include <gtest/gtest.h>

#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace privateshm {

// The child's exit code when it cannot have its own /dev/shm.
inline constexpr int kCannotMount = 77;

// In this process only: a fresh tmpfs of the given size ("8m") over /dev/shm, world-writable and
// sticky like the real one.
inline bool mountPrivate(const char* size) {
    const std::string options = std::string("mode=1777,size=") + size;
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev/shm", "tmpfs", 0, options.c_str()) == 0;
}

// Runs body in a child; its exit code 0 passes, kCannotMount skips, anything else fails.
inline void expectChildSucceeds(int (*body)()) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(body());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kCannotMount)
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's exit code names the failed check";
}

}  // namespace privateshm
