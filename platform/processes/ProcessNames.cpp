#include "platform/processes/ProcessNames.h"

#include <mutex>
#include <unordered_map>
#include <vector>
#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

// Looked up once a user: a line of every change names its user, and the
// system reads its user database anew at each question. Windows tells no
// process of a change, so no user either.
std::string UserNameOf(int64_t user) {
    if (user < 0)
        return "unknown";
#ifdef _WIN32
    return std::to_string(user);
#else
    static std::mutex mutex;
    static std::unordered_map<int64_t, std::string> names;
    std::lock_guard lock(mutex);
    if (const auto known = names.find(user); known != names.end())
        return known->second;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> storage(4096);
    const bool named =
        ::getpwuid_r(static_cast<uid_t>(user), &entry, storage.data(), storage.size(), &found) == 0 && found;
    return names[user] = named ? std::string(found->pw_name) : std::to_string(user);
#endif
}

std::string DescribeProcess(const TChangeProcess& process) {
    const std::string pid = "pid " + std::to_string(process.Pid);
    if (!process.Named)
        return pid + ", ended before it could be named";
    std::string text = process.Command + " (" + pid;
    if (!process.Executable.empty())
        text += ", " + process.Executable;
    if (process.User >= 0)
        text += ", user " + UserNameOf(process.User);
    return text + ")";
}

#ifdef __linux__

#include "platform/processes/ProcessEvents.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <thread>
#include <utility>

namespace {

// The file system of pidfds since Linux 6.9: there, a pidfd's inode number
// is the process's own and never given to another.
constexpr long PidFsMagic = 0x50494446;
// Ended processes kept while some reader may still have their events.
constexpr size_t EndedKept = 1 << 18;

std::string ReadSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[4096];
    const ssize_t length = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

// The process's command, program and effective user as /proc tells them
// now; Named is false when the command could not be read.
TChangeProcess ReadProcess(int pid) {
    const std::string base = "/proc/" + std::to_string(pid) + "/";
    TChangeProcess process;
    process.Pid = pid;
    std::string command = ReadSmallFile(base + "comm");
    if (command.empty())
        return process;
    if (command.back() == '\n')
        command.pop_back();
    process.Command = std::move(command);
    process.Named = true;
    char target[4096];
    const ssize_t length = ::readlink((base + "exe").c_str(), target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target)
        process.Executable.assign(target, static_cast<size_t>(length));
    const std::string status = ReadSmallFile(base + "status");
    const size_t uid = status.find("\nUid:");
    if (uid != std::string::npos) {
        unsigned real = 0, effective = 0;
        if (std::sscanf(status.c_str() + uid, "\nUid:\t%u\t%u", &real, &effective) == 2)
            process.User = effective;
    }
    return process;
}

int PidfdOpen(int pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Not yet reaped: its number is not free for another process.
bool PidfdAlive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
}

// The process's own inode number; 0 on a kernel whose pidfds have none.
uint64_t PidfdInode(int pidfd) {
    struct statfs fileSystem;
    struct stat status;
    if (::fstatfs(pidfd, &fileSystem) != 0 || fileSystem.f_type != PidFsMagic || ::fstat(pidfd, &status) != 0)
        return 0;
    return status.st_ino;
}

// The threads a process has now; 0 once it is reaped.
size_t ThreadsOf(int pid) {
    std::error_code error;
    size_t threads = 0;
    for (std::filesystem::directory_iterator task("/proc/" + std::to_string(pid) + "/task", error), end;
         !error && task != end; task.increment(error))
        ++threads;
    return threads;
}

// The process behind pid as seen through pidfd: named only if it had not
// been reaped after its names were read.
TProcessRef ReadThroughPidfd(int pid, int pidfd) {
    auto process = std::make_shared<TChangeProcess>(ReadProcess(pid));
    if (!process->Named || !PidfdAlive(pidfd))
        return nullptr;
    return process;
}

} // namespace

// One process the listener knows: from its fork, or its program's start,
// to its end, and for a while after.
struct TProcessLife {
    int Pid = 0;
    uint64_t Inode = 0; // its pidfd's, where known
    TProcessRef Process;
    uint64_t Ended = 0; // the serial of its end; 0 while it runs
};

