#ifdef __linux__

#include "platform/PollingReader.h"

#include "platform/TreePaths.h"
#include "platform/WatchTree.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {
// File systems whose changes made elsewhere the kernel never hears of, by
// their magic numbers (statfs): NFS, SMB (smbfs, cifs, smb2), AFS, Ceph,
// 9p; and every FUSE file system (sshfs among them), whose server makes
// changes the kernel is not told of.
struct TPolledType {
    long Magic;
    const char* Kind;
};
constexpr TPolledType PolledTypes[] = {
    {0x6969, "network file system (NFS)"},       {0x517B, "network file system (SMB)"},
    {static_cast<long>(0xFF534D42), "network file system (CIFS)"}, {static_cast<long>(0xFE534D42), "network file system (SMB2)"},
    {0x5346414F, "network file system (AFS)"},   {0x00C36400, "network file system (Ceph)"},
    {0x01021997, "network file system (9p)"},    {0x65735546, "FUSE file system"},
};

constexpr auto LeastInterval = std::chrono::seconds(2);
constexpr auto MostInterval = std::chrono::seconds(60);
// A walk takes at most this share of the time between walks.
constexpr int WalkShareDivisor = 20;

// Errors that say the file system does not answer now, not that an entry is gone.
bool MeansUnreachable(int error) {
    switch (error) {
    case EIO: case ENOTCONN: case ESTALE: case EHOSTDOWN: case EHOSTUNREACH: case ETIMEDOUT:
    case ENETDOWN: case ENETUNREACH: case ECONNABORTED: case ECONNRESET: case ECONNREFUSED: case ENODEV:
        return true;
    default:
        return false;
    }
}

TEntryState StateOf(const struct stat& st) {
    return {st.st_ino, st.st_mode, st.st_uid, st.st_gid, S_ISDIR(st.st_mode) ? 0 : st.st_size,
            st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

bool IsFolder(const TEntryState& state) {
    return S_ISDIR(state.Mode);
}

uint32_t NameFilterOf(const TEntryState& state) {
    return IsFolder(state) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
}

bool SameEntry(const TEntryState& gone, const TEntryState& come) {
    return gone.Inode == come.Inode && (gone.Mode & S_IFMT) == (come.Mode & S_IFMT) &&
           (IsFolder(gone) || (gone.Size == come.Size && gone.Modified == come.Modified));
}

// Whether the entry changed in a way the filter asks for.
bool Changed(const TEntryState& before, const TEntryState& after, uint32_t filter) {
    const bool written = before.Size != after.Size || before.Modified != after.Modified;
    const bool attributes = before.Mode != after.Mode || before.Owner != after.Owner || before.Group != after.Group;
    return (written && (filter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE))) ||
           (attributes && (filter & (FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY)));
}

// The new path of a path below a renamed folder, if one of its folders was renamed.
std::optional<std::string> MovedWith(const std::string& path, const std::map<std::string, std::string>& renamed) {
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1)) {
        if (auto folder = renamed.find(path.substr(0, slash)); folder != renamed.end())
            return folder->second + path.substr(slash);
        if (slash == 0)
            break;
    }
    return std::nullopt;
}
} // namespace

std::optional<std::string> PolledFileSystemKind(const std::string& path) {
    struct statfs status;
    if (::statfs(path.c_str(), &status) != 0)
        return std::nullopt;
    for (const TPolledType& type : PolledTypes)
        if (static_cast<long>(static_cast<uint32_t>(status.f_type)) == static_cast<long>(static_cast<uint32_t>(type.Magic)))
            return type.Kind;
    return std::nullopt;
}

