#pragma once

// Polling, for file systems whose changes the kernel does not report (a
// network file system, where another machine changes files, or a FUSE file
// system, whose server does): a walk of the tree every few seconds,
// compared with the walk before.
#ifdef __linux__

#include "platform/changes/DirChanges.h"
#include "platform/changes/PendingChanges.h"
#include "platform/changes/WatchNotices.h"
#include "platform/changes/tree/InotifyTranslator.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <utility>
#include <vector>

// The kind of file system that holds path when its changes must be
// polled ("network file system", "FUSE file system"); none otherwise.
std::optional<std::string> PolledFileSystemKind(const std::string& path);

// What a walk keeps of an entry, to tell a change from no change.
struct TEntryState {
    ino_t Inode = 0;
    mode_t Mode = 0;
    uid_t Owner = 0;
    gid_t Group = 0;
    off_t Size = 0;
    int64_t Modified = 0; // nanoseconds
    bool operator==(const TEntryState&) const = default;
};
// Every entry of a tree, by its path relative to the tree's root.
using TTreeState = std::unordered_map<std::string, TEntryState>;

// The records that take the tree from before to after: renames (an entry
// gone with another come that has its inode, kind and, for a file, size
// and modification time; what a renamed folder held comes with it), then
// removals (what a folder held before the folder), additions (a folder
// before what it holds), modifications. filter: the kinds of change asked
// for; prefix: put before every path, with a separator, unless empty.
void CompareTrees(const TTreeState& before, const TTreeState& after, uint32_t filter, TPendingChanges& queue,
                  const std::string& prefix = {});

// Polls one tree: a walk when one is due, in slices that end at a caller's
// deadline, so that the walk of a large tree never holds up other work; each
// walk finished is compared with the last, and the interval between walks
// follows the walk's own cost. Records go to a caller's queue, named with
// prefix (the tree's place in the watch: "" for the watched folder itself).
class TTreePoller {
public:
    using TClock = std::chrono::steady_clock;

    // kind: the file system's, for the user; interrupted: set when a stop is requested.
    TTreePoller(std::string root, std::string prefix, std::string kind, uint32_t filter, bool subTree,
                const std::atomic<bool>& interrupted);

    // The first walk, which later ones are compared with, starts at the
    // next Step; the system's error number when the root cannot be looked
    // at, 0 otherwise.
    int Start();
    // Walks on, when a walk is due or under way, until the deadline.
    void Step(TClock::time_point deadline, TPendingChanges& queue, TNoticeQueue& notices);
    // When Step next has work.
    TClock::time_point NextDue() const { return FWalking ? TClock::time_point() : FNextWalk; }
    // The root itself is gone (not out of reach).
    bool RootGone() const { return FRootGone; }
    // The folders left out from now on: neither walked nor compared. A
    // folder no longer left out is walked, and what it holds is not new.
    // shownRoot: the watched folder as the rules name it.
    void SetRules(TFolderExclusionRules rules, std::string shownRoot);
    // "polled every N s: kind".
    std::string Mechanism() const;
    // True once after the first walk, and after each change of interval or
    // of reachability: the watch line has news.
    bool TakeNews() { return std::exchange(FNews, false); }
    const std::string& Root() const { return FRoot; }
    const std::string& Prefix() const { return FPrefix; }
    const std::string& Kind() const { return FKind; }

private:
    bool BeginWalk(TNoticeQueue& notices);
    // false when the walk had to stop: out of time, interrupted, or the tree out of reach.
    bool WalkFolder(const std::string& relative, TClock::time_point deadline, TNoticeQueue& notices);
    void EndWalk(TPendingChanges& queue);
    void Unreachable(TNoticeQueue& notices);
    std::string Named(const std::string& relative) const;
    bool Excluded(const TFolderExclusionRules& rules, const std::string& folder) const;
    // state without what lies below the folders rules exclude.
    TTreeState Without(const TTreeState& state, const TFolderExclusionRules& rules) const;

    std::string FRoot, FPrefix, FKind;
    uint32_t FFilter;
    bool FSubTree;
    const std::atomic<bool>& FInterrupted;
    dev_t FDevice = 0;
    long FFileSystemType = 0;
    bool FRootGone = false;
    TTreeState FState;
    TFolderExclusionRules FRules, FStateRules, FWalkRules; // now, when FState was walked, for the walk under way
    std::string FShownRoot;
    bool FBaseline = false; // the first walk is done
    bool FUnreachableTold = false;
    bool FNews = false;
    std::vector<std::string> FUnreadFolders; // told once each
    TClock::duration FInterval = std::chrono::seconds(2);
    TClock::time_point FNextWalk;
    // The walk under way.
    bool FWalking = false;
    bool FWalkFailed = false;
    std::vector<std::string> FToWalk;
    TTreeState FWalked;
    TClock::duration FWalkTime{};
};

#endif