class TProcessNamer::TListener {
public:
    TListener() : FEvents(OpenProcessEvents(FWhyNot)), FStop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (FEvents >= 0 && FStop < 0) {
            FWhyNot = std::string("process events cannot be read (") + std::strerror(errno) + ")";
            ::close(std::exchange(FEvents, -1));
        }
        if (FEvents >= 0)
            FThread = std::thread([this] { Listen(); });
    }
    ~TListener() {
        if (FThread.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(FStop, &one, sizeof one);
            FThread.join();
        }
        if (FEvents >= 0)
            ::close(FEvents);
        if (FStop >= 0)
            ::close(FStop);
    }

    const std::string& WhyNot() const { return FWhyNot; }

    // A new reader, and the mark it starts from: no process that ended
    // before it began can have events in its queue.
    size_t Register(uint64_t& mark) {
        std::lock_guard lock(FMutex);
        mark = FEndSerial;
        const auto free = std::find(FMarks.begin(), FMarks.end(), UINT64_MAX);
        if (free != FMarks.end()) {
            *free = mark;
            return static_cast<size_t>(free - FMarks.begin());
        }
        FMarks.push_back(mark);
        return FMarks.size() - 1;
    }
    void Unregister(size_t reader) {
        std::lock_guard lock(FMutex);
        FMarks[reader] = UINT64_MAX;
        RetireLocked();
    }
    void SetMark(size_t reader, uint64_t mark) {
        std::lock_guard lock(FMutex);
        FMarks[reader] = mark;
        RetireLocked();
    }
    uint64_t EndSerial() {
        std::lock_guard lock(FMutex);
        return FEndSerial;
    }

    // A process still running, by its pidfd's inode, with the program it
    // started last (the events of its start are taken first).
    TProcessRef ByInode(uint64_t inode) {
        std::lock_guard lock(FMutex);
        if (FEvents < 0)
            return nullptr;
        CatchUpLocked();
        const auto found = FInodes.find(inode);
        if (found == FInodes.end())
            return nullptr;
        // A process whose main thread ended while others went on (one that
        // started a program from another thread) has an ended life too.
        const TProcessLife* match = nullptr;
        for (const TProcessLife& life : FLives[found->second])
            if (life.Inode == inode && (!match || life.Ended == 0))
                match = &life;
        return match ? match->Process : nullptr;
    }

    // A running process named through its pidfd, which the listener did not
    // see start (or could not name then): its later changes are named by
    // its inode. Only while it still runs once every event before now is
    // taken, so that its number is still its own; a program it started
    // since is known by its own event, which the name read before must not
    // overwrite.
    void Adopt(int pid, int pidfd, uint64_t inode, const TProcessRef& process) {
        std::lock_guard lock(FMutex);
        if (FEvents < 0)
            return;
        CatchUpLocked();
        if (!PidfdAlive(pidfd))
            return;
        TProcessLife* life = Running(pid);
        if (life && life->Inode != 0 && life->Inode != inode)
            return;
        if (!life)
            life = &FLives[pid].emplace_back(TProcessLife{pid, 0, process, 0});
        else if (!life->Process)
            life->Process = process;
        if (life->Inode == 0)
            SetInode(*life, inode);
    }

    // An ended process, for a reader whose events of every process that
    // ended by mark were read: named only when exactly one process of that
    // number ended after mark.
    TProcessRef Ended(int pid, uint64_t mark) {
        std::lock_guard lock(FMutex);
        if (FEvents < 0)
            return nullptr;
        CatchUpLocked();
        if (mark < FForgotten)
            return nullptr;
        const auto found = FLives.find(pid);
        if (found == FLives.end())
            return nullptr;
        const TProcessLife* candidate = nullptr;
        for (const TProcessLife& life : found->second) {
            if (life.Ended == 0 || life.Ended <= mark)
                continue;
            if (candidate)
                return nullptr;
            candidate = &life;
        }
        return candidate ? candidate->Process : nullptr;
    }

