#pragma once

// One fanotify group for several watches: the privileged helper keeps one
// for each program it serves, so that no program can take more of the
// system's groups than one, however many folders it watches. A thread of
// its own reads the kernel's queue at all times (the kernel's queue keeps
// its own bound), names the process of each event as it reads it, and hands
// each event to the watches of the file system it is about, each through a
// pipe of bounded size. A watch whose pipe is full loses its events until
// it has read what it has; it then learns that changes were lost, as from
// the kernel's own overflow.
#ifdef __linux__

#include "platform/processes/ProcessNames.h"
#include "platform/system/FileDescriptor.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace fanotify {

class TFanotifyGroup : public std::enable_shared_from_this<TFanotifyGroup> {
public:
    // What one watch's pipe holds at most: a program's watches together
    // hold at most MostShares times as much.
    static constexpr size_t ShareBytes = 1 << 20;
    static constexpr size_t MostShares = 16;

    // The group, naming the processes of events where namesProcesses; null
    // with the system's error number.
    static std::shared_ptr<TFanotifyGroup> Open(bool namesProcesses, int& error);
    ~TFanotifyGroup();
    TFanotifyGroup(const TFanotifyGroup&) = delete;
    TFanotifyGroup& operator=(const TFanotifyGroup&) = delete;

    // Why the processes behind changes are not known, or only in part.
    std::string ProcessesUnknown() const;

    // One watch's share of the group's events. Threading: the watch's own
    // thread; the group's thread writes to its pipe.
    class TShare {
    public:
        ~TShare();
        TShare(const TShare&) = delete;
        TShare& operator=(const TShare&) = delete;
        // Readable when events wait.
        int Descriptor() const { return FPipe.Get(); }
        // Whole events into buffer, as a read of a group gives them, their
        // pidfds taken already (see TakeProcess); -1 with errno EAGAIN when
        // none waits.
        ssize_t Read(char* buffer, size_t length);
        // The process of the next event of the last Read, in order.
        TProcessRef TakeProcess();
        // Marks the file system that holds folder (a descriptor) for mask,
        // beside what the other watches asked: errno, or 0.
        int MarkFileSystem(int folder, uint64_t mask);
        // Marks the folder at path, on fileSystem, another than the watch's,
        // for mask: its events come to this watch too. errno, or 0.
        int MarkFolder(const std::string& path, const std::string& fileSystem, uint64_t mask);
        // From now on the events of its file systems come to it: those made
        // while it was being set up, before the watch started, are not its.
        void Listen();
        // Whether events were dropped since the last call, the pipe being full.
        bool TakeOverflow() { return FOverflowed.exchange(false); }

    private:
        friend class TFanotifyGroup;
        explicit TShare(std::shared_ptr<TFanotifyGroup> group) : FGroup(std::move(group)) {}
        std::shared_ptr<TFanotifyGroup> FGroup;
        inotify::TFd FPipe;   // the read end
        inotify::TFd FWriter; // the group's end
        std::vector<std::string> FFileSystems; // guarded by the group's lock
        bool FListening = false;               // guarded by the group's lock
        std::atomic<bool> FOverflowed{false};
        std::mutex FProcessesLock;
        std::deque<TProcessRef> FProcesses; // of the events in the pipe, in order
        std::string FCarry;                 // the start of an event a read cut short
        std::deque<TProcessRef> FRead;      // of the events of the last Read
    };

    // A share for a watch; null with errno where no pipe can be made, or
    // past MostShares (EMFILE).
    std::unique_ptr<TShare> Join(int& error);

private:
    struct TFileSystemMark {
        inotify::TFd Folder; // to take the mark back
        std::map<const TShare*, uint64_t> Masks;
    };

    TFanotifyGroup(inotify::TFd group, inotify::TFd stop, bool namesProcesses);
    void Run();
    void Dispatch(char* data, size_t length);
    void Leave(TShare& share);

    inotify::TFd FGroup;
    inotify::TFd FStop;
    std::unique_ptr<TProcessNamer> FNamer; // the group's thread's; none where processes are not named
    std::mutex FLock;                      // guards what follows
    std::vector<TShare*> FShares;
    std::map<std::string, TFileSystemMark> FMarks; // by file system
    std::thread FThread; // last: it starts once everything else is made
};

} // namespace fanotify

#endif
