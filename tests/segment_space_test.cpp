// A /dev/shm without room for a segment's pages: the plug-in must treat the segment as absent,
// never crash the host with SIGBUS. Each case runs in a child process with its own mount
// namespace and a small tmpfs over /dev/shm (root only; skipped elsewhere).
#include "plugin_fixture.h"
#include "private_shm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>

namespace off = companion::off;
using privateshm::expectChildSucceeds;
using privateshm::kCannotMount;

namespace {

// Fills what is left of the file system holding path.
bool fillFileSystem(const char* path) {
    FILE* filler = std::fopen(path, "wb");
    if (filler == nullptr)
        return false;
    std::vector<char> chunk(4096, 1);
    while (std::fwrite(chunk.data(), 1, chunk.size(), filler) == chunk.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);
    return true;
}

// The child's checks, as exit codes: 0 when all hold.
int activateOnSmallShm() {
    if (!privateshm::mountPrivate("8m"))
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
    if (!privateshm::mountPrivate("2m"))
        return kCannotMount;
    companion::ControlSegment control;
    if (!control.create())  // 1 MB, only its first page written
        return 2;
    if (!fillFileSystem("/dev/shm/filler"))
        return 3;
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

// A /dev/shm full at the first activation: neither plug-in segment can be made. Once there is
// room again, the next activation makes both and announces the snapshot.
int segmentsAreMadeOnceThereIsRoom() {
    if (!privateshm::mountPrivate("32m"))
        return kCannotMount;
    companion::ControlSegment control;
    if (!control.create())
        return 2;
    testhost::Host host;
    testhost::Instance instance(host);
    // Attached before the fill: init reserves the control block's pages.
    if (!instance.init() || !fillFileSystem("/dev/shm/filler") || !instance.activate(48000.0))
        return 3;
    companion::SpectrumReader feed;
    if (control.load<uint32_t>(off::snapshotBytes) != 0 || feed.open())
        return 4;
    instance.deactivate();
    std::remove("/dev/shm/filler");
    if (!instance.activate(48000.0))
        return 5;
    if (control.load<uint32_t>(off::snapshotBytes) != 23040000u)
        return 6;
    if (!feed.open() || feed.capacity() != 65536 || feed.sampleRate() != 48000.0)
        return 7;
    std::vector<float> l(4800, 0.5f), r(4800, -0.5f);
    control.storePlain<float>(off::silenceThreshold, 0.0f);
    control.requestSnapshot(0.0f, 1.0f);
    if (instance.processStereo(l, r) != CLAP_PROCESS_CONTINUE || feed.totalFrames() != 4800)
        return 8;
    if (control.load<uint8_t>(off::snapshotReady) != 1 ||
        control.loadPlain<uint32_t>(off::snapshotCount) != 5760000u)
        return 9;
    companion::SnapshotReader snapshot;
    if (!snapshot.open(23040000u) || snapshot.data()[0] != 0.5f || snapshot.data()[1] != -0.5f)
        return 10;
    instance.destroy();
    control.remove();
    return 0;
}

// The companion making its control block on a /dev/shm too small for it: the one line it
// reports names the cause, and no half-made segment is left under the name.
int companionReportsAFullSharedMemory() {
    if (!privateshm::mountPrivate("512k"))  // the block needs 1,024,256 bytes
        return kCannotMount;
    companion::ControlSegment control;
    companion::ControlSegment::Attach how{};
    std::string error;
    if (control.attachOrCreate(how, error))
        return 2;
    if (error.find(std::strerror(ENOSPC)) == std::string::npos) {
        std::fprintf(stderr, "reported: %s\n", error.c_str());
        return 3;
    }
    if (shm_open(companion::kControlName, O_RDONLY, 0) >= 0 || errno != ENOENT)
        return 4;
    return 0;
}

}  // namespace

TEST(SegmentSpace, AFullSharedMemoryIsReportedAsSuchByTheCompanion) {
    expectChildSucceeds(companionReportsAFullSharedMemory);
}

TEST(SegmentSpace, SegmentsThatCouldNotBeMadeAreMadeAtALaterActivation) {
    expectChildSucceeds(segmentsAreMadeOnceThereIsRoom);
}

TEST(SegmentSpace, SparseControlSegmentOnAFullFileSystemIsAbsent) {
    expectChildSucceeds(attachToSparseControlOnFullShm);
}

TEST(SegmentSpace, ActivationSurvivesAFullSharedMemoryFileSystem) {
    expectChildSucceeds(activateOnSmallShm);
}
