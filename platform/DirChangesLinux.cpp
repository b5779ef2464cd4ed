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
#include "platform/Drives.h"
#include "platform/PendingChanges.h"
#include "platform/WatchTree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <ctime>
#include <limits>
#include <sys/sysmacros.h>
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
// Beyond this much memory of records not yet handed on, the kernel queue is
// left to fill (and overflow, which is reported as lost changes).
constexpr size_t PendingMemoryLimit = 64u << 20;
// How long a move-out waits for its move-in half once the kernel queue was
// found empty, and how many other events may come between the two.
constexpr int RenamePairWaitMs = 2;
constexpr uint64_t RenamePairEvents = 1024;
constexpr auto ProgressInterval = std::chrono::milliseconds(500);
constexpr auto BatchGathering = std::chrono::microseconds(500);
// An access that set the last-access time this many seconds ago or less
// changed it; an older time means the system left it alone.
constexpr int64_t AccessRecency = 2'000'000'000;
// Files whose last-access time is remembered, at most.
constexpr size_t AccessTimesKept = 100000;

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

// Which entries a listing reports as added: those whose inode changed at or
// after this time (nanoseconds of the real-time clock), all, or none.
using TSince = int64_t;
constexpr TSince ReportAll = std::numeric_limits<TSince>::min();
constexpr TSince ReportNone = std::numeric_limits<TSince>::max();

TSince Nanoseconds(const timespec& time) {
    return static_cast<TSince>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The clock the file system stamps inodes with: the last timer tick. A
// reading of it is never later than a stamp given afterwards.
TSince CoarseNow() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return Nanoseconds(now);
}

// The steps from "/" down to path: each folder on the way with the name of
// the next part. A ".." ends the walk, for it may undo a symbolic link.
std::vector<std::pair<std::string, std::string>> StepsTo(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> steps;
    std::string folder = "/";
    for (size_t at = 0; at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            break;
        steps.emplace_back(folder, part);
        folder = JoinPath(folder, part);
    }
    return steps;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char* current = ::getcwd(nullptr, 0);
    std::string absolute = current ? JoinPath(current, path) : path;
    std::free(current);
    return absolute;
}

std::string CanonicalPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    std::string canonical = resolved ? resolved : "";
    std::free(resolved);
    return canonical;
}

// Why the watched folder can no longer be followed.
enum class TRootLoss { None, Removed, Moved, Unmounted };

struct TScanJob {
    int Wd;
    TSince Since;
};

// A folder the watch knows of but could not yet watch or list, because the
// path it had when its event was queued no longer leads to it (it or a
// folder above was renamed right after). It is tried again once every
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

// A move out of a folder, waiting for its move-in half.
struct TMoveFrom {
    int Wd;
    std::string Name;
    bool IsDir;
    TPendingChanges::TSlot Slot;
    uint64_t EventsBefore; // events translated before it
    std::optional<TClock::time_point> Deadline; // set once the kernel queue was found empty
};

class TInotifyReader final : public TDirChangeReader {
public:
    TInotifyReader(std::string directory, dev_t device, TFd inotify, TFd wake, TFd mounts)
        : FTree(std::move(directory)), FDevice(device), FInotify(std::move(inotify)), FWake(std::move(wake)),
          FMounts(std::move(mounts)) {}

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override;
    TWaitResult Wait(int timeoutMs) override;
    bool GetResult(uint32_t& bytesReturned) override;
    bool TakeNotice(TWatchNotice& notice) override;
    void Interrupt() override;
    std::string FailureReason() const override;

private:
    bool StartWatching(bool watchSubTree, uint32_t notifyFilter);
    void GuardRootPath();
    bool CompleteIfReady();
    void Complete(uint32_t bytes, bool succeeded);
    bool WaitForNews(TClock::time_point deadline);

