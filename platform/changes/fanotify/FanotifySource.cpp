#ifdef __linux__

#include "platform/changes/fanotify/FanotifySource.h"

#include "platform/changes/DirChanges.h"
#include "platform/changes/fanotify/FanotifyFolders.h"
#include "platform/changes/fanotify/FanotifyRecords.h"
#include "platform/changes/tree/TreePaths.h"
#include "platform/processes/ProcessNames.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace inotify {

namespace {

using fanotify::TFanEvent;
using fanotify::TFanotifyFolders;

// The changes every watch needs: entries made, removed and renamed.
constexpr uint64_t EntryChanges = FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_ONDIR;

uint64_t FanotifyMaskFor(uint32_t filter) {
    const uint32_t inotifyMask = InotifyMaskFor(filter);
    uint64_t mask = EntryChanges;
    if (inotifyMask & IN_MODIFY)
        mask |= FAN_MODIFY;
    if (inotifyMask & IN_ATTRIB)
        mask |= FAN_ATTRIB;
    if (inotifyMask & IN_ACCESS)
        mask |= FAN_ACCESS;
    return mask;
}

// Where a source's events come from: a group of its own, or, for a watch
// made for another user, its share of the helper's group.
struct TFeed {
    TFd Group;
    std::unique_ptr<fanotify::TFanotifyGroup::TShare> Share;
    int Descriptor() const { return Share ? Share->Descriptor() : Group.Get(); }
};

class TFanotifySource final : public TEventSource {
public:
    // rootKey, fileSystem: the watched folder's key and its file system's ID.
    // namesProcesses: whether the group reports the processes of events.
    // served: what a watch for another user needs beside; null for the
    // program's own.
    TFanotifySource(TWatchTree& tree, TPendingChanges& queue, TFeed feed, std::string rootKey, std::string fileSystem,
                    bool namesProcesses, std::shared_ptr<TFanotifyServed> served, TExcludedFolders& excluded,
                    const std::atomic<bool>& interrupted)
        : FTree(tree), FFeed(std::move(feed)), FRootKey(std::move(rootKey)), FFileSystem(fileSystem),
          FServed(std::move(served)),
          FFolders(tree, queue, std::move(fileSystem), FFeed.Descriptor(), excluded, interrupted,
                   FServed ? FServed->Folder.Get() : -1),
          FNamer(namesProcesses ? std::make_unique<TProcessNamer>() : nullptr) {}

    int Descriptor() const override { return FFeed.Descriptor(); }
    ssize_t Read(char* buffer, size_t length) override {
        return FFeed.Share ? FFeed.Share->Read(buffer, length) : ::read(FFeed.Group.Get(), buffer, length);
    }
    int Start(TInotifyTranslator& translator, bool subTree, uint32_t filter, const std::string& givenPath) override;
    void Translate(const char* data, size_t length, TInotifyTranslator& translator) override;
    void QueueEmptied(TInotifyTranslator& translator) override;
    void Drop(const char* data, size_t length) override;
    void NothingQueued() override;
    std::string ProcessesUnknown() const override;
    TFolderKeeper& Keeper() override { return FFolders; }
    bool MergesChanges() const override { return true; }

private:
    // The removal of a folder that the kernel merged into the event of its
    // making: what happened inside the folder is queued behind that event.
    struct TDeferredRemoval {
        std::string Folder;
        std::string Name;
        TProcessRef Process;
    };

    // The process of the event being put, named when a record first needs it.
    TProcessRef EventProcess();

    int GuardRootPath(TInotifyTranslator& translator, const std::string& givenPath);
    // A folder on the way, on another file system than the watch's: errno, or 0.
    int MarkGuard(const std::string& folder, const std::string& fileSystem);
    void Put(const TFanEvent& event, TInotifyTranslator& translator);
    void PutRemoval(const TDeferredRemoval& removal, TInotifyTranslator& translator);
    void PutDeferredRemovals(const TFanEvent& event, TInotifyTranslator& translator);
    void PutRename(const TFanEvent& event, uint32_t isDir, TInotifyTranslator& translator);
    void PutFolderChange(const TFanEvent& event, TInotifyTranslator& translator);

