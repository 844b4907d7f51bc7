#include "companion/history.h"

#include "companion/exporter.h"
#include "companion/history_index.h"
#include "companion/take_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace companion {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The writer writes what arrives at once; headers and syncs come this often, which leaves room
// for the wake-up and the write inside kHistoryFlushMs.
constexpr int kFlushPeriodMs = kHistoryFlushMs * 3 / 4;
// Frames waiting for the disk beyond this (a disk far slower than the capture: 11 minutes of
// 48 kHz stereo, 6.7 s of an offline render at 100x) end the take.
constexpr size_t kMaxPendingBytes = 256u << 20;
// After a failed write, new takes wait this long before the disk is tried again.
constexpr int64_t kRetryAfterErrorMs = 10000;
// A take measured after a crash is read in slices this long, so writing never waits for it.
constexpr uint64_t kMeasureSliceFrames = 1u << 18;
constexpr const char* kIndexName = "index.sqlite";
constexpr const char* kLockName = ".lock";
constexpr const char* kTakePrefix = "take-";
constexpr const char* kTakeSuffix = ".wav";

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

fs::path takePath(const fs::path& dir, int64_t id) {
    return dir / (kTakePrefix + std::to_string(id) + kTakeSuffix);
}

// take-<id>.wav: the id, else 0.
int64_t idFromFileName(const std::string& name) {
    const std::string prefix = kTakePrefix, suffix = kTakeSuffix;
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
        return 0;
    }
    const std::string digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    // Only names we make: no sign, no leading zero, no more digits than an id has.
    if (digits.size() > 18 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
        return 0;
    }
    return std::stoll(digits);
}

uint64_t fileBytes(uint64_t dataOffsetBytes, uint64_t frames) {
    return dataOffsetBytes + frames * kTakeFrameBytes;
}

// Loudness and peaks of a take as it is written (or read back after a crash): the exporter's
// own analysis, so a take and its export measure the same.
struct LevelMeter {
    std::unique_ptr<StretchAnalyzer> analyzer;

    void start(double rateHz) { analyzer = std::make_unique<StretchAnalyzer>(rateHz); }
    void add(const float* interleaved, size_t frames) {
        if (analyzer) {
            analyzer->add(interleaved, frames);
        }
    }
    void read(HistoryTake& take) const {
        if (!analyzer) {
            return;
        }
        const StretchAnalysis a = analyzer->analysis();
        take.integratedLufs = a.integratedLufs;
        take.samplePeakDb = a.samplePeakDb;
        take.truePeakDb = a.truePeakDb;
    }
};

// A take being recorded, as every thread sees it (under Impl::mutex).
struct OpenTake {
    // Appended, not yet on disk, oldest first. Only the writer pops, and only the front; a
    // deque keeps references to its other elements valid while the engine pushes more.
    std::deque<std::vector<float>> pending;
    uint64_t framesOnDisk = 0;
    uint64_t dataOffsetBytes = 0;
    bool finishRequested = false;
};

// The writer's own state for a take it writes.
struct Writing {
    TakeWriter file;
    LevelMeter meter;
    bool dirty = false;  // frames written since the last flush
};

// A take measured after a crash, one slice per writer turn.
struct Measuring {
    int64_t id = 0;
    int fd = -1;
    TakeFileLayout layout;
    uint64_t nextFrame = 0;
    LevelMeter meter;
};

}  // namespace

struct History::Impl {
    HistoryOptions options;
    std::atomic<bool> enabled{false};
    bool openFailed = false;  // the main thread's: an open failed and may be tried again
    int lockFd = -1;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::map<int64_t, HistoryTake> takes;  // everything listed, by id (oldest first)
    std::map<int64_t, OpenTake> open;      // recording
    std::deque<int64_t> toMeasure;         // repaired takes whose levels are missing
    std::string error;
    int64_t errorAtMs = 0;
    size_t pendingBytes = 0;
    int64_t nextId = 1;
    bool work = false;  // something for the writer
    bool stopping = false;
    bool limitCheck = false;
    int64_t limitDeleting = 0;  // the take the limit deletes now; 0: none

