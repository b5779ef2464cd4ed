#ifdef __linux__

#include "platform/changes/inotify/InotifyTreeFollower.h"

#include "platform/changes/inotify/InotifyLimits.h"
#include "platform/changes/tree/TreePaths.h"
#include "platform/files/Drives.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace inotify {

namespace {
constexpr auto ProgressInterval = std::chrono::milliseconds(500);
// How often a watch that reached the limit on watches looks whether it was raised.
constexpr auto LimitCheckInterval = std::chrono::seconds(1);
constexpr unsigned ScannedFields = STATX_TYPE | STATX_INO | STATX_CTIME | STATX_MTIME | STATX_BTIME;
} // namespace

// Whether a listed entry came into its folder at or after since: it was
// made then, or (not a folder) moved or linked in then, which changes its
// inode but not its content. A folder that came with a tree moved in and
// got new entries since is no newcomer; where the file system keeps no
// birth time, its change time has to serve.
bool CameSince(const struct statx& status, TSince since) {
    if (since == ReportAll)
        return true;
    if (since == ReportNone)
        return false;
    const TSince changed = Nanoseconds(status.stx_ctime);
    if (!(status.stx_mask & STATX_BTIME) || status.stx_btime.tv_sec == 0)
        return changed >= since;
    return Nanoseconds(status.stx_btime) >= since ||
           (!S_ISDIR(status.stx_mode) && changed >= since && Nanoseconds(status.stx_mtime) < since);
}

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

// Puts a watch on a sub-folder. Only folders of the watched folder's own
// mount are watched, never an excluded one, and symbolic links are never
// followed. A folder that
// has a watch already was moved here by a move not yet translated, or lost
// in an overflow: it takes its new place, unless that would put it below
// itself (a folder reached twice is watched once). parentFd, when given, is
// the parent folder open for listing, which spares the system a walk along
// the whole path for the check.
TTreeFollower::TWatched TTreeFollower::WatchChild(int parentWd, const std::string& parentPath, const std::string& name,
                                    int parentFd) {
    if (FExcluded.Excludes(parentWd, name)) {
        FExcluded.Met(parentWd, name);
        return {TChild::Unwatched};
    }
    const std::string path = JoinPath(parentPath, name);
    struct statx status;
    const bool found = parentFd >= 0
                           ? ::statx(parentFd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &status) == 0
                           : ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &status) == 0;
    if (!found) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return {TChild::Gone};
        NotCovered(FTree.RelativeName(parentWd, name), error);
        return {TChild::Unwatched};
    }
    if (!S_ISDIR(status.stx_mode))
        return {TChild::Unwatched};
    if (OnOtherMount(status)) {
        const std::string relative = FTree.RelativeName(parentWd, name);
        if (FMountsReported.insert(relative).second)
            NotCovered(relative, OtherFileSystem);
        return {TChild::Unwatched};
    }
    int wd = inotify_add_watch(FInotify, path.c_str(), FMask);
    if (wd < 0) {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return {TChild::Gone};
        if (error != ENOSPC || !FLimitReported)
            NotCovered(FTree.RelativeName(parentWd, name), error);
        if (error == ENOSPC && !FLimitReported) {
            FLimitReported = true;
            FLimitReached = InotifyWatchLimit();
            FLimitChecked = TClock::now();
        }
        return {TChild::Unwatched};
    }
    if (FRescanning)
        FRescanSeen.insert(wd);
    if (FTree.Knows(wd)) {
        if (!FTree.IsAt(wd, parentWd, name) || !FTree.Contains(wd)) {
            FTree.Move(wd, parentWd, name);
            FDisplaced.Claimed(wd);
        }
        return {TChild::Known, wd};
    }
    // The name led to another folder before: that one is gone.
    if (auto replaced = FTree.FindChild(parentWd, name))
        RemoveSubTree(*replaced, true);
    FTree.Add(wd, parentWd, name);
    return {TChild::New, wd};
}

bool TTreeFollower::OnOtherMount(const struct statx& status) const {
    if (FMountId != 0 && (status.stx_mask & STATX_MNT_ID))
        return status.stx_mnt_id != FMountId;
    return makedev(status.stx_dev_major, status.stx_dev_minor) != FDevice;
}

// Lists one folder: watches its sub-folders (queuing the new ones in toScan)
// and reports the entries the job asks for as added.
void TTreeFollower::ScanFolder(const TScanJob& job, std::vector<TScanJob>& toScan, bool intoKnown) {
    const std::string path = FTree.FullPath(job.Wd);
    DIR* folder = ::opendir(path.c_str());
    if (!folder) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            FRetries.push_back({job.Wd, {}, job.Since});
        else
            NotCovered(FTree.RelativePath(job.Wd), error);
        return;
    }
    std::unordered_map<std::string, ino_t> addedMeanwhile;
    if (auto awaiting = FAwaitingScan.find(job.Wd); awaiting != FAwaitingScan.end()) {
        addedMeanwhile = std::move(awaiting->second);
        FAwaitingScan.erase(awaiting);
    }
    int error = 0;
    while (dirent* entry = NextEntry(folder, error)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool isDir = entry->d_type == DT_DIR;
        if (job.Since != ReportNone || entry->d_type == DT_UNKNOWN) {
            struct statx status;
            if (::statx(dirfd(folder), name.c_str(), AT_SYMLINK_NOFOLLOW, ScannedFields, &status) != 0)
                continue;
            isDir = S_ISDIR(status.stx_mode);
            if (!ReportScanned(job.Wd, name, job.Since, status, addedMeanwhile))
                continue; // reported by its own event already
        }
        if (!isDir)
            continue;
        TWatched child = WatchChild(job.Wd, path, name, dirfd(folder));
        const bool relist = child.State == TChild::Known &&
                            (intoKnown || (FRescanning && FRescanListed.insert(child.Wd).second));
        if (child.State == TChild::New || relist)
            toScan.push_back({child.Wd, child.State == TChild::New ? job.Since : ReportNone});
        if (child.State == TChild::New && job.Since != ReportNone && job.Since != ReportAll)
            FAwaitingScan.try_emplace(child.Wd);
    }
    if (error != 0)
        NotCovered(FTree.RelativePath(job.Wd), error);
    ::closedir(folder);
}

