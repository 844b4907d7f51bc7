// Counts the plug-in instances attached to the control block. Every instance maps the segment
// once and all of them share the segment names, so two instances overwrite each other's status,
// overview and snapshots: the page warns when it sees more than one.
#pragma once

#include <cstdint>
#include <vector>

namespace companion {

// Mappings of the segment with this device and inode, found in /proc/<pid>/maps, not counting
// our own mapping at ownBase, and the processes that hold them.
struct MappingCount {
    int mappings = 0;
    std::vector<int> pids;
};

// [engine-thread] Every process we may read (a few ms on a busy desktop: do it rarely), or only
// the given ones (cheap: the processes already known to hold the block).
MappingCount countControlMappings(uint64_t device, uint64_t inode, const void* ownBase);
MappingCount countControlMappingsIn(const std::vector<int>& pids, uint64_t device, uint64_t inode,
                                    const void* ownBase);

}  // namespace companion
