#pragma once

// What of a watched tree the helper's user could have seen for themselves:
// a change is passed on only if the user may list and search the folder
// that holds it and search every folder above it, as the kernel decides
// with the user's identity. The folder is the one the change happened in,
// known by its identity (its file handle) from the moment the change was
// read, never by a path looked up again later: a folder swapped for another
// on the way decides nothing for the one swapped in.
#include "platform/changes/RecordBuffer.h"
#include "platform/changes/fanotify/FanotifyRecords.h"
#include "platform/helper/UserAccess.h"
#include "platform/processes/ProcessVisibility.h"
#include "platform/system/FileDescriptor.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class TAccessFilter {
public:
    // folder: the watched folder as the user opened it; the filter keeps a
    // descriptor of its own, through which it finds folders by handle.
    TAccessFilter(TUserIdentity user, int folder);

    // Every event read, before it is translated (on the thread that reads).
    // A folder's attributes changed, or a folder moved: what was decided
    // for any folder may no longer hold, and is forgotten.
    void Observe(const fanotify::TFanEvent& event);
    // Keeps the records the user may see, each decided by the folder that
    // holds it (folders: one for each record), and of their processes what
    // the user could have read in /proc; false when the user's identity
    // could not be taken, and nothing is kept.
    bool Apply(char* buffer, uint32_t& bytes, std::vector<TProcessRef>& processes,
               const std::vector<TFolderRef>& folders);
    // Whether the user may learn of a folder (relative to the root) that
    // could not be watched.
    bool MayKnowOf(const std::string& folder);
    // Changes held back because the folder that held them was gone before
    // the user's access to it could be decided, and never decided before.
    uint64_t Withheld() const { return FWithheld; }

private:
    enum class TDecision { Allowed, Denied, Withheld };
    TDecision DecideFor(const TFolderRef& folder);
    TDecision Decide(TAccess access, const std::string& key);

    TUserIdentity FUser;
    inotify::TFd FRoot;
    TProcHiding FHiding;
    // The last decision for each folder met (by key), which stands for it
    // once it is gone, until a change that may alter access is observed.
    std::unordered_map<std::string, bool> FDecided;
    std::unordered_map<std::string, TDecision> FThisRead;
    uint64_t FWithheld = 0;
    bool FIdentityLost = false; // in the read being decided
};
