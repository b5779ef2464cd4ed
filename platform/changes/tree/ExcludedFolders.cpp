#include "platform/changes/tree/ExcludedFolders.h"

#include "platform/system/PlatformInfo.h"

#include <cstdint>
#include <unistd.h>

void TRulesHandOver::Give(TFolderExclusionRules rules, int wake) {
    std::lock_guard lock(FLock);
    FRules = std::move(rules);
    FWaiting.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wake, &one, sizeof one);
}

std::optional<TFolderExclusionRules> TRulesHandOver::Take(int wake) {
    if (!FWaiting.load(std::memory_order_acquire))
        return std::nullopt;
    std::lock_guard lock(FLock);
    FWaiting.store(false, std::memory_order_release);
    uint64_t count = 0;
    [[maybe_unused]] ssize_t read = ::read(wake, &count, sizeof count);
    return std::move(FRules);
}

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
