// The companion's side of the plug-in's three shared-memory segments: create the control segment,
// read and write its fields with the access kind each one needs, follow the spectrum feed and
// fetch snapshots. The layout is written down here from the companion's point of view, by byte
// offset, independently of the plug-in's own structures.
//
// Typical use (README.md has the full field tables):
//
//     companion::ControlSegment control;
//     control.create();                           // before the plug-in is initialised
//     control.clearMeterFields();
//     ... the host loads and runs the plug-in ...
//     companion::MeterReadings m = control.meters();
//     std::vector<float> frames;
//     if (control.fetchSnapshot(0.0f, 0.25f, frames, 1000) == companion::Answer::done) ...
//     control.remove();                           // when the companion quits
//
// Thread use: one ControlSegment per thread; the plug-in is the only other party. Waiting calls
// poll; nothing here blocks the plug-in.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace companion {

inline constexpr const char* kControlName = "ORV_Tessarin_SharedMem";
inline constexpr const char* kSpectrumName = "ORV_Tessarin_SpectrumFeed";
inline constexpr const char* kSnapshotName = "ORV_Tessarin_ExportSnapshot";
inline constexpr size_t kControlBytes = 1024256;
inline constexpr uint32_t kControlMagic = 0x4F525653;   // bytes 53 56 52 4F
inline constexpr uint32_t kSpectrumMagic = 0x4F525646;  // bytes 46 56 52 4F
inline constexpr size_t kSpectrumBytes = 524352;
inline constexpr uint32_t kSpectrumFrames = 65536;
inline constexpr uint32_t kOverviewColumns = 64000;

// What the plug-in can publish, as bounds on what is read: everything in the segments is
// untrusted (a program of the same user may write anything there).
//   Rates: at least 1 Hz, and at most the plug-in's own limit, the rate whose 60 s stereo ring
//   of floats still has its byte count fit the u32 it is announced in (about 8,947,848 Hz).
inline constexpr double kMinPluginRateHz = 1.0;
inline constexpr double kPluginRingFloatsPerHz = 120.0;  // 60 s of two channels
inline constexpr uint64_t kPluginMaxRingBytes = UINT32_MAX;
//   Levels: no float input reads above about +780 dB or below about -900 dB.
inline constexpr double kMaxLevelMagnitudeDb = 1000.0;

// [any-thread] Whether the plug-in can be activated at rateHz (see above).
bool pluginRate(double rateHz);
// [any-thread] Whether a segment may be trusted: made by this user, and nobody else may write it
// (the plug-in attaches only to such a control block).
bool privateToUs(const struct stat& info);

// Byte offsets of the control segment's fields.
namespace off {
inline constexpr size_t magic = 0, writePosFraction = 8, updateCounter = 12, active = 16,
                        previewRequest = 17, previewStart = 20, captureHold = 24,
                        silenceThreshold = 28, playheadFraction = 32, insertRequest = 36,
                        selectionStart = 40, selectionLength = 44, targetTrack = 48,
                        snapshotRequest = 52, snapshotReady = 53, snapshotCount = 56,
                        snapshotBytes = 60, sampleRate = 64, heartbeatMs = 72, momentaryLufs = 80,
                        shortTermLufs = 88, shortTermMaxLufs = 96, integratedLufs = 104,
                        momentaryMaxLufs = 112, rmsDb = 120, rmsMaxDb = 128, peakDb = 136,
                        crestDb = 144, resetMetersRequest = 152, rateMismatch = 153,
                        capturedRate = 160, clearRequest = 168, lastOverviewColumn = 172,
                        overviewMinL = 256, overviewMaxL = 256256, overviewMinR = 512256,
                        overviewMaxR = 768256;
}  // namespace off

// Byte offsets of the spectrum feed's header and rings.
namespace spectrumOff {
inline constexpr size_t magic = 0, version = 4, capacity = 8, channels = 12, sampleRate = 16,
                        totalFrames = 24, reserved = 32, leftRing = 64, rightRing = 262208;
}

// Meter values as the companion reads them (plain loads), in LUFS and dB; kNoValue where the
// segment holds no value or one no input can produce.
struct MeterReadings {
    double momentaryLufs, shortTermLufs, shortTermMaxLufs, integratedLufs, momentaryMaxLufs;
    double rmsDb, rmsMaxDb, peakDb, crestDb;
};

