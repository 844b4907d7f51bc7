// One mapped POSIX shared-memory segment: either made by the plug-in (`create`, removed again by
// `close`) or opened from the companion (`openShared`, only unmapped by `close`).
// [main-thread] Every operation runs on the main thread: init, activation, destruction.
#pragma once

#include <cstdint>

// Mode of the segments the plug-in makes: its audio is for the user running the host alone.
inline constexpr uint32_t kSegmentMode = 0600;

struct SharedMemory {
    void* addr = nullptr;  // start of the mapping; null when nothing is mapped
    uint64_t size = 0;     // length of the mapping in bytes
    bool owner = false;    // this object created the segment and removes its name on close
    int32_t fd = -1;       // descriptor of the open segment; -1 when none
    char name[256] = {};   // segment name, recorded only by create

    // Makes a fresh zero-filled segment under name, mode 0600, owned by the effective user. A
    // leftover of that name is removed first; a name that cannot be removed (another user's, in
    // the sticky /dev/shm) is never opened, so the creation fails and the segment stays absent.
    bool create(const char* segmentName, uint64_t sizeBytes);
    // Opens and maps an existing segment. Fails when it is absent or smaller than sizeBytes:
    // touching a short mapping past its end would raise SIGBUS. Fails as well when the segment
    // belongs to another user or others than its owner may write it: audio and requests are
    // exchanged only with the host's own user. Releases an earlier mapping first.
    bool openShared(const char* segmentName, uint64_t sizeBytes);
    // True while segmentName still names the segment held open here. False when nothing is held,
    // the name was removed, or it now names another segment (a companion that restarted).
    bool stillNamed(const char* segmentName) const;
    // Unmaps, closes the descriptor, and removes the name when this object created the segment.
    void close();
};

struct ControlBlock;

// Attaches to the companion's control block: opens the segment and validates its magic.
// Returns the block, or null (and nothing held) when it is absent, short, foreign or not the
// host user's own.
// [main-thread, inactive]
ControlBlock* attachControlBlock(SharedMemory& segment);
