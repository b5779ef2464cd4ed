#pragma once

// What the history's writer and its readers share: the connection and
// statement wrappers, and how a record is laid out in the database.
#include <cstdint>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <utility>
#include <vector>

// One database connection, closed with its owner.
class THistoryDatabase {
public:
    THistoryDatabase() = default;
    THistoryDatabase(const THistoryDatabase&) = delete;
    THistoryDatabase& operator=(const THistoryDatabase&) = delete;
    ~THistoryDatabase() { Close(); }

    int Open(const std::string& path, int flags);
    void Close();
    int Exec(const char* sql) { return sqlite3_exec(FHandle, sql, nullptr, nullptr, nullptr); }
    sqlite3* Handle() const { return FHandle; }
    std::string Error() const { return FHandle ? sqlite3_errmsg(FHandle) : "out of memory"; }
    bool HasTable(const char* name) const;
    // A value of the marks table; none where it has no such mark.
    std::optional<int64_t> Mark(const char* name) const;
    int SetMark(const char* name, int64_t value);

private:
    sqlite3* FHandle = nullptr;
};

// A prepared statement, finalised with its owner.
class THistoryStatement {
public:
    THistoryStatement(sqlite3* database, const char* sql) { sqlite3_prepare_v2(database, sql, -1, &FHandle, nullptr); }
    ~THistoryStatement() { sqlite3_finalize(FHandle); }
    THistoryStatement(const THistoryStatement&) = delete;
    THistoryStatement& operator=(const THistoryStatement&) = delete;
    sqlite3_stmt* Get() const { return FHandle; }
    explicit operator bool() const { return FHandle != nullptr; }

private:
    sqlite3_stmt* FHandle = nullptr;
};

// No bytes are an empty value, not NULL.
void BindBytes(sqlite3_stmt* statement, int index, const std::string& bytes);
std::string ColumnBytes(sqlite3_stmt* statement, int column);
std::string ColumnText(sqlite3_stmt* statement, int column);

// The tables. Kept small: a record's folder is a number, its paths the part
// below the folder where they lie there, its action a number. place tells
// how each path is kept: bits 0-1 the path, bits 2-3 the old path. marks
// holds what the writer keeps of the clock: "newest", the newest time kept,
// and "clock_back_at", the first record written after the clock was seen
// to go back; and "indexed", the number of the newest record whose paths
// are in the index (a history kept before the index could lag has no such
// mark: every record of it is in the index).
extern const char* const HistorySchema;
// The index of parts of paths: the trigrams of the kept part of each path
// (the folder itself is not in it: a question matching a folder's own path
// looks at the records themselves). Contentless, so it costs a few bytes
// per record; what it finds is checked against the record.
extern const char* const HistoryIndexSchema;

enum THistoryPlace : int { WholePath = 0, BelowFolder = 1, TheFolder = 2 };

// The folder's path with one '/' after it.
std::string FolderPrefix(const std::string& folder);
// How path is kept for folder, and the bytes kept.
std::pair<int, std::string> KeptPath(const std::string& path, const std::string& folder);
std::string RestoredPath(int place, std::string kept, const std::string& folder);

// The text the index is given for a kept path: each byte as the character
// of that number, so that any byte string, valid UTF-8 or not, is cut into
// trigrams that a part of it cut the same way is found among.
std::string IndexedText(const std::string& bytes);
// indexed(place, kept): the indexed text of a kept path, for statements that
// feed the index from the table (filling it, taking pruned records out).
int AddIndexedFunction(sqlite3* database);

// The number an action is kept as, 0 for one kept as its text.
int ActionCode(const std::string& action);
std::string KeptActionName(int code);

bool DamagedResult(int result);
