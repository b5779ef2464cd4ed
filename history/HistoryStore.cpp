#include "history/HistoryStore.h"

#include "history/HistoryDatabase.h"
#include "history/HistoryFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <unistd.h>
#include <utility>

namespace {
constexpr auto BatchWait = std::chrono::milliseconds(200);
constexpr size_t BatchSize = 4096;
// The records put into the index at once when it catches up: a piece
// takes a fraction of a second, so a batch never waits long behind it.
constexpr int64_t IndexPiece = 50000;
// How long a caller waits for room among the records waiting for the
// writer before the oldest of them go.
constexpr auto RoomWait = std::chrono::seconds(2);
constexpr auto PruneEvery = std::chrono::seconds(60);
constexpr int PruneShare = 20000;
constexpr int64_t NanosecondsPerDay = 86400LL * 1000000000LL;
// A record older than the newest kept by more than this means the clock went back.
constexpr int64_t ClockTolerance = 600LL * 1000000000LL;

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

    // Taken at the next prune, which comes with the next batch.
    void SetRetention(THistoryRetention retention) {
        FRetention = retention;
        FPruneLeft = true;
    }

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
                FIndexBehind = true;
                Prune();
                return TWritten::Yes;
            }
            if ((result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED)
                return TWritten::Later;
            if (!DamagedResult(result)) {
                Trouble("write",
                        "The history cannot be written (" + error + "): the changes are still listed, but not kept");
                return TWritten::Dropped;
            }
            Recover();
        }
        return TWritten::Dropped;
    }

    // Puts the next piece of the records not yet in the index into it;
    // whether more are left. The records are written without it, so that a
    // burst pays only for them: the index catches up while nothing else is
    // to be written, and until then a question looks at those records
    // themselves.
    bool IndexSome() {
        // A history a burst left behind is caught up with by the next
        // store too, before anything is written; none is made for it.
        std::error_code missing;
        if (FBroken || (!FOpen && !std::filesystem::exists(FPath, missing)) || !Ready())
            return false;
        if (!FIndexBehind || FDatabase.Exec("BEGIN IMMEDIATE") != SQLITE_OK)
            return false;
        const int64_t from = FDatabase.Mark("indexed").value_or(INT64_MAX);
        const int64_t newest = NewestId();
        THistoryStatement last(FDatabase.Handle(), "SELECT id FROM changes WHERE id > ?1 ORDER BY id LIMIT 1 OFFSET ?2");
        THistoryStatement add(FDatabase.Handle(), "INSERT INTO changes_index(rowid, path, old_path) "
                                                  "SELECT id, indexed(place, path), indexed(place >> 2, old_path) "
                                                  "FROM changes WHERE id > ?1 AND id <= ?2");
        bool done = last && add && from < newest;
        int64_t to = newest;
        if (done) {
            sqlite3_bind_int64(last.Get(), 1, from);
            sqlite3_bind_int64(last.Get(), 2, IndexPiece - 1);
            if (sqlite3_step(last.Get()) == SQLITE_ROW)
                to = sqlite3_column_int64(last.Get(), 0);
            sqlite3_bind_int64(add.Get(), 1, from);
            sqlite3_bind_int64(add.Get(), 2, to);
            done = sqlite3_step(add.Get()) == SQLITE_DONE && FDatabase.SetMark("indexed", to) == SQLITE_OK &&
                   FDatabase.Exec("COMMIT") == SQLITE_OK;
        }
        if (!done) {
            FDatabase.Exec("ROLLBACK");
            FIndexBehind = FIndexBehind && from < newest;
            return false;
        }
        FIndexBehind = to < newest;
        return FIndexBehind;
    }