private:
    // A short-lived process may end a millisecond after it started its
    // program, and then cannot be named: the listener runs before ordinary
    // threads when an event wakes it (where it may; its work per event is
    // small), since being woken can otherwise take longer than that.
    void Listen() {
        sched_param realTime{};
        realTime.sched_priority = 1;
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realTime);
        for (;;) {
            pollfd descriptors[] = {{FEvents, POLLIN, 0}, {FStop, POLLIN, 0}};
            if (::poll(descriptors, 2, -1) < 0 && errno != EINTR)
                return;
            if (descriptors[1].revents)
                return;
            std::lock_guard lock(FMutex);
            CatchUpLocked();
        }
    }

    // What was looked up of a process while its event waited: valid unless
    // the number was given to another process before the look.
    struct TLook {
        bool Valid = false;
        uint64_t Inode = 0;
        TProcessRef Process;
        bool StillRunning = false; // Exit: other threads of the process go on
    };

    // Takes every event queued. A process is looked at as soon as its event
    // is taken; events queued after that look tell whether its number could
    // have gone to another process first (a fork that made that number).
    void CatchUpLocked() {
        std::vector<TProcessEvent> batch;
        bool overflowed = !ReceiveProcessEvents(FEvents, batch);
        while (!batch.empty() || overflowed) {
            std::vector<TLook> looks(batch.size());
            for (size_t i = 0; i < batch.size(); ++i)
                looks[i] = Look(batch[i]);
            std::vector<TProcessEvent> more;
            overflowed = !ReceiveProcessEvents(FEvents, more) || overflowed;
            for (size_t i = 0; i < batch.size(); ++i)
                Apply(batch[i], ConfirmLook(batch, more, i, std::move(looks[i])));
            if (overflowed)
                ForgetAll();
            overflowed = false;
            batch = std::move(more);
        }
    }

    // What the process is now: its pidfd's inode and its names, read
    // through the pidfd. A process made is named on its own (not after the
    // process its event names as parent, which may be another than the one
    // that made it).
    static TLook Look(const TProcessEvent& event) {
        TLook look;
        if (event.Kind == TProcessEvent::TKind::Exit) {
            look.StillRunning = ThreadsOf(event.Pid) > 1;
            return look;
        }
        const int pidfd = PidfdOpen(event.Pid);
        if (pidfd < 0)
            return look;
        look.Inode = PidfdInode(pidfd);
        look.Process = ReadThroughPidfd(event.Pid, pidfd);
        look.Valid = look.Process != nullptr;
        ::close(pidfd);
        return look;
    }

    static TLook ConfirmLook(const std::vector<TProcessEvent>& batch, const std::vector<TProcessEvent>& more,
                             size_t index, TLook look) {
        const int pid = batch[index].Pid;
        auto madeAgain = [pid](const TProcessEvent& event) {
            return event.Kind == TProcessEvent::TKind::Fork && event.Pid == pid;
        };
        if (std::any_of(batch.begin() + static_cast<std::ptrdiff_t>(index) + 1, batch.end(), madeAgain) ||
            std::any_of(more.begin(), more.end(), madeAgain))
            return {};
        return look;
    }

    TProcessLife* Running(int pid) {
        const auto lives = FLives.find(pid);
        return lives != FLives.end() && !lives->second.empty() && lives->second.back().Ended == 0
                   ? &lives->second.back()
                   : nullptr;
    }

    void Apply(const TProcessEvent& event, TLook look) {
        switch (event.Kind) {
        case TProcessEvent::TKind::Fork:
            EndLocked(event.Pid); // an end the listener missed
            Begin(event.Pid, look);
            break;
        case TProcessEvent::TKind::Exec:
        case TProcessEvent::TKind::Change:
            if (TProcessLife* life = Running(event.Pid)) {
                // A look that found another process: the one that ran
                // before is not known any more.
                const bool another = look.Valid && life->Inode != 0 && look.Inode != life->Inode;
                life->Process = look.Valid && !another ? look.Process : nullptr;
                if (!another)
                    SetInode(*life, look.Valid ? look.Inode : 0);
            } else {
                Begin(event.Pid, look);
            }
            break;
        case TProcessEvent::TKind::Exit:
            // The main thread's end, while other threads go on, is not the
            // process's: its number stays its own.
            if (look.StillRunning)
                break;
            if (!Running(event.Pid))
                Begin(event.Pid, {});
            EndLocked(event.Pid);
            break;
        }
    }

    // A process made, or first seen. An earlier process of the number
    // whose look found this one's inode was looked at too late, when its
    // number was this one's already: what that look found is not its own.
    void Begin(int pid, const TLook& look) {
        if (look.Valid && look.Inode != 0)
            if (const auto lives = FLives.find(pid); lives != FLives.end())
                for (TProcessLife& earlier : lives->second)
                    if (earlier.Inode == look.Inode) {
                        earlier.Process = nullptr;
                        SetInode(earlier, 0);
                    }
        TProcessLife& life = FLives[pid].emplace_back();
        life.Pid = pid;
        life.Process = look.Valid ? look.Process : nullptr;
        SetInode(life, look.Valid ? look.Inode : 0);
    }

    void SetInode(TProcessLife& life, uint64_t inode) {
        const uint64_t old = std::exchange(life.Inode, inode);
        if (old != 0 && old != inode)
            ReleaseInode(life.Pid, old);
        if (inode != 0)
            FInodes[inode] = life.Pid;
    }

    // The inode stays known while another life of the number holds it (the
    // lives of one process before and after its main thread ended).
    void ReleaseInode(int pid, uint64_t inode) {
        const auto lives = FLives.find(pid);
        if (lives == FLives.end() || std::none_of(lives->second.begin(), lives->second.end(),
                                                  [inode](const TProcessLife& life) { return life.Inode == inode; }))
            FInodes.erase(inode);
    }

    void EndLocked(int pid) {
        TProcessLife* life = Running(pid);
        if (!life)
            return;
        life->Ended = ++FEndSerial;
        FEnded.push_back({life->Ended, pid});
        if (FEnded.size() > EndedKept) {
            FForgotten = FEnded.front().first;
            Drop(FEnded.front());
            FEnded.pop_front();
        }
    }

    // Ended processes that no reader can still have events of.
    void RetireLocked() {
        const uint64_t oldest = FMarks.empty() ? FEndSerial : *std::min_element(FMarks.begin(), FMarks.end());
        while (!FEnded.empty() && FEnded.front().first <= oldest) {
            Drop(FEnded.front());
            FEnded.pop_front();
        }
    }

    void Drop(const std::pair<uint64_t, int>& ended) {
        auto lives = FLives.find(ended.second);
        if (lives == FLives.end())
            return;
        auto life = std::find_if(lives->second.begin(), lives->second.end(),
                                 [&](const TProcessLife& each) { return each.Ended == ended.first; });
        if (life == lives->second.end())
            return;
        const uint64_t inode = life->Inode;
        lives->second.erase(life);
        if (inode != 0)
            ReleaseInode(ended.second, inode);
        if (lives->second.empty())
            FLives.erase(lives);
    }

    // Events were lost: what is known of every number may be out of date.
    void ForgetAll() {
        FLives.clear();
        FInodes.clear();
        FEnded.clear();
        FForgotten = ++FEndSerial;
    }

    std::string FWhyNot;
    int FEvents;
    int FStop;
    std::thread FThread;
    std::mutex FMutex;
    std::unordered_map<int, std::vector<TProcessLife>> FLives;
    std::unordered_map<uint64_t, int> FInodes;
    std::deque<std::pair<uint64_t, int>> FEnded; // by serial: the serial and the number
    std::vector<uint64_t> FMarks;                // by reader; UINT64_MAX: a place free
    uint64_t FEndSerial = 0;
    uint64_t FForgotten = 0; // ends up to this serial may be unknown
};