    bool DrainEvents();
    void QueueEmptied();
    bool InotifyReadable(int timeoutMs);
    void Translate(const inotify_event& event);
    bool TranslateGuardEvent(const inotify_event& event);
    void LoseRoot(TRootLoss loss);
    void OnAdded(int wd, const std::string& name, bool isDir, TSince since);
    void OnRemoved(int wd, const std::string& name, bool isDir);
    void OnMovedOut(int wd, const std::string& name, bool isDir, uint32_t cookie);
    void OnRenamed(const TMoveFrom& from, int toWd, const std::string& toName);
    void SettleAsMovedOut(const TMoveFrom& from);
    void SettleLateMovesOut(bool all);
    void SettleMovesOutAbove(int wd);
    std::optional<TClock::time_point> NextMoveDeadline() const;
    void ParentModified(int wd);
    void Emit(uint32_t action, std::string name);
    bool DuplicateOfScan(int wd, const std::string& name);
    void RememberAddedBeforeScan(int wd, const std::string& name);

    TWatched WatchChild(int parentWd, const std::string& parentPath, const std::string& name, int parentFd = -1);
    bool OnOtherMount(const struct statx& status) const;
    void WatchNewChild(int parentWd, const std::string& name, TSince since);
    void ScanFolder(const TScanJob& job, std::vector<TScanJob>& toScan);
    bool ReportScanned(int wd, const std::string& name, TSince since, const struct stat& status,
                       const std::unordered_map<std::string, ino_t>& addedMeanwhile);
    void ScanSubTree(int wd, TSince since);
    void ScanLater(int wd, TSince since);
    void RetryUnreached();
    void SetupStep(TClock::time_point deadline);
    void StartRescan();
    void EndRescan();
    void FollowMountTable();
    std::optional<int> FolderAt(const std::string& relative) const;
    bool AccessChangedTime(int wd, const std::string& name);
    void RemoveSubTree(int wd, bool removeWatches);
    void NotCovered(const std::string& relative, int error);
    void Notice(TWatchNotice::TKind kind);
    void ReportFolderCount();

    TWatchTree FTree;
    dev_t FDevice;
    uint64_t FMountId = 0; // of the watched folder; 0 where the system does not tell
    std::string FCanonicalRoot;
    TFd FInotify;
    TFd FWake;   // an eventfd that Interrupt makes readable
    TFd FMounts; // the mount table, readable for poll when it changed
    std::atomic<bool> FInterrupted{false};

    bool FStarted = false;
    bool FSubTree = true;
    uint32_t FFilter = 0;
    uint32_t FMask = 0;
    TRootLoss FRootLoss = TRootLoss::None;
    int FStartError = 0;
    bool FLimitReported = false;

    char* FBuffer = nullptr;
    uint32_t FLength = 0;
    bool FReadOutstanding = false;
    bool FCompleted = false;
    bool FSucceeded = false;
    uint32_t FBytes = 0;

    TPendingChanges FQueue;
    std::deque<TWatchNotice> FNotices;
    uint64_t FEventCount = 0;
    std::unordered_map<uint32_t, TMoveFrom> FMovesOut; // by cookie
    // The time the kernel queue was last found empty: every event read
    // since happened after it.
    TSince FLastEmpty = 0;
    // Folders above the watched one (and the one the path names, if a link),
    // each with the names of the next parts of the watched path.
    std::unordered_map<int, std::vector<std::string>> FGuards;
    // Entries that the scan of a new folder reported, by folder and name,
    // with their inode: the inotify events for the same entries, still
    // queued behind the scan, must not report them again.
    std::unordered_map<int, std::unordered_map<std::string, ino_t>> FScanned;
    // Folders moved in and waiting for their listing, with the entries their
    // events reported meanwhile, which the listing must not report again.
    std::unordered_map<int, std::unordered_map<std::string, ino_t>> FAwaitingScan;
    // Last-access times seen, by path: an access is reported when it moved them.
    std::unordered_map<std::string, TSince> FAccessTimes;
    std::vector<std::string> FMountPoints; // below the watched folder, relative to it
    std::unordered_set<std::string> FMountsReported;

    std::vector<TRetry> FRetries;

