#include "settings/SettingsMerge.h"

#include <algorithm>
#include <map>
#include <optional>

namespace {
// The entries of a that are left when each entry of b takes away one equal to it.
std::vector<std::string> Without(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::map<std::string, int> taken;
    for (const std::string& entry : b)
        ++taken[entry];
    std::vector<std::string> left;
    for (const std::string& entry : a) {
        if (int& count = taken[entry]; count > 0)
            --count;
        else
            left.push_back(entry);
    }
    return left;
}

const std::vector<std::string>& LinesOf(const TIniSections& sections, const std::string& name) {
    static const std::vector<std::string> none;
    const auto found = sections.find(name);
    return found == sections.end() ? none : found->second;
}

std::vector<std::string> MergeKeys(const std::vector<std::string>& base, const std::vector<std::string>& onDisk,
                                   const std::vector<std::string>& ours) {
    std::vector<std::string> merged;
    for (const std::string& line : ours) {
        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
        const std::optional<std::string> before = TUtilObj::FindValueOfKey(base, key);
        const std::optional<std::string> now = TUtilObj::FindValueOfKey(onDisk, key);
        const bool changedHere = !before || *before != value;
        merged.push_back(key + "=" + (changedHere || !now ? value : *now));
    }
    return merged;
}
} // namespace

std::vector<std::string> MergeList(const std::vector<std::string>& base, const std::vector<std::string>& onDisk,
                                   const std::vector<std::string>& ours) {
    if (ours == base)
        return onDisk;
    if (onDisk == base)
        return ours;
    std::vector<std::string> merged = Without(onDisk, Without(base, ours));
    for (const std::string& added : Without(ours, base)) {
        const auto have = std::count(merged.begin(), merged.end(), added);
        if (have < std::count(ours.begin(), ours.end(), added))
            merged.push_back(added);
    }
    return merged;
}

std::vector<TUtilObj::TSectionWrite> MergeSettings(const TIniSections& base, const TIniSections& onDisk,
                                                   const std::vector<TUtilObj::TSectionWrite>& ours) {
    std::vector<TUtilObj::TSectionWrite> merged;
    for (const TUtilObj::TSectionWrite& write : ours) {
        const std::vector<std::string>& before = LinesOf(base, write.Section);
        const std::vector<std::string>& now = LinesOf(onDisk, write.Section);
        merged.push_back({write.Section,
                          write.Numbered ? MergeList(TUtilObj::ListValues(before), TUtilObj::ListValues(now),
                                                     write.Lines)
                                         : MergeKeys(before, now, write.Lines),
                          write.Numbered});
    }
    return merged;
}
