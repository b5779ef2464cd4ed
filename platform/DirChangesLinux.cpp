// Change notification on Linux, built on inotify.
//
// inotify watches single folders and reports raw events; this backend turns
// them into what a sub-tree watch on Windows reports. Three parts share the
// work: the reader here opens the folder, reads the kernel's queue into
// memory of its own, waits, and hands the records on in the shape of the
// Windows interface; the translator turns each raw event into records
// (InotifyTranslator); the follower keeps one inotify watch per folder of
// the tree (InotifyTreeFollower).
#ifdef __linux__

#include "platform/DirChanges.h"
#include "platform/InotifyTranslator.h"
#include "platform/InotifyTreeFollower.h"
#include "platform/PendingChanges.h"
#include "platform/WatchTree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

using namespace inotify;

// Beyond this much memory of records not yet handed on, the kernel queue is
// left to fill (and overflow, which is reported as lost changes).
constexpr size_t PendingMemoryLimit = 64u << 20;
constexpr auto BatchGathering = std::chrono::microseconds(500);

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

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char* current = ::getcwd(nullptr, 0);
    std::string absolute = current ? JoinPath(current, path) : path;
    std::free(current);
    return absolute;
}

class TInotifyReader final : public TDirChangeReader {
public:
    TInotifyReader(std::string directory, dev_t device, TFd inotify, TFd wake, TFd mounts)
        : FTree(std::move(directory)), FDevice(device), FInotify(std::move(inotify)), FWake(std::move(wake)),
          FMounts(std::move(mounts)), FFollower(FTree, FQueue, FInotify.Get(), FInterrupted),
          FTranslator(FTree, FQueue, FFollower) {}

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override;
    TWaitResult Wait(int timeoutMs) override;
    bool GetResult(uint32_t& bytesReturned) override;
    bool TakeNotice(TWatchNotice& notice) override { return FFollower.TakeNotice(notice); }
    void Interrupt() override;
    std::string FailureReason() const override;

private:
    bool StartWatching(bool watchSubTree, uint32_t notifyFilter);
    void GuardRootPath();
    bool DrainEvents();
    void QueueEmptied();
    bool WaitForNews(TClock::time_point deadline);
    bool CompleteIfReady();
    void Complete(uint32_t bytes, bool succeeded);

    TWatchTree FTree;
    TPendingChanges FQueue;
    dev_t FDevice;
    TFd FInotify;
    TFd FWake;   // an eventfd that Interrupt makes readable
    TFd FMounts; // the mount table, readable for poll when it changed
    std::atomic<bool> FInterrupted{false};
    TTreeFollower FFollower;
    TInotifyTranslator FTranslator;

    bool FStarted = false;
    int FStartError = 0;
    bool FNothingSelected = false;

    char* FBuffer = nullptr;
    uint32_t FLength = 0;
    bool FReadOutstanding = false;
    bool FCompleted = false;
    bool FSucceeded = false;
    uint32_t FBytes = 0;
};

bool TInotifyReader::ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) {
    FNothingSelected = notifyFilter == 0;
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
    const uint32_t mask = InotifyMaskFor(notifyFilter);
    // The watched folder itself may be reached through a symbolic link.
    int wd = inotify_add_watch(FInotify.Get(), FTree.RootPath().c_str(), mask & ~IN_DONT_FOLLOW);
    if (wd < 0) {
        FStartError = errno;
        return false;
    }
    FTree.AddRoot(wd);
    FTranslator.SetFilter(notifyFilter, watchSubTree);
    FTranslator.QueueEmptied(TClock::now(), CoarseNow());
    GuardRootPath();
    FFollower.Start(notifyFilter, mask, watchSubTree, FDevice);
    FStarted = true;
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
                FTranslator.AddGuard(wd, next);
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
        FTranslator.SettleLateMovesOut(TClock::now());
        if (!FTranslator.MovesPending())
            FFollower.RetryUnreached();
        if (CompleteIfReady())
            return TWaitResult::Signalled;
        if (!FFollower.SetupDone()) {
            FFollower.SetupStep(deadline);
            // Notices are handed on when a wait ends: end it now, not at its limit.
            if (TClock::now() >= deadline || FFollower.HasNotices())
                return CompleteIfReady() ? TWaitResult::Signalled : TWaitResult::TimedOut;
            continue;
        }
        FFollower.ReportFolderCount();
        if (FFollower.HasNotices() || TClock::now() >= deadline)
            return TWaitResult::TimedOut;
        if (!WaitForNews(deadline))
            return TWaitResult::Failed;
    }
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
            FTranslator.Translate({event->wd, event->mask, event->cookie, event->len ? event->name : ""});
            at += sizeof(inotify_event) + event->len;
        }
    }
    return true;
}

void TInotifyReader::QueueEmptied() {
    FTranslator.QueueEmptied(TClock::now(), CoarseNow());
    FFollower.QueueEmptied();
}

// Sleeps until an event, a change of the mount table, an interruption, the
// deadline or the moment a move-out stops waiting for its other half.
bool TInotifyReader::WaitForNews(TClock::time_point deadline) {
    if (auto moveDeadline = FTranslator.NextMoveDeadline())
        deadline = std::min(deadline, *moveDeadline);
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    pollfd descriptors[] = {{FInotify.Get(), POLLIN, 0}, {FWake.Get(), POLLIN, 0}, {FMounts.Get(), POLLPRI, 0}};
    int ready = ::poll(descriptors, FMounts.Get() >= 0 ? 3 : 2, static_cast<int>(std::max<long>(remaining.count(), 0)));
    if (ready < 0)
        return errno == EINTR;
    if (descriptors[2].revents & (POLLPRI | POLLERR))
        FFollower.FollowMountTable();
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

std::string TInotifyReader::FailureReason() const {
    switch (FTranslator.RootLoss()) {
    case TRootLoss::Removed:
        return "The folder was removed.";
    case TRootLoss::Moved:
        return "The folder was moved or renamed, or a folder on its path was: the path no longer leads to it.";
    case TRootLoss::Unmounted:
        return "The file system that holds the folder was unmounted.";
    case TRootLoss::None:
        break;
    }
    if (FNothingSelected)
        return "No kind of change is selected.";
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
    if (FTranslator.RootLoss() != TRootLoss::None && FQueue.Empty()) {
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
