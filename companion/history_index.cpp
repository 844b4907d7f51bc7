#include "companion/history_index.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace companion {

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 2000;

// A small WAL, checkpointed often: the index lives beside takes that may fill the disk.
constexpr const char* kSetup = "PRAGMA journal_mode=WAL;"
                               "PRAGMA synchronous=NORMAL;"
                               "PRAGMA wal_autocheckpoint=64;"
                               "PRAGMA journal_size_limit=1048576;"
                               "CREATE TABLE IF NOT EXISTS takes ("
                               " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                               " start_unix_ms INTEGER NOT NULL,"
                               " frames INTEGER NOT NULL,"
                               " rate_hz REAL NOT NULL,"
                               " generation INTEGER NOT NULL,"
                               " integrated_lufs REAL,"
                               " sample_peak_db REAL,"
                               " true_peak_db REAL,"
                               " pinned INTEGER NOT NULL DEFAULT 0,"
                               " name TEXT NOT NULL DEFAULT '',"
                               " bytes INTEGER NOT NULL DEFAULT 0,"
                               " recording INTEGER NOT NULL DEFAULT 0,"
                               " measured INTEGER NOT NULL DEFAULT 0);";

// One prepared statement for one call.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            stmt_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool failed(HistoryIndex& index, std::string& error) {
    error = std::string("history index: ") + sqlite3_errmsg(index.db);
    return false;
}

// NaN is stored as NULL: "no value".
void bindLevel(sqlite3_stmt* s, int column, double value) {
    if (std::isfinite(value)) {
        sqlite3_bind_double(s, column, value);
    } else {
        sqlite3_bind_null(s, column);
    }
}
double columnLevel(sqlite3_stmt* s, int column) {
    return sqlite3_column_type(s, column) == SQLITE_NULL ? NAN : sqlite3_column_double(s, column);
}

// Binds what an update changes, from column `first` on. Pinned is not among them: it changes
// only through setIndexPinned, so a writer's update never undoes a pin made meanwhile.
void bindChanging(sqlite3_stmt* s, int first, const IndexedTake& row) {
    const HistoryTake& t = row.take;
    sqlite3_bind_int64(s, first, static_cast<int64_t>(t.frames));
    bindLevel(s, first + 1, t.integratedLufs);
    bindLevel(s, first + 2, t.samplePeakDb);
    bindLevel(s, first + 3, t.truePeakDb);
    sqlite3_bind_int64(s, first + 4, static_cast<int64_t>(t.bytes));
    sqlite3_bind_int(s, first + 5, t.recording ? 1 : 0);
    sqlite3_bind_int(s, first + 6, row.measured ? 1 : 0);
}

bool runDone(HistoryIndex& index, const Statement& s, std::string& error) {
    if (s.get() == nullptr || sqlite3_step(s.get()) != SQLITE_DONE) {
        return failed(index, error);
    }
    return true;
}

}  // namespace

