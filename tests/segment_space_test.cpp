// A /dev/shm too small for the snapshot segment: activation must not crash the host. Runs in a
// child process with its own mount namespace and an 8 MB tmpfs over /dev/shm (root only).
#include "plugin_fixture.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace off = companion::off;

namespace {

constexpr int kCannotMount = 77;

// The child's checks, as exit codes: 0 when all hold.
int activateOnSmallShm() {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=8m") != 0)
        return kCannotMount;
    companion::ControlSegment control;
    if (!control.create())
        return 2;
    testhost::Host host;
    testhost::Instance instance(host);
    if (!instance.init() || !instance.activate(48000.0))  // the 23 MB snapshot cannot fit
        return 3;
    if (control.load<uint32_t>(off::snapshotBytes) != 0)
        return 4;  // no snapshot segment is announced
    companion::SpectrumReader feed;
    if (!feed.open() || feed.capacity() != 65536)
        return 5;  // the small spectrum feed still fits
    std::vector<float> l(512, 0.5f), r(512, 0.5f);
    control.requestSnapshot(0.0f, 0.5f);
    if (instance.processStereo(l, r) != CLAP_PROCESS_CONTINUE)
        return 6;
    if (control.load<uint8_t>(off::snapshotReady) != 0 ||
        control.load<uint8_t>(off::snapshotRequest) != 1)
        return 7;  // without a segment the request stays pending
    if (instance.lastOutLeft() != l || feed.totalFrames() != 512)
        return 8;
    instance.destroy();
    control.remove();
    return 0;
}

}  // namespace

TEST(SegmentSpace, ActivationSurvivesAFullSharedMemoryFileSystem) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(activateOnSmallShm());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kCannotMount)
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
