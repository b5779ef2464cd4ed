#include "history/HistoryStore.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sqlite3.h>
#include <algorithm>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {
constexpr auto BatchWait = std::chrono::milliseconds(200);
constexpr size_t BatchSize = 4096;
// Beyond this many records waiting (the database cannot be written), the
// oldest are dropped rather than memory grown without bound.
constexpr size_t WaitingLimit = 1000000;
constexpr auto PruneEvery = std::chrono::seconds(60);
constexpr int64_t NanosecondsPerDay = 86400LL * 1000000000LL;
// Longer than this is kept as this: a hundred years.
constexpr int64_t MostDaysKept = 36500;

// Kept small: a record's folder is a number, its paths the part below the
// folder where they lie there, its action a number. place tells how each
// path is kept: bits 0-1 the path, bits 2-3 the old path (Whole, Below the
// folder's prefix, the Folder itself).
const char* const Schema =
    "CREATE TABLE IF NOT EXISTS folders(id INTEGER PRIMARY KEY, path BLOB NOT NULL UNIQUE, prefix BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS changes("
    " id INTEGER PRIMARY KEY, time INTEGER NOT NULL, action NOT NULL, folder INTEGER NOT NULL, place INTEGER NOT NULL,"
    " path BLOB NOT NULL, old_path BLOB, is_folder INTEGER, reason TEXT);"
    "CREATE INDEX IF NOT EXISTS changes_time ON changes(time);";

enum TPlace : int { Whole = 0, Below = 1, TheFolder = 2 };

// The actions the lines name, kept as numbers; any other name as its text.
constexpr const char* ActionNames[] = {"",         "Added",        "Removed",        "Modified",   "Renamed_old_name",
                                       "Renamed_new_name", "Renamed", "Changes_lost", "Changes_merged", "Not_watched"};

std::string PrefixOf(const std::string& folder) {
    return !folder.empty() && folder.back() == '/' ? folder : folder + '/';
}

// How path is kept for folder, and the bytes kept.
std::pair<int, std::string> Kept(const std::string& path, const std::string& folder) {
    if (path == folder)
        return {TheFolder, {}};
    if (const std::string prefix = PrefixOf(folder); path.size() > prefix.size() && path.starts_with(prefix))
        return {Below, path.substr(prefix.size())};
    return {Whole, path};
}

std::string Restored(int place, std::string kept, const std::string& folder) {
    switch (place & 3) {
    case Below:
        return PrefixOf(folder) + kept;
    case TheFolder:
        return folder;
    default:
        return kept;
    }
}

bool Damaged(int result) {
    return result == SQLITE_CORRUPT || result == SQLITE_NOTADB;
}

// One database connection, closed with its owner.
class TDatabase {
public:
    TDatabase() = default;
    TDatabase(const TDatabase&) = delete;
    TDatabase& operator=(const TDatabase&) = delete;
    ~TDatabase() { Close(); }

    int Open(const std::string& path, int flags) {
        Close();
        const int result = sqlite3_open_v2(path.c_str(), &FHandle, flags | SQLITE_OPEN_NOMUTEX, nullptr);
        if (result == SQLITE_OK)
            sqlite3_busy_timeout(FHandle, 2000);
        return result;
    }
    void Close() {
        sqlite3_close_v2(FHandle);
        FHandle = nullptr;
    }
    int Exec(const char* sql) { return sqlite3_exec(FHandle, sql, nullptr, nullptr, nullptr); }
    sqlite3* Handle() const { return FHandle; }
    std::string Error() const { return FHandle ? sqlite3_errmsg(FHandle) : "out of memory"; }

private:
    sqlite3* FHandle = nullptr;
};

// A prepared statement, finalised with its owner.
class TStatement {
public:
    TStatement(sqlite3* database, const char* sql) { sqlite3_prepare_v2(database, sql, -1, &FHandle, nullptr); }
    ~TStatement() { sqlite3_finalize(FHandle); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    sqlite3_stmt* Get() const { return FHandle; }
    explicit operator bool() const { return FHandle != nullptr; }

private:
    sqlite3_stmt* FHandle = nullptr;
};

// No bytes are an empty value, not NULL.
void BindBytes(sqlite3_stmt* statement, int index, const std::string& bytes) {
    if (bytes.empty())
        sqlite3_bind_zeroblob(statement, index, 0);
    else
        sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* statement, int column) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
    return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, column))) : std::string();
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? text : "";
}

