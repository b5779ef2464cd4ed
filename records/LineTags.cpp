#include "records/LineTags.h"

namespace {
// Two lookups of one process give two objects alike: what identifies it.
std::string IdentityOf(const TChangeProcess* process, const std::optional<TLocalDay>& day) {
    std::string identity = day ? day->Date + day->Offset : std::string();
    if (!process)
        return identity;
    identity += '\0' + std::to_string(process->Pid) + '\0' + (process->OtherUser ? "o" : process->Named ? "n" : "e") +
                '\0' + process->Command;
    return identity.append(1, '\0').append(process->Executable).append(1, '\0') + std::to_string(process->User);
}
} // namespace

uint32_t TLineTags::TagOf(const TProcessRef& process, const std::optional<TLocalDay>& day) {
    if (!process && !day)
        return 0;
    const auto [found, added] = FTags.try_emplace(IdentityOf(process.get(), day), static_cast<uint32_t>(FTagged.size() + 1));
    if (!added)
        return found->second;
    if (found->second >= FLimit) {
        FTags.erase(found);
        return 0;
    }
    FTagged.push_back({process, day});
    return found->second;
}

const TChangeProcess* TLineTags::ProcessOf(uint32_t tag) const {
    return tag == 0 || tag > FTagged.size() ? nullptr : FTagged[tag - 1].Process.get();
}

const TLocalDay* TLineTags::DayOf(uint32_t tag) const {
    return tag == 0 || tag > FTagged.size() || !FTagged[tag - 1].Day ? nullptr : &*FTagged[tag - 1].Day;
}
