#pragma once

// The process behind a change. fanotify tells the process of each event by
// its number and, while it has not been reaped, a pidfd; a number is soon
// given to another process, so a name is taken only where the process is
// known to be the one of the event: through its pidfd while it lives, and,
// once it ended, from names taken when it started a program (the kernel's
// process events), if no other process with that number could still have
// events waiting to be read. Where neither is certain, the change says
// that its process ended before it could be named: never a guess.
#include <cstdint>
#include <memory>
#include <string>

struct TChangeProcess {
    int32_t Pid = 0;        // 0: withheld from whoever is told
    bool Named = false;     // false: it ended before it could be named
    std::string Command;    // the command name the system keeps (at most 15 bytes)
    std::string Executable; // the program's path; empty where it could not be read
    int64_t User = -1;      // the user it ran as (its effective user ID); -1 where not known
    // Another user's process, of which whoever is told may learn no more
    // than its Pid and User, where those are not withheld (0 and -1).
    bool OtherUser = false;
};
using TProcessRef = std::shared_ptr<const TChangeProcess>;

// For a person: "touch (pid 4242, /usr/bin/touch, user ann)", "pid 4242,
// ended before it could be named", or "a process of another user (pid
// 4242, user bob)". Names as the system gives them: the caller makes odd
// bytes visible where it shows them.
std::string DescribeProcess(const TChangeProcess& process);
// The name of a user ID, or the number where it has none.
std::string UserNameOf(int64_t user);

#ifdef __linux__

// The names of the processes of one event reader. Readers of one program
// share one listener of the kernel's process events (which needs
// CAP_NET_ADMIN; without it only processes still running are named).
//
// Threading: one reader's members on its own thread; readers on several
// threads at once.
class TProcessNamer {
public:
    TProcessNamer();
    ~TProcessNamer();
    TProcessNamer(const TProcessNamer&) = delete;
    TProcessNamer& operator=(const TProcessNamer&) = delete;

    // The process of an event: its number and its pidfd, or the kernel's
    // negative value where it gave none (FAN_NOPIDFD: the process had been
    // reaped; FAN_EPIDFD: it failed to make one).
    TProcessRef Name(int pid, int pidfd);
    // The reader's queue of events was seen empty: every event made before
    // now was read, so processes that ended before the last such look can
    // have no events still waiting.
    void QueueSeenEmpty();
    // Why ended processes cannot be named; empty when they can.
    std::string Limitation() const;

    class TListener;

private:
    std::shared_ptr<TListener> FListener;
    size_t FReader = 0;     // this reader's place among the listener's
    uint64_t FMark = 0;     // processes that ended by this serial have no events left to read
    uint64_t FNextMark = 0; // the serial when the queue was last seen empty: the next mark once it is seen empty again
};

// Why the processes behind a watch's changes are not known, or only in
// part, for its watch line: none where namer names them all, and naming
// turned off where there is no namer.
std::string ProcessesUnknownBy(const TProcessNamer* namer);

#endif
