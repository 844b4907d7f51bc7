#include "export/host_insertion.h"

#include "export/wav_writer.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

inline constexpr int kInsertMediaMode = 0;  // the host's plain insertion at the edit cursor
inline constexpr int kFirstTrackIndex = 0;
inline constexpr int kFirstSelectedIndex = 0;
inline constexpr int kRefreshHold = 1;      // PreventUIRefresh before the insertion
inline constexpr int kRefreshRelease = -1;  // and after it
inline constexpr const char* kFallbackDirectory = "/tmp/";
inline constexpr const char* kFileNamePrefix = "orv_export_";
inline constexpr const char* kFileNameSuffix = ".wav";
inline constexpr int64_t kMicrosecondsPerMillisecond = 1000;
inline constexpr std::size_t kPathBufferBytes = kProjectPathBytes;
inline constexpr int kMaxNameSuffix = 1000;  // names tried per export before giving up

// [main-thread] Resolves one name into its slot; a name the host does not know stays null.
template <class Fn> void lookUp(const HostApiRecord& record, const char* name, Fn*& slot) {
    slot = reinterpret_cast<Fn*>(record.getFunc(name));
}

// [main-thread] The one-time lookup: leaves api untouched, to be retried at the next callback,
// unless the host hands out the extension record with a lookup entry.
void lookUpHostApi(HostApi& api, const clap_host* host) {
    if (host == nullptr || host->get_extension == nullptr)
        return;
    const auto* record =
        static_cast<const HostApiRecord*>(host->get_extension(host, kHostApiExtensionId));
    if (record == nullptr || record->getFunc == nullptr)
        return;
    api.record = record;
    lookUp(*record, "GetProjectPathEx", api.GetProjectPathEx);
    lookUp(*record, "InsertMedia", api.InsertMedia);
    lookUp(*record, "SetOnlyTrackSelected", api.SetOnlyTrackSelected);
    lookUp(*record, "GetTrack", api.GetTrack);
    lookUp(*record, "GetSelectedTrack", api.GetSelectedTrack);
    lookUp(*record, "GetCursorPosition", api.GetCursorPosition);
    lookUp(*record, "SetEditCurPos", api.SetEditCurPos);
    lookUp(*record, "PreventUIRefresh", api.PreventUIRefresh);
    lookUp(*record, "Undo_BeginBlock2", api.Undo_BeginBlock2);
    lookUp(*record, "Undo_EndBlock2", api.Undo_EndBlock2);
    lookUp(*record, "UpdateArrange", api.UpdateArrange);
}

// [main-thread] The export directory, always ending in a separator unless empty: the project
// path, else TMPDIR with a '/' added, else "/tmp/".
std::string exportDirectory(const HostApi& api) {
    char buffer[kPathBufferBytes] = {};
    api.GetProjectPathEx(nullptr, buffer, kProjectPathBytes);
    if (buffer[0] == '\0') {
        const char* tmpDir = std::getenv("TMPDIR");
        if (tmpDir != nullptr && tmpDir[0] != '\0') {
            const std::size_t copied = strnlen(tmpDir, kPathBufferBytes - 1);
            std::memcpy(buffer, tmpDir, copied);
            // A TMPDIR of 4095 or more characters has no room left and is used cut as it is.
            if (copied <= kPathBufferBytes - 2 && buffer[copied - 1] != '/') {
                buffer[copied] = '/';
                buffer[copied + 1] = '\0';
            }
        } else {
            std::strcpy(buffer, kFallbackDirectory);
        }
    }
    // A host that fills every byte leaves no NUL: its text ends at the buffer's end.
    std::string directory(buffer, strnlen(buffer, kPathBufferBytes));
    if (!directory.empty() && directory.back() != '/' && directory.back() != '\\')
        directory += '/';
    return directory;
}

// [main-thread] "orv_export_<ms since the Unix epoch>", from the wall clock in microseconds.
std::string exportFileStem() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const int64_t microseconds =
        std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count();
    return kFileNamePrefix + std::to_string(microseconds / kMicrosecondsPerMillisecond);
}

