// Change notification on Linux, built on inotify.
//
// inotify watches single folders and reports raw events; this backend turns
// them into what a sub-tree watch on Windows reports: names relative to the
// watched folder, renames as an old-name/new-name pair, moves out of the tree
// as removals and moves in as additions, the notify filter applied. It keeps
// one inotify watch per folder of the tree and follows folders as they are
// created, moved and removed.
#ifdef __linux__

#include "platform/DirChanges.h"
#include "platform/TextConversion.h"
#include "platform/WatchTree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

constexpr uint32_t ContentChanges = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
// inotify reports mode, owner, time stamp and extended-attribute changes alike.
constexpr uint32_t MetadataChanges = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                     FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;
// A pending record with this action stands for changes the system dropped.
constexpr uint32_t LostChanges = 0;
// Above this many translated records, the kernel queue is left alone until
// the worker has handed some on.
constexpr size_t PendingHighWater = 8192;
// How long a move-out waits for its possible move-in half.
constexpr int RenamePairWaitMs = 2;
constexpr auto ProgressInterval = std::chrono::milliseconds(500);
constexpr auto BatchGathering = std::chrono::microseconds(500);
// An access that set the last-access time this many seconds ago or less
// changed it; an older time means the system left it alone.
constexpr long AccessRecency = 2;

