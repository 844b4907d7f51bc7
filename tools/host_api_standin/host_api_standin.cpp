#include "host_api_standin/host_api_standin.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

namespace hostapi {

namespace {

HostApiStandin* s_current = nullptr;  // the single live instance

// Track handles are addresses inside this array, so they are distinct and never null.
inline constexpr int kMaxTracks = 256;
char s_trackTokens[kMaxTracks];

const char* kWrongMember = "<wrong record member>";

}  // namespace

// The C entry points reach the instance through s_current.
struct StandinAccess {
    static HostApiStandin& self() {
        if (s_current == nullptr) {
            std::fputs("host_api_standin: a function was called with no live instance\n", stderr);
            std::abort();
        }
        return *s_current;
    }
    static void setSelected(int index) { self().selected_ = index; }
};

namespace {

Call& record(const char* name) {
    Call call;
    call.name = name;
    return StandinAccess::self().calls.emplace_back(std::move(call));
}

// [main-thread] The record's members before the lookup entry: calling one is a layout error.
void* wrongMember(const char* name) {
    record(kWrongMember).text = name != nullptr ? name : "<null>";
    return nullptr;
}

void getProjectPathEx(void* project, char* buffer, int bufferBytes) {
    Call& call = record("GetProjectPathEx");
    call.projectIsNull = project == nullptr;
    call.intArg = bufferBytes;
    const Config& config = StandinAccess::self().config;
    if (config.projectPathDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(config.projectPathDelayMs));
    if (buffer == nullptr || bufferBytes <= 0)
        return;
    if (config.fillPathBuffer) {
        std::memset(buffer, 'p', static_cast<std::size_t>(bufferBytes));
    } else if (!config.projectPath.empty()) {
        // As the host does: copy what fits and terminate within the buffer.
        std::snprintf(buffer, static_cast<std::size_t>(bufferBytes), "%s",
                      config.projectPath.c_str());
    }
}

int insertMedia(const char* path, int mode) {
    Call& call = record("InsertMedia");
    call.text = path != nullptr ? path : "<null>";
    call.intArg = mode;
    return 1;
}

void setOnlyTrackSelected(void* track) {
    Call& call = record("SetOnlyTrackSelected");
    call.trackIndex = HostApiStandin::trackIndexOf(track);
    StandinAccess::setSelected(call.trackIndex);
}

void* getTrack(void* project, int trackIndex) {
    Call& call = record("GetTrack");
    call.projectIsNull = project == nullptr;
    call.intArg = trackIndex;
    const int count = StandinAccess::self().config.trackCount;
    return trackIndex >= 0 && trackIndex < count ? HostApiStandin::trackHandle(trackIndex)
                                                 : nullptr;
}

void* getSelectedTrack(void* project, int selectedIndex) {
    Call& call = record("GetSelectedTrack");
    call.projectIsNull = project == nullptr;
    call.intArg = selectedIndex;
    const int selected = StandinAccess::self().config.selectedTrack;
    return selectedIndex == 0 && selected >= 0 ? HostApiStandin::trackHandle(selected) : nullptr;
}

double getCursorPosition() {
    record("GetCursorPosition");
    return StandinAccess::self().config.cursorSeconds;
}

void setEditCurPos(double seconds, bool moveView, bool seekPlay) {
    Call& call = record("SetEditCurPos");
    call.seconds = seconds;
    call.moveView = moveView;
    call.seekPlay = seekPlay;
}

void preventUIRefresh(int change) {
    record("PreventUIRefresh").intArg = change;
}

void undoBeginBlock2(void* project) {
    record("Undo_BeginBlock2").projectIsNull = project == nullptr;
}

void undoEndBlock2(void* project, const char* description, int flags) {
    Call& call = record("Undo_EndBlock2");
    call.projectIsNull = project == nullptr;
    call.text = description != nullptr ? description : "<null>";
    call.intArg = flags;
}

void updateArrange() {
    record("UpdateArrange");
}

// Function addresses in the order of kFunctionNames.
void* const kFunctions[] = {
    reinterpret_cast<void*>(&getProjectPathEx),     reinterpret_cast<void*>(&insertMedia),
    reinterpret_cast<void*>(&setOnlyTrackSelected), reinterpret_cast<void*>(&getTrack),
    reinterpret_cast<void*>(&getSelectedTrack),     reinterpret_cast<void*>(&getCursorPosition),
    reinterpret_cast<void*>(&setEditCurPos),        reinterpret_cast<void*>(&preventUIRefresh),
    reinterpret_cast<void*>(&undoBeginBlock2),      reinterpret_cast<void*>(&undoEndBlock2),
    reinterpret_cast<void*>(&updateArrange)};
static_assert(std::size(kFunctions) == kFunctionCount);

void* getFunc(const char* name) {
    HostApiStandin& self = StandinAccess::self();
    self.lookups.emplace_back(name != nullptr ? name : "<null>");
    if (name == nullptr || self.config.nullNames.count(name) != 0)
        return nullptr;
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        if (std::strcmp(name, kFunctionNames[i]) == 0)
            return kFunctions[i];
    }
    return nullptr;
}

}  // namespace

