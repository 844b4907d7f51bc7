// Counts the plug-in instances attached to the control block. Every instance maps the segment
// once and all of them share the segment names, so two instances overwrite each other's status,
// overview and snapshots: the page warns when it sees more than one.
#pragma once

#include <cstdint>

namespace companion {

// [engine-thread] Mappings of the segment with this device and inode in every process we may
// read (/proc/<pid>/maps), not counting our own mapping at ownBase. Adjacent pieces of one
// mapping (split by mprotect) count once. About a millisecond for a few hundred processes.
int countControlMappings(uint64_t device, uint64_t inode, const void* ownBase);

}  // namespace companion
