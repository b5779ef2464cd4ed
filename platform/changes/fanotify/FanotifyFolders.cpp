#ifdef __linux__

#include "platform/changes/fanotify/FanotifyFolders.h"

#include "platform/changes/DirChanges.h"
#include "platform/changes/fanotify/FanotifyRecords.h"
#include "platform/changes/tree/TreePaths.h"
#include "platform/files/Drives.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <poll.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fanotify {

namespace {
// The part of path below folder, or none when path lies elsewhere.
std::optional<std::string> RelativeTo(const std::string& path, const std::string& folder) {
    if (path == folder)
        return std::string();
    const std::string prefix = folder == "/" ? folder : folder + '/';
    if (path.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    return path.substr(prefix.size());
}

bool MountExists(uint64_t mountId) {
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        uint64_t id = 0;
        if (fields >> id && id == mountId)
            return true;
    }
    return false;
}
} // namespace

void TFanotifyFolders::Start(inotify::TInotifyTranslator& translator, bool subTree, uint32_t filter,
                             const std::string& rootKey) {
    FTranslator = &translator;
    FSubTree = subTree;
    FFilter = filter;
    FTree.AddRoot(FNumbers.Next(FTree));
    Bind(rootKey, FTree.Root());
    FCanonicalRoot = inotify::CanonicalPath(FTree.RootPath());
    FMountId = inotify::MountIdOf(FTree.RootPath());
    if (subTree && !FCanonicalRoot.empty())
        FMountPoints = MountPointsBelow(ReadMountTable(), FCanonicalRoot);
    for (const std::string& relative : FMountPoints)
        FNotices.NotCovered(relative, OtherFileSystem);
    // Every change is seen from now on: the walk only names folders ahead.
    FNotices.Push(TWatchNotice::TKind::Covered);
    if (subTree)
        FWalk.push_back(FTree.Root());
    else
        FNotices.Push(TWatchNotice::TKind::SetupDone);
}

void TFanotifyFolders::SetupStep(TClock::time_point deadline) {
    while (!FWalk.empty()) {
        if (FTree.Size() >= FolderCacheLimit)
            FWalk.clear();
        else if (TClock::now() >= deadline || inotify::Readable(FGroup) || FInterrupted.load(std::memory_order_acquire))
            break;
        else {
            const int wd = FWalk.back();
            FWalk.pop_back();
            if (FTree.Contains(wd))
                WalkFolder(wd, FWalk);
        }
    }
    if (FWalk.empty())
        FNotices.Push(TWatchNotice::TKind::SetupDone);
}