void CompareTrees(const TTreeState& before, const TTreeState& after, uint32_t filter, TPendingChanges& queue) {
    std::map<std::string, TEntryState> gone, come;
    std::unordered_multimap<ino_t, std::string> comeByInode;
    for (const auto& [path, state] : before)
        if (!after.count(path))
            gone.emplace(path, state);
    for (const auto& [path, state] : after)
        if (!before.count(path)) {
            come.emplace(path, state);
            comeByInode.emplace(state.Inode, path);
        }
    const auto report = [&](uint32_t action, const std::string& path, const TEntryState& state, uint32_t kinds) {
        if (filter & kinds)
            queue.Add(ActionOnEntry(action, IsFolder(state)), path);
    };
    std::map<std::string, std::string> renamed; // folders: old path to new
    std::vector<std::pair<std::string, TEntryState>> removed;
    for (const auto& [path, state] : gone) { // a folder before what it held
        if (auto moved = MovedWith(path, renamed)) {
            if (auto there = come.find(*moved); there != come.end() && there->second.Inode == state.Inode) {
                if (Changed(state, there->second, filter))
                    report(FILE_ACTION_MODIFIED, *moved, there->second, ~0u);
                if (IsFolder(state))
                    renamed.emplace(path, *moved);
                come.erase(there);
                continue;
            }
        }
        const auto [first, last] = comeByInode.equal_range(state.Inode);
        const auto match = std::find_if(first, last, [&](const auto& candidate) {
            const auto there = come.find(candidate.second);
            return there != come.end() && SameEntry(state, there->second);
        });
        if (match == last) {
            removed.emplace_back(path, state);
            continue;
        }
        const std::string to = match->second;
        if (filter & NameFilterOf(state)) {
            const TPendingChanges::TSlot slot = queue.Hold();
            queue.SettleAsRename(slot, path, to, IsFolder(state));
        }
        if (IsFolder(state))
            renamed.emplace(path, to);
        come.erase(to);
    }
    for (auto entry = removed.rbegin(); entry != removed.rend(); ++entry)
        report(FILE_ACTION_REMOVED, entry->first, entry->second, NameFilterOf(entry->second));
    for (const auto& [path, state] : come)
        report(FILE_ACTION_ADDED, path, state, NameFilterOf(state));
    std::map<std::string, const TEntryState*> modified;
    for (const auto& [path, state] : after)
        if (auto old = before.find(path); old != before.end() && Changed(old->second, state, filter))
            modified.emplace(path, &state);
    for (const auto& [path, state] : modified)
        report(FILE_ACTION_MODIFIED, path, *state, ~0u);
}

TPollingReader::TPollingReader(std::string directory, std::string kind)
    : FDirectory(std::move(directory)), FKind(std::move(kind)), FWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TPollingReader::~TPollingReader() {
    if (FWake >= 0)
        ::close(FWake);
}

bool TPollingReader::ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) {
    if (notifyFilter == 0 || FReadOutstanding) {
        FFailure = notifyFilter == 0 ? "No kind of change is selected." : "";
        return false;
    }
    if (!FStarted) {
        FFilter = notifyFilter;
        FSubTree = watchSubTree;
        struct stat root;
        struct statfs type;
        if (::stat(FDirectory.c_str(), &root) != 0 || ::statfs(FDirectory.c_str(), &type) != 0) {
            FFailure = DescribeNotCovered(errno) + ".";
            return false;
        }
        FDevice = root.st_dev;
        FFileSystemType = type.f_type;
        FStarted = true;
        FNotices.Push(TWatchNotice::TKind::Covered);
        FNextPoll = TClock::now();
    }
    FBuffer = static_cast<char*>(buffer);
    FLength = length;
    FReadOutstanding = true;
    FCompleted = false;
    return true;
}

TWaitResult TPollingReader::Wait(int timeoutMs) {
    if (!FReadOutstanding)
        return TWaitResult::Failed;
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (FInterrupted.load(std::memory_order_acquire))
            return TWaitResult::TimedOut;
        if (!FSucceeded || FQueue.FrontReady()) {
            FBytes = FSucceeded ? FQueue.Pack(FBuffer, FLength) : 0;
            FCompleted = true;
            return TWaitResult::Signalled;
        }
        if (!FNotices.Empty())
            return TWaitResult::TimedOut;
        if (TClock::now() >= FNextPoll) {
            Poll();
            continue;
        }
        if (TClock::now() >= deadline)
            return TWaitResult::TimedOut;
        const auto until = std::min(deadline, FNextPoll);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now()).count();
        pollfd wake{FWake, POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(std::max<long>(wait, 0)));
    }
}

