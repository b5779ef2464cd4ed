#include "toolkit/LineSearchIndex.h"

TLineSearchIndex::TLineSearchIndex(TKeyOf keyOf) : FKeyOf(std::move(keyOf)) {}

size_t TLineSearchIndex::HashOf(std::string_view key) {
    return std::hash<std::string_view>()(key);
}

void TLineSearchIndex::Add(std::string_view key, uint64_t serial) {
    if (!key.empty())
        FSerials.emplace(HashOf(key), serial);
}

void TLineSearchIndex::Remove(std::string_view key, uint64_t serial) {
    if (key.empty())
        return;
    auto [at, end] = FSerials.equal_range(HashOf(key));
    for (; at != end; ++at)
        if (at->second == serial) {
            FSerials.erase(at);
            return;
        }
}

void TLineSearchIndex::Clear() {
    FSerials.clear();
}

std::optional<uint64_t> TLineSearchIndex::First(std::string_view key) const {
    std::optional<uint64_t> first;
    if (key.empty())
        return first;
    auto [at, end] = FSerials.equal_range(HashOf(key));
    for (; at != end; ++at)
        if ((!first || at->second < *first) && FKeyOf(at->second) == key)
            first = at->second;
    return first;
}