private:
    bool Ready() {
        if (FOpen)
            return true;
        if (const std::string unfit = PrepareHistoryFolder(std::filesystem::path(FPath).parent_path()); !unfit.empty()) {
            Trouble("open", "The history cannot be kept: " + unfit + "; the changes are still listed, but not kept");
            return false;
        }
        int result = Open();
        if (result == SQLITE_OK)
            result = Prepare();
        if (DamagedResult(result)) {
            Recover();
            result = Open();
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

    // The database and its journals are the user's alone, whatever the
    // umask: the journals SQLite makes take the database's own mode.
    int Open() {
        const int result = FDatabase.Open(FPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            TightenHistoryFile(FPath + suffix);
        return result;
    }

    int Prepare() {
        int result = FDatabase.Exec("PRAGMA journal_mode=WAL");
        if (result == SQLITE_OK)
            result = FDatabase.Exec("PRAGMA synchronous=NORMAL");
        if (result == SQLITE_OK)
            result = FDatabase.Exec(HistorySchema);
        if (result == SQLITE_OK)
            result = FDatabase.Exec("CREATE TEMP TABLE IF NOT EXISTS gone(id INTEGER PRIMARY KEY)");
        if (result == SQLITE_OK)
            result = AddIndexedFunction(FDatabase.Handle());
        if (result == SQLITE_OK && !FDatabase.HasTable("changes_index"))
            result = MakeIndex();
        return result;
    }

    // A history kept before there was an index gets one, of all it holds.
    int MakeIndex() {
        int result = FDatabase.Exec("BEGIN IMMEDIATE");
        if (result == SQLITE_OK)
            result = FDatabase.Exec(HistoryIndexSchema);
        if (result == SQLITE_OK)
            result = FDatabase.Exec("INSERT INTO changes_index(rowid, path, old_path) "
                                    "SELECT id, indexed(place, path), indexed(place >> 2, old_path) FROM changes");
        if (result == SQLITE_OK)
            result = FDatabase.SetMark("indexed", NewestId());
        if (result == SQLITE_OK)
            result = FDatabase.Exec("COMMIT");
        if (result != SQLITE_OK)
            FDatabase.Exec("ROLLBACK");
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
            Trouble("damaged", "The history database " + FPath +
                                   " is damaged and cannot be set aside: the changes "
                                   "are still listed, but not kept");
            return;
        }
        Trouble("damaged", "The history database was damaged: it was set aside as " + aside + ", and a new one begun");
    }

    // The number of a folder, made when it is new.
    std::optional<int64_t> FolderId(const std::string& folder) {
        if (auto known = FFolders.find(folder); known != FFolders.end())
            return known->second;
        THistoryStatement add(FDatabase.Handle(), "INSERT OR IGNORE INTO folders(path, prefix) VALUES(?, ?)");
        THistoryStatement find(FDatabase.Handle(), "SELECT id FROM folders WHERE path = ?");
        if (!add || !find)
            return std::nullopt;
        BindBytes(add.Get(), 1, folder);
        BindBytes(add.Get(), 2, FolderPrefix(folder));
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
        THistoryStatement insert(FDatabase.Handle(),
                                 "INSERT INTO changes(time, action, folder, place, path, old_path, is_folder, reason) "
                                 "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        if (!insert)
            result = sqlite3_errcode(FDatabase.Handle());
        std::optional<int64_t> indexed = FDatabase.Mark("indexed");
        if (result == SQLITE_OK && !indexed) {
            indexed = NewestId();
            result = FDatabase.SetMark("indexed", *indexed);
        }
        int64_t firstId = 0; // the number the batch's first record got
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
            if (const int code = ActionCode(record.Action))
                sqlite3_bind_int(statement, 2, code);
            else
                sqlite3_bind_text(statement, 2, record.Action.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(statement, 3, *folder);
            const auto [pathPlace, path] = KeptPath(record.Path, record.Folder);
            int place = pathPlace;
            BindBytes(statement, 5, path);
            if (record.OldPath) {
                const auto [oldPlace, oldPath] = KeptPath(*record.OldPath, record.Folder);
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
            if (result != SQLITE_OK)
                break;
            if (firstId == 0)
                firstId = sqlite3_last_insert_rowid(FDatabase.Handle());
        }
        // Numbers are given anew from 1 after every record went: none of
        // them is in the index then.
        if (result == SQLITE_OK && firstId != 0 && firstId <= *indexed)
            result = FDatabase.SetMark("indexed", firstId - 1);
        if (result == SQLITE_OK)
            result = NoteTheClock(batch, firstId);
        if (result == SQLITE_OK)
            result = FDatabase.Exec("COMMIT");
        if (result != SQLITE_OK) {
            error = FDatabase.Error();
            FDatabase.Exec("ROLLBACK");
            FFolders.clear(); // numbers given in the transaction are gone with it
            FClock.reset();
        }
        return result;
    }

    // A record kept with a time older than the newest kept, by more than the
    // tolerance, means the clock went back: what is written from then on may
    // carry times that the right clock takes for old, so none of it is ever
    // pruned by age (only by count).
    int NoteTheClock(const std::vector<THistoryRecord>& batch, int64_t firstId) {
        if (!FClock)
            FClock = TClockMarks{FDatabase.Mark("newest").value_or(INT64_MIN), FDatabase.Mark("clock_back_at").value_or(INT64_MAX)};
        for (size_t i = 0; i < batch.size(); ++i) {
            if (FClock->BackAt == INT64_MAX && FClock->Newest != INT64_MIN &&
                batch[i].Time < FClock->Newest - ClockTolerance)
                FClock->BackAt = firstId + static_cast<int64_t>(i);
            FClock->Newest = std::max(FClock->Newest, batch[i].Time);
        }
        int result = FDatabase.SetMark("newest", FClock->Newest);
        if (result == SQLITE_OK && FClock->BackAt != INT64_MAX)
            result = FDatabase.SetMark("clock_back_at", FClock->BackAt);
        return result;
    }

    // Records older than the days kept, and beyond the count kept, go, a
    // share at a time so that no batch waits long behind them; while some
    // are left, again with the next batch. Only the age the clock can be
    // trusted with: none of the records written since it was seen to go
    // back, and at most a tenth of the history by age a day the program runs
    // (a clock set days ahead would otherwise take it all at once); what that
    // leaves is said, and goes later if it is still too old then.
    void Prune() {
        const auto now = std::chrono::steady_clock::now();
        if (!FPruneLeft && now - FPruned < PruneEvery)
            return;
        FPruned = now;
        const int64_t oldest = HistoryTimeNow() - std::max(FRetention.Days, 1) * NanosecondsPerDay;
        if (FDatabase.Exec("BEGIN IMMEDIATE") != SQLITE_OK)
            return;
        // A tenth of the history now, and another for each day the program
        // runs (by its own clock, which no setting of the time moves).
        if (!FAgeBudget || now - FBudgetGiven >= std::chrono::hours(24)) {
            FAgeBudget = FAgeBudget.value_or(0) + std::max<int64_t>(RecordCount() / 10, 1);
            FBudgetGiven = now;
        }
        const int64_t backAt = FDatabase.Mark("clock_back_at").value_or(INT64_MAX);
        // Numbers only grow: the newest records are those of the highest.
        THistoryStatement byAge(FDatabase.Handle(), "INSERT OR IGNORE INTO temp.gone SELECT id FROM changes "
                                                    "WHERE time < ?1 AND id < ?2 LIMIT ?3");
        THistoryStatement byCount(FDatabase.Handle(), "INSERT OR IGNORE INTO temp.gone SELECT id FROM changes "
                                                      "WHERE id <= (SELECT max(id) FROM changes) - ?1 LIMIT ?2");
        bool done = byAge && byCount && FDatabase.Exec("DELETE FROM temp.gone") == SQLITE_OK;
        int agedOut = 0, chosen = 0;
        if (done) {
            sqlite3_bind_int64(byAge.Get(), 1, oldest);
            sqlite3_bind_int64(byAge.Get(), 2, backAt);
            sqlite3_bind_int64(byAge.Get(), 3, std::min<int64_t>(PruneShare, *FAgeBudget) + 1);
            done = sqlite3_step(byAge.Get()) == SQLITE_DONE;
            agedOut = sqlite3_changes(FDatabase.Handle());
        }
        if (agedOut > *FAgeBudget) {
            // One more than the budget was asked for, to learn whether it ends here.
            done = done && FDatabase.Exec("DELETE FROM temp.gone WHERE id = (SELECT max(id) FROM temp.gone)") ==
                               SQLITE_OK;
            agedOut = static_cast<int>(*FAgeBudget);
            Trouble("clock", "The history kept some records older than it keeps (" + std::to_string(FRetention.Days) +
                                 " days): more than a tenth of it would have gone at once, which a clock set wrong "
                                 "can cause; what is still too old then goes a tenth a day");
        }
        if (done) {
            sqlite3_bind_int64(byCount.Get(), 1, FRetention.Records);
            sqlite3_bind_int64(byCount.Get(), 2, PruneShare);
            done = sqlite3_step(byCount.Get()) == SQLITE_DONE;
            chosen = agedOut + sqlite3_changes(FDatabase.Handle());
        }
        done = done &&
               FDatabase.Exec("INSERT INTO changes_index(changes_index, rowid, path, old_path) "
                              "SELECT 'delete', id, indexed(place, path), indexed(place >> 2, old_path) "
                              "FROM changes WHERE id IN temp.gone AND "
                              "id <= (SELECT value FROM marks WHERE name = 'indexed')") == SQLITE_OK &&
               FDatabase.Exec("DELETE FROM changes WHERE id IN temp.gone") == SQLITE_OK &&
               FDatabase.Exec("COMMIT") == SQLITE_OK;
        if (!done)
            FDatabase.Exec("ROLLBACK");
        else
            *FAgeBudget -= agedOut;
        FPruneLeft = done && chosen >= PruneShare;
    }

    int64_t NewestId() {
        THistoryStatement newest(FDatabase.Handle(), "SELECT coalesce(max(id), 0) FROM changes");
        return newest && sqlite3_step(newest.Get()) == SQLITE_ROW ? sqlite3_column_int64(newest.Get(), 0) : 0;
    }

    // About how many records are kept: numbers are given in order, and few go
    // other than the oldest.
    int64_t RecordCount() {
        THistoryStatement count(FDatabase.Handle(), "SELECT max(id) - min(id) + 1 FROM changes");
        return count && sqlite3_step(count.Get()) == SQLITE_ROW ? sqlite3_column_int64(count.Get(), 0) : 0;
    }

    // Each kind of trouble is told once: a disk that stays full is no news.
    void Trouble(const std::string& kind, const std::string& message) {
        if (FTold.insert(kind).second)
            FTell(message);
    }

    const std::string FPath;
    THistoryRetention FRetention;
    const THistoryStore::TTell& FTell;
    THistoryDatabase FDatabase;
    bool FOpen = false;
    bool FBroken = false; // damaged and not set aside: nothing is written
    bool FIndexBehind = true; // records may be missing from the index
    std::unordered_set<std::string> FTold;
    std::unordered_map<std::string, int64_t> FFolders; // numbers of the folders, by path
    std::chrono::steady_clock::time_point FPruned{};
    bool FPruneLeft = false; // records to go are left from the last prune
    std::optional<int64_t> FAgeBudget; // records that may still go by age
    std::chrono::steady_clock::time_point FBudgetGiven{};
    struct TClockMarks {
        int64_t Newest, BackAt;
    };
    std::optional<TClockMarks> FClock; // as the database has them, once read
};
} // namespace

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

// The records waiting are bounded, so that no burst grows the program's
// memory: the caller waits while the writer catches up, which it does
// unless the database is held by another program for long.
void THistoryStore::Add(THistoryRecord record) {
    std::unique_lock lock(FLock);
    if (FQueue.size() >= WaitingLimit) {
        FWake.notify_one();
        FRoom.wait_for(lock, RoomWait, [&] { return FQueue.size() < WaitingLimit; });
    }
    if (FQueue.size() >= WaitingLimit) {
        FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<long>(BatchSize));
        FUnkept += BatchSize;
    }
    FQueue.push_back(std::move(record));
    ++FAdded;
    if (FQueue.size() == BatchSize)
        FWake.notify_one();
}

void THistoryStore::SetRetention(THistoryRetention retention) {
    std::lock_guard lock(FLock);
    FRetention = retention;
    FRetentionChanged = true;
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
    std::unique_lock lock(FLock);
    TWriter writer(FPath, FRetention, FTell);
    for (;;) {
        FWake.wait_for(lock, BatchWait, [&] { return FStopping || FFlushing || FQueue.size() >= BatchSize; });
        if (FRetentionChanged)
            writer.SetRetention(FRetention);
        FRetentionChanged = false;
        std::vector<THistoryRecord> batch = std::exchange(FQueue, {});
        FRoom.notify_all();
        const uint64_t taken = FAdded, unkept = std::exchange(FUnkept, 0);
        const bool stopping = FStopping;
        FFlushing = false;
        lock.unlock();
        if (unkept > 0)
            FTell("The history could not keep up: " + std::to_string(unkept) +
                  " changes were listed but not kept in it (the database was held by another program?)");
        const bool later = !batch.empty() && writer.Write(batch) == TWriter::TWritten::Later;
        if (later && stopping)
            FTell("The history was held by another program as this one ended: " + std::to_string(batch.size()) +
                  " changes were listed but not kept in it");
        lock.lock();
        if (later && !stopping) {
            // Tried again with what came meanwhile, as much as may wait.
            FQueue.insert(FQueue.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
            if (const size_t over = FQueue.size() > WaitingLimit ? FQueue.size() - WaitingLimit : 0) {
                FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<long>(over));
                FUnkept += over;
            }
            continue; // still to be written: not done
        }
        FDone = taken;
        FWritten.notify_all();
        // At the end, a piece more: a history of a usual run is left with
        // all of it in the index, and one that took a large burst is not
        // held up by it.
        if (stopping && FQueue.empty()) {
            lock.unlock();
            writer.IndexSome();
            return;
        }
        while (FQueue.empty() && !FStopping && !FFlushing) {
            lock.unlock();
            const bool more = writer.IndexSome();
            lock.lock();
            if (!more)
                break;
        }
    }
}

// Never a folder every user may write to: there, another could have put a
// link or a file of their own where the history goes.
std::string HistoryPathFor(const std::string& settingsFile, bool portable) {
    if (portable)
        return (std::filesystem::path(settingsFile).parent_path() / "sentrel-history.db").string();
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && *state == '/')
        return (std::filesystem::path(state) / "sentrel" / "history.db").string();
    if (home && *home == '/')
        return (std::filesystem::path(home) / ".local/state/sentrel" / "history.db").string();
    return ::geteuid() == 0 ? std::string(RootStateFolder) + "/history.db" : std::string();
}