// The plug-in's published status (acquire loads of the status fields), each value within what
// the plug-in can publish: anything else reads as its "none".
struct ControlStatus {
    bool active;                 // the plug-in is activated
    float writePosFraction;      // capture write position / ring length, 0..1
    uint32_t updateCounter;      // capture publications (wrapping)
    float playheadFraction;      // preview position / ring length, -1.0 while no preview sounds
    uint32_t snapshotBytes;      // snapshot segment size, 0 = no segment (ring floats = bytes / 4,
                                 // an even count)
    double sampleRateHz;         // the host's rate at the latest activation; 0 = none
    int64_t heartbeatMs;         // monotonic clock at the plug-in's last heartbeat
    bool rateMismatch;           // the ring holds audio recorded at capturedRateHz
    double capturedRateHz;       // valid while rateMismatch; 0 = none
    int32_t lastOverviewColumn;  // last overview column written, -1 = none
};

// Called between polls while a request waits for its answer. A separate process leaves it empty
// (the wait sleeps 1 ms per poll); a host that runs the plug-in on the same thread passes
// something that processes one block (a block of 0 frames serves every request), so the answer
// can arrive at all.
using Pump = std::function<void()>;

// The outcome of a request that waits for its answer.
enum class Answer {
    done,       // answered (a refused snapshot is answered too, with no floats)
    timedOut,   // no answer within the timeout: no plug-in attached, or it is not processing
    noSegment,  // the snapshot segment is missing or smaller than announced
};
const char* describe(Answer answer);

// Meter readings as stored while no value exists yet.
inline constexpr double kNoValue = -200.0;

// The control segment as the companion owns it.
class ControlSegment {
public:
    ControlSegment() = default;
    ~ControlSegment();
    ControlSegment(const ControlSegment&) = delete;
    ControlSegment& operator=(const ControlSegment&) = delete;

    // Makes the segment (replacing any leftover) with sizeBytes, the magic in place and the
    // silence threshold at 2.5e-4. A different size or magic makes a stale or foreign segment.
    bool create(size_t sizeBytes = kControlBytes, uint32_t magic = kControlMagic);
    // Maps an existing segment of the name (a second view, as another process would have).
    bool open();
    // The daemon's way in: reuses a segment of the right size, owner and magic as it is (an
    // attached plug-in keeps its mapping for good) but with every request byte lowered (a
    // companion killed mid-request left it up, and the plug-in would act on it whenever its
    // host resumed), initialises one of the right size and owner whose magic is wrong in place
    // (a companion died while creating it), and otherwise creates it (mode 0600, zero-filled,
    // defaults set, the magic written last). A segment of another size or owner is left
    // untouched: false, with one line for people in error.
    // Never removes or resizes the name.
    enum class Attach { reused, initialised, created };
    bool attachOrCreate(Attach& how, std::string& error);
    // Device and inode of the mapped segment (0 when unknown), to recognise its mappings.
    uint64_t device() const { return device_; }
    uint64_t inode() const { return inode_; }
    // Unmaps; remove() also deletes the name.
    void close();
    void remove();
    static void unlinkName();

    bool valid() const { return base_ != nullptr; }
    uint8_t* bytes() const { return base_; }

    // Field access by offset: acquire loads and release stores, or plain ones.
    template <class T> T load(size_t offset) const {  // acquire
        return std::atomic_ref<T>(*reinterpret_cast<T*>(base_ + offset))
            .load(std::memory_order_acquire);
    }
    template <class T> void store(size_t offset, T value) {  // release
        std::atomic_ref<T>(*reinterpret_cast<T*>(base_ + offset))
            .store(value, std::memory_order_release);
    }
    template <class T> T loadPlain(size_t offset) const {
        T value;
        std::memcpy(&value, base_ + offset, sizeof(T));
        return value;
    }
    template <class T> void storePlain(size_t offset, T value) {
        std::memcpy(base_ + offset, &value, sizeof(T));
    }

    MeterReadings meters() const;
    // Overview column values (plain loads).
    float overview(size_t arrayOffset, uint32_t column) const;

