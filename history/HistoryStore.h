#pragma once

// The history: every change the window or the console lists, kept in an
// SQLite database, so that what happened can be asked after the program
// has ended. A thread of the store's own writes it in batches: neither the
// main thread nor a watch's worker ever waits for the disk.
#include "history/HistoryTimes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A change as the history keeps it. Paths are bytes, as the system gave them.
struct THistoryRecord {
    int64_t Time = 0;   // nanoseconds since 1970, UTC
    std::string Action; // as the lines say it; "Renamed" for both halves of a rename
    std::string Path;
    std::optional<std::string> OldPath;
    std::string Folder; // the watched folder
    std::optional<bool> IsFolder;
    std::string Reason; // why, for the lines of lost changes and unwatched folders
    friend bool operator==(const THistoryRecord&, const THistoryRecord&) = default;
};

// Which records a question asks for, newest first.
struct THistoryQuery {
    std::optional<int64_t> Since, Until; // nanoseconds since 1970, both included
    std::string Fragment;                // a part of the path or the old path, bytes; empty: any
    size_t Limit = 0;                    // 0: all
    // Set from another thread, ends the question early (with what was found).
    const std::atomic<bool>* Stop = nullptr;
};

// How long the history keeps its records: the newer bound of the two wins.
struct THistoryRetention {
    int Days = 30;
    int64_t Records = 10000000;
};

class THistoryStore {
public:
    using TTell = std::function<void(const std::string& message)>;

    // Opens (makes) the database at path: its folder is made when missing;
    // a damaged file is set aside under another name, never deleted. tell:
    // what went wrong, once for each kind of trouble, from the writer's
    // thread; the store keeps going without writing when it cannot.
    THistoryStore(std::string path, THistoryRetention retention, TTell tell);
    // What was added is written before the store goes.
    ~THistoryStore();
    THistoryStore(const THistoryStore&) = delete;
    THistoryStore& operator=(const THistoryStore&) = delete;

    // Any thread. Waits only while WaitingLimit records wait for the
    // writer, for two seconds at most: then the oldest of them go, and the
    // writer says how many.
    void Add(THistoryRecord record);
    static constexpr size_t WaitingLimit = 65536;
    // Waits until everything added so far is written (or could not be), two
    // seconds at most.
    void Flush();
    // Any thread; older records go with the next batch written.
    void SetRetention(THistoryRetention retention);
    const std::string& Path() const { return FPath; }

private:
    void Run();

    const std::string FPath;
    THistoryRetention FRetention; // guarded by FLock
    bool FRetentionChanged = false;
    const TTell FTell;
    std::mutex FLock;
    std::condition_variable FWake, FWritten, FRoom;
    std::vector<THistoryRecord> FQueue;
    uint64_t FAdded = 0, FDone = 0;
    uint64_t FUnkept = 0; // records that went unwritten for want of room, not yet told
    bool FStopping = false;
    bool FFlushing = false;
    std::thread FWriter;
};

// The records a question asks for, newest first, read from the database at
// path; an empty list when there is none.
std::vector<THistoryRecord> ReadHistory(const std::string& path, const THistoryQuery& query);
// Gives visit the records a question asks for, oldest first, until it
// returns false; why the history could not be read (a database that cannot
// be opened, is no database or is damaged), empty when it could.
std::string ForEachHistoryRecord(const std::string& path, const THistoryQuery& query,
                                 const std::function<bool(const THistoryRecord&)>& visit);

// Whether the history at path holds records of the watched folder.
bool HistoryHasFolder(const std::string& path, const std::string& folder);

// Where a service of root's without a home keeps its history.
inline constexpr const char* RootStateFolder = "/var/lib/sentrel";

// Where the history is kept: beside the settings file of a portable copy,
// else in the user's state folder ($XDG_STATE_HOME/sentrel, else
// ~/.local/state/sentrel), else, for root, RootStateFolder; empty where the
// user has no folder of their own to keep it in (neither is set).
std::string HistoryPathFor(const std::string& settingsFile, bool portable);
// Why HistoryPathFor gave no place, for the user.
inline constexpr const char* NoHistoryPlace =
    "no history is kept: neither HOME nor XDG_STATE_HOME names a folder of the user's own to keep it in";