    std::vector<TScanJob> FSetupStack;
    bool FSetupDone = false;
    size_t FCountReported = 0;
    // A walk after lost changes: the folders it found (kept) and listed.
    bool FRescanning = false;
    std::unordered_set<int> FRescanSeen;
    std::unordered_set<int> FRescanListed;
    TClock::time_point FLastProgress;
};

bool TInotifyReader::ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) {
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
        FStartError = errno;
        return false;
    }
    FTree.AddRoot(wd);
    struct statx status;
    if (::statx(AT_FDCWD, FTree.RootPath().c_str(), 0, STATX_MNT_ID, &status) == 0 &&
        (status.stx_mask & STATX_MNT_ID))
        FMountId = status.stx_mnt_id;
    GuardRootPath();
    FCanonicalRoot = CanonicalPath(FTree.RootPath());
    FMountPoints = MountPointsBelow(ReadMountTable(), FCanonicalRoot);
    FStarted = true;
    FLastEmpty = CoarseNow();
    FLastProgress = TClock::now();
    if (FSubTree)
        FSetupStack.push_back({wd, ReportNone});
    else
        Notice(TWatchNotice::TKind::SetupDone);
    FSetupDone = !FSubTree;
    return true;
}

// Watches the folders on the way to the watched one, both along the path as
// given and along the path without links, for the names of the next parts:
// when one of them is renamed, removed or replaced, the watched path leads
// elsewhere, and the watch must end rather than report paths that lie.
void TInotifyReader::GuardRootPath() {
    const std::string given = AbsolutePath(FTree.RootPath());
    constexpr uint32_t guardMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
    for (const std::string& path : {given, CanonicalPath(given)})
        for (const auto& [folder, next] : StepsTo(path)) {
            int wd = inotify_add_watch(FInotify.Get(), folder.c_str(), guardMask);
            if (wd >= 0 && wd != FTree.Root())
                FGuards[wd].push_back(next);
        }
}

TWaitResult TInotifyReader::Wait(int timeoutMs) {
    if (!FReadOutstanding)
        return TWaitResult::Failed;
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (FInterrupted.load(std::memory_order_acquire))
            return TWaitResult::TimedOut;
        if (FCompleted)
            return TWaitResult::Signalled;
        if (!DrainEvents())
            return TWaitResult::Failed;
        SettleLateMovesOut(false);
        if (FMovesOut.empty())
            RetryUnreached();
        if (CompleteIfReady())
            return TWaitResult::Signalled;
        if (!FSetupDone) {
            SetupStep(deadline);
            // Notices are handed on when a wait ends: end it now, not at its limit.
            if (TClock::now() >= deadline || !FNotices.empty())
                return CompleteIfReady() ? TWaitResult::Signalled : TWaitResult::TimedOut;
            continue;
        }
        ReportFolderCount();
        if (!FNotices.empty() || TClock::now() >= deadline)
            return TWaitResult::TimedOut;
        if (!WaitForNews(deadline))
            return TWaitResult::Failed;
    }
}

