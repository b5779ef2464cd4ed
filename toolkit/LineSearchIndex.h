#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// Answers "the first line, from the top, that contains this text anywhere,
// ASCII letter case ignored" without reading every line, for texts that are
// paths: a text that starts with the path separator and has at least two
// parts.
//
// Such a text can only occur in a line where a separator is followed by the
// text's first part and another separator. The index keeps, for every such
// place, the rest of the line from there, in sorted order, grouped in blocks
// that know their smallest line number; the lines containing the text are
// then one sorted range, and its smallest line number is found from the
// block minima. Only first parts that have been asked for are indexed: the
// first question with a new first part reads every line once.
//
// The index refers to the lines by number and reads their text through
// LineAt; the owner reports every change: a line appended, a line about to
// change or go (Forget), a line changed (Remember again), a line removed.
class TLineSearchIndex {
public:
    using TLineAt = std::function<const std::string&(uint32_t line)>;
    using TLineCount = std::function<uint32_t()>;

    TLineSearchIndex(TLineAt lineAt, TLineCount lineCount, char separator);

    void Remember(uint32_t line);
    void Forget(uint32_t line);
    // After Forget(line) and the line's removal: later lines move up by one.
    void Removed(uint32_t line);
    void Clear();

    // The first matching line, -1 when none matches, or nullopt when the
    // text is not a path this index can answer for (the caller then reads
    // the lines itself).
    std::optional<int> Find(std::string_view text);

private:
    struct TEntry {
        uint32_t Line;
        uint32_t Offset;
    };
    struct TBlock {
        std::vector<TEntry> Entries;
        uint32_t MinLine = UINT32_MAX;
    };

    std::vector<uint32_t> AnchorsOf(const std::string& text) const;
    int Compare(const TEntry& entry, std::string_view key) const;
    bool Less(const TEntry& a, const TEntry& b) const;
    bool HasPrefix(const TEntry& entry, std::string_view prefix) const;
    std::vector<TBlock>::iterator BlockFor(const TEntry& entry);
    void Insert(const TEntry& entry);
    void Erase(const TEntry& entry);
    std::pair<size_t, size_t> LowerBound(std::string_view key) const;
    void Learn(const std::string& part);
    static void RecomputeMin(TBlock& block);

    TLineAt FLineAt;
    TLineCount FLineCount;
    char FSeparator;
    std::unordered_set<std::string> FParts; // upper-cased first parts asked for
    std::vector<TBlock> FBlocks;
};