// A folder known by its handle is opened wherever it is now: it may have
// moved on since the events read so far.
// A watch for another user lists only what its handle names.
inotify::TFd TFanotifyFolders::OpenListing(int wd) {
    const auto key = FKeys.find(wd);
    if (key != FKeys.end())
        return OpenFolder(key->second, O_RDONLY);
    return inotify::TFd(FServedFolder >= 0 ? -1 : ::open(FTree.FullPath(wd).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Mount points are not entered: what is below them is another file system's.
void TFanotifyFolders::WalkFolder(int wd, std::vector<int>& next, bool reporting) {
    inotify::TFd opened = OpenListing(wd);
    DIR* folder = opened.Get() >= 0 ? ::fdopendir(opened.Get()) : nullptr;
    if (!folder)
        return; // gone, or closed to this process: looked up by path when needed
    opened.Release();
    std::vector<uint64_t> storage = HandleStorage();
    auto* handle = reinterpret_cast<file_handle*>(storage.data());
    int error = 0;
    while (dirent* entry = inotify::NextEntry(folder, error)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool isDir = entry->d_type == DT_DIR;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN && ::fstatat(dirfd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            isDir = S_ISDIR(st.st_mode);
        if (reporting && (FFilter & (isDir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME)))
            FQueue.Add(ActionOnEntry(FILE_ACTION_ADDED, isDir), FTree.RelativeName(wd, name));
        if (!isDir)
            continue;
        handle->handle_bytes = MAX_HANDLE_SZ;
        int mountId = 0;
        if (::name_to_handle_at(dirfd(folder), name.c_str(), handle, &mountId, 0) != 0 ||
            (FMountId != 0 && static_cast<uint64_t>(mountId) != FMountId))
            continue;
        const std::string key = KeyOf(FFileSystem, *handle);
        if (FExcluded.Excludes(wd, name)) {
            RememberOutside(key);
            continue;
        }
        if (FFolders.count(key) && !reporting)
            continue; // placed already, by an event
        std::optional<int> child = FTree.FindChild(wd, name);
        if (!child) {
            child = FNumbers.Next(FTree);
            FTree.Add(*child, wd, name);
        }
        Bind(key, *child);
        next.push_back(*child);
    }
    // The folders not named are looked up by path when needed; what a
    // listing for the user did not reach is no silent gap.
    if (error != 0 && reporting)
        FNotices.NotCovered(FTree.RelativePath(wd), error);
    ::closedir(folder);
}

int TFanotifyFolders::Guard(const std::string& key) {
    if (auto known = FFolders.find(key); known != FFolders.end())
        return known->second;
    const int wd = FNumbers.Next(FTree);
    FNumbers.Reserve(wd);
    Bind(key, wd);
    return wd;
}

std::optional<int> TFanotifyFolders::FolderOf(const std::string& key) {
    if (auto known = FFolders.find(key); known != FFolders.end())
        return known->second;
    // Another file system, even one mounted inside the tree, is not this
    // watch's, and its handles mean nothing here.
    if (FileSystemOf(key) != FFileSystem || FOutside.count(key))
        return std::nullopt;
    return Place(key);
}

// Places a folder not in the cache by its path now, adding the folders on
// the way that are not there either.
std::optional<int> TFanotifyFolders::Place(const std::string& key) {
    const std::optional<std::string> path = PathOf(key);
    const std::optional<std::string> relative = path ? RelativeTo(*path, FCanonicalRoot) : std::nullopt;
    if (!relative || (!FSubTree && !relative->empty())) {
        RememberOutside(key);
        return std::nullopt;
    }
    int wd = FTree.Root();
    for (const auto& [folder, part] : inotify::StepsTo(*relative)) {
        if (FExcluded.Excludes(wd, part)) {
            RememberOutside(key);
            return std::nullopt;
        }
        if (auto child = FTree.FindChild(wd, part)) {
            wd = *child;
            continue;
        }
        const int child = FNumbers.Next(FTree);
        FTree.Add(child, wd, part);
        wd = child;
    }
    Bind(key, wd);
    return wd;
}

// The folder's path now, through the mount of the watched folder; none
// when it is gone.
std::optional<std::string> TFanotifyFolders::PathOf(const std::string& key) {
    inotify::TFd folder = OpenFolder(key, O_PATH);
    struct stat st;
    if (folder.Get() < 0 || ::fstat(folder.Get(), &st) != 0 || st.st_nlink == 0)
        return std::nullopt;
    std::string path(4096, '\0');
    const std::string link = "/proc/self/fd/" + std::to_string(folder.Get());
    for (;;) {
        const ssize_t length = ::readlink(link.c_str(), path.data(), path.size());
        if (length < 0)
            return std::nullopt;
        if (static_cast<size_t>(length) < path.size()) {
            path.resize(static_cast<size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Opens the folder of key wherever it is now; -1 when it is gone.
inotify::TFd TFanotifyFolders::OpenFolder(const std::string& key, int flags) {
    if (FMountFd.Get() < 0)
        FMountFd = inotify::TFd(FServedFolder >= 0 ? ::fcntl(FServedFolder, F_DUPFD_CLOEXEC, 0)
                                                   : ::open(FTree.RootPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return inotify::TFd(OpenByKey(FMountFd.Get(), key, flags | O_DIRECTORY));
}

TFolderRef TFanotifyFolders::IdentityOf(int wd) const {
    if (FServedFolder < 0)
        return nullptr;
    const auto key = FKeys.find(wd);
    return key != FKeys.end() ? std::make_shared<const std::string>(key->second) : nullptr;
}

void TFanotifyFolders::Bind(const std::string& key, int wd) {
    if (auto previous = FKeys.find(wd); previous != FKeys.end())
        FFolders.erase(previous->second);
    if (auto taken = FFolders.find(key); taken != FFolders.end())
        FKeys.erase(taken->second);
    FFolders[key] = wd;
    FKeys[wd] = key;
    FOutside.erase(key);
}

void TFanotifyFolders::RememberOutside(const std::string& key) {
    if (FOutside.size() >= OutsideCacheLimit)
        FOutside.clear();
    FOutside.insert(key);
}

// The look-up descriptor is not kept while nothing needs it: it would hold
// the watched folder's file system busy, and no one could unmount it.
void TFanotifyFolders::QueueEmptied() {
    for (int replaced : FDisplaced.Expired())
        if (FTree.Knows(replaced))
            RemoveSubTree(replaced);
    FMountFd = inotify::TFd();
    if (FTree.Size() > FolderCacheLimit)
        ForgetFolders();
}

// A file system mounted inside the tree hides the folder below it, which is
// no longer covered; the watched folder's own file system unmounted ends
// the watch.
void TFanotifyFolders::FollowMountTable() {
    if (FMountId != 0 && !MountExists(FMountId)) {
        FTranslator->Translate({FTree.Root(), IN_UNMOUNT, 0, {}});
        return;
    }
    if (!FSubTree || FCanonicalRoot.empty())
        return;
    std::vector<std::string> now = MountPointsBelow(ReadMountTable(), FCanonicalRoot);
    for (const std::string& relative : now)
        if (!std::binary_search(FMountPoints.begin(), FMountPoints.end(), relative))
            FNotices.NotCovered(relative, OtherFileSystem);
    FMountPoints = std::move(now);
}

bool TFanotifyFolders::AccessMovedTime(int wd, const std::string& name) {
    return FAccessTimes.Moved(JoinPath(FTree.FullPath(wd), name));
}

// A folder made in the tree, or moved in. One moved in may hold folders
// that were looked up while they lay outside: they are outside no longer.
void TFanotifyFolders::FolderArrived(int parentWd, const std::string& name, TSince since) {
    if (since != inotify::ReportAll)
        FOutside.clear();
    if (auto stale = FTree.FindChild(parentWd, name))
        RemoveSubTree(*stale);
    if (FExcluded.Excludes(parentWd, name)) {
        if (!FExpected.empty())
            RememberOutside(FExpected);
        return;
    }
    const int wd = FNumbers.Next(FTree);
    FTree.Add(wd, parentWd, name);
    if (!FExpected.empty())
        Bind(FExpected, wd);
    if (since != inotify::ReportAll && FSubTree)
        WalkMovedIn(wd);
}

// The folders of a tree moved in are named at once, as far as a small
// budget goes, before the events queued behind the move: changes in them
// may be followed at once by the tree's moving on. The rest joins the walk.
void TFanotifyFolders::WalkMovedIn(int wd) {
    std::vector<int> pending = std::exchange(FWalk, {wd});
    for (size_t walked = 0; !FWalk.empty() && walked < MovedInWalkBudget; ++walked) {
        const int folder = FWalk.back();
        FWalk.pop_back();
        if (FTree.Contains(folder))
            WalkFolder(folder, FWalk);
    }
    FWalk.insert(FWalk.end(), pending.begin(), pending.end());
}

// A folder that a rename displaced and that now comes back, by the next
// rename, at the name the first one took it from: the two were exchanged.
// The event names the folder that moved by its handle.
inotify::TFolderMove TFanotifyFolders::FolderRenamed(int fromWd, const std::string& fromName, int toWd,
                                                     const std::string& toName, TSince since) {
    const auto expected = FFolders.find(FExpected);
    if (const std::optional<int> displaced = FDisplaced.At(fromWd, fromName);
        displaced && expected != FFolders.end() && expected->second == *displaced && !FTree.FindChild(toWd, toName) &&
        FTree.Move(*displaced, toWd, toName)) {
        FDisplaced.Claimed(*displaced);
        return inotify::TFolderMove::Exchanged;
    }
    auto child = FTree.FindChild(fromWd, fromName);
    if (!child) {
        FolderArrived(toWd, toName, since);
        return inotify::TFolderMove::Moved;
    }
    if (auto replaced = FTree.FindChild(toWd, toName); replaced && !FTree.IsWithin(*child, *replaced))
        FolderDisplaced(toWd, toName);
    // Refused only when the cache is behind the events: it forgets the folder.
    if (!FTree.Move(*child, toWd, toName)) {
        RemoveSubTree(*child);
        return inotify::TFolderMove::Moved;
    }
    if (!FExpected.empty())
        Bind(FExpected, *child);
    // Rules by path may exclude what it holds at its new place, and no longer
    // what it held at the old one, whose changes are placed again.
    if (FExcluded.Any())
        FOutside.clear();
    DropExcludedWithin(*child);
    return inotify::TFolderMove::Moved;
}

void TFanotifyFolders::FolderDisplaced(int parentWd, const std::string& name) {
    FDisplaced.Displace(FTree, parentWd, name);
}

void TFanotifyFolders::FolderLeft(int folderWd) {
    if (FTree.Knows(folderWd) && folderWd != FTree.Root())
        RemoveSubTree(folderWd);
}

void TFanotifyFolders::ReportContents(int folderWd) {
    std::vector<int> folders{folderWd};
    while (!folders.empty() && !FInterrupted.load(std::memory_order_acquire)) {
        const int folder = folders.back();
        folders.pop_back();
        if (FTree.Contains(folder))
            WalkFolder(folder, folders, true);
    }
}

inotify::TEntryNow TFanotifyFolders::EntryNow(int wd, const std::string& name) {
    inotify::TFd folder = OpenListing(wd);
    struct stat st;
    if (folder.Get() < 0)
        return {};
    if (::fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        return {error == ENOENT ? inotify::TEntryNow::TKind::Absent : inotify::TEntryNow::TKind::Unknown, {}};
    }
    if (!S_ISDIR(st.st_mode))
        return {inotify::TEntryNow::TKind::Other, {}};
    std::vector<uint64_t> storage = HandleStorage();
    auto* handle = reinterpret_cast<file_handle*>(storage.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (::name_to_handle_at(folder.Get(), name.c_str(), handle, &mountId, 0) != 0)
        return {inotify::TEntryNow::TKind::Folder, {}};
    const auto known = FFolders.find(KeyOf(FFileSystem, *handle));
    return {inotify::TEntryNow::TKind::Folder,
            known == FFolders.end() ? std::nullopt : std::optional<int>(known->second)};
}

void TFanotifyFolders::FolderForgotten(int wd) {
    if (wd != FTree.Root())
        RemoveSubTree(wd);
}

// Lost events may have renamed or removed any folder: the cache starts again.
void TFanotifyFolders::ChangesLost() {
    ForgetFolders();
    FOutside.clear();
}

void TFanotifyFolders::RemoveSubTree(int wd) {
    for (int removed : FTree.RemoveSubTree(wd))
        if (auto key = FKeys.find(removed); key != FKeys.end()) {
            FFolders.erase(key->second);
            FKeys.erase(key);
        }
}

// Folders that a move or new rules put among the excluded are forgotten,
// and their changes dropped from now on.
void TFanotifyFolders::DropExcludedWithin(int wd) {
    for (int excluded : FExcluded.ExcludedWithin(wd)) {
        if (auto key = FKeys.find(excluded); key != FKeys.end())
            RememberOutside(key->second);
        RemoveSubTree(excluded);
    }
}

// Folders no longer excluded are placed again as their changes come.
void TFanotifyFolders::ExclusionsChanged() {
    if (!FSubTree)
        return;
    FOutside.clear();
    DropExcludedWithin(FTree.Root());
}

void TFanotifyFolders::ForgetFolders() {
    for (int child : FTree.ChildrenOf(FTree.Root()))
        RemoveSubTree(child);
}

} // namespace fanotify

#endif
