#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// Answers "the top-most line whose key is exactly this text" without reading
// every line, for lists of a million lines that change at either end and in
// the middle.
//
// Lines are known by serial numbers that grow from the top of the list
// down and that a line keeps while lines above it come and go, so the index
// never renumbers. It keeps, per line, one word: the serial and a part of
// the key's hash, in a table of its own (no block per line), which costs
// 11 to 21 bytes a line. The owner gives the key of a serial through KeyOf,
// to tell apart keys that share a hash.
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
    static uint64_t HashOf(std::string_view key);
    size_t HomeOf(uint64_t slot) const;
    void Place(uint64_t slot);
    void Grow();

    TKeyOf FKeyOf;
    // Open addressing, linear probing; 0 is a free slot.
    std::vector<uint64_t> FSlots;
    size_t FUsed = 0;
};
