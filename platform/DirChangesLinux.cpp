// Change notification on Linux, built on inotify: the reader, which opens
// the folder, reads the kernel's queue into memory of its own, waits, and
// hands the translated records on in the shape of the Windows interface.
//
// inotify watches single folders and reports raw events; the backend turns
// them into what a sub-tree watch on Windows reports (InotifyTranslation.cpp)
// and keeps one inotify watch per folder of the tree (InotifyTreeFollower.cpp).
#ifdef __linux__

#include "platform/InotifyReader.h"

#include "platform/Drives.h"

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

namespace inotify {

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
    if (!FCanonicalRoot.empty())
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

} // namespace inotify

using namespace inotify;

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
