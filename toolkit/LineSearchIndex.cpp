#include "toolkit/LineSearchIndex.h"

namespace {
// A slot: the low bits of the key's hash above, the serial plus one below.
constexpr int SerialBits = 40;
constexpr uint64_t SerialMask = (uint64_t{1} << SerialBits) - 1;
constexpr uint64_t HashPartMask = (uint64_t{1} << (64 - SerialBits)) - 1;

uint64_t SlotOf(uint64_t hash, uint64_t serial) {
    return (hash & HashPartMask) << SerialBits | ((serial + 1) & SerialMask);
}

uint64_t SerialOf(uint64_t slot) {
    return (slot & SerialMask) - 1;
}
} // namespace

TLineSearchIndex::TLineSearchIndex(TKeyOf keyOf) : FKeyOf(std::move(keyOf)) {}

uint64_t TLineSearchIndex::HashOf(std::string_view key) {
    return std::hash<std::string_view>()(key);
}

// Where the slot's probing starts: found from the hash part it holds while
// the table is no larger than that part can tell, else from its key.
size_t TLineSearchIndex::HomeOf(uint64_t slot) const {
    const uint64_t mask = FSlots.size() - 1;
    const uint64_t hash = mask <= HashPartMask ? slot >> SerialBits : HashOf(FKeyOf(SerialOf(slot)));
    return static_cast<size_t>(hash & mask);
}

void TLineSearchIndex::Place(uint64_t slot) {
    const size_t mask = FSlots.size() - 1;
    size_t at = HomeOf(slot);
    while (FSlots[at] != 0)
        at = (at + 1) & mask;
    FSlots[at] = slot;
}

// Kept at most three quarters full, so that a probe stays short.
void TLineSearchIndex::Grow() {
    std::vector<uint64_t> old(FSlots.empty() ? 16 : FSlots.size() * 2, 0);
    old.swap(FSlots);
    for (const uint64_t slot : old)
        if (slot != 0)
            Place(slot);
}

void TLineSearchIndex::Add(std::string_view key, uint64_t serial) {
    if (key.empty())
        return;
    if ((FUsed + 1) * 4 > FSlots.size() * 3)
        Grow();
    const uint64_t hash = HashOf(key);
    const size_t mask = FSlots.size() - 1;
    size_t at = static_cast<size_t>(hash & mask);
    while (FSlots[at] != 0)
        at = (at + 1) & mask;
    FSlots[at] = SlotOf(hash, serial);
    ++FUsed;
}

// The slots after the freed one that would no longer be found from their
// home move back into it, so that no probe meets a gap before its line.
void TLineSearchIndex::Remove(std::string_view key, uint64_t serial) {
    if (key.empty() || FSlots.empty())
        return;
    const uint64_t hash = HashOf(key);
    const uint64_t wanted = SlotOf(hash, serial);
    const size_t mask = FSlots.size() - 1;
    size_t gap = static_cast<size_t>(hash & mask);
    for (; FSlots[gap] != wanted; gap = (gap + 1) & mask)
        if (FSlots[gap] == 0)
            return;
    for (size_t next = (gap + 1) & mask; FSlots[next] != 0; next = (next + 1) & mask) {
        const size_t home = HomeOf(FSlots[next]);
        // Movable when its home does not lie after the gap on the way to it.
        if (((next - home) & mask) >= ((next - gap) & mask)) {
            FSlots[gap] = FSlots[next];
            gap = next;
        }
    }
    FSlots[gap] = 0;
    --FUsed;
}

void TLineSearchIndex::Clear() {
    FSlots.clear();
    FSlots.shrink_to_fit();
    FUsed = 0;
}

std::optional<uint64_t> TLineSearchIndex::First(std::string_view key) const {
    std::optional<uint64_t> first;
    if (key.empty() || FSlots.empty())
        return first;
    const uint64_t hash = HashOf(key);
    const uint64_t part = hash & HashPartMask;
    const size_t mask = FSlots.size() - 1;
    for (size_t at = static_cast<size_t>(hash & mask); FSlots[at] != 0; at = (at + 1) & mask) {
        const uint64_t slot = FSlots[at];
        const uint64_t serial = SerialOf(slot);
        if (slot >> SerialBits == part && (!first || serial < *first) && FKeyOf(serial) == key)
            first = serial;
    }
    return first;
}