class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    TFd(TFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    TFd& operator=(TFd&& other) noexcept {
        std::swap(FFd, other.FFd);
        return *this;
    }
    ~TFd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    int Get() const { return FFd; }

private:
    int FFd;
};

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return "/";
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The code Windows gives for the same failure to open a folder.
uint32_t WindowsErrorFor(int error, const std::string& path) {
    switch (error) {
    case ENOENT:
        return IsDirectory(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR: {
        struct stat st;
        bool isFile = ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
        return isFile ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    }
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

uint32_t InotifyMaskFor(uint32_t filter) {
    uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                    IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
    if (filter & ContentChanges)
        mask |= IN_MODIFY;
    if (filter & MetadataChanges)
        mask |= IN_ATTRIB;
    if (filter & FILE_NOTIFY_CHANGE_LAST_ACCESS)
        mask |= IN_ACCESS;
    return mask;
}

uint32_t NameFilterFor(bool isDir) {
    return isDir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
}

struct TRecord {
    uint32_t Action;
    std::string Name;
};

// A folder the watch knows of but could not yet watch or list, because the
// path it had when its event was queued no longer leads to it (it or a
// folder above was renamed right after). It is tried again once every
// queued event, the rename among them, is translated.
struct TRetry {
    int Wd;           // the folder to list, or the parent of the folder to watch
    std::string Name; // the folder to watch; empty: list Wd itself
    bool ReportEntries;
};

// What became of a sub-folder the watch tried to watch.
enum class TChild { New, Known, Gone, Unwatched };

struct TWatched {
    TChild State;
    int Wd = -1;
};

struct TMoveFrom {
    int Wd;
    std::string Name;
    bool IsDir;
    uint32_t Cookie;
};

class TInotifyReader final : public TDirChangeReader {
public:
    TInotifyReader(std::string directory, dev_t device, TFd inotify, TFd wake)
        : FTree(std::move(directory)), FDevice(device), FInotify(std::move(inotify)), FWake(std::move(wake)) {}

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override;
    TWaitResult Wait(int timeoutMs) override;
    bool GetResult(uint32_t& bytesReturned) override;
    bool TakeNotice(TWatchNotice& notice) override;
    void Interrupt() override;

private:
    bool StartWatching(bool watchSubTree, uint32_t notifyFilter);
    bool CompleteIfReady();
    uint32_t PackRecords();
    void Complete(uint32_t bytes, bool succeeded);

    bool DrainEvents();
    bool InotifyReadable(int timeoutMs);
    void Translate(const inotify_event& event);
    void OnAdded(int wd, const std::string& name, bool isDir, bool isNewFolder);
    void OnRemoved(int wd, const std::string& name, bool isDir);
    void OnRenamed(const TMoveFrom& from, int toWd, const std::string& toName);
    void FlushMoveFrom();
    void ParentModified(int wd);
    void Emit(uint32_t action, std::string name);
    bool DuplicateOfScan(int wd, const std::string& name);

    TWatched WatchChild(int parentWd, const std::string& parentPath, const std::string& name, int parentFd = -1);
    void WatchNewChild(int parentWd, const std::string& name, bool reportEntries);
    void ScanFolder(int wd, bool reportEntries, std::vector<int>& toScan);
    void ScanSubTree(int wd, bool reportEntries);
    void ScanLater(int wd);
    void RetryUnreached();
    void SetupStep(TClock::time_point deadline);
    void StartRescan();
    void EndRescan();
    bool AccessChangedTime(int wd, const std::string& name) const;
    void RemoveSubTree(int wd, bool removeWatches);
    void NotCovered(const std::string& relative, int error);
    void Notice(TWatchNotice::TKind kind);

    TWatchTree FTree;
    dev_t FDevice;
    TFd FInotify;
    TFd FWake; // an eventfd that Interrupt makes readable
    std::atomic<bool> FInterrupted{false};

    bool FStarted = false;
    bool FSubTree = true;
    uint32_t FFilter = 0;
    uint32_t FMask = 0;
    bool FRootGone = false;
    bool FLimitReported = false;

    char* FBuffer = nullptr;
    uint32_t FLength = 0;
    bool FReadOutstanding = false;
    bool FCompleted = false;
    bool FSucceeded = false;
    uint32_t FBytes = 0;

    std::deque<TRecord> FPending;
    std::deque<TWatchNotice> FNotices;
    std::optional<TMoveFrom> FMoveFrom;
    // Entries that the scan of a brand-new folder reported, by folder and
    // name, with their inode: the inotify events for the same entries, still
    // queued behind the scan, must not report them again.
    std::unordered_map<int, std::unordered_map<std::string, ino_t>> FScanned;

    std::vector<TRetry> FRetries;

    std::vector<int> FSetupStack;
    bool FSetupDone = false;
    // A walk after lost changes: the folders it found (kept) and listed.
    bool FRescanning = false;
    std::unordered_set<int> FRescanSeen;
    std::unordered_set<int> FRescanListed;
    TClock::time_point FLastProgress;
};

bool TInotifyReader::ReadChanges(void* buffer, uint32_t length, bool watchSubTree,
                                 uint32_t notifyFilter) {
    if (notifyFilter == 0 || FReadOutstanding)
        return false;
    if (!FStarted && !StartWatching(watchSubTree, notifyFilter))
        return false;
    FBuffer = static_cast<char*>(buffer);
    FLength = length;
    FReadOutstanding = true;
    FCompleted = false;
    return true;
}

bool TInotifyReader::StartWatching(bool watchSubTree, uint32_t notifyFilter) {
    FFilter = notifyFilter;
    FSubTree = watchSubTree;
    FMask = InotifyMaskFor(notifyFilter);
    // The watched folder itself may be reached through a symbolic link.
    int wd = inotify_add_watch(FInotify.Get(), FTree.RootPath().c_str(), FMask & ~IN_DONT_FOLLOW);
    if (wd < 0) {
        NotCovered("", errno);
        return false;
    }
    FTree.AddRoot(wd);
    FStarted = true;
    FLastProgress = TClock::now();
    if (FSubTree)
        FSetupStack.push_back(wd);
    else
        Notice(TWatchNotice::TKind::SetupDone);
    FSetupDone = !FSubTree;
    return true;
}

TWaitResult TInotifyReader::Wait(int timeoutMs) {
    if (!FReadOutstanding)
        return TWaitResult::Failed;
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (FInterrupted.load(std::memory_order_acquire))
            return TWaitResult::TimedOut;
        if (FCompleted || CompleteIfReady())
            return TWaitResult::Signalled;
        if (!DrainEvents())
            return TWaitResult::Failed;
        if (CompleteIfReady())
            return TWaitResult::Signalled;
        if (!FSetupDone) {
            SetupStep(deadline);
            // Notices are handed on when a wait ends: end it now, not at its limit.
            if ((TClock::now() >= deadline || !FNotices.empty()) && !CompleteIfReady())
                return TWaitResult::TimedOut;
            continue;
        }
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
        if (remaining.count() <= 0)
            return TWaitResult::TimedOut;
        pollfd descriptors[] = {{FInotify.Get(), POLLIN, 0}, {FWake.Get(), POLLIN, 0}};
        int ready = ::poll(descriptors, 2, static_cast<int>(remaining.count()));
        if (ready < 0 && errno != EINTR)
            return TWaitResult::Failed;
        // Woken by the first event of what is often a burst: let a few more
        // gather, so that a burst costs a wake-up per batch, not per change.
        if (descriptors[0].revents & POLLIN)
            std::this_thread::sleep_for(BatchGathering);
    }
}

bool TInotifyReader::GetResult(uint32_t& bytesReturned) {
    bytesReturned = FBytes;
    FReadOutstanding = false;
    FCompleted = false;
    return FSucceeded;
}

void TInotifyReader::Interrupt() {
    FInterrupted.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FWake.Get(), &one, sizeof one);
}

bool TInotifyReader::TakeNotice(TWatchNotice& notice) {
    if (FNotices.empty())
        return false;
    notice = std::move(FNotices.front());
    FNotices.pop_front();
    return true;
}

bool TInotifyReader::CompleteIfReady() {
    if (!FPending.empty()) {
        if (FPending.front().Action == LostChanges) {
            FPending.pop_front();
            Complete(0, true);
        } else {
            Complete(PackRecords(), true);
        }
        return true;
    }
    if (FRootGone) {
        Complete(0, false);
        return true;
    }
    return false;
}

void TInotifyReader::Complete(uint32_t bytes, bool succeeded) {
    FBytes = bytes;
    FSucceeded = succeeded;
    FCompleted = true;
}

// Fills the read's buffer with as many pending records as fit. A record
// larger than the whole buffer cannot be delivered; like the system, the read
// then reports its changes as lost.
uint32_t TInotifyReader::PackRecords() {
    uint32_t offset = 0;
    FILE_NOTIFY_INFORMATION* previous = nullptr;
    while (!FPending.empty() && FPending.front().Action != LostChanges) {
        std::u16string name = Local8ToWide(FPending.front().Name);
        uint32_t nameBytes = static_cast<uint32_t>(name.size() * sizeof(char16_t));
        uint32_t size = (offsetof(FILE_NOTIFY_INFORMATION, FileName) + nameBytes + 3) & ~3u;
        if (offset + size > FLength) {
            if (offset == 0)
                FPending.pop_front(); // this read's zero bytes report it lost
            break;
        }
        auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(FBuffer + offset);
        record->NextEntryOffset = 0;
        record->Action = FPending.front().Action;
        record->FileNameLength = nameBytes;
        std::memcpy(record->FileName, name.data(), nameBytes);
        if (previous)
            previous->NextEntryOffset =
                static_cast<uint32_t>(reinterpret_cast<char*>(record) - reinterpret_cast<char*>(previous));
        previous = record;
        offset += size;
        FPending.pop_front();
    }
    return offset;
}

bool TInotifyReader::InotifyReadable(int timeoutMs) {
    pollfd descriptor{FInotify.Get(), POLLIN, 0};
    return ::poll(&descriptor, 1, timeoutMs) > 0;
}

// Reads queued inotify events and translates them. Stops
// once enough records wait to be handed on, so that a long burst flows
// through in steps instead of piling up here.
bool TInotifyReader::DrainEvents() {
    alignas(inotify_event) char events[64 * 1024];
    for (;;) {
        if (FPending.size() >= PendingHighWater)
            return true;
        ssize_t length = ::read(FInotify.Get(), events, sizeof events);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno != EAGAIN)
            return false;
        if (length <= 0) {
            // A move-out and its move-in half are queued one right after the
            // other; give the second a moment before calling it a move out.
            if (FMoveFrom && InotifyReadable(RenamePairWaitMs))
                continue;
            FlushMoveFrom();
            // Every event queued before the scans of new folders is now
            // translated, so their entries cannot be reported twice any more.
            FScanned.clear();
            RetryUnreached();
            return true;
        }
        for (char* at = events; at < events + length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            Translate(*event);
            at += sizeof(inotify_event) + event->len;
        }
    }
}