    // The index: the writer and the callers of setPinned and remove.
    std::mutex indexMutex;
    HistoryIndex index;

    std::thread writer;
    // The writer's own.
    std::map<int64_t, std::unique_ptr<Writing>> writing;
    std::unique_ptr<Measuring> measuring;

    fs::path pathOf(int64_t id) const { return takePath(options.dir, id); }

    void setError(const std::string& message) {
        std::lock_guard lock(mutex);
        error = message;
        errorAtMs = steadyMs();
    }

    void indexUpdate(const HistoryTake& take, bool measured) {
        std::string why;
        std::lock_guard lock(indexMutex);
        // A failed update leaves a row the next open repairs from the file.
        (void)updateIndexRow(index, IndexedTake{take, measured}, why);
    }

    // [any-thread] Deletes a take that is not recording: its file first, so a crash in between
    // leaves a row without a file, which the next open drops.
    bool deleteTake(int64_t id, std::string& why) {
        if (::unlink(pathOf(id).c_str()) != 0 && errno != ENOENT) {
            why = "cannot delete " + pathOf(id).string() + ": " + std::strerror(errno);
            return false;
        }
        {
            std::lock_guard lock(indexMutex);
            (void)deleteIndexRow(index, id, why);
        }
        std::lock_guard lock(mutex);
        takes.erase(id);
        return true;
    }

    // ---- The writer ---------------------------------------------------------------------

    // [writer] Creates the row and the file of a take begun by the engine.
    bool startWriting(int64_t id) {
        HistoryTake take;
        {
            std::lock_guard lock(mutex);
            take = takes.at(id);
        }
        std::string why;
        bool ok;
        {
            std::lock_guard lock(indexMutex);
            ok = insertIndexRow(index, IndexedTake{take, false}, why);
        }
        auto w = std::make_unique<Writing>();
        if (ok) {
            ok = createTakeFile(pathOf(id), take.rateHz, w->file, why);
            if (!ok) {
                std::lock_guard lock(indexMutex);
                std::string ignored;
                (void)deleteIndexRow(index, id, ignored);
            }
        }
        std::lock_guard lock(mutex);
        if (!ok) {
            const auto it = open.find(id);
            for (const auto& chunk : it->second.pending) {
                pendingBytes -= chunk.size() * sizeof(float);
            }
            open.erase(it);
            takes.erase(id);
            error = why + " (not recording takes; earlier ones are untouched)";
            errorAtMs = steadyMs();
            return false;
        }
        open.at(id).dataOffsetBytes = w->file.dataOffsetBytes;
        takes.at(id).bytes = w->file.dataOffsetBytes;
        if (takes.at(id).pinned != take.pinned) {
            std::lock_guard indexLock(indexMutex);  // pinned before its row existed
            (void)setIndexPinned(index, id, takes.at(id).pinned, why);
        }
        w->meter.start(take.rateHz);
        writing.emplace(id, std::move(w));
        return true;
    }

    // [writer] Ends a take: the file is completed with what got in, its row brought up to date.
    // failure: why the take stopped early (set as the history's error), else empty.
    void finishWriting(int64_t id, const std::string& failure) {
        Writing& w = *writing.at(id);
        std::string why;
        const bool closed = closeTakeFile(w.file, why);
        HistoryTake levels;
        w.meter.read(levels);  // outside the lock: the engine's appends never wait for it
        HistoryTake take;
        {
            std::lock_guard lock(mutex);
            OpenTake& o = open.at(id);
            for (const auto& chunk : o.pending) {
                pendingBytes -= chunk.size() * sizeof(float);
            }
            open.erase(id);
            HistoryTake& t = takes.at(id);
            t.frames = w.file.frames;
            t.bytes = fileBytes(w.file.dataOffsetBytes, w.file.frames);
            t.recording = false;
            t.integratedLufs = levels.integratedLufs;
            t.samplePeakDb = levels.samplePeakDb;
            t.truePeakDb = levels.truePeakDb;
            take = t;
            if (!failure.empty() || !closed) {
                error = (failure.empty() ? why : failure) +
                        " (stopped writing; earlier takes are untouched)";
                errorAtMs = steadyMs();
            }
            limitCheck = true;
        }
        writing.erase(id);
        if (take.frames == 0) {
            std::string ignored;
            deleteTake(id, ignored);  // nothing was captured: nothing to keep
            return;
        }
        indexUpdate(take, true);
    }