// The damaged file and its journals set aside beside it, under a name of
// their own; the name, or nothing when the file could not be moved.
std::string SetAside(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
    std::string aside = path + ".damaged-" + stamp;
    std::error_code missing;
    for (int n = 2; std::filesystem::exists(aside, missing); ++n)
        aside = path + ".damaged-" + stamp + "-" + std::to_string(n);
    std::error_code error;
    std::filesystem::rename(path, aside, error);
    if (error)
        return {};
    for (const char* journal : {"-wal", "-shm", "-journal"})
        if (std::filesystem::exists(path + journal, missing))
            std::filesystem::rename(path + journal, aside + journal, error);
    return aside;
}

// The writer's connection: opened as needed, its troubles told once each.
class TWriter {
public:
    TWriter(std::string path, THistoryRetention retention, const THistoryStore::TTell& tell)
        : FPath(std::move(path)), FRetention(retention), FTell(tell) {}

    enum class TWritten { Yes, Dropped, Later };

    // Later: the database is busy with another writer (another copy of the
    // program): the batch is tried again with the next one.
    TWritten Write(const std::vector<THistoryRecord>& batch) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (FBroken || !Ready())
                return TWritten::Dropped;
            std::string error;
            const int result = Insert(batch, error);
            if (result == SQLITE_OK) {
                Prune();
                return TWritten::Yes;
            }
            if ((result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED)
                return TWritten::Later;
            if (!Damaged(result)) {
                Trouble("write", "The history cannot be written (" + error +
                                     "): the changes are still listed, but not kept");
                return TWritten::Dropped;
            }
            Recover();
        }
        return TWritten::Dropped;
    }