    // Requests: write the parameters first, then raise the byte.
    void requestSnapshot(float start, float length);
    void requestInsert(float start, float length, int32_t targetTrack);
    void requestClear() { store<uint8_t>(off::clearRequest, 1); }
    void requestMeterReset() { store<uint8_t>(off::resetMetersRequest, 1); }
    void setPreview(bool on, float start);

    // Settings the plug-in reads once per block.
    void setCaptureHold(bool hold) { store<uint8_t>(off::captureHold, hold ? 1 : 0); }
    void setSilenceThreshold(float linear) { storePlain<float>(off::silenceThreshold, linear); }

    // Writes kNoValue into the nine meter fields (plain stores). The plug-in never initialises the
    // maxima and the crest itself (only a transport start or jump does): call this after create()
    // so the holds start empty rather than at 0.0.
    void clearMeterFields();

    ControlStatus status() const;
    // The ring's length in floats as the plug-in announced it (snapshotBytes / 4); 0 before the
    // plug-in's first activation, and for a byte count no ring has.
    uint64_t ringFloats() const { return status().snapshotBytes / sizeof(float); }

    // Requests that wait for their answer: each raises the request (parameters first) and polls
    // its answer until timeoutMs passes, calling pump between polls.
    //   snapshot: answered when snapshotReady reads 1; snapshotCount floats are then in the
    //             snapshot segment (0 when the plug-in refused the stretch).
    //   clear:    answered when clearRequest reads 0 again (the ring and overview are zero).
    //   meter reset: answered when resetMetersRequest reads 0 again.
    //   insert:   answered when the plug-in has taken the request (insertRequest reads 0);
    //             the plug-in reports nothing about the file it then writes.
    Answer snapshotAndWait(float start, float length, int timeoutMs, const Pump& pump = {});
    Answer clearAndWait(int timeoutMs, const Pump& pump = {});
    Answer meterResetAndWait(int timeoutMs, const Pump& pump = {});
    Answer insertAndWait(float start, float length, int32_t targetTrack, int timeoutMs,
                         const Pump& pump = {});

    // A snapshot of the stretch copied into frames (interleaved stereo floats): requests it,
    // waits, then reads snapshotCount floats from the snapshot segment. frames is empty when
    // the plug-in refused the stretch, and on any answer other than done.
    Answer fetchSnapshot(float start, float length, std::vector<float>& frames, int timeoutMs,
                         const Pump& pump = {});

private:
    void initialiseFields();
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
};

// A read-only view of the spectrum feed, by name (only a segment of the user's own that nobody
// else may write).
class SpectrumReader {
public:
    ~SpectrumReader();
    bool open();
    void close();
    uint32_t magic() const;
    uint32_t version() const;
    uint32_t capacity() const;  // acquire: non-zero means the header is complete
    uint32_t channels() const;
    double sampleRate() const;     // acquire
    uint64_t totalFrames() const;  // acquire: every sample below it is in place
    const float* leftRing() const;
    const float* rightRing() const;
    const uint8_t* bytes() const { return base_; }
    // The newest frames by the ring rule: frames T - min(T, 65536) .. T - 1, oldest first.
    // Returns T; left and right get min(T, 65536) samples each.
    uint64_t readLatest(std::vector<float>& left, std::vector<float>& right) const;

private:
    const uint8_t* base_ = nullptr;
};

// A read-only view of the export snapshot segment (the same ownership rule).
class SnapshotReader {
public:
    ~SnapshotReader();
    bool open(size_t sizeBytes);
    void close();
    const float* data() const { return reinterpret_cast<const float*>(base_); }
    size_t size() const { return size_; }

private:
    const uint8_t* base_ = nullptr;
    size_t size_ = 0;
};

// Waits (polling, 1 ms) until the control byte at offset reads want, or the timeout passes.
bool waitForByte(const ControlSegment& control, size_t offset, uint8_t want, int timeoutMs);
// The same, calling pump between polls instead of sleeping when pump is set.
bool waitForByte(const ControlSegment& control, size_t offset, uint8_t want, int timeoutMs,
                 const Pump& pump);

}  // namespace companion