void TInotifyReader::Translate(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
        FlushMoveFrom();
        FPending.push_back({LostChanges, {}});
        StartRescan();
        return;
    }
    const bool isDir = event.mask & IN_ISDIR;
    const std::string name = event.len ? event.name : "";
    if (FMoveFrom) {
        const bool pairs = (event.mask & IN_MOVED_TO) && event.cookie == FMoveFrom->Cookie &&
                           FTree.Contains(event.wd) && FTree.Contains(FMoveFrom->Wd);
        if (pairs) {
            TMoveFrom from = std::move(*FMoveFrom);
            FMoveFrom.reset();
            OnRenamed(from, event.wd, name);
            return;
        }
        FlushMoveFrom();
    }
    if (event.mask & IN_IGNORED) {
        if (event.wd == FTree.Root())
            FRootGone = true;
        else if (FTree.Contains(event.wd))
            RemoveSubTree(event.wd, false);
        return;
    }
    if (event.wd == FTree.Root() && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        FRootGone = true;
        return;
    }
    if (name.empty() || !FTree.Contains(event.wd))
        return; // a sub-folder's own events come with its name from its parent
    if (event.mask & IN_CREATE)
        OnAdded(event.wd, name, isDir, true);
    if (event.mask & IN_MOVED_TO)
        OnAdded(event.wd, name, isDir, false);
    if (event.mask & IN_DELETE)
        OnRemoved(event.wd, name, isDir);
    if (event.mask & IN_MOVED_FROM)
        FMoveFrom = TMoveFrom{event.wd, name, isDir, event.cookie};
    // Reading a folder's entries counts as an access to it; the watch reads
    // folders itself while it sets up, and any listing would flood the list,
    // so only accesses to files are reported, and only those that changed
    // the file's last-access time (most reads leave it alone).
    const bool fileAccessed = (event.mask & IN_ACCESS) && !isDir && AccessChangedTime(event.wd, name);
    const bool modified = ((event.mask & IN_MODIFY) && (FFilter & ContentChanges)) ||
                          ((event.mask & IN_ATTRIB) && (FFilter & MetadataChanges)) ||
                          (fileAccessed && (FFilter & FILE_NOTIFY_CHANGE_LAST_ACCESS));
    if (modified)
        Emit(FILE_ACTION_MODIFIED, FTree.RelativeName(event.wd, name));
}