private:
    bool Ready() {
        if (FOpen)
            return true;
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(FPath).parent_path(), error);
        int result = FDatabase.Open(FPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (result == SQLITE_OK)
            result = Prepare();
        if (Damaged(result)) {
            Recover();
            result = FDatabase.Open(FPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            if (result == SQLITE_OK)
                result = Prepare();
        }
        if (result != SQLITE_OK) {
            Trouble("open", "The history cannot be opened at " + FPath + " (" + FDatabase.Error() +
                                "): the changes are still listed, but not kept");
            FDatabase.Close();
            return false;
        }
        FOpen = true;
        return true;
    }

    int Prepare() {
        int result = FDatabase.Exec("PRAGMA journal_mode=WAL");
        if (result == SQLITE_OK)
            result = FDatabase.Exec("PRAGMA synchronous=NORMAL");
        if (result == SQLITE_OK)
            result = FDatabase.Exec(Schema);
        return result;
    }

    // A file that cannot be moved aside is left alone, and nothing more is
    // written this run.
    void Recover() {
        FFolders.clear();
        FDatabase.Close();
        FOpen = false;
        const std::string aside = SetAside(FPath);
        if (aside.empty()) {
            FBroken = true;
            Trouble("damaged", "The history database " + FPath + " is damaged and cannot be set aside: the changes "
                               "are still listed, but not kept");
            return;
        }
        Trouble("damaged", "The history database was damaged: it was set aside as " + aside + ", and a new one begun");
    }

    // The number of a folder, made when it is new.
    std::optional<int64_t> FolderId(const std::string& folder) {
        if (auto known = FFolders.find(folder); known != FFolders.end())
            return known->second;
        TStatement add(FDatabase.Handle(), "INSERT OR IGNORE INTO folders(path, prefix) VALUES(?, ?)");
        TStatement find(FDatabase.Handle(), "SELECT id FROM folders WHERE path = ?");
        if (!add || !find)
            return std::nullopt;
        BindBytes(add.Get(), 1, folder);
        BindBytes(add.Get(), 2, PrefixOf(folder));
        BindBytes(find.Get(), 1, folder);
        if (sqlite3_step(add.Get()) != SQLITE_DONE || sqlite3_step(find.Get()) != SQLITE_ROW)
            return std::nullopt;
        return FFolders[folder] = sqlite3_column_int64(find.Get(), 0);
    }

    // error: the database's words for a failure, taken before it is rolled back.
    int Insert(const std::vector<THistoryRecord>& batch, std::string& error) {
        int result = FDatabase.Exec("BEGIN IMMEDIATE");
        if (result != SQLITE_OK) {
            error = FDatabase.Error();
            return result;
        }
        TStatement insert(FDatabase.Handle(),
                          "INSERT INTO changes(time, action, folder, place, path, old_path, is_folder, reason) "
                          "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        if (!insert)
            result = sqlite3_errcode(FDatabase.Handle());
        for (const THistoryRecord& record : batch) {
            if (result != SQLITE_OK)
                break;
            sqlite3_stmt* statement = insert.Get();
            const std::optional<int64_t> folder = FolderId(record.Folder);
            if (!folder) {
                result = sqlite3_errcode(FDatabase.Handle());
                break;
            }
            sqlite3_bind_int64(statement, 1, record.Time);
            const auto* known = std::find(std::begin(ActionNames) + 1, std::end(ActionNames), record.Action);
            if (known != std::end(ActionNames))
                sqlite3_bind_int(statement, 2, static_cast<int>(known - std::begin(ActionNames)));
            else
                sqlite3_bind_text(statement, 2, record.Action.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(statement, 3, *folder);
            const auto [pathPlace, path] = Kept(record.Path, record.Folder);
            int place = pathPlace;
            BindBytes(statement, 5, path);
            if (record.OldPath) {
                const auto [oldPlace, oldPath] = Kept(*record.OldPath, record.Folder);
                place |= oldPlace << 2;
                BindBytes(statement, 6, oldPath);
            } else {
                sqlite3_bind_null(statement, 6);
            }
            sqlite3_bind_int(statement, 4, place);
            if (record.IsFolder)
                sqlite3_bind_int(statement, 7, *record.IsFolder ? 1 : 0);
            else
                sqlite3_bind_null(statement, 7);
            if (record.Reason.empty())
                sqlite3_bind_null(statement, 8);
            else
                sqlite3_bind_text(statement, 8, record.Reason.c_str(), -1, SQLITE_TRANSIENT);
            result = sqlite3_step(statement) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(FDatabase.Handle());
            sqlite3_reset(statement);
        }
        if (result == SQLITE_OK)
            result = FDatabase.Exec("COMMIT");
        if (result != SQLITE_OK) {
            error = FDatabase.Error();
            FDatabase.Exec("ROLLBACK");
            FFolders.clear(); // numbers given in the transaction are gone with it
        }
        return result;
    }

    // Records older than the days kept, and beyond the count kept, go.
    void Prune() {
        const auto now = std::chrono::steady_clock::now();
        if (now - FPruned < PruneEvery)
            return;
        FPruned = now;
        TStatement byAge(FDatabase.Handle(), "DELETE FROM changes WHERE time < ?");
        if (byAge) {
            const int64_t days = std::clamp<int64_t>(FRetention.Days, 1, MostDaysKept);
            sqlite3_bind_int64(byAge.Get(), 1, HistoryTimeNow() - days * NanosecondsPerDay);
            sqlite3_step(byAge.Get());
        }
        // Numbers only grow: the newest records are those of the highest.
        TStatement byCount(FDatabase.Handle(), "DELETE FROM changes WHERE id <= (SELECT max(id) FROM changes) - ?");
        if (byCount) {
            sqlite3_bind_int64(byCount.Get(), 1, FRetention.Records);
            sqlite3_step(byCount.Get());
        }
    }

    // Each kind of trouble is told once: a disk that stays full is no news.
    void Trouble(const std::string& kind, const std::string& message) {
        if (FTold.insert(kind).second)
            FTell(message);
    }

    const std::string FPath;
    const THistoryRetention FRetention;
    const THistoryStore::TTell& FTell;
    TDatabase FDatabase;
    bool FOpen = false;
    bool FBroken = false; // damaged and not set aside: nothing is written
    std::unordered_set<std::string> FTold;
    std::unordered_map<std::string, int64_t> FFolders; // numbers of the folders, by path
    std::chrono::steady_clock::time_point FPruned{};
};
} // namespace

int64_t HistoryTimeNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

THistoryStore::THistoryStore(std::string path, THistoryRetention retention, TTell tell)
    : FPath(std::move(path)), FRetention(retention), FTell(std::move(tell)), FWriter([this] { Run(); }) {}

THistoryStore::~THistoryStore() {
    {
        std::lock_guard lock(FLock);
        FStopping = true;
    }
    FWake.notify_one();
    FWriter.join();
}

void THistoryStore::Add(THistoryRecord record) {
    std::lock_guard lock(FLock);
    if (FQueue.size() >= WaitingLimit)
        FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<long>(BatchSize));
    FQueue.push_back(std::move(record));
    ++FAdded;
    if (FQueue.size() == BatchSize)
        FWake.notify_one();
}

void THistoryStore::Flush() {
    std::unique_lock lock(FLock);
    const uint64_t wanted = FAdded;
    FFlushing = true;
    FWake.notify_one();
    // A database another program keeps busy does not hold the caller long.
    FWritten.wait_for(lock, std::chrono::seconds(2), [&] { return FDone >= wanted; });
}

