#pragma once

// Following the watched tree: one inotify watch per folder, set up in slices,
// added as folders come (listing the new ones), moved as they move, dropped
// as they go, walked again after lost changes, and kept off other file
// systems mounted inside the tree. What it cannot cover it tells in notices.
#ifdef __linux__

#include "platform/changes/DirChanges.h"
#include "platform/changes/PendingChanges.h"
#include "platform/changes/WatchNotices.h"
#include "platform/changes/tree/AccessTimes.h"
#include "platform/changes/tree/EventSource.h"
#include "platform/changes/tree/ExcludedFolders.h"
#include "platform/changes/tree/InotifyTranslator.h"
#include "platform/changes/tree/WatchTree.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace inotify {

// Whether a listed entry came into its folder at or after since.
bool CameSince(const struct statx& status, TSince since);

class TTreeFollower final : public TFolderKeeper {
public:
    // inotify: the reader's instance; interrupted: set when a stop is requested.
    // excluded: the folders left unwatched.
    TTreeFollower(TWatchTree& tree, TPendingChanges& queue, int inotify, TExcludedFolders& excluded,
                  const std::atomic<bool>& interrupted)
        : FTree(tree), FQueue(queue), FInotify(inotify), FExcluded(excluded), FInterrupted(interrupted) {}

    // Starts following below the watched folder, whose watch is the tree's
    // root: the whole sub-tree, or only the folder itself.
    void Start(uint32_t filter, uint32_t mask, bool subTree, dev_t device);

    bool SetupDone() const override { return FSetupDone; }
    // Watches folders of the set-up until the deadline, events wait to be
    // read, or a stop is requested.
    void SetupStep(TClock::time_point deadline) override;
    // What listings reported can no longer come again as an event.
    void QueueEmptied() override;
    void RetryUnreached() override;
    uint64_t FolderCount() const override { return FTree.Size(); }
    void FollowMountTable() override;
    void ExclusionsChanged() override;
    void ReportFolderCount() override;
    bool TakeNotice(TWatchNotice& notice) override { return FNotices.Take(notice); }
    bool HasNotices() const override { return !FNotices.Empty(); }

    bool EntryArrived(int wd, const std::string& name) override;
    void EntryLeft(int wd, const std::string& name) override;
    bool AccessMovedTime(int wd, const std::string& name) override;
    void FolderArrived(int parentWd, const std::string& name, TSince since) override;
    TFolderMove FolderRenamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName,
                              TSince since) override;
    void FolderLeft(int folderWd) override;
    void FolderDisplaced(int parentWd, const std::string& name) override;
    void ReportContents(int folderWd) override;
    TEntryNow EntryNow(int wd, const std::string& name) override;
    void FolderForgotten(int wd) override;
    void ChangesLost() override;

private:
    // How often the count of watched folders is told, at most.
    static constexpr auto ProgressInterval = std::chrono::milliseconds(500);

    struct TScanJob {
        int Wd;
        TSince Since;
    };
    // A folder the watch knows of but could not yet watch or list, because
    // the path it had when its event was queued no longer leads to it (it or
    // a folder above was renamed right after). It is tried again once every
    // queued event, the rename among them, is translated.
    struct TRetry {
        int Wd;           // the folder to list, or the parent of the folder to watch
        std::string Name; // the folder to watch; empty: list Wd itself
        TSince Since;
    };
    // What became of a sub-folder the watch tried to watch.
    enum class TChild { New, Known, Gone, Unwatched };
    struct TWatched {
        TChild State;
        int Wd = -1;
    };

    TWatched WatchChild(int parentWd, const std::string& parentPath, const std::string& name, int parentFd = -1);
    bool OnOtherMount(const struct statx& status) const;
    // intoKnown: folders already watched are listed too.
    void ScanFolder(const TScanJob& job, std::vector<TScanJob>& toScan, bool intoKnown = false);
    bool ReportScanned(int wd, const std::string& name, TSince since, const struct statx& status,
                       const std::unordered_map<std::string, ino_t>& addedMeanwhile);
    void ScanSubTree(int wd, TSince since, bool intoKnown = false);
    // The watch of the folder at path, if it is one the tree knows.
    std::optional<int> KnownWatchOf(const std::string& path);
    void ScanLater(int wd, TSince since);
    void EndRescan();
    void RetryAfterLimitRaised();
    std::optional<int> FolderAt(const std::string& relative) const;
    void RemoveSubTree(int wd, bool removeWatches);
    void DropExcludedWithin(int wd);
    void WatchReadmitted();
    void NotCovered(const std::string& relative, int error);
    void Notice(TWatchNotice::TKind kind);

    TWatchTree& FTree;
    TPendingChanges& FQueue;
    int FInotify;
    TExcludedFolders& FExcluded;
    const std::atomic<bool>& FInterrupted;
    uint32_t FFilter = 0;
    uint32_t FMask = 0;
    bool FSubTree = true;
    dev_t FDevice = 0;
    uint64_t FMountId = 0; // of the watched folder; 0 where the system does not tell
    std::string FCanonicalRoot;
    bool FLimitReported = false;
    uint64_t FLimitReached = 0; // the limit on watches when it was reached
    TClock::time_point FLimitChecked;
    TNoticeQueue FNotices;

    // Entries that the scan of a new folder reported, by folder and name,
    // with their inode: the inotify events for the same entries, still
    // queued behind the scan, must not report them again.
    std::unordered_map<int, std::unordered_map<std::string, ino_t>> FScanned;
    // Folders moved in and waiting for their listing, with the entries their
    // events reported meanwhile, which the listing must not report again.
    std::unordered_map<int, std::unordered_map<std::string, ino_t>> FAwaitingScan;
    TAccessTimes FAccessTimes;
    std::vector<std::string> FMountPoints; // below the watched folder, relative to it
    std::unordered_set<std::string> FMountsReported;
    std::vector<TRetry> FRetries;
    TDisplacedFolders FDisplaced;

    std::vector<TScanJob> FSetupStack;
    bool FSetupDone = false;
    size_t FCountReported = 0;
    // A walk after lost changes: the folders it found (kept) and listed.
    bool FRescanning = false;
    std::unordered_set<int> FRescanSeen;
    std::unordered_set<int> FRescanListed;
    TClock::time_point FLastProgress;
};

} // namespace inotify

#endif
