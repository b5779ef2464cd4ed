#pragma once

// The kernel's process events, listened to on a thread of its own: the
// names of every process taken when it starts a program, kept after it
// ends for as long as some reader may still have events of it. The readers
// of one program share one listener.
#ifdef __linux__

#include "platform/processes/ProcessEvents.h"
#include "platform/processes/ProcessNames.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

// One process the listener knows: from its fork, or its program's start,
// to its end, and for a while after.
struct TProcessLife {
    int Pid = 0;
    uint64_t Inode = 0; // its pidfd's, where known
    TProcessRef Process;
    uint64_t Ended = 0; // the serial of its end; 0 while it runs
};

// What was looked up of a process while its event waited: valid unless
// the number was given to another process before the look.
struct TProcessLook {
    bool Valid = false;
    uint64_t Inode = 0;
    TProcessRef Process;
    bool StillRunning = false; // Exit: other threads of the process go on
};

// Where a listener's events come from, and how it looks at the process of
// one: the kernel's process events and /proc, or a test's script.
class TProcessEventSource {
public:
    virtual ~TProcessEventSource() = default;
    // A descriptor that becomes readable when events are queued; -1 where
    // none is to be waited for.
    virtual int Descriptor() const = 0;
    // Appends the events queued now; false when some were lost.
    virtual bool Receive(std::vector<TProcessEvent>& events) = 0;
    virtual TProcessLook Look(const TProcessEvent& event) = 0;
};

class TProcessNamer::TListener {
public:
    // Listens to the kernel's events, on a thread of its own.
    TListener();
    // Takes the events of source whenever it is asked a question (tests).
    explicit TListener(std::unique_ptr<TProcessEventSource> source);
    ~TListener();

    const std::string& WhyNot() const { return FWhyNot; }

    // A new reader, and the mark it starts from: no process that ended
    // before it began can have events in its queue.
    size_t Register(uint64_t& mark);
    void Unregister(size_t reader);
    void SetMark(size_t reader, uint64_t mark);
    uint64_t EndSerial();

    // A process still running, by its pidfd's inode, with the program it
    // started last (the events of its start are taken first).
    TProcessRef ByInode(uint64_t inode);

    // A running process named through its pidfd, which the listener did not
    // see start (or could not name then): its later changes are named by
    // its inode. Only while it still runs once every event before now is
    // taken, so that its number is still its own; a program it started
    // since is known by its own event, which the name read before must not
    // overwrite.
    void Adopt(int pid, int pidfd, uint64_t inode, const TProcessRef& process);

    // An ended process, for a reader whose events of every process that
    // ended by mark were read: named only when exactly one process of that
    // number ended after mark.
    TProcessRef Ended(int pid, uint64_t mark);

private:
    using TLook = TProcessLook;
    void Listen();
    void CatchUpLocked();
    static TLook ConfirmLook(const std::vector<TProcessEvent>& batch, const std::vector<TProcessEvent>& more,
                             size_t index, TLook look);
    TProcessLife* Running(int pid);
    void Apply(const TProcessEvent& event, TLook look);
    void Begin(int pid, const TLook& look);
    void SetInode(TProcessLife& life, uint64_t inode);
    void ReleaseInode(int pid, uint64_t inode);
    void EndLocked(int pid);
    void RetireLocked();
    void Drop(const std::pair<uint64_t, int>& ended);
    void ForgetAll();

    std::string FWhyNot;
    std::unique_ptr<TProcessEventSource> FSource; // none where events cannot be read
    int FStop = -1;
    std::thread FThread;
    std::mutex FMutex;
    std::unordered_map<int, std::vector<TProcessLife>> FLives;
    std::unordered_map<uint64_t, int> FInodes;
    std::deque<std::pair<uint64_t, int>> FEnded; // by serial: the serial and the number
    std::vector<uint64_t> FMarks;                // by reader; UINT64_MAX: a place free
    uint64_t FEndSerial = 0;
    uint64_t FForgotten = 0; // ends up to this serial may be unknown
};

// The listener every namer of the program shares while one exists.
std::shared_ptr<TProcessNamer::TListener> SharedProcessListener();

#endif