// Sleeps until an event, a change of the mount table, an interruption, the
// deadline or the moment a move-out stops waiting for its other half.
bool TInotifyReader::WaitForNews(TClock::time_point deadline) {
    if (auto moveDeadline = NextMoveDeadline())
        deadline = std::min(deadline, *moveDeadline);
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    pollfd descriptors[] = {{FInotify.Get(), POLLIN, 0}, {FWake.Get(), POLLIN, 0}, {FMounts.Get(), POLLPRI, 0}};
    int ready = ::poll(descriptors, FMounts.Get() >= 0 ? 3 : 2, static_cast<int>(std::max<long>(remaining.count(), 0)));
    if (ready < 0)
        return errno == EINTR;
    if (descriptors[2].revents & (POLLPRI | POLLERR))
        FollowMountTable();
    // Woken by the first event of what is often a burst: let a few more
    // gather, so that a burst costs a wake-up per batch, not per change.
    if (descriptors[0].revents & POLLIN)
        std::this_thread::sleep_for(BatchGathering);
    return true;
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

std::string TInotifyReader::FailureReason() const {
    switch (FRootLoss) {
    case TRootLoss::Removed:
        return "The folder was removed.";
    case TRootLoss::Moved:
        return "The folder was moved or renamed, or a folder on its path was: the path no longer leads to it.";
    case TRootLoss::Unmounted:
        return "The file system that holds the folder was unmounted.";
    case TRootLoss::None:
        break;
    }
    if (FStartError != 0)
        return DescribeNotCovered(FStartError) + ".";
    return {};
}

bool TInotifyReader::CompleteIfReady() {
    if (FQueue.FrontReady()) {
        if (FQueue.FrontIsLoss()) {
            FQueue.PopLoss();
            Complete(0, true);
        } else {
            Complete(FQueue.Pack(FBuffer, FLength), true);
        }
        return true;
    }
    if (FRootLoss != TRootLoss::None && FQueue.Empty()) {
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

bool TInotifyReader::InotifyReadable(int timeoutMs) {
    pollfd descriptor{FInotify.Get(), POLLIN, 0};
    return ::poll(&descriptor, 1, timeoutMs) > 0;
}

// Reads every queued inotify event and translates it, into memory of the
// reader's own, so that the kernel's queue never overflows while the main
// thread is busy; only beyond PendingMemoryLimit is it left to fill.
bool TInotifyReader::DrainEvents() {
    alignas(inotify_event) char events[64 * 1024];
    while (FQueue.Bytes() < PendingMemoryLimit) {
        ssize_t length = ::read(FInotify.Get(), events, sizeof events);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno != EAGAIN)
            return false;
        if (length <= 0) {
            QueueEmptied();
            return true;
        }
        for (char* at = events; at < events + length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            Translate(*event);
            at += sizeof(inotify_event) + event->len;
        }
    }
    return true;
}

void TInotifyReader::QueueEmptied() {
    FLastEmpty = CoarseNow();
    // Every event queued before the scans of new folders is now translated,
    // so their entries cannot be reported twice any more.
    FScanned.clear();
    // The two halves of a move are queued together: one whose other half is
    // not here now waits only a moment longer.
    const auto deadline = TClock::now() + std::chrono::milliseconds(RenamePairWaitMs);
    for (auto& [cookie, from] : FMovesOut)
        if (!from.Deadline)
            from.Deadline = deadline;
}

void TInotifyReader::Translate(const inotify_event& event) {
    ++FEventCount;
    if (event.mask & IN_Q_OVERFLOW) {
        SettleLateMovesOut(true);
        FQueue.AddLoss();
        StartRescan();
        return;
    }
    if (TranslateGuardEvent(event))
        return;
    const bool isDir = event.mask & IN_ISDIR;
    const std::string name = event.len ? event.name : "";
    if (event.mask & IN_IGNORED) {
        if (event.wd == FTree.Root())
            LoseRoot(TRootLoss::Removed);
        else if (FTree.Contains(event.wd))
            RemoveSubTree(event.wd, false);
        return;
    }
    if (event.wd == FTree.Root() && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        LoseRoot(event.mask & IN_UNMOUNT     ? TRootLoss::Unmounted
                 : event.mask & IN_MOVE_SELF ? TRootLoss::Moved
                                             : TRootLoss::Removed);
        return;
    }
    if (name.empty() || !FTree.Contains(event.wd))
        return; // a sub-folder's own events come with its name from its parent
    SettleMovesOutAbove(event.wd);
    if (!FTree.Contains(event.wd))
        return;
    if (event.mask & IN_CREATE)
        OnAdded(event.wd, name, isDir, ReportAll);
    if (event.mask & IN_MOVED_TO) {
        auto from = FMovesOut.find(event.cookie);
        if (from != FMovesOut.end() && FTree.Contains(from->second.Wd)) {
            TMoveFrom moved = std::move(from->second);
            FMovesOut.erase(from);
            OnRenamed(moved, event.wd, name);
        } else {
            OnAdded(event.wd, name, isDir, FLastEmpty);
        }
    }
    if (event.mask & IN_DELETE)
        OnRemoved(event.wd, name, isDir);
    if (event.mask & IN_MOVED_FROM)
        OnMovedOut(event.wd, name, isDir, event.cookie);
    // Reading a folder's entries counts as an access to it; the watch reads
    // folders itself while it sets up, and any listing would flood the list,
    // so only accesses to files are reported, and only those that changed
    // the file's last-access time (most reads leave it alone).
    const bool accessReported = (event.mask & IN_ACCESS) && !isDir && (FFilter & FILE_NOTIFY_CHANGE_LAST_ACCESS) &&
                                AccessChangedTime(event.wd, name);
    const bool modified = ((event.mask & IN_MODIFY) && (FFilter & ContentChanges)) ||
                          ((event.mask & IN_ATTRIB) && (FFilter & MetadataChanges)) || accessReported;
    if (modified)
        Emit(FILE_ACTION_MODIFIED, FTree.RelativeName(event.wd, name));
}

// An event on a folder on the way to the watched one; true when it is only that.
bool TInotifyReader::TranslateGuardEvent(const inotify_event& event) {
    auto guard = FGuards.find(event.wd);
    if (guard == FGuards.end())
        return false;
    const bool onPath =
        event.len && std::find(guard->second.begin(), guard->second.end(), event.name) != guard->second.end();
    if (event.mask & IN_UNMOUNT)
        LoseRoot(TRootLoss::Unmounted);
    else if (onPath && (event.mask & IN_DELETE))
        LoseRoot(TRootLoss::Removed);
    else if ((onPath && (event.mask & (IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO))) ||
             (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)))
        LoseRoot(TRootLoss::Moved);
    if (event.mask & IN_IGNORED)
        FGuards.erase(guard);
    return !FTree.Contains(event.wd);
}

// The first cause found is the one the user is told.
void TInotifyReader::LoseRoot(TRootLoss loss) {
    if (FRootLoss == TRootLoss::None)
        FRootLoss = loss;
    SettleLateMovesOut(true);
}

void TInotifyReader::OnAdded(int wd, const std::string& name, bool isDir, TSince since) {
    if (DuplicateOfScan(wd, name))
        return;
    RememberAddedBeforeScan(wd, name);
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_ADDED, FTree.RelativeName(wd, name));
    ParentModified(wd);
    if (isDir && FSubTree)
        WatchNewChild(wd, name, since);
}

