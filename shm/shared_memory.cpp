#include "shm/shared_memory.h"

#include "shm/control_block.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Removals and exclusive creations tried before a name counts as held by someone else.
constexpr int kCreateAttempts = 3;

// [main-thread] A segment is the host user's own when that user owns it and nobody else may
// write it: only then may its content steer the plug-in.
bool ownedByUs(const struct stat& info) {
    return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool SharedMemory::create(const char* segmentName, uint64_t sizeBytes) {
    size = sizeBytes;
    // A leftover of our own goes; another user's cannot be removed (sticky /dev/shm), and
    // O_EXCL then refuses to open it: the plug-in never writes into a segment it did not make.
    // Another instance of the same user may make the name in between: a few tries settle that.
    fd = -1;
    for (int attempt = 0; attempt < kCreateAttempts && fd < 0; ++attempt) {
        shm_unlink(segmentName);
        fd = shm_open(segmentName, O_RDWR | O_CREAT | O_EXCL, kSegmentMode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return false;
    const auto fail = [&] {
        ::close(fd);
        shm_unlink(segmentName);
        fd = -1;
        addr = nullptr;
        return false;
    };
    // The umask can only narrow shm_open's mode; fchmod makes it exactly 0600 either way.
    // ftruncate alone makes a sparse segment: on a full /dev/shm the first write to a missing page
    // would raise SIGBUS in the host. Reserving the pages turns that into a failed creation.
    if (fchmod(fd, kSegmentMode) != 0 || ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0 ||
        posix_fallocate(fd, 0, static_cast<off_t>(sizeBytes)) != 0)
        return fail();
    void* mapping =
        mmap(nullptr, sizeBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (mapping == MAP_FAILED)
        return fail();
    addr = mapping;
    // Zeroing also touches every page here, on the main thread, never first on the audio thread.
    std::memset(addr, 0, sizeBytes);
    std::strncpy(name, segmentName, sizeof(name) - 1);
    name[sizeof(name) - 1] = '\0';
    owner = true;
    return true;
}

bool SharedMemory::openShared(const char* segmentName, uint64_t sizeBytes) {
    close();  // an earlier attach that failed validation must not leak its mapping
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    size = sizeBytes;
    fd = shm_open(segmentName, O_RDWR, 0666);
    if (fd < 0)
        return false;
    // A short segment would raise SIGBUS past its end, and so would a sparse one whose pages a
    // full /dev/shm cannot supply: both count as absent. Reserving keeps the content as it is.
    // Another user's segment, or one that others may write, counts as absent too.
    struct stat info {};
    if (fstat(fd, &info) != 0 || !ownedByUs(info) || info.st_size < 0 ||
        static_cast<uint64_t>(info.st_size) < sizeBytes ||
        posix_fallocate(fd, 0, static_cast<off_t>(sizeBytes)) != 0) {
        ::close(fd);
        fd = -1;
        return false;
    }
    // Populated here, on the main thread: the audio thread never takes the first-touch faults.
    void* mapping =
        mmap(nullptr, sizeBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (mapping == MAP_FAILED) {
        ::close(fd);
        fd = -1;
        addr = nullptr;
        return false;
    }
    addr = mapping;
    owner = false;
    return true;
}

bool SharedMemory::stillNamed(const char* segmentName) const {
    struct stat held {};
    if (fd < 0 || fstat(fd, &held) != 0)
        return false;
    const int named = shm_open(segmentName, O_RDONLY, 0);
    if (named < 0)
        return false;  // removed, or no longer ours to open
    struct stat current {};
    const bool same = fstat(named, &current) == 0 && current.st_dev == held.st_dev &&
                      current.st_ino == held.st_ino;
    ::close(named);
    return same;
}

void SharedMemory::close() {
    if (addr == nullptr)
        return;
    munmap(addr, size);
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (owner && name[0] != '\0')
        shm_unlink(name);
    addr = nullptr;
}

ControlBlock* attachControlBlock(SharedMemory& segment) {
    if (!segment.openShared(kControlSegmentName, kControlBlockBytes))
        return nullptr;
    auto* block = static_cast<ControlBlock*>(segment.addr);
    if (block == nullptr || block->magic != kControlMagic) {
        segment.close();
        return nullptr;
    }
    return block;
}
