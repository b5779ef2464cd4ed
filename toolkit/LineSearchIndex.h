#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>

// Answers "the top-most line whose key is exactly this text" without reading
// every line, for lists of a million lines that change at either end and in
// the middle.
//
// Lines are known by serial numbers that grow from the top of the list
// down and that a line keeps while lines above it come and go, so the index
// never renumbers. It keeps only the hash of each key; the owner gives the
// key of a serial through KeyOf, to tell apart keys that share a hash.
class TLineSearchIndex {
public:
    using TKeyOf = std::function<std::string_view(uint64_t serial)>;

    explicit TLineSearchIndex(TKeyOf keyOf);

    // Lines with an empty key are not indexed.
    void Add(std::string_view key, uint64_t serial);
    void Remove(std::string_view key, uint64_t serial);
    void Clear();

    // The smallest serial of a line with this key; nullopt when none has it.
    std::optional<uint64_t> First(std::string_view key) const;

private:
    struct THashAsIs {
        size_t operator()(size_t hash) const noexcept { return hash; }
    };

    static size_t HashOf(std::string_view key);

    TKeyOf FKeyOf;
    std::unordered_multimap<size_t, uint64_t, THashAsIs> FSerials;
};