// A folder that came into the tree. A brand-new one is listed at once, its
// entries reported as added, before later events are translated, so that
// nothing created in it before its watch existed is missed or doubled. One
// moved in is watched at once and listed later, in slices like the first
// set-up, for it may be large and a stop must not wait for it; its listing
// reports what was added to it since it came.
void TInotifyReader::WatchNewChild(int parentWd, const std::string& name, TSince since) {
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

void TInotifyReader::OnRemoved(int wd, const std::string& name, bool isDir) {
    if (auto folder = FScanned.find(wd); folder != FScanned.end())
        folder->second.erase(name);
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_REMOVED, FTree.RelativeName(wd, name));
    ParentModified(wd);
    // The folder may live on, held open elsewhere, but no name leads to it.
    if (isDir)
        if (auto child = FTree.FindChild(wd, name))
            RemoveSubTree(*child, true);
}

// The record takes its place in the order now and is settled when the
// move-in half comes, or when it is clear that none will.
void TInotifyReader::OnMovedOut(int wd, const std::string& name, bool isDir, uint32_t cookie) {
    if (auto folder = FScanned.find(wd); folder != FScanned.end())
        folder->second.erase(name);
    FMovesOut[cookie] = TMoveFrom{wd, name, isDir, FQueue.Hold(), FEventCount, std::nullopt};
    ParentModified(wd);
}