namespace {
std::mutex ListenerMutex;
std::weak_ptr<TProcessNamer::TListener> SharedListener;

std::shared_ptr<TProcessNamer::TListener> Listener() {
    std::lock_guard lock(ListenerMutex);
    std::shared_ptr<TProcessNamer::TListener> listener = SharedListener.lock();
    if (!listener) {
        listener = std::make_shared<TProcessNamer::TListener>();
        SharedListener = listener;
    }
    return listener;
}
} // namespace

TProcessNamer::TProcessNamer() : FListener(Listener()) {
    FReader = FListener->Register(FMark);
    FNextMark = FMark;
}

TProcessNamer::~TProcessNamer() {
    FListener->Unregister(FReader);
}

// A process that has not been reaped is named through its pidfd; one
// known to be reaped (the kernel could give no pidfd for that reason, or
// the pidfd shows it gone) from the names taken when it started. A pidfd
// the kernel failed to make for another reason tells nothing of which
// process it was.
TProcessRef TProcessNamer::Name(int pid, int pidfd) {
    bool reaped = pidfd == FAN_NOPIDFD;
    if (pidfd >= 0) {
        const uint64_t inode = PidfdInode(pidfd);
        if (inode != 0)
            if (TProcessRef known = FListener->ByInode(inode))
                return known;
        if (TProcessRef running = ReadThroughPidfd(pid, pidfd)) {
            if (inode != 0)
                FListener->Adopt(pid, pidfd, inode, running);
            return running;
        }
        reaped = !PidfdAlive(pidfd);
    }
    if (reaped)
        if (TProcessRef ended = FListener->Ended(pid, FMark))
            return ended;
    auto unnamed = std::make_shared<TChangeProcess>();
    unnamed->Pid = pid;
    return unnamed;
}

// Every event queued before the queue was seen empty was read: so were
// those of every process that had ended before the last look before that.
void TProcessNamer::QueueSeenEmpty() {
    FMark = FNextMark;
    FListener->SetMark(FReader, FMark);
    FNextMark = FListener->EndSerial();
}

std::string TProcessNamer::Limitation() const {
    return FListener->WhyNot();
}

#endif
