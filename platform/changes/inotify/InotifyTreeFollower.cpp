#ifdef __linux__

#include "platform/changes/inotify/InotifyTreeFollower.h"

#include "platform/changes/tree/TreePaths.h"
#include "platform/files/Drives.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <utility>

namespace inotify {

// A folder that came into the tree. A brand-new one is listed at once, its
// entries reported as added, before later events are translated, so that
// nothing created in it before its watch existed is missed or doubled. One
// moved in is watched at once and listed later, in slices like the first
// set-up, for it may be large and a stop must not wait for it; its listing
// reports what was added to it since it came.
void TTreeFollower::FolderArrived(int parentWd, const std::string& name, TSince since) {
    TWatched child = WatchChild(parentWd, FTree.FullPath(parentWd), name);
    if (child.State == TChild::Gone)
        FRetries.push_back({parentWd, name, since});
    if (child.State != TChild::New)
        return;
    if (since == ReportAll)
        ScanSubTree(child.Wd, since);
    else
        ScanLater(child.Wd, since);
}

// A file system mounted inside the tree hides the folder below it, which is
// no longer covered; one unmounted uncovers the folder, which is watched.
void TTreeFollower::FollowMountTable() {
    if (FCanonicalRoot.empty())
        return;
    std::vector<std::string> now = MountPointsBelow(ReadMountTable(), FCanonicalRoot);
    for (const std::string& relative : now)
        if (!std::binary_search(FMountPoints.begin(), FMountPoints.end(), relative) &&
            FMountsReported.insert(relative).second)
            NotCovered(relative, OtherFileSystem);
    for (const std::string& relative : FMountPoints) {
        if (std::binary_search(now.begin(), now.end(), relative))
            continue;
        FMountsReported.erase(relative);
        const size_t slash = relative.rfind('/');
        const auto parent = FolderAt(slash == std::string::npos ? "" : relative.substr(0, slash));
        if (!parent || !FSubTree)
            continue;
        TWatched child = WatchChild(*parent, FTree.FullPath(*parent), relative.substr(slash + 1));
        if (child.State == TChild::New || child.State == TChild::Known)
            ScanLater(child.Wd, ReportNone);
    }
    FMountPoints = std::move(now);
}

std::optional<int> TTreeFollower::FolderAt(const std::string& relative) const {
    int wd = FTree.Root();
    for (const auto& [folder, part] : StepsTo(relative)) {
        auto child = FTree.FindChild(wd, part);
        if (!child)
            return std::nullopt;
        wd = *child;
    }
    return wd;
}

void TTreeFollower::RemoveSubTree(int wd, bool removeWatches) {
    for (int removed : FTree.RemoveSubTree(wd)) {
        if (removeWatches)
            inotify_rm_watch(FInotify, removed);
        FScanned.erase(removed);
        FAwaitingScan.erase(removed);
    }
}

// Folders that a move or new rules put among the excluded lose their watches.
void TTreeFollower::DropExcludedWithin(int wd) {
    for (int excluded : FExcluded.ExcludedWithin(wd)) {
        FExcluded.Met(FTree.ParentOf(excluded), FTree.NameOf(excluded));
        RemoveSubTree(excluded, true);
    }
}

// Folders no longer excluded are watched and walked as in the first
// set-up: what they hold was there before and is not reported.
void TTreeFollower::ExclusionsChanged() {
    if (!FSubTree)
        return;
    DropExcludedWithin(FTree.Root());
    WatchReadmitted();
}

// A folder that rules by path excluded at its old place may be excluded no
// longer where a move took it.
void TTreeFollower::WatchReadmitted() {
    for (const auto& [parent, name] : FExcluded.Readmitted())
        if (TWatched child = WatchChild(parent, FTree.FullPath(parent), name); child.State == TChild::New)
            ScanLater(child.Wd, ReportNone);
}

void TTreeFollower::NotCovered(const std::string& relative, int error) {
    FNotices.NotCovered(relative, error);
}

void TTreeFollower::Notice(TWatchNotice::TKind kind) {
    FNotices.Push(kind, FTree.Size());
    FCountReported = FTree.Size();
}

// Once set up, the count of watched folders is told again when it changed,
// at most twice a second.
void TTreeFollower::ReportFolderCount() {
    if (FTree.Size() == FCountReported || TClock::now() - FLastProgress < ProgressInterval)
        return;
    FLastProgress = TClock::now();
    Notice(TWatchNotice::TKind::SetupDone);
}

void TTreeFollower::Start(uint32_t filter, uint32_t mask, bool subTree, dev_t device) {
    FFilter = filter;
    FMask = mask;
    FSubTree = subTree;
    FDevice = device;
    FMountId = MountIdOf(FTree.RootPath());
    FCanonicalRoot = CanonicalPath(FTree.RootPath());
    if (!FCanonicalRoot.empty())
        FMountPoints = MountPointsBelow(ReadMountTable(), FCanonicalRoot);
    FLastProgress = TClock::now();
    if (FSubTree)
        FSetupStack.push_back({FTree.Root(), ReportNone});
    else
        Notice(TWatchNotice::TKind::SetupDone);
    FSetupDone = !FSubTree;
}

void TTreeFollower::QueueEmptied() {
    FScanned.clear();
    for (int replaced : FDisplaced.Expired())
        if (FTree.Knows(replaced))
            RemoveSubTree(replaced, true);
}

// An entry the scan of its new folder reported, with the same inode, comes
// again as its own event: a duplicate. One added to a folder waiting for its
// listing is remembered, so that the listing does not report it again.
bool TTreeFollower::EntryArrived(int wd, const std::string& name) {
    auto scanned = FScanned.find(wd);
    auto awaiting = FAwaitingScan.find(wd);
    if ((scanned == FScanned.end() || !scanned->second.count(name)) && awaiting == FAwaitingScan.end())
        return true; // the common case, which needs no look at the entry
    struct stat st;
    const bool exists = ::lstat(JoinPath(FTree.FullPath(wd), name).c_str(), &st) == 0;
    if (scanned != FScanned.end()) {
        if (auto entry = scanned->second.find(name); entry != scanned->second.end()) {
            const ino_t scannedInode = entry->second;
            scanned->second.erase(entry);
            // Gone again: the scan reported it, and its removal is still queued.
            if (!exists || st.st_ino == scannedInode)
                return false;
        }
    }
    if (awaiting != FAwaitingScan.end() && exists)
        awaiting->second[name] = st.st_ino;
    return true;
}

void TTreeFollower::EntryLeft(int wd, const std::string& name) {
    if (auto folder = FScanned.find(wd); folder != FScanned.end())
        folder->second.erase(name);
}

bool TTreeFollower::AccessMovedTime(int wd, const std::string& name) {
    return FAccessTimes.Moved(JoinPath(FTree.FullPath(wd), name));
}

// A folder that a rename displaced and that now comes back, by the next
// rename, at the name the first one took it from: the two were exchanged.
// Which folder a name holds is asked of the system, whose watch follows the
// folder, not its name.
TFolderMove TTreeFollower::FolderRenamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName,
                                         TSince since) {
    if (const std::optional<int> displaced = FDisplaced.At(fromWd, fromName);
        displaced && FTree.Knows(*displaced) && !FTree.FindChild(toWd, toName) &&
        KnownWatchOf(JoinPath(FTree.FullPath(toWd), toName)) == displaced && FTree.Move(*displaced, toWd, toName)) {
        FDisplaced.Claimed(*displaced);
        return TFolderMove::Exchanged;
    }
    if (auto child = FTree.FindChild(fromWd, fromName)) {
        // A folder the rename replaced is displaced, unless the tree, behind
        // the events, still has the renamed one below it.
        if (auto replaced = FTree.FindChild(toWd, toName); replaced && !FTree.IsWithin(*child, *replaced))
            FolderDisplaced(toWd, toName);
        // During a walk after lost changes, a folder moved to where the walk
        // has been must be listed again, or what it holds stays unwatched.
        if (FTree.Move(*child, toWd, toName) && FRescanning && FRescanSeen.insert(*child).second &&
            FRescanListed.insert(*child).second)
            FSetupStack.push_back({*child, ReportNone});
        DropExcludedWithin(*child);
        if (FExcluded.Any())
            WatchReadmitted();
        return TFolderMove::Moved;
    }
    // A folder renamed before it could be watched: a brand-new one still
    // has its entries reported.
    auto retry = std::find_if(FRetries.begin(), FRetries.end(),
                              [&](const TRetry& r) { return r.Wd == fromWd && r.Name == fromName; });
    if (retry != FRetries.end()) {
        since = retry->Since;
        FRetries.erase(retry);
    }
    FolderArrived(toWd, toName, since);
    return TFolderMove::Moved;
}

void TTreeFollower::FolderDisplaced(int parentWd, const std::string& name) {
    FDisplaced.Displace(FTree, parentWd, name);
}

void TTreeFollower::FolderLeft(int folderWd) {
    if (FTree.Knows(folderWd) && folderWd != FTree.Root())
        RemoveSubTree(folderWd, true);
}

void TTreeFollower::ReportContents(int folderWd) {
    ScanSubTree(folderWd, ReportAll, true);
}

TEntryNow TTreeFollower::EntryNow(int wd, const std::string& name) {
    const std::string path = JoinPath(FTree.FullPath(wd), name);
    struct statx status;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &status) != 0) {
        const int error = errno;
        return {error == ENOENT ? TEntryNow::TKind::Absent : TEntryNow::TKind::Unknown, std::nullopt};
    }
    if (!S_ISDIR(status.stx_mode))
        return {TEntryNow::TKind::Other, std::nullopt};
    return {TEntryNow::TKind::Folder, KnownWatchOf(path)};
}

void TTreeFollower::FolderForgotten(int wd) {
    RemoveSubTree(wd, false);
}

} // namespace inotify

#endif