void TInotifyReader::OnAdded(int wd, const std::string& name, bool isDir, bool isNewFolder) {
    if (DuplicateOfScan(wd, name))
        return;
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_ADDED, FTree.RelativeName(wd, name));
    ParentModified(wd);
    if (isDir && FSubTree)
        WatchNewChild(wd, name, isNewFolder);
}

// A folder that came into the tree. A brand-new one is listed at once, its
// entries reported as added, before later events are translated, so that
// nothing created in it before its watch existed is missed or doubled. One
// moved in is only watched, in slices like the first set-up, for it may be
// large and a stop must not wait for it.
void TInotifyReader::WatchNewChild(int parentWd, const std::string& name, bool reportEntries) {
    TWatched child = WatchChild(parentWd, FTree.FullPath(parentWd), name);
    if (child.State == TChild::Gone)
        FRetries.push_back({parentWd, name, reportEntries});
    if (child.State != TChild::New)
        return;
    if (reportEntries)
        ScanSubTree(child.Wd, true);
    else
        ScanLater(child.Wd);
}

void TInotifyReader::OnRemoved(int wd, const std::string& name, bool isDir) {
    if (auto folder = FScanned.find(wd); folder != FScanned.end())
        folder->second.erase(name);
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_REMOVED, FTree.RelativeName(wd, name));
    ParentModified(wd);
}

