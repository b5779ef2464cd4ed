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
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
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

std::string FileSystemIdOf(const std::string& path) {
    struct statfs status;
    if (::statfs(path.c_str(), &status) != 0)
        return {};
    return std::string(reinterpret_cast<const char*>(&status.f_fsid), sizeof status.f_fsid);
}

// The key fanotify gives the object at path; empty when the system has none.
std::string KeyOf(const std::string& path) {
    std::vector<uint64_t> storage = fanotify::HandleStorage();
    auto* handle = reinterpret_cast<file_handle*>(storage.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    const std::string fileSystem = FileSystemIdOf(path);
    if (fileSystem.empty() || ::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountId, 0) != 0)
        return {};
    return fanotify::KeyOf(fileSystem, *handle);
}

class TFanotifySource final : public TEventSource {
public:
    // rootKey, fileSystem: the watched folder's key and its file system's ID.
    // namesProcesses: whether the group reports the processes of events.
    TFanotifySource(TWatchTree& tree, TPendingChanges& queue, TFd group, std::string rootKey, std::string fileSystem,
                    bool namesProcesses, TExcludedFolders& excluded, const std::atomic<bool>& interrupted)
        : FTree(tree), FGroup(std::move(group)), FRootKey(std::move(rootKey)), FFileSystem(fileSystem),
          FFolders(tree, queue, std::move(fileSystem), FGroup.Get(), excluded, interrupted),
          FNamer(namesProcesses ? std::make_unique<TProcessNamer>() : nullptr) {}

    int Descriptor() const override { return FGroup.Get(); }
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
    void Put(const TFanEvent& event, TInotifyTranslator& translator);
    void PutRemoval(const TDeferredRemoval& removal, TInotifyTranslator& translator);
    void PutDeferredRemovals(const TFanEvent& event, TInotifyTranslator& translator);
    void PutRename(const TFanEvent& event, uint32_t isDir, TInotifyTranslator& translator);
    void PutFolderChange(const TFanEvent& event, TInotifyTranslator& translator);

    TWatchTree& FTree;
    TFd FGroup;
    std::string FRootKey;
    std::string FFileSystem;
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
    const std::string& root = FTree.RootPath();
    if (::fanotify_mark(FGroup.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FanotifyMaskFor(filter), AT_FDCWD,
                        root.c_str()) != 0)
        return errno;
    FFolders.Start(translator, subTree, filter, FRootKey);
    if (FNamer)
        translator.SetProcessOfEvent([this] { return EventProcess(); });
    return GuardRootPath(translator, givenPath);
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
            const std::string key = KeyOf(folder);
            if (key.empty())
                continue;
            if (fanotify::FileSystemOf(key) != FFileSystem &&
                ::fanotify_mark(FGroup.Get(), FAN_MARK_ADD | FAN_MARK_INODE, EntryChanges, AT_FDCWD,
                                folder.c_str()) != 0)
                return errno;
            const int wd = FFolders.Guard(key);
            if (wd != FTree.Root())
                translator.AddGuard(wd, next);
        }
    return 0;
}

void TFanotifySource::Translate(const char* data, size_t length, TInotifyTranslator& translator) {
    FEvents.clear();
    const bool whole = fanotify::ParseEvents(data, length, FEvents);
    for (const TFanEvent& event : FEvents) {
        const TFd pidfd(event.PidFd);
        PutDeferredRemovals(event, translator);
        FEvent = &event;
        FProcess.reset();
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
    for (const TFanEvent& event : FEvents)
        if (event.PidFd >= 0)
            ::close(event.PidFd);
}

void TFanotifySource::NothingQueued() {
    if (FNamer)
        FNamer->QueueSeenEmpty();
}

std::string TFanotifySource::ProcessesUnknown() const {
    if (!FNamer)
        return "processes unknown: turned off by SENTREL_PROCESS_NAMES";
    const std::string why = FNamer->Limitation();
    return why.empty() ? std::string() : "processes named only while they run: " + why;
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

// Naming the processes of changes can be turned off, to measure what it costs.
bool NamesProcesses() {
    const char* chosen = std::getenv("SENTREL_PROCESS_NAMES");
    return !chosen || std::strcmp(chosen, "off") != 0;
}

} // namespace

TFanotifyChoice ChooseFanotify(const std::string& path) {
    const bool namesProcesses = NamesProcesses();
    TFd group(::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE |
                                  FAN_REPORT_DFID_NAME_TARGET | (namesProcesses ? FAN_REPORT_PIDFD : 0),
                              O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (group.Get() < 0)
        return {{}, WhyFanotifyCannotStart(errno)};
    // A trial mark, taken back at once: the watch's own mark is set when it
    // starts, with the changes it asks for.
    if (::fanotify_mark(group.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, EntryChanges, AT_FDCWD, path.c_str()) != 0)
        return {{}, std::string("fanotify cannot mark this file system (") + std::strerror(errno) + ")"};
    ::fanotify_mark(group.Get(), FAN_MARK_FLUSH | FAN_MARK_FILESYSTEM, 0, AT_FDCWD, nullptr);
    const std::string fileSystem = FileSystemIdOf(path);
    const std::string key = KeyOf(path);
    if (fileSystem.empty() || key.empty())
        return {{}, "fanotify cannot name this file system's folders"};
    // Folders are found again by their handles, which takes a capability
    // of its own: a process given CAP_SYS_ADMIN alone has not got it.
    TFd mount(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TFd folder(fanotify::OpenByKey(mount.Get(), key, O_PATH));
    if (folder.Get() < 0)
        return {{}, errno == EPERM ? "fanotify needs the CAP_DAC_READ_SEARCH capability too"
                                   : std::string("fanotify cannot find folders by handle (") + std::strerror(errno) + ")"};
    auto shared = std::make_shared<TFd>(std::move(group));
    TEventSourceMaker maker = [shared, key, fileSystem,
                               namesProcesses](TWatchTree& tree, TPendingChanges& queue, TExcludedFolders& excluded,
                                               const std::atomic<bool>& interrupted) -> std::unique_ptr<TEventSource> {
        return std::make_unique<TFanotifySource>(tree, queue, std::move(*shared), key, fileSystem, namesProcesses,
                                                 excluded, interrupted);
    };
    return {std::move(maker), {}};
}

} // namespace inotify

#endif
