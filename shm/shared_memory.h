// One mapped POSIX shared-memory segment: either made by the plug-in (`create`, removed again by
// `close`) or opened from the companion (`openShared`, only unmapped by `close`).
// [main-thread] Every operation runs on the main thread: init, activation, destruction.
#pragma once

#include <cstdint>

struct SharedMemory {
    void* addr = nullptr;  // start of the mapping; null when nothing is mapped
    uint64_t size = 0;     // length of the mapping in bytes
    bool owner = false;    // this object created the segment and removes its name on close
    int32_t fd = -1;       // descriptor of the open segment; -1 when none
    char name[256] = {};   // segment name, recorded only by create

    // Makes a fresh zero-filled segment under name (a leftover of that name is removed first).
    bool create(const char* segmentName, uint64_t sizeBytes);
    // Opens and maps an existing segment. Fails when it is absent or smaller than sizeBytes:
    // touching a short mapping past its end would raise SIGBUS. Releases an earlier mapping first.
    bool openShared(const char* segmentName, uint64_t sizeBytes);
    // Unmaps, closes the descriptor, and removes the name when this object created the segment.
    void close();
};

struct ControlBlock;

// Attaches to the companion's control block: opens the segment and validates its magic.
// Returns the block, or null (and nothing held) when it is absent, short or foreign.
// [main-thread, inactive]
ControlBlock* attachControlBlock(SharedMemory& segment);