    // [writer] Writes what the engine appended to one take; finishes it when asked.
    void drain(int64_t id) {
        if (!writing.count(id) && !startWriting(id)) {
            return;
        }
        Writing& w = *writing.at(id);
        for (;;) {
            const std::vector<float>* chunk = nullptr;
            {
                std::lock_guard lock(mutex);
                OpenTake& o = open.at(id);
                if (o.pending.empty()) {
                    if (o.finishRequested) {
                        break;
                    }
                    return;
                }
                chunk = &o.pending.front();
            }
            const size_t frames = chunk->size() / kTakeChannels;
            std::string why;
            const bool ok = writeTakeFrames(w.file, chunk->data(), frames, why);
            if (ok) {
                w.meter.add(chunk->data(), frames);
                w.dirty = true;
            }
            {
                std::lock_guard lock(mutex);
                OpenTake& o = open.at(id);
                pendingBytes -= o.pending.front().size() * sizeof(float);
                o.pending.pop_front();
                if (ok) {
                    o.framesOnDisk += frames;
                }
            }
            if (!ok) {
                finishWriting(id, "cannot write " + pathOf(id).filename().string() + ": " + why);
                return;
            }
        }
        finishWriting(id, std::string());
    }

    // [writer] Headers and data of every recording take to the disk. The rows of recording
    // takes are left as inserted (recording, no frames): after a crash the file is the truth
    // and the next open repairs the row from it, so rewriting them here would only cost.
    void flushAll() {
        std::vector<int64_t> failedIds;
        std::vector<std::string> failures;
        for (auto& [id, writer] : writing) {
            Writing& w = *writer;
            if (!w.dirty) {
                continue;
            }
            std::string why;
            if (!flushTakeFile(w.file, why)) {
                failedIds.push_back(id);
                failures.push_back("cannot write " + pathOf(id).filename().string() + ": " + why);
                continue;
            }
            w.dirty = false;
            std::lock_guard lock(mutex);
            // Levels come at the finish: measured over a growing take they would cost a pass
            // over all its blocks at every flush.
            takes.at(id).bytes = fileBytes(w.file.dataOffsetBytes, w.file.frames);
            error.clear();  // the disk takes data again
            limitCheck = true;
        }
        for (size_t i = 0; i < failedIds.size(); ++i) {
            finishWriting(failedIds[i], failures[i]);
        }
    }

    // [writer] Over the limit: the oldest unpinned finished takes go until the rest fit.
    void enforceLimit() {
        std::vector<int64_t> victims;
        {
            std::lock_guard lock(mutex);
            limitCheck = false;
            uint64_t total = 0;
            for (const auto& [id, t] : takes) {
                total += t.bytes;
            }
            for (const auto& [id, t] : takes) {
                if (total <= options.limitBytes) {
                    break;
                }
                if (!t.pinned && !t.recording) {
                    victims.push_back(id);
                    total -= t.bytes;
                }
            }
        }
        for (const int64_t id : victims) {
            {
                // Pinned since it was picked: it stays. Otherwise a pin waits for the delete.
                std::lock_guard lock(mutex);
                const auto it = takes.find(id);
                if (it == takes.end() || it->second.pinned) {
                    continue;
                }
                limitDeleting = id;
            }
            std::string why;
            if (!deleteTake(id, why)) {
                setError(why);
            }
            std::lock_guard lock(mutex);
            limitDeleting = 0;
        }
    }

