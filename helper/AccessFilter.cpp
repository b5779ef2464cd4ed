#include "helper/AccessFilter.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <utility>

namespace {
// Decisions kept for folders that may go; past this many the oldest
// knowledge is dropped whole, which only withholds more.
constexpr size_t MostDecided = 100000;

std::string ParentOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}
} // namespace

TAccessFilter::TAccessFilter(TUserIdentity user, int folder)
    : FUser(std::move(user)), FRoot(::fcntl(folder, F_DUPFD_CLOEXEC, 0)), FHiding(ProcHidingNow()) {}

// The helper marks folders' attribute changes whatever its client asks, so
// that none of them goes unseen here.
void TAccessFilter::Observe(const fanotify::TFanEvent& event) {
    if ((event.Mask & FAN_ONDIR) && (event.Mask & (FAN_ATTRIB | FAN_RENAME)))
        FDecided.clear();
}

bool TAccessFilter::Apply(char* buffer, uint32_t& bytes, std::vector<TProcessRef>& processes,
                          const std::vector<TFolderRef>& folders) {
    FThisRead.clear();
    FIdentityLost = false;
    FilterRecords(buffer, bytes, processes, [&](size_t index, const std::string&, uint32_t) {
        const TDecision decision = DecideFor(index < folders.size() ? folders[index] : nullptr);
        FWithheld += decision == TDecision::Withheld;
        return decision == TDecision::Allowed;
    });
    for (TProcessRef& process : processes)
        process = AsSeenBy(process, FUser.User, FHiding);
    if (!FIdentityLost)
        return true;
    bytes = 0;
    processes.clear();
    return false;
}

bool TAccessFilter::MayKnowOf(const std::string& folder) {
    const inotify::TFd parent = OpenFolderBelow(FRoot.Get(), ParentOf(folder));
    if (parent.Get() < 0)
        return false;
    TActingAs acting(FUser);
    return acting.Taken() && FolderAccess(parent.Get()) == TAccess::Allowed;
}

// The folder is found by its handle with the helper's rights, then judged
// with the user's.
TAccessFilter::TDecision TAccessFilter::DecideFor(const TFolderRef& folder) {
    if (!folder)
        return TDecision::Withheld;
    if (auto known = FThisRead.find(*folder); known != FThisRead.end())
        return known->second;
    const inotify::TFd opened(fanotify::OpenByKey(FRoot.Get(), *folder, O_PATH | O_DIRECTORY));
    TAccess access = TAccess::Gone;
    if (opened.Get() >= 0) {
        TActingAs acting(FUser);
        if (!acting.Taken()) {
            FIdentityLost = true;
            return TDecision::Withheld;
        }
        access = FolderAccess(opened.Get());
    }
    return FThisRead[*folder] = Decide(access, *folder);
}

TAccessFilter::TDecision TAccessFilter::Decide(TAccess access, const std::string& key) {
    TDecision decision = TDecision::Withheld;
    switch (access) {
    case TAccess::Allowed:
        decision = TDecision::Allowed;
        break;
    case TAccess::Denied:
        decision = TDecision::Denied;
        break;
    case TAccess::Gone:
        if (auto before = FDecided.find(key); before != FDecided.end())
            decision = before->second ? TDecision::Allowed : TDecision::Denied;
        break;
    }
    if (decision != TDecision::Withheld) {
        if (FDecided.size() >= MostDecided)
            FDecided.clear();
        FDecided[key] = decision == TDecision::Allowed;
    }
    return decision;
}