void TInotifyReader::OnRenamed(const TMoveFrom& from, int toWd, const std::string& toName) {
    if (auto folder = FScanned.find(from.Wd); folder != FScanned.end())
        folder->second.erase(from.Name);
    if (FFilter & NameFilterFor(from.IsDir)) {
        Emit(FILE_ACTION_RENAMED_OLD_NAME, FTree.RelativeName(from.Wd, from.Name));
        Emit(FILE_ACTION_RENAMED_NEW_NAME, FTree.RelativeName(toWd, toName));
    }
    ParentModified(from.Wd);
    if (toWd != from.Wd)
        ParentModified(toWd);
    if (!from.IsDir || !FSubTree)
        return;
    if (auto child = FTree.FindChild(from.Wd, from.Name)) {
        FTree.Move(*child, toWd, toName);
        return;
    }
    // A folder renamed before it could be watched: a brand-new one still
    // has its entries reported.
    bool reportEntries = false;
    auto retry = std::find_if(FRetries.begin(), FRetries.end(), [&](const TRetry& r) {
        return r.Wd == from.Wd && r.Name == from.Name;
    });
    if (retry != FRetries.end()) {
        reportEntries = retry->ReportEntries;
        FRetries.erase(retry);
    }
    WatchNewChild(toWd, toName, reportEntries);
}

// A move-out whose move-in half never came: the entry left the tree.
void TInotifyReader::FlushMoveFrom() {
    if (!FMoveFrom)
        return;
    TMoveFrom from = std::move(*FMoveFrom);
    FMoveFrom.reset();
    if (!FTree.Contains(from.Wd))
        return;
    OnRemoved(from.Wd, from.Name, from.IsDir);
    if (from.IsDir)
        if (auto child = FTree.FindChild(from.Wd, from.Name))
            RemoveSubTree(*child, true);
}

// A change of a sub-folder's entries changes its last-write time, which is
// reported for the sub-folder (never for the watched folder itself).
void TInotifyReader::ParentModified(int wd) {
    if (wd != FTree.Root() && (FFilter & FILE_NOTIFY_CHANGE_LAST_WRITE))
        Emit(FILE_ACTION_MODIFIED, FTree.RelativePath(wd));
}

void TInotifyReader::Emit(uint32_t action, std::string name) {
    FPending.push_back({action, std::move(name)});
}

bool TInotifyReader::DuplicateOfScan(int wd, const std::string& name) {
    auto folder = FScanned.find(wd);
    if (folder == FScanned.end())
        return false;
    auto entry = folder->second.find(name);
    if (entry == folder->second.end())
        return false;
    ino_t scannedInode = entry->second;
    folder->second.erase(entry);
    struct stat st;
    std::string path = JoinPath(FTree.FullPath(wd), name);
    // Gone again: the scan reported it, and its removal is still queued.
    if (::lstat(path.c_str(), &st) != 0)
        return true;
    return st.st_ino == scannedInode;
}

