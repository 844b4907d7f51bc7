#include "companion/plugin_instances.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace companion {

namespace {

// Whether line holds " N" (text) followed by a space or the line's end.
bool namesNumber(const char* line, const char* text, int length) {
    for (const char* at = std::strstr(line, text); at != nullptr; at = std::strstr(at + 1, text)) {
        const char next = at[length];
        if (next == ' ' || next == '\n' || next == '\0')
            return true;
    }
    return false;
}

// Mappings of (device, inode) in one maps file. Every mapping of the block starts at offset 0;
// the later pieces of one split by mprotect have other offsets and do not count again.
int countInProcess(const char* mapsPath, uint64_t device, uint64_t inode, uintptr_t skipStart) {
    FILE* maps = std::fopen(mapsPath, "re");
    if (maps == nullptr)
        return 0;
    int count = 0;
    // Most lines are other files: only those naming the inode are parsed (this runs every second).
    char inodeText[24];
    const int inodeLength = std::snprintf(inodeText, sizeof(inodeText), " %" PRIu64, inode);
    char line[512];
    while (std::fgets(line, sizeof(line), maps) != nullptr) {
        if (!namesNumber(line, inodeText, inodeLength))
            continue;
        uintptr_t start = 0, end = 0;
        unsigned major = 0, minor = 0;
        unsigned long long offset = 0, node = 0;
        char perms[8] = {};
        if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s %llx %x:%x %llu", &start, &end, perms,
                        &offset, &major, &minor, &node) != 7)
            continue;
        if (node == inode && makedev(major, minor) == device && offset == 0 && start != skipStart)
            ++count;
    }
    std::fclose(maps);
    return count;
}

}  // namespace

namespace {

void countPid(long pid, uint64_t device, uint64_t inode, const void* ownBase, MappingCount& out) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%ld/maps", pid);
    const bool ours = pid == getpid();
    const int found =
        countInProcess(path, device, inode, ours ? reinterpret_cast<uintptr_t>(ownBase) : 0);
    if (found > 0) {
        out.mappings += found;
        out.pids.push_back(static_cast<int>(pid));
    }
}

}  // namespace

// [engine-thread]
MappingCount countControlMappings(uint64_t device, uint64_t inode, const void* ownBase) {
    MappingCount out;
    if (inode == 0)
        return out;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return out;
    while (const dirent* entry = readdir(proc)) {
        if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            countPid(std::strtol(entry->d_name, nullptr, 10), device, inode, ownBase, out);
    }
    closedir(proc);
    return out;
}

// [engine-thread]
MappingCount countControlMappingsIn(const std::vector<int>& pids, uint64_t device, uint64_t inode,
                                    const void* ownBase) {
    MappingCount out;
    if (inode == 0)
        return out;
    for (const int pid : pids)
        countPid(pid, device, inode, ownBase, out);
    return out;
}

}  // namespace companion