    // [writer] One slice of a take measured after a crash. True while there is more to do.
    bool measureSlice() {
        if (!measuring) {
            int64_t id = 0;
            {
                std::lock_guard lock(mutex);
                if (toMeasure.empty()) {
                    return false;
                }
                id = toMeasure.front();
                toMeasure.pop_front();
            }
            auto m = std::make_unique<Measuring>();
            m->id = id;
            m->fd = ::open(pathOf(id).c_str(), O_RDONLY | O_CLOEXEC);
            std::string why;
            if (m->fd < 0 || !readTakeLayout(m->fd, m->layout, why)) {
                if (m->fd >= 0) {
                    ::close(m->fd);
                }
                return true;  // deleted meanwhile, or unreadable: it keeps no levels
            }
            m->meter.start(m->layout.rateHz);
            measuring = std::move(m);
        }
        Measuring& m = *measuring;
        std::vector<float> samples;
        const uint64_t count = std::min(kMeasureSliceFrames, m.layout.frames - m.nextFrame);
        std::string why;
        const bool ok =
            count > 0 && readTakeFrames(m.fd, m.layout, m.nextFrame, count, samples, why);
        if (ok) {
            m.meter.add(samples.data(), count);
            m.nextFrame += count;
        }
        if (!ok || m.nextFrame >= m.layout.frames) {
            HistoryTake levels;
            m.meter.read(levels);
            std::optional<HistoryTake> take;
            {
                std::lock_guard lock(mutex);
                const auto it = takes.find(m.id);
                if (it != takes.end() && (ok || count == 0)) {
                    it->second.integratedLufs = levels.integratedLufs;
                    it->second.samplePeakDb = levels.samplePeakDb;
                    it->second.truePeakDb = levels.truePeakDb;
                    take = it->second;
                }
            }
            if (take) {
                indexUpdate(*take, true);
            }
            ::close(m.fd);
            measuring.reset();
        }
        return true;
    }

    // [writer]
    void run() {
        Clock::time_point nextFlush = Clock::now() + std::chrono::milliseconds(kFlushPeriodMs);
        bool moreToMeasure = true;
        for (;;) {
            std::vector<int64_t> ids;
            bool stop = false, checkLimit = false;
            {
                std::unique_lock lock(mutex);
                if (!moreToMeasure) {
                    wake.wait_until(lock, nextFlush, [&] { return work || stopping; });
                }
                work = false;
                stop = stopping;
                if (stop) {
                    for (auto& [id, o] : open) {
                        o.finishRequested = true;  // closing: complete every take
                    }
                }
                for (const auto& [id, o] : open) {
                    ids.push_back(id);
                }
            }
            for (const int64_t id : ids) {
                drain(id);
            }
            if (stop || Clock::now() >= nextFlush) {
                flushAll();
                nextFlush = Clock::now() + std::chrono::milliseconds(kFlushPeriodMs);
            }
            {
                std::lock_guard lock(mutex);
                checkLimit = limitCheck;
            }
            if (checkLimit) {
                enforceLimit();
            }
            if (stop) {
                break;
            }
            moreToMeasure = measureSlice();
        }
        if (measuring) {
            ::close(measuring->fd);
            measuring.reset();  // its row stays unmeasured: the next open measures it
        }
    }

    // ---- Opening ------------------------------------------------------------------------