void TInotifyReader::OnRenamed(const TMoveFrom& from, int toWd, const std::string& toName) {
    if (FFilter & NameFilterFor(from.IsDir))
        FQueue.SettleAsRename(from.Slot, FTree.RelativeName(from.Wd, from.Name), FTree.RelativeName(toWd, toName));
    else
        FQueue.Settle(from.Slot, 0, {});
    if (toWd != from.Wd)
        ParentModified(toWd);
    if (!from.IsDir || !FSubTree)
        return;
    if (auto child = FTree.FindChild(from.Wd, from.Name)) {
        if (auto replaced = FTree.FindChild(toWd, toName); replaced && *replaced != *child)
            RemoveSubTree(*replaced, true);
        // During a walk after lost changes, a folder moved to where the walk
        // has been must be listed again, or what it holds stays unwatched.
        if (FTree.Move(*child, toWd, toName) && FRescanning && FRescanSeen.insert(*child).second &&
            FRescanListed.insert(*child).second)
            FSetupStack.push_back({*child, ReportNone});
        return;
    }
    // A folder renamed before it could be watched: a brand-new one still
    // has its entries reported.
    TSince since = FLastEmpty;
    auto retry = std::find_if(FRetries.begin(), FRetries.end(),
                              [&](const TRetry& r) { return r.Wd == from.Wd && r.Name == from.Name; });
    if (retry != FRetries.end()) {
        since = retry->Since;
        FRetries.erase(retry);
    }
    WatchNewChild(toWd, toName, since);
}

// A move-out whose move-in half never came: the entry left the tree.
void TInotifyReader::SettleAsMovedOut(const TMoveFrom& from) {
    if (!FTree.Contains(from.Wd)) {
        FQueue.Settle(from.Slot, 0, {});
        return;
    }
    const bool reported = FFilter & NameFilterFor(from.IsDir);
    FQueue.Settle(from.Slot, reported ? FILE_ACTION_REMOVED : 0, FTree.RelativeName(from.Wd, from.Name));
    if (from.IsDir)
        if (auto child = FTree.FindChild(from.Wd, from.Name))
            RemoveSubTree(*child, true);
}

// Move-outs whose other half had its time and did not come (all of them,
// when asked: the rest of the stream is lost or ends).
void TInotifyReader::SettleLateMovesOut(bool all) {
    const auto now = TClock::now();
    for (auto from = FMovesOut.begin(); from != FMovesOut.end();) {
        const bool late = all || (from->second.Deadline && *from->second.Deadline <= now) ||
                          FEventCount - from->second.EventsBefore > RenamePairEvents;
        if (!late) {
            ++from;
            continue;
        }
        SettleAsMovedOut(from->second);
        from = FMovesOut.erase(from);
    }
}

// A folder's move-in half comes right behind its move-out half; an event
// from inside the folder coming first shows that it left the tree.
void TInotifyReader::SettleMovesOutAbove(int wd) {
    for (auto from = FMovesOut.begin(); from != FMovesOut.end();) {
        const auto folder = from->second.IsDir ? FTree.FindChild(from->second.Wd, from->second.Name) : std::nullopt;
        if (!folder || !FTree.IsWithin(wd, *folder)) {
            ++from;
            continue;
        }
        SettleAsMovedOut(from->second);
        from = FMovesOut.erase(from);
    }
}

std::optional<TClock::time_point> TInotifyReader::NextMoveDeadline() const {
    std::optional<TClock::time_point> next;
    for (const auto& [cookie, from] : FMovesOut)
        if (from.Deadline && (!next || *from.Deadline < *next))
            next = from.Deadline;
    return next;
}

// A change of a sub-folder's entries changes its last-write time, which is
// reported for the sub-folder (never for the watched folder itself).
void TInotifyReader::ParentModified(int wd) {
    if (wd != FTree.Root() && (FFilter & FILE_NOTIFY_CHANGE_LAST_WRITE))
        Emit(FILE_ACTION_MODIFIED, FTree.RelativePath(wd));
}

