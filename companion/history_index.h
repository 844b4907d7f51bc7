// The history's index: one SQLite row per take (history.h's HistoryTake and whether its loudness
// was measured). WAL with synchronous=NORMAL: a crash of the process loses no committed row; the
// take files stay the truth about frames, and the history repairs rows from them at open.
//
// Threads: one connection; the caller serialises every call (History holds a mutex).
#pragma once

#include "companion/history.h"

#include <filesystem>
#include <string>
#include <vector>

struct sqlite3;

namespace companion {

struct IndexedTake {
    HistoryTake take;
    bool measured = false;  // loudness and peaks hold the whole take's values
};

struct HistoryIndex {
    sqlite3* db = nullptr;
};

// Opens or creates the index file (mode 0600, as are its WAL and shared-memory files).
bool openIndex(const std::filesystem::path& file, HistoryIndex& index, std::string& error);
void closeIndex(HistoryIndex& index);

// Every row, oldest first, and the highest id ever handed out (deleted rows included).
bool loadIndex(HistoryIndex& index, std::vector<IndexedTake>& out, int64_t& highestId,
               std::string& error);
bool insertIndexRow(HistoryIndex& index, const IndexedTake& row, std::string& error);
// Frames, levels, bytes, recording and measured (never the pin: setIndexPinned alone changes it).
bool updateIndexRow(HistoryIndex& index, const IndexedTake& row, std::string& error);
bool setIndexPinned(HistoryIndex& index, int64_t id, bool pinned, std::string& error);
bool deleteIndexRow(HistoryIndex& index, int64_t id, std::string& error);

}  // namespace companion
