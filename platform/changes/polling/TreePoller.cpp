#ifdef __linux__

#include "platform/changes/polling/TreePoller.h"

#include "platform/changes/tree/TreePaths.h"
#include "platform/changes/tree/WatchTree.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
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

// Pairs first, then tells: each record names what is there at its point of
// a replay, so a rename names its entry as earlier renames left it, and a
// folder made for a renamed entry comes before it; renames to shallower
// places come first, so that a folder renamed away frees its name first.
void CompareTrees(const TTreeState& before, const TTreeState& after, uint32_t filter, TPendingChanges& queue,
                  const std::string& prefix) {
    const auto named = [&](const std::string& path) { return prefix.empty() ? path : prefix + "/" + path; };
    std::map<std::string, TEntryState> gone, come;
    std::unordered_multimap<ino_t, std::string> comeByInode;
    // An entry replaced by another of the same name (another inode) is gone
    // and come: either may be half of a rename.
    for (const auto& [path, state] : before)
        if (auto now = after.find(path); now == after.end() || now->second.Inode != state.Inode)
            gone.emplace(path, state);
    for (const auto& [path, state] : after)
        if (auto old = before.find(path); old == before.end() || old->second.Inode != state.Inode) {
            come.emplace(path, state);
            comeByInode.emplace(state.Inode, path);
        }
    struct TRename {
        std::string From, To;
        bool IsFolder;
    };
    std::vector<TRename> renames;
    std::map<std::string, std::string> paired; // folders: old path to new, for what they held
    std::vector<std::pair<std::string, TEntryState>> removed;
    std::map<std::string, const TEntryState*> modified; // by path after
    for (const auto& entry : gone) { // a folder before what it held
        const std::string& path = entry.first;
        const TEntryState& state = entry.second;
        if (auto moved = MovedWith(path, paired)) {
            if (auto there = come.find(*moved); there != come.end() && there->second.Inode == state.Inode) {
                if (Changed(state, there->second, filter))
                    modified.emplace(*moved, &after.at(*moved));
                if (IsFolder(state))
                    paired.emplace(path, *moved);
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
        renames.push_back({path, match->second, IsFolder(state)});
        if (IsFolder(state))
            paired.emplace(path, match->second);
        come.erase(match->second);
    }

    const auto report = [&](uint32_t action, const std::string& path, const TEntryState& state, uint32_t kinds) {
        if (filter & kinds)
            queue.Add(ActionOnEntry(action, IsFolder(state)), named(path));
    };
    // Replaced, and neither half renamed: an entry of the same kind was
    // rewritten (a save that writes a new file over the old), no removal.
    std::erase_if(removed, [&](const auto& entry) {
        const auto there = come.find(entry.first);
        if (there == come.end() || (there->second.Mode & S_IFMT) != (entry.second.Mode & S_IFMT))
            return false;
        modified.emplace(there->first, &after.at(there->first));
        come.erase(there);
        return true;
    });
    std::map<std::string, std::string> renamed; // folders renamed so far: old path to new
    const auto now = [&](const std::string& path) { return MovedWith(path, renamed).value_or(path); };
    const auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '/'); };
    std::sort(renames.begin(), renames.end(), [&](const TRename& a, const TRename& b) {
        return std::pair(depth(a.To), a.To) < std::pair(depth(b.To), b.To);
    });
    for (const TRename& rename : renames) {
        for (size_t slash = rename.To.find('/'); slash != std::string::npos; slash = rename.To.find('/', slash + 1))
            if (auto folder = come.find(rename.To.substr(0, slash)); folder != come.end()) {
                report(FILE_ACTION_ADDED, folder->first, folder->second, FILE_NOTIFY_CHANGE_DIR_NAME);
                come.erase(folder);
            }
        if (filter & (rename.IsFolder ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME)) {
            const TPendingChanges::TSlot slot = queue.Hold();
            queue.SettleAsRename(slot, named(now(rename.From)), named(rename.To), rename.IsFolder);
        }
        if (rename.IsFolder)
            renamed.emplace(rename.From, rename.To);
    }
    for (auto entry = removed.rbegin(); entry != removed.rend(); ++entry)
        report(FILE_ACTION_REMOVED, now(entry->first), entry->second, NameFilterOf(entry->second));
    for (const auto& [path, state] : come)
        report(FILE_ACTION_ADDED, path, state, NameFilterOf(state));
    for (const auto& [path, state] : after)
        if (auto old = before.find(path);
            old != before.end() && old->second.Inode == state.Inode && Changed(old->second, state, filter))
            modified.emplace(path, &state);
    for (const auto& [path, state] : modified)
        report(FILE_ACTION_MODIFIED, path, *state, ~0u);
}

TTreePoller::TTreePoller(std::string root, std::string prefix, std::string kind, uint32_t filter, bool subTree,
                         const std::atomic<bool>& interrupted)
    : FRoot(std::move(root)), FPrefix(std::move(prefix)), FKind(std::move(kind)), FFilter(filter), FSubTree(subTree),
      FInterrupted(interrupted) {}

int TTreePoller::Start() {
    struct stat root;
    struct statfs type;
    if (::stat(FRoot.c_str(), &root) != 0 || ::statfs(FRoot.c_str(), &type) != 0)
        return errno;
    FDevice = root.st_dev;
    FFileSystemType = type.f_type;
    FNextWalk = TClock::now();
    return 0;
}

std::string TTreePoller::Mechanism() const {
    return PolledMechanism + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(FInterval).count()) +
           " s: " + FKind;
}

void TTreePoller::SetRules(TFolderExclusionRules rules, std::string shownRoot) {
    FRules = std::move(rules);
    FShownRoot = std::move(shownRoot);
    if (!FShownRoot.empty() && FShownRoot.back() != '/')
        FShownRoot += '/';
}

