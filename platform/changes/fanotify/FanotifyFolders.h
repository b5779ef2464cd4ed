#pragma once

// The folders of a tree watched through fanotify. A file-system mark sees
// every change at once, so nothing is set up per folder; what is kept is
// how to name a folder the kernel knows by its file handle: a bounded cache
// of the tree's folders, each bound to its handle, which follows renames
// and moves as the events tell them. The cache is filled by a walk of the
// tree in slices once the mark is set, while changes are already reported;
// a folder not in the cache is placed by asking the system for its path.
// The system gives the path it has now, which is behind the events still
// queued when the folder was renamed meanwhile: the walk makes that rare.
#ifdef __linux__

#include "platform/changes/WatchNotices.h"
#include "platform/changes/tree/AccessTimes.h"
#include "platform/changes/tree/EventSource.h"
#include "platform/changes/tree/ExcludedFolders.h"
#include "platform/changes/tree/WatchTree.h"
#include "platform/system/FileDescriptor.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace fanotify {

using inotify::TClock;
using inotify::TSince;

class TFanotifyFolders final : public inotify::TFolderKeeper {
public:
    // Folders kept in the cache, at most, and folders known to lie outside the tree.
    static constexpr size_t FolderCacheLimit = 100000;
    static constexpr size_t OutsideCacheLimit = 100000;
    // Folders of a tree moved in that are listed before the next event.
    static constexpr size_t MovedInWalkBudget = 256;

    // fileSystem: the ID of the watched folder's file system, as in keys.
    // queue: where what a folder holds is reported, when that is asked.
    // group: the fanotify group, to know when events wait; excluded: the
    // folders whose changes are dropped; interrupted: set when a stop is
    // requested. servedFolder: for a watch made for another user, the
    // watched folder as that user opened it, through which folders are
    // found by their handles and whose records carry their folder's
    // identity; -1 for the program's own.
    TFanotifyFolders(TWatchTree& tree, TPendingChanges& queue, std::string fileSystem, int group,
                     TExcludedFolders& excluded, const std::atomic<bool>& interrupted, int servedFolder = -1)
        : FTree(tree), FQueue(queue), FFileSystem(std::move(fileSystem)), FGroup(group), FExcluded(excluded),
          FInterrupted(interrupted), FServedFolder(servedFolder) {}

    // The tree's root is the folder of rootKey; translator is told when its
    // file system is unmounted. filter: the kinds of change reported.
    void Start(inotify::TInotifyTranslator& translator, bool subTree, uint32_t filter, const std::string& rootKey);
    // A folder on the way to the watched one: a number of its own for the translator.
    int Guard(const std::string& key);
    // The folder a key names: a folder of the tree (known, or placed now by
    // its path) or on the way to it; none when it lies elsewhere, in an
    // excluded folder, or is gone.
    std::optional<int> FolderOf(const std::string& key);
    // The next folder that arrives or is renamed is the object of key.
    void Expect(std::string key) { FExpected = std::move(key); }

    bool SetupDone() const override { return FWalk.empty(); }
    void SetupStep(TClock::time_point deadline) override;
    void QueueEmptied() override;
    void RetryUnreached() override {}
    uint64_t FolderCount() const override { return 0; }
    void FollowMountTable() override;
    void ExclusionsChanged() override;
    void ReportFolderCount() override {}
    bool TakeNotice(TWatchNotice& notice) override { return FNotices.Take(notice); }
    bool HasNotices() const override { return !FNotices.Empty(); }

    bool EntryArrived(int, const std::string&) override { return true; }
    void EntryLeft(int, const std::string&) override {}
    bool AccessMovedTime(int wd, const std::string& name) override;
    void FolderArrived(int parentWd, const std::string& name, TSince since) override;
    inotify::TFolderMove FolderRenamed(int fromWd, const std::string& fromName, int toWd,
                                       const std::string& toName, TSince since) override;
    void FolderLeft(int folderWd) override;
    void FolderDisplaced(int parentWd, const std::string& name) override;
    void ReportContents(int folderWd) override;
    inotify::TEntryNow EntryNow(int wd, const std::string& name) override;
    void FolderForgotten(int wd) override;
    void ChangesLost() override;
    TFolderRef IdentityOf(int wd) const override;

private:
    // Binds each sub-folder of the folder to its handle (and, reporting,
    // reports every entry as added); the sub-folders bound anew, to walk next.
    void WalkFolder(int wd, std::vector<int>& next, bool reporting = false);
    inotify::TFd OpenListing(int wd);
    void WalkMovedIn(int wd);
    inotify::TFd OpenFolder(const std::string& key, int flags);
    std::optional<int> Place(const std::string& key);
    std::optional<std::string> PathOf(const std::string& key);
    void Bind(const std::string& key, int wd);
    void RemoveSubTree(int wd);
    void DropExcludedWithin(int wd);
    void ForgetFolders();
    void RememberOutside(const std::string& key);

    TWatchTree& FTree;
    TPendingChanges& FQueue;
    std::string FFileSystem;
    int FGroup;
    TExcludedFolders& FExcluded;
    const std::atomic<bool>& FInterrupted;
    int FServedFolder;
    std::vector<int> FWalk; // folders still to list
    inotify::TInotifyTranslator* FTranslator = nullptr;
    bool FSubTree = true;
    uint32_t FFilter = 0;
    std::string FCanonicalRoot;
    uint64_t FMountId = 0; // of the watched folder; 0 where the system does not tell
    TFolderNumbers FNumbers;
    std::unordered_map<std::string, int> FFolders; // by key
    std::unordered_map<int, std::string> FKeys;    // by folder
    std::unordered_set<std::string> FOutside; // outside the tree or in an excluded folder
    std::string FExpected;
    inotify::TFd FMountFd; // opened for look-ups, closed once the queue is empty
    inotify::TAccessTimes FAccessTimes;
    std::vector<std::string> FMountPoints; // below the watched folder, relative to it
    TNoticeQueue FNotices;
    TDisplacedFolders FDisplaced;
};

} // namespace fanotify

#endif
