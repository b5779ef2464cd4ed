#pragma once

// What a catch-up found, as the records the window and the console list:
// "Found_added", "Found_removed", "Found_modified", and a rename as
// "Found_renamed_old_name" then "Found_renamed_new_name", each timed when
// it was found; "Not_caught_up" for a folder whose changes could not be
// told, with the reason.
#include "history/CatchUp.h"
#include "platform/loop/MessageWindow.h"
#include "records/ChangeRecords.h"

#include <atomic>
#include <functional>
#include <memory>
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

// The records of a catch-up of folder, those filter lets through.
std::vector<TChangeRecord> CatchUpRecords(const TChangeFilter& filter, const std::string& time,
                                          const std::string& folder, const TCatchUp& caughtUp);

// A catch-up of one folder on a thread of its own: the walk of a large tree
// takes seconds. done is called with the result on the thread that made
// the run, through its event loop; a run destroyed before then is stopped,
// and done is not called.
class TCatchUpRun {
public:
    using TDone = std::function<void(const std::string& folder, const TCatchUp& result)>;
    TCatchUpRun(std::string folder, std::string snapshotFile, TCatchUpOptions options, TDone done);
    ~TCatchUpRun();
    TCatchUpRun(const TCatchUpRun&) = delete;
    TCatchUpRun& operator=(const TCatchUpRun&) = delete;

private:
    const std::string FFolder;
    const TDone FDone;
    std::atomic<bool> FStop{false};
    std::mutex FLock;
    std::optional<TCatchUp> FResult;
    TMessageWindow FWindow;
    std::thread FThread;
};

// What the folders hold kept for the next start, each walked on a thread of
// its own while their watches still report: a change made meanwhile is
// listed by the watch, whether or not the walk saw it, so that no change
// ever lands in a snapshot without having been listed. kept(folder, error)
// on the thread that made it, for each, as it is done (error empty when it
// was kept); done once all are (folders must not be empty). Destroyed
// before then, it stops, and the older snapshots stay.
class TSnapshotsRun {
public:
    using TKept = std::function<void(const std::string& folder, const std::string& error)>;
    TSnapshotsRun(const std::string& historyFile, const TChangeFilter& filter, const std::vector<std::string>& folders,
                  TKept kept, std::function<void()> done);

private:
    std::vector<std::unique_ptr<TCatchUpRun>> FRuns;
    size_t FLeft = 0;
};