    // [main-thread] Brings the index and the files into agreement after whatever happened last.
    bool recover(std::string& why) {
        std::vector<IndexedTake> rows;
        int64_t highest = 0;
        if (!loadIndex(index, rows, highest, why)) {
            return false;
        }
        std::string indexTrouble;  // an index write that failed (a full disk): not fatal
        std::map<int64_t, HistoryTake> found;
        std::deque<int64_t> measure;
        std::map<int64_t, IndexedTake> known;
        for (IndexedTake& row : rows) {
            known.emplace(row.take.id, std::move(row));
        }
        // Files without a row (the index was lost, or a crash came between file and row):
        // adopted with what the file tells, never deleted.
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(options.dir, ec)) {
            const int64_t id = idFromFileName(entry.path().filename().string());
            if (id <= 0 || known.count(id) || !entry.is_regular_file(ec)) {
                continue;
            }
            // Repaired like a take a crash left open; a file that is not a take stays as it is.
            TakeFileLayout layout;
            if (!repairTakeFile(entry.path(), layout, why)) {
                std::fprintf(stderr, "tessarin-companion: history: %s\n", why.c_str());
                continue;
            }
            IndexedTake row;
            row.take.id = id;
            row.take.rateHz = layout.rateHz;
            row.take.frames = layout.frames;
            row.take.bytes = fileBytes(layout.dataOffsetBytes, layout.frames);
            if (!insertIndexRow(index, row, why)) {
                indexTrouble = why;  // listed all the same; adopted again next time
            }
            known.emplace(id, row);
            highest = std::max(highest, id);
        }
        for (auto& [id, row] : known) {
            HistoryTake& t = row.take;
            const fs::path path = pathOf(id);
            if (!fs::exists(path, ec)) {
                (void)deleteIndexRow(index, id, why);  // its deletion was cut short
                continue;
            }
            if (t.recording || t.bytes == 0) {
                TakeFileLayout layout;
                if (!repairTakeFile(path, layout, why)) {
                    // Left alone: never delete what cannot be read.
                    std::fprintf(stderr, "tessarin-companion: history: %s\n", why.c_str());
                    continue;
                }
                t.frames = layout.frames;
                t.bytes = fileBytes(layout.dataOffsetBytes, layout.frames);
                if (!(t.rateHz > 0.0)) {
                    t.rateHz = layout.rateHz;
                }
                t.recording = false;
                row.measured = false;
                // On a full disk the row stays as it was: the file is repaired, and the next
                // open repairs the row from it.
                if (!updateIndexRow(index, row, why)) {
                    indexTrouble = why;
                }
            }
            if (!row.measured) {
                measure.push_back(id);
            }
            found.emplace(id, t);
        }
        // Listed all at once: a reader that sees a take may use the index, which is ours until
        // here (a retried open runs while the server answers).
        std::lock_guard lock(mutex);
        takes = std::move(found);
        toMeasure = std::move(measure);
        nextId = highest + 1;
        limitCheck = true;
        if (!indexTrouble.empty()) {
            error = indexTrouble;
            errorAtMs = steadyMs();
        }
        return true;
    }
};

History::History() : impl_(std::make_unique<Impl>()) {}

History::~History() {
    close();
}

bool History::open(const HistoryOptions& options, std::string& error) {
    if (impl_->writer.joinable()) {
        error = "the history is open already";
        return false;
    }
    impl_->options = options;
    return openFolder(error);
}

bool History::needsReopen() const {
    return impl_->openFailed && !impl_->writer.joinable();
}

bool History::reopen(std::string& error) {
    if (!needsReopen()) {
        error = "the history is not waiting to open";
        return false;
    }
    return openFolder(error);
}

// [main-thread] Readers look at the index and the options only through takes listed, and none
// are listed until this succeeds: a retry may run while the server answers.
bool History::openFolder(std::string& error) {
    Impl& s = *impl_;
    const HistoryOptions& options = s.options;
    const auto fail = [&](const std::string& why) {
        error = why;
        s.setError(why);
        {
            std::lock_guard lock(s.mutex);
            s.takes.clear();
        }
        {
            std::lock_guard lock(s.indexMutex);
            closeIndex(s.index);
        }
        if (s.lockFd >= 0) {
            ::close(s.lockFd);
            s.lockFd = -1;
        }
        s.openFailed = true;
        return false;
    };
    if (options.limitBytes == 0) {
        return true;  // off: nothing recorded, nothing listed
    }
    std::error_code ec;
    const bool existed = fs::exists(options.dir, ec);
    if (!existed && !fs::create_directories(options.dir, ec)) {
        return fail("cannot create the history folder " + options.dir.string() + ": " +
                    ec.message());
    }
    if (!existed) {
        ::chmod(options.dir.c_str(), 0700);  // takes are the user's own
    }
    if (!fs::is_directory(options.dir, ec)) {
        return fail("the history folder " + options.dir.string() + " is not a folder");
    }
    // One process per folder: a second one would "repair" the takes the first is writing.
    const fs::path lockPath = options.dir / kLockName;
    s.lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (s.lockFd < 0) {
        return fail("cannot use the history folder " + options.dir.string() + ": " +
                    std::strerror(errno));
    }
    if (flock(s.lockFd, LOCK_EX | LOCK_NB) != 0) {
        return fail("the history folder " + options.dir.string() + " is in use by another process");
    }
    std::string why;
    bool indexed = false;
    {
        std::lock_guard lock(s.indexMutex);
        indexed = openIndex(options.dir / kIndexName, s.index, why);
    }
    if (!indexed) {
        return fail(why);
    }
    {
        std::lock_guard lock(s.mutex);
        s.takes.clear();
        s.open.clear();
        s.toMeasure.clear();
        s.stopping = false;
        s.pendingBytes = 0;
        s.error.clear();  // an earlier open's; the repair may say something of its own
    }
    if (!s.recover(why)) {
        return fail(why);
    }
    s.openFailed = false;
    s.enabled = true;
    s.writer = std::thread([&s] {
        // Named, so a profile or bench/companion_cpu can tell the writer's share.
        pthread_setname_np(pthread_self(), "history-writer");
        s.run();
    });
    return true;
}

