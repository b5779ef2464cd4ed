#pragma once

// The folders a watch leaves out, as the tree it keeps sees them.
#include "platform/changes/DirChanges.h"
#include "platform/changes/tree/WatchTree.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Rules handed from the owner's thread to a reader's worker, which sleeps
// on wake, an eventfd. The wake-up is written with the rules under one
// lock, so whoever takes the rules takes the wake-up that came with them;
// a stop request's wake-up taken by mistake changes nothing, for a stop is
// a flag the worker reads right after.
class TRulesHandOver {
public:
    // Any thread.
    void Give(TFolderExclusionRules rules, int wake);
    // The worker: the rules given since the last take, if any.
    std::optional<TFolderExclusionRules> Take(int wake);

private:
    std::mutex FLock;
    TFolderExclusionRules FRules;
    std::atomic<bool> FWaiting{false};
};

// The excluded folders of one watched tree, asked by the part that keeps
// the tree's folders before it watches or walks one.
class TExcludedFolders {
public:
    // shownRoot: the watched folder as the watch's changes name it.
    TExcludedFolders(const TWatchTree& tree, std::string shownRoot);

    void SetRules(TFolderExclusionRules rules) { FRules = std::move(rules); }
    const TFolderExclusionRules& Rules() const { return FRules; }
    const std::string& ShownRoot() const { return FShownRoot; }
    bool Any() const { return FRules != nullptr; }
    // Whether the folder name in the tree's folder parent is excluded.
    bool Excludes(int parent, const std::string& name) const;
    // Whether a folder of the tree (not the root) is excluded.
    bool Excludes(int folder) const;
    // Whether the folder at relative, a path below the root, is excluded.
    bool ExcludesRelative(const std::string& relative) const;

    // The folders at or below top that the rules exclude, the highest of
    // each branch only.
    std::vector<int> ExcludedWithin(int top) const;

    // Remembers an excluded folder met in the tree, to be watched once the
    // rules no longer exclude it.
    void Met(int parent, const std::string& name) { FMet.emplace(parent, name); }
    // The folders met before that the rules no longer exclude, forgotten
    // as they are given, with those whose parent left the tree.
    std::set<std::pair<int, std::string>> Readmitted();

private:

    const TWatchTree& FTree;
    std::string FShownRoot; // ends in the separator
    TFolderExclusionRules FRules;
    std::set<std::pair<int, std::string>> FMet;
};