// [main-thread] Writes the export under stem + ".wav", or, when that name is taken (a second
// export in the same millisecond, or anyone's file), under the first free stem + "_2.wav",
// "_3.wav", ...: an existing file is never replaced. Returns the path written, or "" on failure.
std::string writeExport(const std::string& stem, const float* samples, uint64_t frames,
                        double sampleRate) {
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        const std::string path =
            n == 1 ? stem + kFileNameSuffix : stem + "_" + std::to_string(n) + kFileNameSuffix;
        switch (ORV::WriteNewWavFile(path, samples, frames, sampleRate)) {
        case ORV::NewFileResult::written:
            return path;
        case ORV::NewFileResult::failed:
            return "";
        case ORV::NewFileResult::nameTaken:
            break;
        }
    }
    return "";
}

// [main-thread] Selects the target track (1-based), else the first selected, else the first.
void chooseTrack(const HostApi& api, int32_t targetTrack) {
    if (api.GetTrack == nullptr || api.SetOnlyTrackSelected == nullptr)
        return;
    void* track = nullptr;
    if (targetTrack >= 1)
        track = api.GetTrack(nullptr, targetTrack - 1);
    if (track == nullptr && api.GetSelectedTrack != nullptr)
        track = api.GetSelectedTrack(nullptr, kFirstSelectedIndex);
    if (track == nullptr)
        track = api.GetTrack(nullptr, kFirstTrackIndex);
    if (track != nullptr)
        api.SetOnlyTrackSelected(track);
}

// [main-thread] Inserts the file at the edit cursor and puts the cursor back.
void insertAtCursor(const HostApi& api, const std::string& path) {
    if (api.GetCursorPosition == nullptr || api.SetEditCurPos == nullptr ||
        api.PreventUIRefresh == nullptr)
        return;
    api.PreventUIRefresh(kRefreshHold);
    const double cursorSeconds = api.GetCursorPosition();
    api.InsertMedia(path.c_str(), kInsertMediaMode);  // its result says nothing we act on
    api.SetEditCurPos(cursorSeconds, true, false);
    api.PreventUIRefresh(kRefreshRelease);
    if (api.UpdateArrange != nullptr)
        api.UpdateArrange();
}

// [main-thread] Takes the request only while it still reads 1: a second callback asked for in
// the gap between clearing callbackPending and this point finds it taken and does nothing.
bool takeRequest(ControlBlock& control) {
    uint8_t expected = 1;
    return std::atomic_ref<uint8_t>(control.insertRequest)
        .compare_exchange_strong(expected, 0, std::memory_order_acq_rel, std::memory_order_acquire);
}

}  // namespace

// [main-thread]
void serveInsertion(HostApi& api, const clap_host* host, ControlBlock& control,
                    const CaptureRing& ring, double sampleRate) {
    if (api.record == nullptr)
        lookUpHostApi(api, host);
    if (api.GetProjectPathEx == nullptr || api.InsertMedia == nullptr ||
        api.Undo_BeginBlock2 == nullptr || api.Undo_EndBlock2 == nullptr)
        return;  // the request stays up; the next block asks again

    // The acquire load of the request orders the selection reads after the companion's writes.
    if (!requestSet(control.insertRequest))
        return;
    const float selectionStart = loadAcquire(control.selectionStart);
    const float selectionLength = loadAcquire(control.selectionLength);
    const int32_t targetTrack = loadAcquire(control.targetTrack);
    if (!takeRequest(control))
        return;  // the companion withdrew it meanwhile

    // Single precision; fmin/fmax make a NaN length count as the whole ring.
    const float length = std::fmax(std::fmin(selectionLength, 1.0f), 0.0f);
    if (length < kMinInsertLength || ring.captureSize == 0)
        return;

    // The directory first, then the clock: the name stamps the moment after the host's answer.
    const std::string directory = exportDirectory(api);
    const std::string stem = directory + exportFileStem();

    const uint64_t totalFloats = ringIndexOfFraction(length, ring.captureSize);
    if (totalFloats < 2)
        return;
    const uint64_t countFloats = totalFloats & ~uint64_t{1};
    const uint64_t frames = totalFloats / 2;
    const uint64_t startIndex =
        ringIndexOfFraction(selectionStart, ring.captureSize) & ~uint64_t{1};

    std::vector<float> samples(countFloats);
    // Relaxed element loads: the audio thread keeps writing the ring and is never made to wait.
    copyRingRelaxed(ring, startIndex, countFloats, samples.data());

    const std::string path = writeExport(stem, samples.data(), frames, sampleRate);
    if (path.empty())
        return;

    api.Undo_BeginBlock2(nullptr);
    chooseTrack(api, targetTrack);
    insertAtCursor(api, path);
    api.Undo_EndBlock2(nullptr, kInsertUndoText, kInsertUndoFlags);
}
