// A stand-in for the host's extension record "cockos.reaper_extension": a record whose fourth
// member (byte offset 24) looks functions up by name, and the eleven project functions the
// plug-in uses. Every call is recorded with its arguments, in order; the project it pretends to
// hold (tracks, selection, project path, cursor) and which names resolve are configurable.
//
// Single instance: the C function pointers handed to the plug-in reach the object through one
// current-instance pointer, set by the constructor and cleared by the destructor. At most one
// HostApiStandin may exist at a time (the constructor aborts otherwise). Calls are expected on
// one thread, the host's main thread; the log is not synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace hostapi {

inline constexpr const char* kExtensionId = "cockos.reaper_extension";

// The names the record resolves, in the order the plug-in looks them up.
inline constexpr const char* kFunctionNames[] = {
    "GetProjectPathEx", "InsertMedia",       "SetOnlyTrackSelected", "GetTrack",
    "GetSelectedTrack", "GetCursorPosition", "SetEditCurPos",        "PreventUIRefresh",
    "Undo_BeginBlock2", "Undo_EndBlock2",    "UpdateArrange"};
inline constexpr std::size_t kFunctionCount = std::size(kFunctionNames);

// The record as the host lays it out: only the lookup entry at byte offset 24 is meant to be used.
// The three members before it point at a trap that logs "<wrong record member>" when called.
struct ExtensionRecord {
    void* (*firstMember)(const char*);
    void* (*secondMember)(const char*);
    void* (*thirdMember)(const char*);
    void* (*getFunc)(const char* name);
};
static_assert(offsetof(ExtensionRecord, getFunc) == 24);

struct Config {
    bool offerExtension = true;       // extension(kExtensionId) returns the record
    bool lookupEntry = true;          // the record's getFunc is non-null
    std::set<std::string> nullNames;  // names getFunc answers with null
    int trackCount = 2;               // GetTrack answers indices 0 .. trackCount - 1
    int selectedTrack = -1;           // index GetSelectedTrack(_, 0) answers, -1 = none selected
    std::string projectPath;          // written into GetProjectPathEx's buffer; "" leaves it alone
    bool fillPathBuffer = false;      // fill every byte of that buffer with 'p', no NUL at all
    int projectPathDelayMs = 0;       // GetProjectPathEx takes this long to answer, in ms
    double cursorSeconds = 12.5;      // what GetCursorPosition answers
};

// One call into the record. Fields that the function does not take keep their defaults.
struct Call {
    std::string name;              // function name, or "<wrong record member>"
    bool projectIsNull = true;     // the project handle argument, where there is one
    int intArg = 0;                // buffer size, mode, track index, refresh change or undo flags
    int trackIndex = -1;           // SetOnlyTrackSelected: which track handle, -1 = not ours
    double seconds = 0.0;          // SetEditCurPos position
    bool moveView = false;         // SetEditCurPos
    bool seekPlay = false;         // SetEditCurPos
    std::string text;              // InsertMedia path, Undo_EndBlock2 description (null: "<null>")
    std::string describe() const;  // e.g. GetTrack(null, 2); for messages and command-line logs
};

class HostApiStandin {
public:
    explicit HostApiStandin(Config config = {});
    ~HostApiStandin();
    HostApiStandin(const HostApiStandin&) = delete;
    HostApiStandin& operator=(const HostApiStandin&) = delete;

    // What a host's get_extension answers for id: the record for kExtensionId, else null.
    const void* extension(const char* id) const;
    const ExtensionRecord* record() const { return &record_; }

    Config config;                                   // may be changed between calls
    std::vector<std::string> lookups;                // every name given to getFunc, in order
    std::vector<Call> calls;                         // every project function call, in order
    int selectedTrack() const { return selected_; }  // after SetOnlyTrackSelected, -1 = none yet

    std::vector<std::string> callNames() const;  // calls' names in order
    void clearLog();

    // The handle GetTrack returns for a track index; distinct, non-null, never dereferenced.
    static void* trackHandle(int index);
    static int trackIndexOf(const void* handle);  // -1 for a handle that is not a track's

    static HostApiStandin* current();  // the live instance, null when there is none

private:
    ExtensionRecord record_{};
    int selected_ = -1;
    friend struct StandinAccess;
};

}  // namespace hostapi
