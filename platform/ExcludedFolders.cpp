#include "platform/ExcludedFolders.h"

#include "platform/PlatformInfo.h"

TExcludedFolders::TExcludedFolders(const TWatchTree& tree, std::string shownRoot)
    : FTree(tree), FShownRoot(std::move(shownRoot)) {
    if (FShownRoot.empty() || FShownRoot.back() != PathDelim)
        FShownRoot += PathDelim;
}

bool TExcludedFolders::Excludes(int parent, const std::string& name) const {
    return FRules && ExcludesRelative(FTree.RelativeName(parent, name));
}

bool TExcludedFolders::Excludes(int folder) const {
    return FRules && folder != FTree.Root() && ExcludesRelative(FTree.RelativePath(folder));
}

bool TExcludedFolders::ExcludesRelative(const std::string& relative) const {
    return FRules && FRules->Excludes(FShownRoot + relative + PathDelim);
}

std::vector<int> TExcludedFolders::ExcludedWithin(int top) const {
    std::vector<int> excluded;
    if (!FRules)
        return excluded;
    for (std::vector<int> folders{top}; !folders.empty();) {
        const int folder = folders.back();
        folders.pop_back();
        if (Excludes(folder)) {
            excluded.push_back(folder);
            continue;
        }
        for (int child : FTree.ChildrenOf(folder))
            folders.push_back(child);
    }
    return excluded;
}

std::set<std::pair<int, std::string>> TExcludedFolders::Readmitted() {
    std::set<std::pair<int, std::string>> readmitted;
    for (auto met = FMet.begin(); met != FMet.end();) {
        const auto& [parent, name] = *met;
        if (!FTree.Contains(parent)) {
            met = FMet.erase(met);
        } else if (!Excludes(parent, name)) {
            readmitted.insert(*met);
            met = FMet.erase(met);
        } else {
            ++met;
        }
    }
    return readmitted;
}