bool TTreePoller::Excluded(const TFolderExclusionRules& rules, const std::string& folder) const {
    return rules && rules->Excludes(FShownRoot + Named(folder) + "/");
}

TTreeState TTreePoller::Without(const TTreeState& state, const TFolderExclusionRules& rules) const {
    if (!rules)
        return state;
    TTreeState kept;
    for (const auto& [path, entry] : state) {
        bool below = false;
        for (size_t slash = path.find('/'); slash != std::string::npos && !below; slash = path.find('/', slash + 1))
            below = Excluded(rules, path.substr(0, slash));
        if (!below)
            kept.emplace(path, entry);
    }
    return kept;
}

std::string TTreePoller::Named(const std::string& relative) const {
    return FPrefix.empty() || relative.empty() ? FPrefix + relative : FPrefix + "/" + relative;
}

void TTreePoller::Step(TClock::time_point deadline, TPendingChanges& queue, TNoticeQueue& notices) {
    if (FRootGone || (!FWalking && (TClock::now() < FNextWalk || !BeginWalk(notices))))
        return;
    const auto sliceStart = TClock::now();
    while (!FToWalk.empty()) {
        std::string relative = std::move(FToWalk.back());
        FToWalk.pop_back();
        if (!WalkFolder(relative, deadline, notices)) {
            FToWalk.push_back(std::move(relative)); // listed at the next step
            break;
        }
    }
    FWalkTime += TClock::now() - sliceStart;
    if (FWalkFailed) {
        FWalking = false;
        Unreachable(notices);
    } else if (FToWalk.empty() && !FInterrupted.load(std::memory_order_acquire)) {
        EndWalk(queue);
    }
}

// A walk starts only while the root is still on the file system it was on:
// one that went away leaves the folder it was mounted on, whose entries are
// no news. The root itself gone ends the polling.
bool TTreePoller::BeginWalk(TNoticeQueue& notices) {
    FNextWalk = TClock::now() + FInterval;
    struct stat root;
    struct statfs type;
    if (::stat(FRoot.c_str(), &root) != 0 && errno == ENOENT) {
        FRootGone = true;
        return false;
    }
    if (::stat(FRoot.c_str(), &root) != 0 || ::statfs(FRoot.c_str(), &type) != 0 || type.f_type != FFileSystemType) {
        Unreachable(notices);
        return false;
    }
    FDevice = root.st_dev; // a remount gives another device: paths are what is compared
    FWalking = true;
    FWalkFailed = false;
    FWalkRules = FRules;
    FToWalk.assign(1, "");
    FWalked.clear();
    FWalkTime = {};
    return true;
}

void TTreePoller::Unreachable(TNoticeQueue& notices) {
    if (std::exchange(FUnreachableTold, true))
        return;
    notices.NotCovered(FPrefix, NotReachable);
    FNews = true;
}

// Lists one folder into the walk, its sub-folders to be walked next; false
// when the walk stops before it is listed: the deadline came, a stop was
// requested, or the tree is out of reach (FWalkFailed).
bool TTreePoller::WalkFolder(const std::string& relative, TClock::time_point deadline, TNoticeQueue& notices) {
    if (FInterrupted.load(std::memory_order_acquire) || TClock::now() >= deadline)
        return false;
    DIR* folder = ::opendir((relative.empty() ? FRoot : JoinPath(FRoot, relative)).c_str());
    if (!folder) {
        const int error = errno;
        if (MeansUnreachable(error)) {
            FWalkFailed = true;
            return false;
        }
        if (error != ENOENT && error != ENOTDIR) {
            // What it held is kept as it was: out of reach is not gone.
            const std::string prefix = relative + "/";
            for (const auto& [path, entry] : FState)
                if (path.starts_with(prefix))
                    FWalked.emplace(path, entry);
            if (std::find(FUnreadFolders.begin(), FUnreadFolders.end(), relative) == FUnreadFolders.end()) {
                FUnreadFolders.push_back(relative);
                notices.NotCovered(Named(relative), error);
            }
        }
        return true;
    }
    int error = 0;
    while (dirent* entry = inotify::NextEntry(folder, error)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (::fstatat(dirfd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (MeansUnreachable(errno)) {
                error = errno;
                break;
            }
            continue;
        }
        const std::string path = relative.empty() ? name : relative + "/" + name;
        FWalked.emplace(path, StateOf(st));
        if (S_ISDIR(st.st_mode) && FSubTree && st.st_dev == FDevice && !Excluded(FWalkRules, path))
            FToWalk.push_back(path);
    }
    ::closedir(folder);
    if (MeansUnreachable(error)) {
        FWalkFailed = true;
        return false;
    }
    return true;
}

// The walk compared with the last one; the interval follows the walk's cost.
void TTreePoller::EndWalk(TPendingChanges& queue) {
    FWalking = false;
    // With other rules, only what both walks covered is compared.
    if (FBaseline && FWalkRules == FStateRules)
        CompareTrees(FState, FWalked, FFilter, queue, FPrefix);
    else if (FBaseline)
        CompareTrees(Without(FState, FWalkRules), Without(FWalked, FStateRules), FFilter, queue, FPrefix);
    FStateRules = FWalkRules;
    FState = std::move(FWalked);
    FWalked = {};
    const bool first = !std::exchange(FBaseline, true);
    const bool resumed = std::exchange(FUnreachableTold, false);
    const auto interval = std::clamp<TClock::duration>(
        std::chrono::ceil<std::chrono::seconds>(FWalkTime * WalkShareDivisor), LeastInterval, MostInterval);
    FNews = FNews || first || resumed || interval != FInterval;
    FInterval = interval;
    FNextWalk = TClock::now() + FInterval;
}

#endif
