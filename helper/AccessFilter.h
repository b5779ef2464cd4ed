#pragma once

// What of a watched tree the helper's user could have seen for themselves:
// a change is passed on only if the user may list and search the folder
// that holds it and search every folder on the way there, as the kernel
// decides with the user's identity when the change is passed.
#include "platform/changes/RecordBuffer.h"
#include "platform/helper/UserAccess.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class TAccessFilter {
public:
    // root: the watched folder's path, absolute and without links.
    TAccessFilter(TUserIdentity user, std::string root);

    // Keeps the records the user may see; false when the user's identity
    // could not be taken, and nothing is kept.
    bool Apply(char* buffer, uint32_t& bytes, std::vector<TProcessRef>& processes);
    // Whether the user may learn of a folder (relative to the root) that
    // could not be watched.
    bool MayKnowOf(const std::string& folder);
    // Changes held back because the folder that held them was gone before
    // the user's access to it could be decided, and never decided before.
    uint64_t Withheld() const { return FWithheld; }

private:
    enum class TDecision { Allowed, Denied, Withheld };
    bool Passes(const std::string& name, uint32_t action);
    TDecision DecideFor(const std::string& folder);
    void Forget(const std::string& folder);

    TUserIdentity FUser;
    std::string FRoot;
    // The last decision for each folder met (relative to the root), which
    // stands for it once it is gone.
    std::map<std::string, bool> FDecided;
    std::map<std::string, TDecision> FThisRead;
    uint64_t FWithheld = 0;
};
