#pragma once

#include "platform/processes/ProcessNames.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// The processes of listed changes, each known by a small number that a
// line of a list can keep beside its text: a process is kept once however
// many lines name it.
class TProcessTags {
public:
    // limit: the first number a line cannot keep.
    explicit TProcessTags(uint32_t limit) : FLimit(limit) {}
    // 0 for none, and once the numbers are used up.
    uint32_t TagOf(const TProcessRef& process);
    // nullptr for 0 and for a number not given.
    const TChangeProcess* ProcessOf(uint32_t tag) const;

private:
    uint32_t FLimit;
    std::unordered_map<std::string, uint32_t> FTags; // by what the process is
    std::vector<TProcessRef> FProcesses;             // by tag - 1
};