// One walk, compared with the last: a walk that could not be finished
// changes nothing, so an outage never looks like removals. The interval
// follows the walk's cost.
void TPollingReader::Poll() {
    const auto start = TClock::now();
    FNextPoll = start + FInterval;
    if (!Reachable())
        return;
    TTreeState now;
    const TWalkEnd end = Walk(now);
    if (end == TWalkEnd::Interrupted || !FSucceeded)
        return;
    if (end == TWalkEnd::Unreachable) {
        if (!std::exchange(FUnreachableTold, true))
            FNotices.NotCovered("", NotReachable);
        return;
    }
    const bool first = FState.empty() && !FBaseline;
    if (!first)
        CompareTrees(FState, now, FFilter, FQueue);
    FState = std::move(now);
    FBaseline = true;
    const bool resumed = std::exchange(FUnreachableTold, false);
    const auto took = TClock::now() - start;
    const auto interval = std::clamp<TClock::duration>(
        std::chrono::ceil<std::chrono::seconds>(took * WalkShareDivisor), LeastInterval, MostInterval);
    if (first || resumed || interval != FInterval) {
        FInterval = interval;
        FNextPoll = start + FInterval;
        FNotices.Push(TWatchNotice::TKind::SetupDone);
    }
}

// The watched folder is still on the file system it was on: one that went
// away leaves the folder it was mounted on, whose entries are no news. The
// folder itself gone ends the watch.
bool TPollingReader::Reachable() {
    struct stat root;
    struct statfs type;
    if (::stat(FDirectory.c_str(), &root) != 0 && errno == ENOENT) {
        FFailure = "The folder was removed.";
        FSucceeded = false;
        return false;
    }
    const bool same = ::stat(FDirectory.c_str(), &root) == 0 && ::statfs(FDirectory.c_str(), &type) == 0 &&
                      type.f_type == FFileSystemType;
    if (!same && !std::exchange(FUnreachableTold, true))
        FNotices.NotCovered("", NotReachable);
    return same;
}

TPollingReader::TWalkEnd TPollingReader::Walk(TTreeState& state) {
    std::vector<std::string> folders{""};
    while (!folders.empty()) {
        const std::string relative = std::move(folders.back());
        folders.pop_back();
        DIR* folder = ::opendir((relative.empty() ? FDirectory : JoinPath(FDirectory, relative)).c_str());
        if (!folder) {
            const int error = errno;
            if (MeansUnreachable(error))
                return TWalkEnd::Unreachable;
            if (error != ENOENT && error != ENOTDIR) {
                // What it held is kept as it was: out of reach is not gone.
                const std::string prefix = relative + "/";
                for (const auto& [path, entry] : FState)
                    if (path.starts_with(prefix))
                        state.emplace(path, entry);
                if (std::find(FUnreadFolders.begin(), FUnreadFolders.end(), relative) == FUnreadFolders.end()) {
                    FUnreadFolders.push_back(relative);
                    FNotices.NotCovered(relative, error);
                }
            }
            continue;
        }
        int error = 0;
        while (dirent* entry = inotify::NextEntry(folder, error)) {
            if (FInterrupted.load(std::memory_order_acquire)) {
                ::closedir(folder);
                return TWalkEnd::Interrupted;
            }
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            struct stat st;
            if (::fstatat(dirfd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (MeansUnreachable(errno)) {
                    ::closedir(folder);
                    return TWalkEnd::Unreachable;
                }
                continue;
            }
            const std::string path = relative.empty() ? name : relative + "/" + name;
            state.emplace(path, StateOf(st));
            if (S_ISDIR(st.st_mode) && FSubTree && st.st_dev == FDevice)
                folders.push_back(path);
        }
        ::closedir(folder);
        if (MeansUnreachable(error))
            return TWalkEnd::Unreachable;
    }
    return TWalkEnd::Done;
}

bool TPollingReader::GetResult(uint32_t& bytesReturned) {
    bytesReturned = FBytes;
    FReadOutstanding = false;
    FCompleted = false;
    return FSucceeded;
}

bool TPollingReader::TakeNotice(TWatchNotice& notice) {
    if (!FNotices.Take(notice))
        return false;
    if (notice.Kind != TWatchNotice::TKind::NotCovered)
        notice.Mechanism = Mechanism();
    return true;
}

std::string TPollingReader::Mechanism() const {
    return PolledMechanism + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(FInterval).count()) +
           " s: " + FKind;
}

void TPollingReader::Interrupt() {
    FInterrupted.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FWake, &one, sizeof one);
}

#endif
