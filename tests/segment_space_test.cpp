// A /dev/shm without room for a segment's pages: the plug-in must treat the segment as absent,
// never crash the host with SIGBUS. Each case runs in a child process with its own mount
// namespace and a small tmpfs over /dev/shm (root only; skipped elsewhere).
#include "plugin_fixture.h"

#include <cstdio>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace off = companion::off;

namespace {

constexpr int kCannotMount = 77;

// In this process only: a fresh tmpfs of the given size ("8m") over /dev/shm.
bool privateSharedMemory(const char* size) {
    const std::string options = std::string("size=") + size;
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev/shm", "tmpfs", 0, options.c_str()) == 0;
}

// The child's checks, as exit codes: 0 when all hold.
int activateOnSmallShm() {
    if (!privateSharedMemory("8m"))
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

// A companion's control segment that is sparse on a full /dev/shm: the plug-in cannot get its
// pages, so it treats the segment as absent rather than dying at the first overview write.
int attachToSparseControlOnFullShm() {
    if (!privateSharedMemory("2m"))
        return kCannotMount;
    companion::ControlSegment control;
    if (!control.create())  // 1 MB, only its first page written
        return 2;
    // Fill what is left of the file system.
    FILE* filler = std::fopen("/dev/shm/filler", "wb");
    if (filler == nullptr)
        return 3;
    std::vector<char> chunk(4096, 1);
    while (std::fwrite(chunk.data(), 1, chunk.size(), filler) == chunk.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);
    testhost::Host host;
    testhost::Instance instance(host);
    if (!instance.init() || !instance.activate(8000.0))
        return 4;
    if (control.load<uint8_t>(off::active) != 0)
        return 5;  // not attached
    std::vector<float> l(4096, 0.5f), r(4096, -0.5f);
    for (int block = 0; block < 100; ++block)  // would draw the overview across the segment
        if (instance.processStereo(l, r) != CLAP_PROCESS_CONTINUE)
            return 6;
    instance.destroy();
    control.remove();
    return 0;
}

void expectChildSucceeds(int (*body)()) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(body());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kCannotMount)
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

TEST(SegmentSpace, SparseControlSegmentOnAFullFileSystemIsAbsent) {
    expectChildSucceeds(attachToSparseControlOnFullShm);
}

TEST(SegmentSpace, ActivationSurvivesAFullSharedMemoryFileSystem) {
    expectChildSucceeds(activateOnSmallShm);
}
