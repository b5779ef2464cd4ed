#ifdef __linux__

// Watching and listing the folders of the tree: the first set-up in
// slices, folders moved in, the walk again after lost changes, and folders
// tried again once they can be reached or the limit on watches was raised.
#include "platform/changes/inotify/InotifyTreeFollower.h"

#include "platform/changes/inotify/InotifyLimits.h"
#include "platform/changes/tree/TreePaths.h"

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace inotify {

namespace {
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

} // namespace inotify

#endif