std::string Call::describe() const {
    const char* project = projectIsNull ? "null" : "project";
    char buffer[160];
    if (name == "GetProjectPathEx" || name == "GetTrack" || name == "GetSelectedTrack")
        std::snprintf(buffer, sizeof buffer, "(%s, %d)", project, intArg);
    else if (name == "InsertMedia")
        std::snprintf(buffer, sizeof buffer, "(\"%s\", %d)", text.c_str(), intArg);
    else if (name == "SetOnlyTrackSelected")
        std::snprintf(buffer, sizeof buffer, "(track %d)", trackIndex);
    else if (name == "SetEditCurPos")
        std::snprintf(buffer, sizeof buffer, "(%.17g, %s, %s)", seconds,
                      moveView ? "true" : "false", seekPlay ? "true" : "false");
    else if (name == "PreventUIRefresh")
        std::snprintf(buffer, sizeof buffer, "(%d)", intArg);
    else if (name == "Undo_BeginBlock2")
        std::snprintf(buffer, sizeof buffer, "(%s)", project);
    else if (name == "Undo_EndBlock2")
        std::snprintf(buffer, sizeof buffer, "(%s, \"%s\", %d)", project, text.c_str(), intArg);
    else if (name == kWrongMember)
        std::snprintf(buffer, sizeof buffer, "(\"%s\")", text.c_str());
    else
        std::snprintf(buffer, sizeof buffer, "()");
    return name + buffer;
}

HostApiStandin::HostApiStandin(Config initial) : config(std::move(initial)) {
    if (s_current != nullptr) {
        std::fputs("host_api_standin: only one instance may exist at a time\n", stderr);
        std::abort();
    }
    s_current = this;
    record_.firstMember = &wrongMember;
    record_.secondMember = &wrongMember;
    record_.thirdMember = &wrongMember;
    record_.getFunc = &getFunc;
}

HostApiStandin::~HostApiStandin() {
    s_current = nullptr;
}

const void* HostApiStandin::extension(const char* id) const {
    if (!config.offerExtension || id == nullptr || std::strcmp(id, kExtensionId) != 0)
        return nullptr;
    // The lookup entry is switched per call so the configuration may change between callbacks.
    const_cast<ExtensionRecord&>(record_).getFunc = config.lookupEntry ? &getFunc : nullptr;
    return &record_;
}

std::vector<std::string> HostApiStandin::callNames() const {
    std::vector<std::string> names;
    names.reserve(calls.size());
    for (const Call& call : calls)
        names.push_back(call.name);
    return names;
}

void HostApiStandin::clearLog() {
    lookups.clear();
    calls.clear();
}

void* HostApiStandin::trackHandle(int index) {
    if (index < 0 || index >= kMaxTracks)
        return nullptr;
    return &s_trackTokens[index];
}

int HostApiStandin::trackIndexOf(const void* handle) {
    const auto address = reinterpret_cast<uintptr_t>(handle);
    const auto first = reinterpret_cast<uintptr_t>(&s_trackTokens[0]);
    if (address < first || address >= first + kMaxTracks)
        return -1;
    return static_cast<int>(address - first);
}

HostApiStandin* HostApiStandin::current() {
    return s_current;
}

}  // namespace hostapi
