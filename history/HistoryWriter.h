#pragma once

// The history's writer: its connection to the database, opened as needed,
// through which batches of records are written, pruned and put into the
// index of paths; its troubles told once each. The store's thread alone
// uses it.
#include "history/HistoryDatabase.h"
#include "history/HistoryStore.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class THistoryWriter {
public:
    THistoryWriter(std::string path, THistoryRetention retention, const THistoryStore::TTell& tell);

    // Taken at the next prune, which comes with the next batch.
    void SetRetention(THistoryRetention retention);

    enum class TWritten { Yes, Dropped, Later };

    // Later: the database is busy with another writer (another copy of the
    // program): the batch is tried again with the next one.
    TWritten Write(const std::vector<THistoryRecord>& batch);

    // Puts the next piece of the records not yet in the index into it;
    // whether more are left. The records are written without it, so that a
    // burst pays only for them: the index catches up while nothing else is
    // to be written, and until then a question looks at those records
    // themselves.
    bool IndexSome();

private:
    bool Ready();

    // The database and its journals are the user's alone, whatever the
    // umask: the journals SQLite makes take the database's own mode.
    int Open();

    int Prepare();

    // A history kept before there was an index gets one, of all it holds.
    int MakeIndex();

    // A file that cannot be moved aside is left alone, and nothing more is
    // written this run.
    void Recover();

    // The number of a folder, made when it is new.
    std::optional<int64_t> FolderId(const std::string& folder);

    // error: the database's words for a failure, taken before it is rolled back.
    int Insert(const std::vector<THistoryRecord>& batch, std::string& error);

    // A record kept with a time older than the newest kept, by more than the
    // tolerance, means the clock went back: what is written from then on may
    // carry times that the right clock takes for old, so none of it is ever
    // pruned by age (only by count).
    int NoteTheClock(const std::vector<THistoryRecord>& batch, int64_t firstId);

    // Records older than the days kept, and beyond the count kept, go, a
    // share at a time so that no batch waits long behind them; while some
    // are left, again with the next batch. Only the age the clock can be
    // trusted with: none of the records written since it was seen to go
    // back, and at most a tenth of the history by age a day the program runs
    // (a clock set days ahead would otherwise take it all at once); what that
    // leaves is said, and goes later if it is still too old then.
    void Prune();

    int64_t NewestId();

    // About how many records are kept: numbers are given in order, and few go
    // other than the oldest.
    int64_t RecordCount();

    // Each kind of trouble is told once: a disk that stays full is no news.
    void Trouble(const std::string& kind, const std::string& message);

    const std::string FPath;
    THistoryRetention FRetention;
    const THistoryStore::TTell& FTell;
    THistoryDatabase FDatabase;
    bool FOpen = false;
    bool FBroken = false;     // damaged and not set aside: nothing is written
    bool FIndexBehind = true; // records may be missing from the index
    std::unordered_set<std::string> FTold;
    std::unordered_map<std::string, int64_t> FFolders; // numbers of the folders, by path
    std::chrono::steady_clock::time_point FPruned{};
    bool FPruneLeft = false;           // records to go are left from the last prune
    std::optional<int64_t> FAgeBudget; // records that may still go by age
    std::chrono::steady_clock::time_point FBudgetGiven{};
    struct TClockMarks {
        int64_t Newest, BackAt;
    };
    std::optional<TClockMarks> FClock; // as the database has them, once read
};
