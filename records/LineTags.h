#pragma once

#include "platform/processes/ProcessNames.h"
#include "runtime/SysUtils.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// What a listed change line knows besides its text: the process that made
// it and the day it was made on (its text gives only the time of day). Each
// pair is known by a small number that a line of a list keeps beside its
// text, and kept once however many lines share it.
class TLineTags {
public:
    // limit: the first number a line cannot keep.
    explicit TLineTags(uint32_t limit) : FLimit(limit) {}
    // 0 for neither, and once the numbers are used up.
    uint32_t TagOf(const TProcessRef& process, const std::optional<TLocalDay>& day);
    // nullptr for 0, for a number not given and for a line of no known process.
    const TChangeProcess* ProcessOf(uint32_t tag) const;
    const TLocalDay* DayOf(uint32_t tag) const;

private:
    struct TTagged {
        TProcessRef Process;
        std::optional<TLocalDay> Day;
    };
    uint32_t FLimit;
    std::unordered_map<std::string, uint32_t> FTags; // by what the pair is
    std::vector<TTagged> FTagged;                    // by tag - 1
};