bool openIndex(const std::filesystem::path& file, HistoryIndex& index, std::string& error) {
    // Made here with 0600, so SQLite's WAL and shared-memory files copy that mode.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot open " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    fchmod(fd, 0600);
    ::close(fd);
    if (sqlite3_open_v2(file.c_str(), &index.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        failed(index, error);
        closeIndex(index);
        return false;
    }
    sqlite3_busy_timeout(index.db, kBusyTimeoutMs);
    char* message = nullptr;
    if (sqlite3_exec(index.db, kSetup, nullptr, nullptr, &message) != SQLITE_OK) {
        error = "history index " + file.string() + ": " + (message ? message : "unusable");
        sqlite3_free(message);
        closeIndex(index);
        return false;
    }
    Statement version(index.db, "PRAGMA user_version;");
    int found = 0;
    if (version.get() != nullptr && sqlite3_step(version.get()) == SQLITE_ROW) {
        found = sqlite3_column_int(version.get(), 0);
    }
    if (found > kSchemaVersion) {
        error = "history index " + file.string() + " is from a newer version";
        closeIndex(index);
        return false;
    }
    if (found < kSchemaVersion) {
        sqlite3_exec(index.db, "PRAGMA user_version=1;", nullptr, nullptr, nullptr);
    }
    return true;
}

void closeIndex(HistoryIndex& index) {
    if (index.db != nullptr) {
        sqlite3_close_v2(index.db);
        index.db = nullptr;
    }
}

bool loadIndex(HistoryIndex& index, std::vector<IndexedTake>& out, int64_t& highestId,
               std::string& error) {
    out.clear();
    highestId = 0;
    Statement s(index.db, "SELECT id, start_unix_ms, frames, rate_hz, generation, integrated_lufs,"
                          " sample_peak_db, true_peak_db, pinned, name, bytes, recording, measured"
                          " FROM takes ORDER BY id;");
    if (s.get() == nullptr) {
        return failed(index, error);
    }
    int step;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        IndexedTake row;
        HistoryTake& t = row.take;
        t.id = sqlite3_column_int64(s.get(), 0);
        t.startUnixMs = sqlite3_column_int64(s.get(), 1);
        t.frames = static_cast<uint64_t>(std::max<int64_t>(0, sqlite3_column_int64(s.get(), 2)));
        t.rateHz = sqlite3_column_double(s.get(), 3);
        t.generation = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 4));
        t.integratedLufs = columnLevel(s.get(), 5);
        t.samplePeakDb = columnLevel(s.get(), 6);
        t.truePeakDb = columnLevel(s.get(), 7);
        t.pinned = sqlite3_column_int(s.get(), 8) != 0;
        const unsigned char* name = sqlite3_column_text(s.get(), 9);
        t.name = name ? reinterpret_cast<const char*>(name) : "";
        t.bytes = static_cast<uint64_t>(std::max<int64_t>(0, sqlite3_column_int64(s.get(), 10)));
        t.recording = sqlite3_column_int(s.get(), 11) != 0;
        row.measured = sqlite3_column_int(s.get(), 12) != 0;
        highestId = std::max(highestId, t.id);
        out.push_back(std::move(row));
    }
    if (step != SQLITE_DONE) {
        return failed(index, error);
    }
    // AUTOINCREMENT remembers ids of deleted rows: a new take never reuses one.
    Statement sequence(index.db, "SELECT seq FROM sqlite_sequence WHERE name = 'takes';");
    if (sequence.get() != nullptr && sqlite3_step(sequence.get()) == SQLITE_ROW) {
        highestId = std::max<int64_t>(highestId, sqlite3_column_int64(sequence.get(), 0));
    }
    return true;
}

bool insertIndexRow(HistoryIndex& index, const IndexedTake& row, std::string& error) {
    Statement s(index.db,
                "INSERT INTO takes (id, start_unix_ms, rate_hz, generation, pinned, name, frames,"
                " integrated_lufs, sample_peak_db, true_peak_db, bytes, recording, measured)"
                " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13);");
    if (s.get() == nullptr) {
        return failed(index, error);
    }
    sqlite3_bind_int64(s.get(), 1, row.take.id);
    sqlite3_bind_int64(s.get(), 2, row.take.startUnixMs);
    sqlite3_bind_double(s.get(), 3, row.take.rateHz);
    sqlite3_bind_int64(s.get(), 4, static_cast<int64_t>(row.take.generation));
    sqlite3_bind_int(s.get(), 5, row.take.pinned ? 1 : 0);
    sqlite3_bind_text(s.get(), 6, row.take.name.c_str(), -1, SQLITE_TRANSIENT);
    bindChanging(s.get(), 7, row);
    return runDone(index, s, error);
}

bool updateIndexRow(HistoryIndex& index, const IndexedTake& row, std::string& error) {
    Statement s(index.db,
                "UPDATE takes SET frames = ?2, integrated_lufs = ?3, sample_peak_db = ?4,"
                " true_peak_db = ?5, bytes = ?6, recording = ?7, measured = ?8 WHERE id = ?1;");
    if (s.get() == nullptr) {
        return failed(index, error);
    }
    sqlite3_bind_int64(s.get(), 1, row.take.id);
    bindChanging(s.get(), 2, row);
    return runDone(index, s, error);
}

bool setIndexPinned(HistoryIndex& index, int64_t id, bool pinned, std::string& error) {
    Statement s(index.db, "UPDATE takes SET pinned = ?2 WHERE id = ?1;");
    if (s.get() == nullptr) {
        return failed(index, error);
    }
    sqlite3_bind_int64(s.get(), 1, id);
    sqlite3_bind_int(s.get(), 2, pinned ? 1 : 0);
    return runDone(index, s, error);
}

bool deleteIndexRow(HistoryIndex& index, int64_t id, std::string& error) {
    Statement s(index.db, "DELETE FROM takes WHERE id = ?1;");
    if (s.get() == nullptr) {
        return failed(index, error);
    }
    sqlite3_bind_int64(s.get(), 1, id);
    return runDone(index, s, error);
}

}  // namespace companion
