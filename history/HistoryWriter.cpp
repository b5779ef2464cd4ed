#include "history/HistoryWriter.h"

#include "history/HistoryFiles.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

namespace {
// The records put into the index at once when it catches up: a piece
// takes a fraction of a second, so a batch never waits long behind it,
// and the records a burst adds meanwhile, which wait in memory, stay few.
constexpr int64_t IndexPiece = 20000;
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
} // namespace

THistoryWriter::THistoryWriter(std::string path, THistoryRetention retention, const THistoryStore::TTell& tell)
    : FPath(std::move(path)), FRetention(retention), FTell(tell) {}

void THistoryWriter::SetRetention(THistoryRetention retention) {
    FRetention = retention;
    FPruneLeft = true;
}

THistoryWriter::TWritten THistoryWriter::Write(const std::vector<THistoryRecord>& batch) {
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

bool THistoryWriter::IndexSome() {
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

bool THistoryWriter::Ready() {
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

int THistoryWriter::Open() {
    const int result = FDatabase.Open(FPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        TightenHistoryFile(FPath + suffix);
    return result;
}

int THistoryWriter::Prepare() {
    int result = FDatabase.Exec("PRAGMA journal_mode=WAL");
    if (result == SQLITE_OK)
        result = FDatabase.Exec("PRAGMA synchronous=NORMAL");
    // Records are appended, and the indexes caught up with in order: a
    // small cache serves both, and a burst's peak memory is the smaller.
    if (result == SQLITE_OK)
        result = FDatabase.Exec("PRAGMA cache_size=-512");
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

int THistoryWriter::MakeIndex() {
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

void THistoryWriter::Recover() {
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

std::optional<int64_t> THistoryWriter::FolderId(const std::string& folder) {
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

int THistoryWriter::Insert(const std::vector<THistoryRecord>& batch, std::string& error) {
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

int THistoryWriter::NoteTheClock(const std::vector<THistoryRecord>& batch, int64_t firstId) {
    if (!FClock)
        FClock = TClockMarks{FDatabase.Mark("newest").value_or(INT64_MIN),
                             FDatabase.Mark("clock_back_at").value_or(INT64_MAX)};
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

void THistoryWriter::Prune() {
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
        done = done && FDatabase.Exec("DELETE FROM temp.gone WHERE id = (SELECT max(id) FROM temp.gone)") == SQLITE_OK;
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

int64_t THistoryWriter::NewestId() {
    THistoryStatement newest(FDatabase.Handle(), "SELECT coalesce(max(id), 0) FROM changes");
    return newest && sqlite3_step(newest.Get()) == SQLITE_ROW ? sqlite3_column_int64(newest.Get(), 0) : 0;
}

int64_t THistoryWriter::RecordCount() {
    THistoryStatement count(FDatabase.Handle(), "SELECT max(id) - min(id) + 1 FROM changes");
    return count && sqlite3_step(count.Get()) == SQLITE_ROW ? sqlite3_column_int64(count.Get(), 0) : 0;
}

void THistoryWriter::Trouble(const std::string& kind, const std::string& message) {
    if (FTold.insert(kind).second)
        FTell(message);
}
