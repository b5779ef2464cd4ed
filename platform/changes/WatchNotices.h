#pragma once

// The notices of a watch waiting to be taken, oldest first.
#include "platform/changes/DirChanges.h"

#include <cstdint>
#include <deque>
#include <string>

class TNoticeQueue {
public:
    void Push(TWatchNotice::TKind kind, uint64_t folderCount = 0);
    // relative: the folder below the watched one; error: the system's error number.
    void NotCovered(const std::string& relative, int error);
    void Delivered(uint64_t ticket);
    bool Take(TWatchNotice& notice);
    bool Empty() const { return FNotices.empty(); }

private:
    std::deque<TWatchNotice> FNotices;
};
