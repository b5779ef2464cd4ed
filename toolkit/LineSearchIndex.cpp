#include "toolkit/LineSearchIndex.h"

#include "toolkit/SysUtils.h"

#include <algorithm>

namespace {
constexpr size_t BlockLimit = 512;

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
} // namespace

TLineSearchIndex::TLineSearchIndex(TLineAt lineAt, TLineCount lineCount, char separator)
    : FLineAt(std::move(lineAt)), FLineCount(std::move(lineCount)), FSeparator(separator) {}

// Places in text where a separator is followed by an asked-for first part
// and another separator.
std::vector<uint32_t> TLineSearchIndex::AnchorsOf(const std::string& text) const {
    std::vector<uint32_t> anchors;
    if (FParts.empty())
        return anchors;
    std::string part;
    for (size_t at = text.find(FSeparator); at != std::string::npos;) {
        size_t next = text.find(FSeparator, at + 1);
        if (next == std::string::npos)
            break;
        part.assign(text, at + 1, next - at - 1);
        for (char& c : part)
            c = Upper(c);
        if (FParts.count(part))
            anchors.push_back(static_cast<uint32_t>(at));
        at = next;
    }
    return anchors;
}

int TLineSearchIndex::Compare(const TEntry& entry, std::string_view key) const {
    const std::string& line = FLineAt(entry.Line);
    size_t length = line.size() - entry.Offset;
    size_t common = std::min(length, key.size());
    for (size_t i = 0; i < common; ++i) {
        auto a = static_cast<unsigned char>(Upper(line[entry.Offset + i]));
        auto b = static_cast<unsigned char>(key[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return length < key.size() ? -1 : (length > key.size() ? 1 : 0);
}

bool TLineSearchIndex::Less(const TEntry& a, const TEntry& b) const {
    const std::string& lineA = FLineAt(a.Line);
    const std::string& lineB = FLineAt(b.Line);
    size_t i = a.Offset;
    size_t j = b.Offset;
    for (; i < lineA.size() && j < lineB.size(); ++i, ++j) {
        auto x = static_cast<unsigned char>(Upper(lineA[i]));
        auto y = static_cast<unsigned char>(Upper(lineB[j]));
        if (x != y)
            return x < y;
    }
    bool aEnded = i == lineA.size();
    bool bEnded = j == lineB.size();
    if (aEnded != bEnded)
        return aEnded;
    return a.Line < b.Line;
}

std::vector<TLineSearchIndex::TBlock>::iterator TLineSearchIndex::BlockFor(const TEntry& entry) {
    return std::partition_point(FBlocks.begin(), FBlocks.end() - 1,
                                [&](const TBlock& b) { return Less(b.Entries.back(), entry); });
}

bool TLineSearchIndex::HasPrefix(const TEntry& entry, std::string_view prefix) const {
    const std::string& line = FLineAt(entry.Line);
    if (line.size() - entry.Offset < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Upper(line[entry.Offset + i]) != prefix[i])
            return false;
    return true;
}

// The first entry whose key is not below key: (block, position in block).
std::pair<size_t, size_t> TLineSearchIndex::LowerBound(std::string_view key) const {
    auto block = std::partition_point(FBlocks.begin(), FBlocks.end(), [&](const TBlock& b) {
        return Compare(b.Entries.back(), key) < 0;
    });
    if (block == FBlocks.end())
        return {FBlocks.size(), 0};
    auto entry = std::partition_point(block->Entries.begin(), block->Entries.end(),
                                      [&](const TEntry& e) { return Compare(e, key) < 0; });
    return {static_cast<size_t>(block - FBlocks.begin()), static_cast<size_t>(entry - block->Entries.begin())};
}

void TLineSearchIndex::RecomputeMin(TBlock& block) {
    block.MinLine = UINT32_MAX;
    for (const TEntry& entry : block.Entries)
        block.MinLine = std::min(block.MinLine, entry.Line);
}

void TLineSearchIndex::Insert(const TEntry& entry) {
    if (FBlocks.empty())
        FBlocks.emplace_back();
    auto block = BlockFor(entry);
    auto at = std::partition_point(block->Entries.begin(), block->Entries.end(),
                                   [&](const TEntry& e) { return Less(e, entry); });
    block->Entries.insert(at, entry);
    block->MinLine = std::min(block->MinLine, entry.Line);
    if (block->Entries.size() > BlockLimit) {
        TBlock upper;
        upper.Entries.assign(block->Entries.begin() + BlockLimit / 2, block->Entries.end());
        block->Entries.resize(BlockLimit / 2);
        RecomputeMin(*block);
        RecomputeMin(upper);
        FBlocks.insert(block + 1, std::move(upper));
    }
}

void TLineSearchIndex::Erase(const TEntry& entry) {
    if (FBlocks.empty())
        return;
    auto block = BlockFor(entry);
    auto at = std::partition_point(block->Entries.begin(), block->Entries.end(),
                                   [&](const TEntry& e) { return Less(e, entry); });
    if (at == block->Entries.end() || at->Line != entry.Line || at->Offset != entry.Offset)
        return;
    block->Entries.erase(at);
    if (block->Entries.empty())
        FBlocks.erase(block);
    else if (block->MinLine == entry.Line)
        RecomputeMin(*block);
}

void TLineSearchIndex::Remember(uint32_t line) {
    for (uint32_t offset : AnchorsOf(FLineAt(line)))
        Insert({line, offset});
}

void TLineSearchIndex::Forget(uint32_t line) {
    for (uint32_t offset : AnchorsOf(FLineAt(line)))
        Erase({line, offset});
}

void TLineSearchIndex::Removed(uint32_t line) {
    for (TBlock& block : FBlocks) {
        for (TEntry& entry : block.Entries)
            entry.Line -= entry.Line > line;
        block.MinLine -= block.MinLine > line && block.MinLine != UINT32_MAX;
    }
}

void TLineSearchIndex::Clear() {
    FBlocks.clear();
}

// A first part asked for the first time: index where it occurs in every
// line, all at once (sorted together, then merged with what is there).
void TLineSearchIndex::Learn(const std::string& part) {
    std::unordered_set<std::string> known = std::move(FParts);
    FParts = {part};
    std::vector<TEntry> entries;
    const uint32_t count = FLineCount();
    for (uint32_t line = 0; line < count; ++line)
        for (uint32_t offset : AnchorsOf(FLineAt(line)))
            entries.push_back({line, offset});
    FParts = std::move(known);
    FParts.insert(part);
    if (entries.empty())
        return;
    for (const TBlock& block : FBlocks)
        entries.insert(entries.end(), block.Entries.begin(), block.Entries.end());
    // Sorting on upper-cased copies of the keys compares far faster than
    // reading the lines through the entries.
    std::vector<std::pair<std::string, TEntry>> keyed;
    keyed.reserve(entries.size());
    for (const TEntry& entry : entries)
        keyed.emplace_back(UpperCase(std::string_view(FLineAt(entry.Line)).substr(entry.Offset)), entry);
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        return a.first < b.first || (a.first == b.first && a.second.Line < b.second.Line);
    });
    for (size_t i = 0; i < keyed.size(); ++i)
        entries[i] = keyed[i].second;
    keyed = {};
    FBlocks.clear();
    for (size_t start = 0; start < entries.size(); start += BlockLimit / 2) {
        TBlock& block = FBlocks.emplace_back();
        block.Entries.assign(entries.begin() + static_cast<long>(start),
                             entries.begin() + static_cast<long>(std::min(entries.size(), start + BlockLimit / 2)));
        RecomputeMin(block);
    }
}

std::optional<int> TLineSearchIndex::Find(std::string_view text) {
    if (text.empty())
        return -1;
    if (text.front() != FSeparator)
        return std::nullopt;
    const size_t second = text.find(FSeparator, 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    const std::string key = UpperCase(text);
    const std::string part = key.substr(1, second - 1);
    if (!FParts.count(part))
        Learn(part);

    auto [block, at] = LowerBound(key);
    uint32_t first = UINT32_MAX;
    for (; block < FBlocks.size(); ++block, at = 0) {
        const TBlock& current = FBlocks[block];
        if (at == 0 && HasPrefix(current.Entries.back(), key)) {
            first = std::min(first, current.MinLine);
            continue;
        }
        for (; at < current.Entries.size() && HasPrefix(current.Entries[at], key); ++at)
            first = std::min(first, current.Entries[at].Line);
        if (at < current.Entries.size())
            break;
    }
    return first == UINT32_MAX ? -1 : static_cast<int>(first);
}
