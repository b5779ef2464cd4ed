#include "records/ProcessTags.h"

namespace {
// Two lookups of one process give two objects alike: what identifies it.
std::string IdentityOf(const TChangeProcess& process) {
    std::string identity = std::to_string(process.Pid) + '\0' + (process.OtherUser ? "o" : process.Named ? "n" : "e") +
                           '\0' + process.Command;
    return identity.append(1, '\0').append(process.Executable).append(1, '\0') + std::to_string(process.User);
}
} // namespace

uint32_t TProcessTags::TagOf(const TProcessRef& process) {
    if (!process)
        return 0;
    const auto [found, added] = FTags.try_emplace(IdentityOf(*process), static_cast<uint32_t>(FProcesses.size() + 1));
    if (!added)
        return found->second;
    if (found->second >= FLimit) {
        FTags.erase(found);
        return 0;
    }
    FProcesses.push_back(process);
    return found->second;
}

const TChangeProcess* TProcessTags::ProcessOf(uint32_t tag) const {
    return tag == 0 || tag > FProcesses.size() ? nullptr : FProcesses[tag - 1].get();
}
