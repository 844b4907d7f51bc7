// The history of takes on disk: every take the daemon copies out of the plug-in is written, while
// it is captured, as a 32-bit float WAV (RF64 past 4 GiB) into one folder, with an index of the
// takes in SQLite beside it. It outlives the plug-in, the DAW and the daemon.
//
// Threads: the engine thread writes (beginTake, append, finishTake) and never waits for the disk:
// a writer thread of the history's own does every file and index write, and flushes at least every
// kHistoryFlushMs, so a crash loses at most that much. Readers (list, read, pin, remove) may be
// called from any thread, several at once.
//
// A take a crash left open is repaired at the next open: its header says what the file holds and
// its index row is brought up to date. Over limitBytes the oldest unpinned finished takes go first;
// pinned takes are never deleted automatically. When the folder cannot be written (disk full, read
// only, removed) the history says so in error() and stops writing; takes already written are never
// touched by a failed write.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace companion {

inline constexpr uint64_t kDefaultHistoryLimitBytes = 4ull << 30;
inline constexpr int kHistoryFlushMs = 1000;      // longest a written frame waits for the disk
inline constexpr int kHistoryReopenSeconds = 10;  // between tries of a history that failed to open

struct HistoryOptions {
    std::filesystem::path dir;                        // created 0700 if missing; files 0600
    uint64_t limitBytes = kDefaultHistoryLimitBytes;  // 0: no history at all
};

struct HistoryTake {
    int64_t id = 0;               // unique, increasing with the start
    int64_t startUnixMs = 0;      // wall clock of the first frame; 0 when unknown
    uint64_t frames = 0;          // stereo frames held so far
    double rateHz = 0.0;          // sample rate of the capture
    uint64_t generation = 0;      // the ring generation the take was captured in
    double integratedLufs = NAN;  // NaN until measured (while recording) or when no value
    double samplePeakDb = NAN;    // in dBFS, NaN for digital silence
    double truePeakDb = NAN;      // in dBTP
    bool pinned = false;
    bool recording = false;  // still being captured
    std::string name;        // a name for people; empty when none was given
    uint64_t bytes = 0;      // size of its file on disk
};

struct HistorySummary {
    std::vector<HistoryTake> takes;  // oldest first
    uint64_t bytes = 0;              // all takes' files together
    uint64_t limitBytes = 0;
    std::string error;  // why the history is not writing; empty while all is well
};

class History {
public:
    History();
    ~History();  // finishes open takes and flushes
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // [main-thread] Opens or creates the folder and its index, repairs takes left open by a crash
    // and starts the writer thread. Returns false with one line in error when the history cannot
    // be used; the daemon then runs without it (error() keeps saying why). limitBytes 0: returns
    // true and records nothing.
    bool open(const HistoryOptions& options, std::string& error);
    // [main-thread] Whether an open failed (disk full, folder missing or in use) and may be tried
    // again, and the try with the same options: true once the history records.
    bool needsReopen() const;
    bool reopen(std::string& error);
    // [main-thread] Finishes open takes, flushes and stops the writer thread.
    void close();

    // [engine-thread] Starts a take; returns its id, or 0 when the history is off or failing.
    int64_t beginTake(uint64_t generation, int64_t startUnixMs, double rateHz);
    // [engine-thread] Appends interleaved stereo frames; copies them and returns at once.
    void append(int64_t id, const float* interleaved, size_t frames);
    // [engine-thread] The take ended (a pause, a clear, another generation): its file is
    // completed, its loudness measured and the limit applied.
    void finishTake(int64_t id);

    // [any-thread]
    HistorySummary list() const;
    std::optional<HistoryTake> take(int64_t id) const;
    // Frames [firstFrame, firstFrame + frames) of a take, clipped to what it holds, including
    // frames appended but not yet on disk. False with one line in error for an unknown id or a
    // failed read.
    bool read(int64_t id, uint64_t firstFrame, uint64_t frames, std::vector<float>& interleaved,
              std::string& error) const;
    bool setPinned(int64_t id, bool pinned, std::string& error);
    bool remove(int64_t id, std::string& error);  // refused while the take is recording
    std::string error() const;

    struct Impl;

private:
    bool openFolder(std::string& error);

    std::unique_ptr<Impl> impl_;
};

}  // namespace companion
