#pragma once

// The Linux change reader, built on inotify, in three parts: the reader
// itself, which reads the kernel's queue and hands records on
// (DirChangesLinux.cpp); the translation of raw events into change records
// (InotifyTranslation.cpp); and the following of the folder tree, which
// keeps one watch per folder as folders come, go and move
// (InotifyTreeFollower.cpp).
#ifdef __linux__

#include "platform/DirChanges.h"
#include "platform/PendingChanges.h"
#include "platform/WatchTree.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace inotify {

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

inline uint32_t NameFilterFor(bool isDir) {
    return isDir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
}

// Which entries a listing reports as added: those whose inode changed at or
// after this time (nanoseconds of the real-time clock), all, or none.
using TSince = int64_t;

constexpr TSince ReportAll = std::numeric_limits<TSince>::min();

constexpr TSince ReportNone = std::numeric_limits<TSince>::max();

inline TSince Nanoseconds(const timespec& time) {
    return static_cast<TSince>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The clock the file system stamps inodes with: the last timer tick. A
// reading of it is never later than a stamp given afterwards.
inline TSince CoarseNow() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return Nanoseconds(now);
}

inline TSince Nanoseconds(const statx_timestamp& time) {
    return static_cast<TSince>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

constexpr unsigned ScannedFields = STATX_TYPE | STATX_INO | STATX_CTIME | STATX_MTIME | STATX_BTIME;

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
    bool ReportScanned(int wd, const std::string& name, TSince since, const struct statx& status,
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
    bool FNothingSelected = false;
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

// The steps from "/" down to path: each folder on the way with the name of
// the next part. A ".." ends the walk, for it may undo a symbolic link.
std::vector<std::pair<std::string, std::string>> StepsTo(const std::string& path);

// Whether a listed entry came into its folder at or after since.
bool CameSince(const struct statx& status, TSince since);

} // namespace inotify

#endif