    TWatchTree& FTree;
    TFeed FFeed;
    std::string FRootKey;
    std::string FFileSystem;
    std::shared_ptr<TFanotifyServed> FServed;
    TFanotifyFolders FFolders;
    uint32_t FCookie = 0;
    std::vector<TFanEvent> FEvents;
    std::vector<TDeferredRemoval> FDeferred;
    std::unique_ptr<TProcessNamer> FNamer; // none: the group does not report processes
    const TFanEvent* FEvent = nullptr;     // the event being put
    std::optional<TProcessRef> FProcess;   // its process, once named
};

TProcessRef TFanotifySource::EventProcess() {
    if (!FProcess)
        FProcess = FNamer && FEvent ? FNamer->Name(FEvent->Pid, FEvent->PidFd) : nullptr;
    return *FProcess;
}

int TFanotifySource::Start(TInotifyTranslator& translator, bool subTree, uint32_t filter,
                           const std::string& givenPath) {
    // A watch for another user marks the very folder that user opened, and
    // sees every change of a folder's attributes.
    if (FFeed.Share) {
        if (const int error = FFeed.Share->MarkFileSystem(FServed->Folder.Get(), FanotifyMaskFor(filter) | FAN_ATTRIB))
            return error;
        FFeed.Share->Listen();
    } else if (::fanotify_mark(FFeed.Group.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FanotifyMaskFor(filter),
                               AT_FDCWD, FTree.RootPath().c_str()) != 0) {
        return errno;
    }
    FFolders.Start(translator, subTree, filter, FRootKey);
    if (FNamer || FFeed.Share)
        translator.SetProcessOfEvent([this] { return EventProcess(); });
    if (const int error = GuardRootPath(translator, givenPath); error != 0)
        return error;
    // Once the way is guarded, a path that still leads to the folder opened
    // keeps leading there for as long as the watch lasts.
    if (FServed && fanotify::KeyAt(AT_FDCWD, FTree.RootPath()) != FRootKey)
        return LeadsElsewhere;
    return 0;
}

// The folders on the way to the watched one, along the path as given and
// along the path without links, are watched for the names of the next
// parts, as with inotify. Those on another file system get a mark of their
// own: the file system's mark does not see them. A guard that cannot be set
// fails the start: the watch could not tell that its path leads elsewhere.
int TFanotifySource::GuardRootPath(TInotifyTranslator& translator, const std::string& givenPath) {
    const std::string given = AbsolutePath(givenPath);
    for (const std::string& path : {given, CanonicalPath(given)})
        for (const auto& [folder, next] : StepsTo(path)) {
            const std::string key = fanotify::KeyAt(AT_FDCWD, folder);
            if (key.empty())
                continue;
            if (fanotify::FileSystemOf(key) != FFileSystem)
                if (const int error = MarkGuard(folder, fanotify::FileSystemOf(key)))
                    return error;
            const int wd = FFolders.Guard(key);
            if (wd != FTree.Root())
                translator.AddGuard(wd, next);
        }
    return 0;
}

int TFanotifySource::MarkGuard(const std::string& folder, const std::string& fileSystem) {
    if (FFeed.Share)
        return FFeed.Share->MarkFolder(folder, fileSystem, EntryChanges);
    return ::fanotify_mark(FFeed.Group.Get(), FAN_MARK_ADD | FAN_MARK_INODE, EntryChanges, AT_FDCWD, folder.c_str()) == 0
               ? 0
               : errno;
}

void TFanotifySource::Translate(const char* data, size_t length, TInotifyTranslator& translator) {
    FEvents.clear();
    const bool whole = fanotify::ParseEvents(data, length, FEvents);
    for (const TFanEvent& event : FEvents) {
        const TFd pidfd(event.PidFd);
        // A share of the helper's group gets each event's process named already.
        const TProcessRef named = FFeed.Share ? FFeed.Share->TakeProcess() : nullptr;
        if (FServed && FServed->Observe)
            FServed->Observe(event);
        PutDeferredRemovals(event, translator);
        FEvent = &event;
        FProcess.reset();
        if (FFeed.Share)
            FProcess = named;
        Put(event, translator);
        FEvent = nullptr;
        FProcess.reset();
    }
    if (!whole)
        translator.LoseChanges(TLossReason::Unreadable);
}

// What happened inside a folder made and removed is queued before the queue
// was found empty: the removal can be put now.
void TFanotifySource::QueueEmptied(TInotifyTranslator& translator) {
    // Its share of a group lost events while its pipe was full.
    if (FFeed.Share && FFeed.Share->TakeOverflow())
        translator.LoseChanges(TLossReason::SystemQueueFull);
    for (const TDeferredRemoval& removal : std::exchange(FDeferred, {}))
        PutRemoval(removal, translator);
}

// A deferred removal is put before the next event that names its entry
// again, or else once the kernel queue is found empty.
void TFanotifySource::PutDeferredRemovals(const TFanEvent& event, TInotifyTranslator& translator) {
    for (auto removal = FDeferred.begin(); removal != FDeferred.end();) {
        const bool named = (removal->Folder == event.Folder && removal->Name == event.Name) ||
                           (removal->Folder == event.NewFolder && removal->Name == event.NewName);
        if (!named) {
            ++removal;
            continue;
        }
        PutRemoval(*removal, translator);
        removal = FDeferred.erase(removal);
    }
}

void TFanotifySource::PutRemoval(const TDeferredRemoval& removal, TInotifyTranslator& translator) {
    FProcess = removal.Process;
    if (const std::optional<int> wd = FFolders.FolderOf(removal.Folder))
        translator.Translate({*wd, IN_DELETE | IN_ISDIR, 0, removal.Name});
    FProcess.reset();
}

void TFanotifySource::Drop(const char* data, size_t length) {
    FEvents.clear();
    fanotify::ParseEvents(data, length, FEvents);
    for (const TFanEvent& event : FEvents) {
        if (event.PidFd >= 0)
            ::close(event.PidFd);
        if (FFeed.Share)
            FFeed.Share->TakeProcess();
    }
}

void TFanotifySource::NothingQueued() {
    if (FNamer)
        FNamer->QueueSeenEmpty();
}

std::string TFanotifySource::ProcessesUnknown() const {
    return FServed ? FServed->Group->ProcessesUnknown() : ProcessesUnknownBy(FNamer.get());
}

// One fanotify event as the inotify events it stands for. The kernel merges
// changes of one entry by one process into one event while it waits to be
// read; such an event is put in the order the changes must have come in:
// made, changed, removed. A folder made and removed is removed only after
// the events from inside it, which are queued behind.
void TFanotifySource::Put(const TFanEvent& event, TInotifyTranslator& translator) {
    if (event.Mask & FAN_Q_OVERFLOW) {
        translator.LoseChanges(TLossReason::SystemQueueFull);
        return;
    }
    const uint32_t isDir = (event.Mask & FAN_ONDIR) ? IN_ISDIR : 0;
    if (event.Mask & FAN_RENAME) {
        PutRename(event, isDir, translator);
        return;
    }
    if (event.Folder.empty())
        return; // about a file no name leads to any more
    if (event.Name == ".") {
        PutFolderChange(event, translator);
        return;
    }
    const std::optional<int> wd = FFolders.FolderOf(event.Folder);
    if (!wd)
        return;
    // Both in one event: the system merged changes of the entry, whose
    // order it does not tell.
    if ((event.Mask & FAN_CREATE) && (event.Mask & FAN_DELETE))
        translator.CheckLater(*wd, event.Name);
    if (event.Mask & FAN_CREATE) {
        FFolders.Expect(event.Object);
        translator.Translate({*wd, IN_CREATE | isDir, 0, event.Name});
        FFolders.Expect({});
    }
    const uint32_t changes = ((event.Mask & FAN_MODIFY) ? IN_MODIFY : 0) |
                             ((event.Mask & FAN_ATTRIB) ? IN_ATTRIB : 0) | ((event.Mask & FAN_ACCESS) ? IN_ACCESS : 0);
    if (changes)
        translator.Translate({*wd, changes | isDir, 0, event.Name});
    if ((event.Mask & FAN_DELETE) && isDir && (event.Mask & FAN_CREATE))
        FDeferred.push_back({event.Folder, event.Name, EventProcess()});
    else if (event.Mask & FAN_DELETE)
        translator.Translate({*wd, IN_DELETE | isDir, 0, event.Name});
}

// A rename within the tree is a pair of halves with a cookie of their own;
// one out of the tree is a removal there, one into it an addition.
void TFanotifySource::PutRename(const TFanEvent& event, uint32_t isDir, TInotifyTranslator& translator) {
    const std::optional<int> from = FFolders.FolderOf(event.Folder);
    const std::optional<int> to = FFolders.FolderOf(event.NewFolder);
    const bool fromTree = from && FTree.Contains(*from);
    const bool toTree = to && FTree.Contains(*to);
    const uint32_t cookie = fromTree && toTree ? ++FCookie : 0;
    // The system merges a rename into an identical one still queued: renames
    // back and forth come through in the wrong number.
    if (fromTree)
        translator.CheckLater(*from, event.Name);
    if (toTree)
        translator.CheckLater(*to, event.NewName);
    if (from)
        translator.Translate({*from, (fromTree && !toTree ? IN_DELETE : IN_MOVED_FROM) | isDir, cookie, event.Name});
    if (to) {
        FFolders.Expect(event.Object);
        translator.Translate({*to, IN_MOVED_TO | isDir, cookie, event.NewName});
        FFolders.Expect({});
    }
}

// A change of a folder itself, reported as a change of its entry in its
// parent, as inotify reports it. The watched folder's own is not reported.
void TFanotifySource::PutFolderChange(const TFanEvent& event, TInotifyTranslator& translator) {
    const std::optional<int> wd = FFolders.FolderOf(event.Folder);
    if (!wd || !FTree.Contains(*wd) || *wd == FTree.Root())
        return;
    const uint32_t changes = ((event.Mask & FAN_ATTRIB) ? IN_ATTRIB : 0) | ((event.Mask & FAN_ACCESS) ? IN_ACCESS : 0);
    if (changes)
        translator.Translate({FTree.ParentOf(*wd), changes | IN_ISDIR, 0, FTree.NameOf(*wd)});
}

std::string WhyFanotifyCannotStart(int error) {
    switch (error) {
    case EPERM:
        return "fanotify needs the CAP_SYS_ADMIN capability";
    case EINVAL:
        return "fanotify needs Linux 5.17 or later";
    case ENOSYS:
        return "the kernel has no fanotify";
    default:
        return std::string("fanotify could not start (") + std::strerror(error) + ")";
    }
}


} // namespace

