#include "helper/AccessFilter.h"

#include <utility>

namespace {
// Decisions kept for folders that may go; past this many the oldest
// knowledge is dropped whole, which only withholds more.
constexpr size_t MostDecided = 100000;

std::string ParentOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

// Folder changes after which what was decided at and below them may no longer hold.
bool UnsettlesAccess(uint32_t action) {
    if (!(action & FileActionFolderFlag))
        return false;
    const uint32_t code = action & ~FileActionFolderFlag;
    return code == FILE_ACTION_MODIFIED || code == FILE_ACTION_RENAMED_OLD_NAME || code == FILE_ACTION_REMOVED;
}
} // namespace

TAccessFilter::TAccessFilter(TUserIdentity user, std::string root) : FUser(std::move(user)), FRoot(std::move(root)) {
    if (FRoot.size() > 1 && FRoot.back() == '/')
        FRoot.pop_back();
}

bool TAccessFilter::Apply(char* buffer, uint32_t& bytes, std::vector<TProcessRef>& processes) {
    TActingAs acting(FUser);
    if (!acting.Taken()) {
        bytes = 0;
        processes.clear();
        return false;
    }
    FThisRead.clear();
    FilterRecords(buffer, bytes, processes,
                  [this](const std::string& name, uint32_t action) { return Passes(name, action); });
    return true;
}

bool TAccessFilter::MayKnowOf(const std::string& folder) {
    TActingAs acting(FUser);
    FThisRead.clear();
    return acting.Taken() && DecideFor(ParentOf(folder)) == TDecision::Allowed;
}

bool TAccessFilter::Passes(const std::string& name, uint32_t action) {
    const TDecision decision = DecideFor(ParentOf(name));
    if (decision == TDecision::Withheld)
        ++FWithheld;
    if (decision == TDecision::Allowed && UnsettlesAccess(action))
        Forget(name);
    return decision == TDecision::Allowed;
}

TAccessFilter::TDecision TAccessFilter::DecideFor(const std::string& folder) {
    if (auto known = FThisRead.find(folder); known != FThisRead.end())
        return known->second;
    const std::string path = folder.empty() ? FRoot : (FRoot == "/" ? "" : FRoot) + "/" + folder;
    TDecision decision = TDecision::Withheld;
    switch (FolderAccess(path)) {
    case TAccess::Allowed:
        decision = TDecision::Allowed;
        break;
    case TAccess::Denied:
        decision = TDecision::Denied;
        break;
    case TAccess::Gone:
        if (auto before = FDecided.find(folder); before != FDecided.end())
            decision = before->second ? TDecision::Allowed : TDecision::Denied;
        break;
    }
    if (decision != TDecision::Withheld) {
        if (FDecided.size() >= MostDecided)
            FDecided.clear();
        FDecided[folder] = decision == TDecision::Allowed;
    }
    FThisRead[folder] = decision;
    return decision;
}

void TAccessFilter::Forget(const std::string& folder) {
    FDecided.erase(folder);
    // What lies below: every name from "folder/" up to, not including, "folder0".
    FDecided.erase(FDecided.lower_bound(folder + '/'), FDecided.lower_bound(folder + char('/' + 1)));
    FThisRead.clear();
}