// Puts a watch on a sub-folder. Only folders of the watched folder's own file
// system are watched, and symbolic links are never followed. A folder that
// has a watch already was moved here by a move not yet translated, or lost
// in an overflow: it takes its new place. parentFd, when given, is the
// parent folder open for listing, which spares the system a walk along the
// whole path for the check.
TWatched TInotifyReader::WatchChild(int parentWd, const std::string& parentPath, const std::string& name,
                                    int parentFd) {
    const std::string path = JoinPath(parentPath, name);
    struct stat st;
    const bool found = parentFd >= 0 ? ::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                                     : ::lstat(path.c_str(), &st) == 0;
    if (!found)
        return {errno == ENOENT || errno == ENOTDIR ? TChild::Gone : TChild::Unwatched};
    if (!S_ISDIR(st.st_mode) || st.st_dev != FDevice)
        return {TChild::Unwatched};
    int wd = inotify_add_watch(FInotify.Get(), path.c_str(), FMask);
    if (wd < 0) {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return {TChild::Gone};
        if (error != ENOSPC || !FLimitReported)
            NotCovered(FTree.RelativeName(parentWd, name), error);
        FLimitReported = FLimitReported || error == ENOSPC;
        return {TChild::Unwatched};
    }
    if (FRescanning)
        FRescanSeen.insert(wd);
    if (FTree.Contains(wd)) {
        if (!FTree.IsAt(wd, parentWd, name) && !FTree.IsWithin(parentWd, wd))
            FTree.Move(wd, parentWd, name);
        return {TChild::Known, wd};
    }
    FTree.Add(wd, parentWd, name);
    return {TChild::New, wd};
}