void TInotifyReader::Emit(uint32_t action, std::string name) {
    FQueue.Add(action, std::move(name));
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

void TInotifyReader::RememberAddedBeforeScan(int wd, const std::string& name) {
    auto folder = FAwaitingScan.find(wd);
    struct stat st;
    if (folder != FAwaitingScan.end() && ::lstat(JoinPath(FTree.FullPath(wd), name).c_str(), &st) == 0)
        folder->second[name] = st.st_ino;
}

// Puts a watch on a sub-folder. Only folders of the watched folder's own
// mount are watched, and symbolic links are never followed. A folder that
// has a watch already was moved here by a move not yet translated, or lost
// in an overflow: it takes its new place, unless that would put it below
// itself (a folder reached twice is watched once). parentFd, when given, is
// the parent folder open for listing, which spares the system a walk along
// the whole path for the check.
TWatched TInotifyReader::WatchChild(int parentWd, const std::string& parentPath, const std::string& name,
                                    int parentFd) {
    const std::string path = JoinPath(parentPath, name);
    struct statx status;
    const bool found = parentFd >= 0
                           ? ::statx(parentFd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &status) == 0
                           : ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &status) == 0;
    if (!found) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {TChild::Gone};
        NotCovered(FTree.RelativeName(parentWd, name), errno);
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
        if (!FTree.IsAt(wd, parentWd, name))
            FTree.Move(wd, parentWd, name);
        return {TChild::Known, wd};
    }
    // The name led to another folder before: that one is gone.
    if (auto replaced = FTree.FindChild(parentWd, name))
        RemoveSubTree(*replaced, true);
    FTree.Add(wd, parentWd, name);
    return {TChild::New, wd};
}

bool TInotifyReader::OnOtherMount(const struct statx& status) const {
    if (FMountId != 0 && (status.stx_mask & STATX_MNT_ID))
        return status.stx_mnt_id != FMountId;
    return makedev(status.stx_dev_major, status.stx_dev_minor) != FDevice;
}