// Reports a listed entry as added when the listing asks for it; false when
// the entry's own event reported it already.
bool TTreeFollower::ReportScanned(int wd, const std::string& name, TSince since, const struct statx& status,
                                   const std::unordered_map<std::string, ino_t>& addedMeanwhile) {
    if (auto added = addedMeanwhile.find(name); added != addedMeanwhile.end() && added->second == status.stx_ino)
        return false;
    if (!CameSince(status, since))
        return true;
    FScanned[wd][name] = status.stx_ino;
    if (FFilter & (S_ISDIR(status.stx_mode) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME))
        FQueue.Add(ActionOnEntry(FILE_ACTION_ADDED, S_ISDIR(status.stx_mode)), FTree.RelativeName(wd, name));
    return true;
}

void TTreeFollower::ScanSubTree(int wd, TSince since, bool intoKnown) {
    std::vector<TScanJob> toScan{{wd, since}};
    while (!toScan.empty() && !FInterrupted.load(std::memory_order_acquire)) {
        TScanJob next = toScan.back();
        toScan.pop_back();
        if (FTree.Contains(next.Wd))
            ScanFolder(next, toScan, intoKnown);
    }
}

// Sets up the watches of the tree in slices, between which the events of the
// folders watched so far are translated, so the kernel queue keeps flowing
// and a stop request is seen within one wait.
void TTreeFollower::SetupStep(TClock::time_point deadline) {
    for (unsigned scanned = 1; !FSetupStack.empty(); ++scanned) {
        TScanJob job = FSetupStack.back();
        FSetupStack.pop_back();
        if (FTree.Contains(job.Wd))
            ScanFolder(job, FSetupStack);
        if (scanned % 32 == 0 &&
            (TClock::now() >= deadline || Readable(FInotify) || FInterrupted.load(std::memory_order_acquire)))
            break;
    }
    if (FSetupStack.empty()) {
        FSetupDone = true;
        if (FRescanning)
            EndRescan();
        Notice(TWatchNotice::TKind::SetupDone);
    } else if (TClock::now() - FLastProgress >= ProgressInterval) {
        FLastProgress = TClock::now();
        Notice(TWatchNotice::TKind::SetupProgress);
    }
}

// After lost changes, folders created meanwhile may lack their watch: walk
// the tree again, adding what is missing, reporting nothing.
void TTreeFollower::ChangesLost() {
    if (!FSubTree)
        return;
    FRescanning = true;
    FRescanSeen = {FTree.Root()};
    FRescanListed = {FTree.Root()};
    // Listings still to come keep their place: a folder moved in is still
    // to report what came into it.
    FSetupStack.push_back({FTree.Root(), ReportNone});
    FSetupDone = false;
}

// Folders the walk did not find were removed while the changes were lost.
void TTreeFollower::EndRescan() {
    FRescanning = false;
    for (int wd : FTree.Folders())
        if (!FRescanSeen.count(wd) && FTree.Contains(wd))
            RemoveSubTree(wd, true);
    FRescanSeen.clear();
    FRescanListed.clear();
}

// Scans a folder after the set-up, in the sliced walk, so that a stop is not held up.
void TTreeFollower::ScanLater(int wd, TSince since) {
    if (since != ReportNone)
        FAwaitingScan.try_emplace(wd);
    FSetupStack.push_back({wd, since});
    FSetupDone = false;
}

void TTreeFollower::RetryUnreached() {
    RetryAfterLimitRaised();
    std::vector<TRetry> retries = std::exchange(FRetries, {});
    for (const TRetry& retry : retries) {
        if (!FTree.Contains(retry.Wd))
            continue;
        if (!retry.Name.empty()) {
            FolderArrived(retry.Wd, retry.Name, retry.Since);
            continue;
        }
        std::vector<TScanJob> toScan;
        ScanFolder({retry.Wd, retry.Since}, toScan);
        for (const TScanJob& child : toScan)
            child.Since == ReportAll ? ScanSubTree(child.Wd, child.Since) : ScanLater(child.Wd, child.Since);
    }
    // What cannot be reached even now is gone for good: its removal is
    // queued. That is no gap in what the watch covers.
    FRetries.clear();
}

// Once the limit on watches is raised, by the program or by anyone, the
// folders left unwatched are watched by a walk like the one after lost
// changes, which reports nothing.
void TTreeFollower::RetryAfterLimitRaised() {
    if (!FLimitReported || TClock::now() - FLimitChecked < LimitCheckInterval)
        return;
    FLimitChecked = TClock::now();
    if (InotifyWatchLimit() <= FLimitReached)
        return;
    FLimitReported = false;
    ChangesLost();
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

// Asking for a watch of a folder that has one gives that one; one made only
// to ask is taken away again.
std::optional<int> TTreeFollower::KnownWatchOf(const std::string& path) {
    const int wd = inotify_add_watch(FInotify, path.c_str(), FMask);
    if (wd < 0)
        return std::nullopt;
    if (FTree.Knows(wd))
        return wd;
    inotify_rm_watch(FInotify, wd);
    return std::nullopt;
}

void TTreeFollower::FolderForgotten(int wd) {
    RemoveSubTree(wd, false);
}

} // namespace inotify

#endif