// Lists one folder: watches its sub-folders (queuing the new ones in toScan)
// and, for a brand-new folder, reports every entry as added.
void TInotifyReader::ScanFolder(int wd, bool reportEntries, std::vector<int>& toScan) {
    const std::string path = FTree.FullPath(wd);
    DIR* folder = ::opendir(path.c_str());
    if (!folder) {
        if (errno == ENOENT || errno == ENOTDIR)
            FRetries.push_back({wd, {}, reportEntries});
        else
            NotCovered(FTree.RelativePath(wd), errno);
        return;
    }
    while (dirent* entry = ::readdir(folder)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        bool isDir = entry->d_type == DT_DIR;
        if (reportEntries || entry->d_type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(dirfd(folder), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            isDir = S_ISDIR(st.st_mode);
            if (reportEntries) {
                FScanned[wd][name] = st.st_ino;
                if (FFilter & NameFilterFor(isDir))
                    Emit(FILE_ACTION_ADDED, FTree.RelativeName(wd, name));
            }
        }
        if (!isDir)
            continue;
        TWatched child = WatchChild(wd, path, name, dirfd(folder));
        const bool relist = FRescanning && child.State == TChild::Known && FRescanListed.insert(child.Wd).second;
        if (child.State == TChild::New || relist)
            toScan.push_back(child.Wd);
    }
    ::closedir(folder);
}

void TInotifyReader::ScanSubTree(int wd, bool reportEntries) {
    std::vector<int> toScan{wd};
    while (!toScan.empty() && !FInterrupted.load(std::memory_order_acquire)) {
        int next = toScan.back();
        toScan.pop_back();
        if (FTree.Contains(next))
            ScanFolder(next, reportEntries, toScan);
    }
}

// Sets up the watches of the tree in slices, between which the events of the
// folders watched so far are translated, so the kernel queue keeps flowing
// and a stop request is seen within one wait.
void TInotifyReader::SetupStep(TClock::time_point deadline) {
    for (unsigned scanned = 1; !FSetupStack.empty(); ++scanned) {
        int wd = FSetupStack.back();
        FSetupStack.pop_back();
        if (FTree.Contains(wd))
            ScanFolder(wd, false, FSetupStack);
        if (scanned % 32 == 0 &&
            (TClock::now() >= deadline || InotifyReadable(0) || FInterrupted.load(std::memory_order_acquire)))
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
void TInotifyReader::StartRescan() {
    if (!FSubTree)
        return;
    FRescanning = true;
    FRescanSeen = {FTree.Root()};
    FRescanListed = {FTree.Root()};
    FSetupStack.assign(1, FTree.Root());
    FSetupDone = false;
}

// Folders the walk did not find were removed while the changes were lost.
void TInotifyReader::EndRescan() {
    FRescanning = false;
    for (int wd : FTree.Folders())
        if (!FRescanSeen.count(wd) && FTree.Contains(wd))
            RemoveSubTree(wd, true);
    FRescanSeen.clear();
    FRescanListed.clear();
}

// Scans a folder after the set-up, in the sliced walk, so that a stop is not held up.
void TInotifyReader::ScanLater(int wd) {
    FSetupStack.push_back(wd);
    FSetupDone = false;
}

void TInotifyReader::RetryUnreached() {
    std::vector<TRetry> retries = std::exchange(FRetries, {});
    for (const TRetry& retry : retries) {
        if (!FTree.Contains(retry.Wd))
            continue;
        if (!retry.Name.empty()) {
            WatchNewChild(retry.Wd, retry.Name, retry.ReportEntries);
            continue;
        }
        std::vector<int> toScan;
        ScanFolder(retry.Wd, retry.ReportEntries, toScan);
        for (int child : toScan)
            retry.ReportEntries ? ScanSubTree(child, true) : ScanLater(child);
    }
    // What cannot be reached even now is gone for good (its removal is
    // queued), or lies beyond a renamed folder above the watched one.
    for (const TRetry& retry : std::exchange(FRetries, {}))
        if (FTree.Contains(retry.Wd) && retry.Name.empty())
            NotCovered(FTree.RelativePath(retry.Wd), ENOENT);
}

bool TInotifyReader::AccessChangedTime(int wd, const std::string& name) const {
    struct stat st;
    if (::lstat(JoinPath(FTree.FullPath(wd), name).c_str(), &st) != 0)
        return false;
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_atim.tv_sec <= AccessRecency;
}

void TInotifyReader::RemoveSubTree(int wd, bool removeWatches) {
    for (int removed : FTree.RemoveSubTree(wd)) {
        if (removeWatches)
            inotify_rm_watch(FInotify.Get(), removed);
        FScanned.erase(removed);
    }
}

void TInotifyReader::NotCovered(const std::string& relative, int error) {
    TWatchNotice notice;
    notice.Kind = TWatchNotice::TKind::NotCovered;
    notice.Folder = relative;
    notice.Error = error;
    FNotices.push_back(std::move(notice));
}

void TInotifyReader::Notice(TWatchNotice::TKind kind) {
    TWatchNotice notice;
    notice.Kind = kind;
    notice.FolderCount = FTree.Size();
    FNotices.push_back(std::move(notice));
}

} // namespace

std::string DescribeNotCovered(int error) {
    if (error == ENOSPC)
        return "the system's limit on watched folders is reached; folders after this one are "
               "not watched either (raise fs.inotify.max_user_watches)";
    return std::strerror(error);
}

std::unique_ptr<TDirChangeReader> TDirChangeReader::OpenNative(const std::string& directory,
                                                                TOpenFailure& failure) {
    const std::string path = directory.empty() ? "." : directory;
    // The folder is opened only to prove that it can be: a descriptor kept
    // open would hold its removal back, and the watch would not learn of it.
    TFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (folder.Get() < 0 || ::fstat(folder.Get(), &st) != 0) {
        failure.ErrorCode = WindowsErrorFor(errno, path);
        return nullptr;
    }
    TFd inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    TFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (inotify.Get() < 0 || wake.Get() < 0) {
        failure.ErrorCode = WindowsErrorFor(errno, path);
        return nullptr;
    }
    return std::make_unique<TInotifyReader>(path, st.st_dev, std::move(inotify), std::move(wake));
}

#endif