// Batches go out every 200 ms, or sooner when full: a crash loses at most
// the records of the last moments, and never damages what was written.
void THistoryStore::Run() {
    TWriter writer(FPath, FRetention, FTell);
    std::unique_lock lock(FLock);
    for (;;) {
        FWake.wait_for(lock, BatchWait, [&] { return FStopping || FFlushing || FQueue.size() >= BatchSize; });
        std::vector<THistoryRecord> batch = std::exchange(FQueue, {});
        const uint64_t taken = FAdded;
        const bool stopping = FStopping;
        FFlushing = false;
        lock.unlock();
        const bool later = !batch.empty() && writer.Write(batch) == TWriter::TWritten::Later;
        lock.lock();
        if (later && !stopping) {
            FQueue.insert(FQueue.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
            continue; // still to be written: not done
        }
        FDone = taken;
        FWritten.notify_all();
        if (stopping && FQueue.empty())
            return;
    }
}

namespace {
void Select(const std::string& path, const THistoryQuery& query, bool newestFirst,
            const std::function<bool(const THistoryRecord&)>& visit) {
    TDatabase database;
    std::error_code missing;
    if (!std::filesystem::exists(path, missing) || database.Open(path, SQLITE_OPEN_READONLY) != SQLITE_OK)
        return;
    // The whole path, as bytes, for the question's part of a path.
    const char* const whole = "CAST(CASE c.place & 3 WHEN 1 THEN f.prefix || c.path WHEN 2 THEN f.path ELSE c.path END AS BLOB)";
    const char* const wholeOld =
        "CAST(CASE (c.place >> 2) & 3 WHEN 1 THEN f.prefix || c.old_path WHEN 2 THEN f.path ELSE c.old_path END AS BLOB)";
    const std::string sql =
        std::string("SELECT c.time, c.action, c.place, c.path, c.old_path, f.path, c.is_folder, c.reason "
                    "FROM changes c JOIN folders f ON f.id = c.folder "
                    "WHERE c.time >= ?1 AND c.time <= ?2 AND (length(?3) = 0 OR instr(") + whole + ", ?3) > 0 OR "
                    "(c.old_path IS NOT NULL AND instr(" + wholeOld + ", ?3) > 0)) "
                    "ORDER BY c.time " + (newestFirst ? "DESC, c.id DESC" : "ASC, c.id ASC") + " LIMIT ?4";
    TStatement select(database.Handle(), sql.c_str());
    if (!select)
        return;
    sqlite3_stmt* statement = select.Get();
    sqlite3_bind_int64(statement, 1, query.Since.value_or(INT64_MIN));
    sqlite3_bind_int64(statement, 2, query.Until.value_or(INT64_MAX));
    BindBytes(statement, 3, query.Fragment);
    sqlite3_bind_int64(statement, 4, query.Limit == 0 ? -1 : static_cast<int64_t>(query.Limit));
    while (sqlite3_step(statement) == SQLITE_ROW) {
        THistoryRecord record;
        record.Time = sqlite3_column_int64(statement, 0);
        if (sqlite3_column_type(statement, 1) == SQLITE_INTEGER) {
            const int code = sqlite3_column_int(statement, 1);
            record.Action = code > 0 && code < static_cast<int>(std::size(ActionNames)) ? ActionNames[code] : "";
        } else {
            record.Action = ColumnText(statement, 1);
        }
        const int place = sqlite3_column_int(statement, 2);
        record.Folder = ColumnBytes(statement, 5);
        record.Path = Restored(place, ColumnBytes(statement, 3), record.Folder);
        if (sqlite3_column_type(statement, 4) != SQLITE_NULL)
            record.OldPath = Restored(place >> 2, ColumnBytes(statement, 4), record.Folder);
        if (sqlite3_column_type(statement, 6) != SQLITE_NULL)
            record.IsFolder = sqlite3_column_int(statement, 6) != 0;
        record.Reason = ColumnText(statement, 7);
        if (!visit(record))
            return;
    }
}
} // namespace

std::vector<THistoryRecord> ReadHistory(const std::string& path, const THistoryQuery& query) {
    std::vector<THistoryRecord> records;
    Select(path, query, true, [&](const THistoryRecord& record) {
        records.push_back(record);
        return true;
    });
    return records;
}

void ForEachHistoryRecord(const std::string& path, const THistoryQuery& query,
                          const std::function<bool(const THistoryRecord&)>& visit) {
    Select(path, query, false, visit);
}

std::string HistoryPathFor(const std::string& settingsFile, bool portable) {
    if (portable)
        return (std::filesystem::path(settingsFile).parent_path() / "sentrel-history.db").string();
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const std::filesystem::path folder = state && *state == '/' ? std::filesystem::path(state)
                                         : home                  ? std::filesystem::path(home) / ".local/state"
                                                                 : std::filesystem::path("/tmp");
    return (folder / "sentrel" / "history.db").string();
}
