// Insertion of a capture stretch into the host project through the host's
// "cockos.reaper_extension" API: the audio thread only notices the request; everything else runs
// in the main-thread callback.
#pragma once

#include "capture/capture.h"
#include "shm/control_block.h"

#include <clap/host.h>

#include <cstdint>

inline constexpr const char* kHostApiExtensionId = "cockos.reaper_extension";
inline constexpr const char* kInsertUndoText = "ORV: Insert Sample";
inline constexpr int kInsertUndoFlags = 5;
inline constexpr int kProjectPathBytes = 4096;
inline constexpr float kMinInsertLength = 0.001f;  // fraction of the ring

// The host's extension record: its fourth member (byte offset 24) looks functions up by name.
struct HostApiRecord {
    void* reserved[3];
    void* (*getFunc)(const char* name);
};
static_assert(offsetof(HostApiRecord, getFunc) == 24);

// The host record and the eleven functions, looked up once per instance in this order.
struct HostApi {
    const HostApiRecord* record = nullptr;  // non-null once the lookup has been done
    void (*GetProjectPathEx)(void* project, char* buffer, int bufferBytes) = nullptr;
    int (*InsertMedia)(const char* path, int mode) = nullptr;
    void (*SetOnlyTrackSelected)(void* track) = nullptr;
    void* (*GetTrack)(void* project, int trackIndex) = nullptr;
    void* (*GetSelectedTrack)(void* project, int selectedIndex) = nullptr;
    double (*GetCursorPosition)() = nullptr;
    void (*SetEditCurPos)(double seconds, bool moveView, bool seekPlay) = nullptr;
    void (*PreventUIRefresh)(int change) = nullptr;
    void (*Undo_BeginBlock2)(void* project) = nullptr;
    void (*Undo_EndBlock2)(void* project, const char* description, int flags) = nullptr;
    void (*UpdateArrange)() = nullptr;
};

// [main-thread] Everything of an insertion after callbackPending has been cleared: the one-time
// API lookup, taking the request (only while insertRequest still reads 1, so a second callback
// for the same request does nothing), the export file and the host calls. Ends silently on
// failure.
void serveInsertion(HostApi& api, const clap_host* host, ControlBlock& control,
                    const CaptureRing& ring, double sampleRate);
