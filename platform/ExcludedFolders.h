#pragma once

// The folders a watch leaves out, as the tree it keeps sees them.
#include "platform/DirChanges.h"
#include "platform/WatchTree.h"

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

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