bool NamesProcesses() {
    const char* chosen = std::getenv("SENTREL_PROCESS_NAMES");
    return !chosen || std::strcmp(chosen, "off") != 0;
}

TFanotifyChoice ChooseFanotify(const std::string& path) {
    return ChooseFanotify(path, nullptr);
}

namespace {

// A group of the watch's own, with a trial mark taken back at once: the
// watch's own mark is set when it starts, with the changes it asks for.
std::optional<TFeed> OwnFeed(const std::string& path, bool namesProcesses, std::string& whyNot) {
    TFd group(::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE |
                                  FAN_REPORT_DFID_NAME_TARGET | (namesProcesses ? FAN_REPORT_PIDFD : 0),
                              O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (group.Get() < 0) {
        whyNot = WhyFanotifyCannotStart(errno);
        return std::nullopt;
    }
    if (::fanotify_mark(group.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, EntryChanges, AT_FDCWD, path.c_str()) != 0) {
        whyNot = std::string("fanotify cannot mark this file system (") + std::strerror(errno) + ")";
        return std::nullopt;
    }
    ::fanotify_mark(group.Get(), FAN_MARK_FLUSH | FAN_MARK_FILESYSTEM, 0, AT_FDCWD, nullptr);
    return TFeed{std::move(group), nullptr};
}

// A share of the helper's group, whose mark of the folder's file system
// stays: the watch needs it anyway.
std::optional<TFeed> SharedFeed(TFanotifyServed& served, std::string& whyNot) {
    int error = 0;
    std::unique_ptr<fanotify::TFanotifyGroup::TShare> share = served.Group->Join(error);
    if (!share) {
        whyNot = error == EMFILE ? "the helper watches at most " + std::to_string(fanotify::TFanotifyGroup::MostShares) +
                                       " folders for one program"
                                 : std::string("no pipe for the watch (") + std::strerror(error) + ")";
        return std::nullopt;
    }
    if (const int marked = share->MarkFileSystem(served.Folder.Get(), EntryChanges)) {
        whyNot = std::string("fanotify cannot mark this file system (") + std::strerror(marked) + ")";
        return std::nullopt;
    }
    return TFeed{TFd(), std::move(share)};
}

} // namespace

// A watch for another user names the folder by the descriptor it was opened
// with, never by its path.
TFanotifyChoice ChooseFanotify(const std::string& path, std::shared_ptr<TFanotifyServed> served) {
    // The helper's group names processes itself, as it reads their events.
    const bool namesProcesses = !served && NamesProcesses();
    std::string whyNot;
    std::optional<TFeed> feed = served ? SharedFeed(*served, whyNot) : OwnFeed(path, namesProcesses, whyNot);
    if (!feed)
        return {{}, whyNot};
    const int at = served ? served->Folder.Get() : AT_FDCWD;
    const std::string fileSystem = fanotify::FileSystemIdOf(served ? at : AT_FDCWD, served ? std::string() : path);
    const std::string key = served ? fanotify::KeyAt(at, {}) : fanotify::KeyAt(AT_FDCWD, path);
    if (fileSystem.empty() || key.empty())
        return {{}, "fanotify cannot name this file system's folders"};
    // Folders are found again by their handles, which takes a capability
    // of its own: a process given CAP_SYS_ADMIN alone has not got it.
    TFd mount(served ? ::fcntl(at, F_DUPFD_CLOEXEC, 0) : ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TFd folder(fanotify::OpenByKey(mount.Get(), key, O_PATH));
    if (folder.Get() < 0)
        return {{}, errno == EPERM ? "fanotify needs the CAP_DAC_READ_SEARCH capability too"
                                   : std::string("fanotify cannot find folders by handle (") + std::strerror(errno) + ")"};
    auto shared = std::make_shared<TFeed>(std::move(*feed));
    TEventSourceMaker maker = [shared, key, fileSystem, namesProcesses,
                               served](TWatchTree& tree, TPendingChanges& queue, TExcludedFolders& excluded,
                                       const std::atomic<bool>& interrupted) -> std::unique_ptr<TEventSource> {
        return std::make_unique<TFanotifySource>(tree, queue, std::move(*shared), key, fileSystem, namesProcesses,
                                                 served, excluded, interrupted);
    };
    return {std::move(maker), {}};
}

} // namespace inotify

#endif
