#ifdef __linux__

#include "platform/changes/fanotify/FanotifyGroup.h"

#include "platform/changes/fanotify/FanotifyRecords.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace fanotify {

namespace {
std::string FileSystemOfFolder(int folder) {
    struct statfs status;
    if (::fstatfs(folder, &status) != 0)
        return {};
    return std::string(reinterpret_cast<const char*>(&status.f_fsid), sizeof status.f_fsid);
}

} // namespace

std::shared_ptr<TFanotifyGroup> TFanotifyGroup::Open(bool namesProcesses, int& error) {
    // The kernel's queue keeps its own bound: a group of the helper's is
    // read at all times, and what it cannot take in time is lost, and said.
    inotify::TFd group(::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME_TARGET |
                                           (namesProcesses ? FAN_REPORT_PIDFD : 0),
                                       O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    inotify::TFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (group.Get() < 0 || stop.Get() < 0) {
        error = errno;
        return nullptr;
    }
    return std::shared_ptr<TFanotifyGroup>(new TFanotifyGroup(std::move(group), std::move(stop), namesProcesses));
}

TFanotifyGroup::TFanotifyGroup(inotify::TFd group, inotify::TFd stop, bool namesProcesses)
    : FGroup(std::move(group)), FStop(std::move(stop)),
      FNamer(namesProcesses ? std::make_unique<TProcessNamer>() : nullptr), FThread([this] { Run(); }) {}

std::string TFanotifyGroup::ProcessesUnknown() const {
    return ProcessesUnknownBy(FNamer.get());
}

TFanotifyGroup::~TFanotifyGroup() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(FStop.Get(), &one, sizeof one);
    FThread.join();
}

void TFanotifyGroup::Run() {
    alignas(8) char events[64 * 1024];
    for (;;) {
        pollfd descriptors[] = {{FGroup.Get(), POLLIN, 0}, {FStop.Get(), POLLIN, 0}};
        if (::poll(descriptors, 2, -1) < 0 && errno != EINTR)
            return;
        if (descriptors[1].revents)
            return;
        for (;;) {
            const ssize_t length = ::read(FGroup.Get(), events, sizeof events);
            if (length < 0 && errno == EINTR)
                continue;
            if (length <= 0)
                break;
            std::lock_guard lock(FLock);
            Dispatch(events, static_cast<size_t>(length));
        }
        // Every event queued so far is read and named.
        if (FNamer)
            FNamer->QueueSeenEmpty();
    }
}

// Each event goes to the watches of its file system, an overflow of the
// kernel's queue to all. Its process is named now, while its pidfd holds
// it, and the pidfd closed: the watches take the name instead.
void TFanotifyGroup::Dispatch(char* data, size_t length) {
    std::vector<TEventBytes> events;
    SplitEvents(data, length, events);
    for (const TEventBytes& event : events) {
        char* bytes = data + event.Offset;
        const TProcessRef process = FNamer && event.Pid ? FNamer->Name(event.Pid, event.PidFd) : nullptr;
        if (event.PidFd >= 0) {
            ::close(event.PidFd);
            const int none = FAN_NOPIDFD;
            std::memcpy(bytes + event.PidFdAt, &none, sizeof none);
        }
        for (TShare* share : FShares) {
            if (!share->FListening || share->FOverflowed ||
                (!event.FileSystem.empty() && std::find(share->FFileSystems.begin(), share->FFileSystems.end(),
                                                        event.FileSystem) == share->FFileSystems.end()))
                continue;
            std::lock_guard names(share->FProcessesLock);
            share->FProcesses.push_back(process);
            if (::write(share->FWriter.Get(), bytes, event.Length) != static_cast<ssize_t>(event.Length)) {
                share->FProcesses.pop_back();
                share->FOverflowed = true;
            }
        }
    }
}

std::unique_ptr<TFanotifyGroup::TShare> TFanotifyGroup::Join(int& error) {
    int ends[2];
    std::lock_guard lock(FLock);
    if (FShares.size() >= MostShares) {
        error = EMFILE;
        return nullptr;
    }
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errno;
        return nullptr;
    }
    std::unique_ptr<TShare> share(new TShare(shared_from_this()));
    share->FPipe = inotify::TFd(ends[0]);
    share->FWriter = inotify::TFd(ends[1]);
    ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(ShareBytes));
    FShares.push_back(share.get());
    return share;
}