void History::close() {
    Impl& s = *impl_;
    s.enabled = false;
    if (s.writer.joinable()) {
        {
            std::lock_guard lock(s.mutex);
            s.stopping = true;
        }
        s.wake.notify_one();
        s.writer.join();
    }
    closeIndex(s.index);
    if (s.lockFd >= 0) {
        ::close(s.lockFd);
        s.lockFd = -1;
    }
}

int64_t History::beginTake(uint64_t generation, int64_t startUnixMs, double rateHz) {
    Impl& s = *impl_;
    if (!s.enabled || !std::isfinite(rateHz) || rateHz < 1.0) {
        return 0;
    }
    std::lock_guard lock(s.mutex);
    if (!s.error.empty() && steadyMs() - s.errorAtMs < kRetryAfterErrorMs) {
        return 0;
    }
    const int64_t id = s.nextId++;
    HistoryTake take;
    take.id = id;
    take.startUnixMs = startUnixMs;
    take.rateHz = rateHz;
    take.generation = generation;
    take.recording = true;
    s.takes.emplace(id, take);
    s.open.emplace(id, OpenTake{});
    s.work = true;
    s.wake.notify_one();
    return id;
}

void History::append(int64_t id, const float* interleaved, size_t frames) {
    Impl& s = *impl_;
    if (id == 0 || frames == 0 || !s.enabled) {
        return;
    }
    std::vector<float> copy(interleaved, interleaved + frames * kTakeChannels);
    std::lock_guard lock(s.mutex);
    const auto it = s.open.find(id);
    if (it == s.open.end() || it->second.finishRequested) {
        return;
    }
    if (s.pendingBytes + copy.size() * sizeof(float) > kMaxPendingBytes) {
        s.error = "the disk cannot keep up with the capture (stopped writing a take)";
        s.errorAtMs = steadyMs();
        it->second.finishRequested = true;
    } else {
        s.pendingBytes += copy.size() * sizeof(float);
        it->second.pending.push_back(std::move(copy));
        s.takes.at(id).frames += frames;
    }
    s.work = true;
    s.wake.notify_one();
}

void History::finishTake(int64_t id) {
    Impl& s = *impl_;
    std::lock_guard lock(s.mutex);
    const auto it = s.open.find(id);
    if (it != s.open.end()) {
        it->second.finishRequested = true;
        s.work = true;
        s.wake.notify_one();
    }
}

HistorySummary History::list() const {
    const Impl& s = *impl_;
    HistorySummary out;
    std::lock_guard lock(s.mutex);
    out.takes.reserve(s.takes.size());
    for (const auto& [id, take] : s.takes) {
        out.takes.push_back(take);
        out.bytes += take.bytes;
    }
    out.limitBytes = s.enabled || !s.takes.empty() ? s.options.limitBytes : 0;
    out.error = s.error;
    return out;
}

