#pragma once

// What a catch-up found, as the records the window and the console list:
// "Found_added", "Found_removed", "Found_modified", and a rename as
// "Found_renamed_old_name" then "Found_renamed_new_name", each timed when
// it was found; "Not_caught_up" for a folder whose changes could not be
// told, with the reason.
#include "history/CatchUp.h"
#include "util/ChangeRecords.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class TChangeFilter;

// How folder is caught up with the history at historyFile: whether it was
// watched before, the folders filter leaves out.
TCatchUpOptions CatchUpOptionsFor(const std::string& historyFile, const TChangeFilter& filter,
                                  const std::string& folder);
// What folder holds now kept for the next start; the reason when it could not be.
std::string KeepSnapshot(const std::string& historyFile, const TChangeFilter& filter, const std::string& folder);

// The records of a catch-up of folder, those filter lets through.
std::vector<TChangeRecord> CatchUpRecords(const TChangeFilter& filter, const std::string& time,
                                          const std::string& folder, const TCatchUp& caughtUp);

// A catch-up of one folder on a thread of its own: the walk of a large tree
// takes seconds. done is told, on that thread, once the result can be
// taken; a run destroyed before its end is stopped, and done is not told.
class TCatchUpRun {
public:
    TCatchUpRun(std::string folder, std::string snapshotFile, TCatchUpOptions options, std::function<void()> done);
    ~TCatchUpRun();
    TCatchUpRun(const TCatchUpRun&) = delete;
    TCatchUpRun& operator=(const TCatchUpRun&) = delete;

    const std::string& Folder() const { return FFolder; }
    // Any thread: the result, once, after done was told; none before.
    std::optional<TCatchUp> Take();

private:
    const std::string FFolder;
    std::atomic<bool> FStop{false};
    std::mutex FLock;
    std::optional<TCatchUp> FResult;
    std::thread FThread;
};