// Lists one folder: watches its sub-folders (queuing the new ones in toScan)
// and reports the entries the job asks for as added.
void TInotifyReader::ScanFolder(const TScanJob& job, std::vector<TScanJob>& toScan) {
    const std::string path = FTree.FullPath(job.Wd);
    DIR* folder = ::opendir(path.c_str());
    if (!folder) {
        if (errno == ENOENT || errno == ENOTDIR)
            FRetries.push_back({job.Wd, {}, job.Since});
        else
            NotCovered(FTree.RelativePath(job.Wd), errno);
        return;
    }
    std::unordered_map<std::string, ino_t> addedMeanwhile;
    if (auto awaiting = FAwaitingScan.find(job.Wd); awaiting != FAwaitingScan.end()) {
        addedMeanwhile = std::move(awaiting->second);
        FAwaitingScan.erase(awaiting);
    }
    while (dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool isDir = entry->d_type == DT_DIR;
        if (job.Since != ReportNone || entry->d_type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(dirfd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            isDir = S_ISDIR(st.st_mode);
            if (!ReportScanned(job.Wd, name, job.Since, st, addedMeanwhile))
                continue; // reported by its own event already
        }
        if (!isDir)
            continue;
        TWatched child = WatchChild(job.Wd, path, name, dirfd(folder));
        const bool relist = FRescanning && child.State == TChild::Known && FRescanListed.insert(child.Wd).second;
        if (child.State == TChild::New || relist)
            toScan.push_back({child.Wd, child.State == TChild::New ? job.Since : ReportNone});
        if (child.State == TChild::New && job.Since != ReportNone && job.Since != ReportAll)
            FAwaitingScan.try_emplace(child.Wd);
    }
    ::closedir(folder);
}

// Reports a listed entry as added when the listing asks for it; false when
// the entry's own event reported it already.
bool TInotifyReader::ReportScanned(int wd, const std::string& name, TSince since, const struct stat& status,
                                   const std::unordered_map<std::string, ino_t>& addedMeanwhile) {
    if (auto added = addedMeanwhile.find(name); added != addedMeanwhile.end() && added->second == status.st_ino)
        return false;
    if (Nanoseconds(status.st_ctim) < since)
        return true;
    FScanned[wd][name] = status.st_ino;
    if (FFilter & NameFilterFor(S_ISDIR(status.st_mode)))
        Emit(FILE_ACTION_ADDED, FTree.RelativeName(wd, name));
    return true;
}

void TInotifyReader::ScanSubTree(int wd, TSince since) {
    std::vector<TScanJob> toScan{{wd, since}};
    while (!toScan.empty() && !FInterrupted.load(std::memory_order_acquire)) {
        TScanJob next = toScan.back();
        toScan.pop_back();
        if (FTree.Contains(next.Wd))
            ScanFolder(next, toScan);
    }
}

// Sets up the watches of the tree in slices, between which the events of the
// folders watched so far are translated, so the kernel queue keeps flowing
// and a stop request is seen within one wait.
void TInotifyReader::SetupStep(TClock::time_point deadline) {
    for (unsigned scanned = 1; !FSetupStack.empty(); ++scanned) {
        TScanJob job = FSetupStack.back();
        FSetupStack.pop_back();
        if (FTree.Contains(job.Wd))
            ScanFolder(job, FSetupStack);
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
    FSetupStack.assign(1, {FTree.Root(), ReportNone});
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
void TInotifyReader::ScanLater(int wd, TSince since) {
    if (since != ReportNone)
        FAwaitingScan.try_emplace(wd);
    FSetupStack.push_back({wd, since});
    FSetupDone = false;
}

void TInotifyReader::RetryUnreached() {
    std::vector<TRetry> retries = std::exchange(FRetries, {});
    for (const TRetry& retry : retries) {
        if (!FTree.Contains(retry.Wd))
            continue;
        if (!retry.Name.empty()) {
            WatchNewChild(retry.Wd, retry.Name, retry.Since);
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

// A file system mounted inside the tree hides the folder below it, which is
// no longer covered; one unmounted uncovers the folder, which is watched.
void TInotifyReader::FollowMountTable() {
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

std::optional<int> TInotifyReader::FolderAt(const std::string& relative) const {
    int wd = FTree.Root();
    for (const auto& [folder, part] : StepsTo(relative)) {
        auto child = FTree.FindChild(wd, part);
        if (!child)
            return std::nullopt;
        wd = *child;
    }
    return wd;
}

// An access is reported when it moved the file's last-access time since the
// last one seen; for a file not seen before, when that time is recent.
bool TInotifyReader::AccessChangedTime(int wd, const std::string& name) {
    const std::string path = JoinPath(FTree.FullPath(wd), name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    const TSince accessed = Nanoseconds(st.st_atim);
    if (FAccessTimes.size() >= AccessTimesKept)
        FAccessTimes.clear();
    auto [seen, first] = FAccessTimes.try_emplace(path, accessed);
    if (first)
        return CoarseNow() - accessed <= AccessRecency;
    if (seen->second == accessed)
        return false;
    seen->second = accessed;
    return true;
}

void TInotifyReader::RemoveSubTree(int wd, bool removeWatches) {
    for (int removed : FTree.RemoveSubTree(wd)) {
        if (removeWatches)
            inotify_rm_watch(FInotify.Get(), removed);
        FScanned.erase(removed);
        FAwaitingScan.erase(removed);
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
    FCountReported = FTree.Size();
    FNotices.push_back(std::move(notice));
}

// Once set up, the count of watched folders is told again when it changed,
// at most twice a second.
void TInotifyReader::ReportFolderCount() {
    if (FTree.Size() == FCountReported || TClock::now() - FLastProgress < ProgressInterval)
        return;
    FLastProgress = TClock::now();
    Notice(TWatchNotice::TKind::SetupDone);
}

} // namespace

std::string DescribeNotCovered(int error) {
    if (error == OtherFileSystem)
        return "another file system";
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
    // Without it, mounts inside the tree are still found by the walk; only
    // their coming and going later goes unseen.
    TFd mounts(::open("/proc/self/mounts", O_RDONLY | O_CLOEXEC));
    return std::make_unique<TInotifyReader>(path, st.st_dev, std::move(inotify), std::move(wake), std::move(mounts));
}

#endif