namespace {
uint64_t MaskOf(const std::map<const TFanotifyGroup::TShare*, uint64_t>& masks) {
    uint64_t mask = 0;
    for (const auto& [share, asked] : masks)
        mask |= asked;
    return mask;
}
} // namespace

// What no other watch needs is taken back from the kernel.
void TFanotifyGroup::Leave(TShare& share) {
    std::lock_guard lock(FLock);
    FShares.erase(std::remove(FShares.begin(), FShares.end(), &share), FShares.end());
    for (const std::string& fileSystem : share.FFileSystems) {
        const auto mark = FMarks.find(fileSystem);
        if (mark == FMarks.end() || !mark->second.Masks.count(&share))
            continue;
        const uint64_t before = MaskOf(mark->second.Masks);
        mark->second.Masks.erase(&share);
        const uint64_t after = MaskOf(mark->second.Masks);
        if (before & ~after)
            ::fanotify_mark(FGroup.Get(), FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, before & ~after,
                            mark->second.Folder.Get(), nullptr);
        if (mark->second.Masks.empty())
            FMarks.erase(mark);
    }
}

TFanotifyGroup::TShare::~TShare() {
    FGroup->Leave(*this);
}

ssize_t TFanotifyGroup::TShare::Read(char* buffer, size_t length) {
    const size_t carried = std::min(FCarry.size(), length);
    std::memcpy(buffer, FCarry.data(), carried);
    FCarry.erase(0, carried);
    const ssize_t read = ::read(FPipe.Get(), buffer + carried, length - carried);
    const int error = errno;
    const size_t filled = carried + static_cast<size_t>(std::max<ssize_t>(read, 0));
    // A read may end inside an event the group wrote whole: its start waits
    // for the next read.
    size_t events = 0;
    const size_t whole = WholeEventsLength(buffer, filled, events);
    FCarry.insert(0, buffer + whole, filled - whole);
    FRead.clear();
    {
        std::lock_guard names(FProcessesLock);
        for (size_t event = 0; event < events && !FProcesses.empty(); ++event) {
            FRead.push_back(std::move(FProcesses.front()));
            FProcesses.pop_front();
        }
    }
    if (whole == 0) {
        errno = read < 0 ? error : EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(whole);
}

void TFanotifyGroup::TShare::Listen() {
    std::lock_guard lock(FGroup->FLock);
    FListening = true;
}

TProcessRef TFanotifyGroup::TShare::TakeProcess() {
    if (FRead.empty())
        return nullptr;
    TProcessRef process = std::move(FRead.front());
    FRead.pop_front();
    return process;
}

int TFanotifyGroup::TShare::MarkFileSystem(int folder, uint64_t mask) {
    const std::string fileSystem = FileSystemOfFolder(folder);
    if (fileSystem.empty())
        return errno;
    std::lock_guard lock(FGroup->FLock);
    TFileSystemMark& mark = FGroup->FMarks[fileSystem];
    if (mark.Folder.Get() < 0)
        mark.Folder = inotify::TFd(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (::fanotify_mark(FGroup->FGroup.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, folder, nullptr) != 0) {
        const int error = errno;
        if (mark.Masks.empty())
            FGroup->FMarks.erase(fileSystem);
        return error;
    }
    mark.Masks[this] |= mask;
    if (std::find(FFileSystems.begin(), FFileSystems.end(), fileSystem) == FFileSystems.end())
        FFileSystems.push_back(fileSystem);
    return 0;
}

// A folder's mark is not taken back when the watch ends: other watches may
// lean on it, and there are no more of them than folders on the way to
// watched ones.
int TFanotifyGroup::TShare::MarkFolder(const std::string& path, const std::string& fileSystem, uint64_t mask) {
    std::lock_guard lock(FGroup->FLock);
    if (::fanotify_mark(FGroup->FGroup.Get(), FAN_MARK_ADD | FAN_MARK_INODE, mask, AT_FDCWD, path.c_str()) != 0)
        return errno;
    if (std::find(FFileSystems.begin(), FFileSystems.end(), fileSystem) == FFileSystems.end())
        FFileSystems.push_back(fileSystem);
    return 0;
}

} // namespace fanotify

#endif