std::optional<HistoryTake> History::take(int64_t id) const {
    const Impl& s = *impl_;
    std::lock_guard lock(s.mutex);
    const auto it = s.takes.find(id);
    if (it == s.takes.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool History::read(int64_t id, uint64_t firstFrame, uint64_t frames,
                   std::vector<float>& interleaved, std::string& error) const {
    const Impl& s = *impl_;
    interleaved.clear();
    uint64_t onDisk = 0, end = 0, dataOffset = 0;
    bool recording = false;
    std::vector<float> tail;  // frames of [onDisk, end) still in memory
    {
        std::lock_guard lock(s.mutex);
        const auto it = s.takes.find(id);
        if (it == s.takes.end()) {
            error = "no take " + std::to_string(id) + " in the history";
            return false;
        }
        const uint64_t held = it->second.frames;
        firstFrame = std::min(firstFrame, held);
        end = firstFrame + std::min(frames, held - firstFrame);
        onDisk = end;
        const auto o = s.open.find(id);
        if (o != s.open.end()) {
            recording = true;
            onDisk = std::min(end, o->second.framesOnDisk);
            dataOffset = o->second.dataOffsetBytes;
            uint64_t at = o->second.framesOnDisk;
            for (const auto& chunk : o->second.pending) {
                const uint64_t chunkFrames = chunk.size() / kTakeChannels;
                const uint64_t from = std::max(at, std::max(firstFrame, onDisk));
                const uint64_t to = std::min(at + chunkFrames, end);
                if (from < to) {
                    tail.insert(tail.end(), chunk.begin() + (from - at) * kTakeChannels,
                                chunk.begin() + (to - at) * kTakeChannels);
                }
                at += chunkFrames;
            }
        }
    }
    interleaved.reserve((end - firstFrame) * kTakeChannels);
    if (firstFrame < onDisk) {
        const int fd = ::open(s.pathOf(id).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open take " + std::to_string(id) + ": " + std::strerror(errno);
            return false;
        }
        TakeFileLayout layout;
        bool ok = true;
        if (recording) {
            layout.dataOffsetBytes = dataOffset;  // the header lags the data while recording
        } else {
            ok = readTakeLayout(fd, layout, error);
        }
        ok = ok && readTakeFrames(fd, layout, firstFrame, onDisk - firstFrame, interleaved, error);
        ::close(fd);
        if (!ok) {
            error = "take " + std::to_string(id) + ": " + error;
            return false;
        }
    }
    interleaved.insert(interleaved.end(), tail.begin(), tail.end());
    return true;
}

bool History::setPinned(int64_t id, bool pinned, std::string& error) {
    Impl& s = *impl_;
    bool was = false;
    {
        // Pinned in memory first: the limit looks there before it deletes a take.
        std::lock_guard lock(s.mutex);
        const auto it = s.takes.find(id);
        if (it == s.takes.end() || s.limitDeleting == id) {
            error = "no take " + std::to_string(id) + " in the history";
            return false;
        }
        was = it->second.pinned;
        it->second.pinned = pinned;
    }
    bool stored = false;
    {
        std::lock_guard lock(s.indexMutex);
        // A take the writer has not registered yet gets its pin with its row.
        stored = s.index.db != nullptr && setIndexPinned(s.index, id, pinned, error);
        if (s.index.db == nullptr) {
            error = "the history is closed";
        }
    }
    std::lock_guard lock(s.mutex);
    const auto it = s.takes.find(id);
    if (!stored) {
        if (it != s.takes.end()) {
            it->second.pinned = was;
        }
        return false;
    }
    s.limitCheck = s.limitCheck || !pinned;
    s.work = s.work || !pinned;
    s.wake.notify_one();
    return true;
}

bool History::remove(int64_t id, std::string& error) {
    Impl& s = *impl_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.takes.count(id)) {
            error = "no take " + std::to_string(id) + " in the history";
            return false;
        }
        if (s.open.count(id)) {
            error = "take " + std::to_string(id) + " is still being recorded";
            return false;
        }
    }
    return s.deleteTake(id, error);
}

std::string History::error() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->error;
}

}  // namespace companion
