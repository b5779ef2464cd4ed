#ifdef __linux__

#include "platform/processes/ProcessListener.h"

#include "platform/processes/ProcessLookup.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// Ended processes kept while some reader may still have their events.
constexpr size_t EndedKept = 1 << 18;
// The deadline scheduler's policy, which the C library's headers do not name.
constexpr uint32_t SchedDeadline = 6;
// The listener's share of one processor: 2 ms in every 10 ms, at most.
constexpr auto ListenerRuntime = std::chrono::milliseconds(2);
constexpr auto ListenerPeriod = std::chrono::milliseconds(10);

// The calling thread runs at most runtime in every period, before every
// thread without such a reservation whenever it is woken; where the system
// does not allow it (no CAP_SYS_NICE, no room left in the deadline
// scheduler's bandwidth), it stays an ordinary thread.
void ReserveProcessor(std::chrono::nanoseconds runtime, std::chrono::nanoseconds period) {
    struct {
        uint32_t Size, Policy;
        uint64_t Flags;
        int32_t Nice;
        uint32_t Priority;
        uint64_t Runtime, Deadline, Period;
    } attributes{};
    attributes.Size = sizeof attributes;
    attributes.Policy = SchedDeadline;
    attributes.Runtime = static_cast<uint64_t>(runtime.count());
    attributes.Deadline = attributes.Period = static_cast<uint64_t>(period.count());
    ::syscall(SYS_sched_setattr, 0, &attributes, 0);
}

// The kernel's process events, and a process looked at through its pidfd
// as soon as its event is taken. A process made is named on its own (not
// after the process its event names as parent, which may be another than
// the one that made it).
class TKernelProcessEvents final : public TProcessEventSource {
public:
    explicit TKernelProcessEvents(int socket) : FSocket(socket) {}
    ~TKernelProcessEvents() override { ::close(FSocket); }
    int Descriptor() const override { return FSocket; }
    bool Receive(std::vector<TProcessEvent>& events) override { return ReceiveProcessEvents(FSocket, events); }

    TProcessLook Look(const TProcessEvent& event) override {
        TProcessLook look;
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

private:
    const int FSocket;
};
} // namespace

TProcessNamer::TListener::TListener() : FStop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    const int socket = OpenProcessEvents(FWhyNot);
    if (socket >= 0 && FStop < 0) {
        FWhyNot = std::string("process events cannot be read (") + std::strerror(errno) + ")";
        ::close(socket);
        return;
    }
    if (socket < 0)
        return;
    FSource = std::make_unique<TKernelProcessEvents>(socket);
    FThread = std::thread([this] { Listen(); });
}

TProcessNamer::TListener::TListener(std::unique_ptr<TProcessEventSource> source) : FSource(std::move(source)) {}

TProcessNamer::TListener::~TListener() {
    if (FThread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(FStop, &one, sizeof one);
        FThread.join();
    }
    if (FStop >= 0)
        ::close(FStop);
}

size_t TProcessNamer::TListener::Register(uint64_t& mark) {
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

void TProcessNamer::TListener::Unregister(size_t reader) {
    std::lock_guard lock(FMutex);
    FMarks[reader] = UINT64_MAX;
    RetireLocked();
}

void TProcessNamer::TListener::SetMark(size_t reader, uint64_t mark) {
    std::lock_guard lock(FMutex);
    FMarks[reader] = mark;
    RetireLocked();
}

uint64_t TProcessNamer::TListener::EndSerial() {
    std::lock_guard lock(FMutex);
    return FEndSerial;
}

TProcessRef TProcessNamer::TListener::ByInode(uint64_t inode) {
    std::lock_guard lock(FMutex);
    if (!FSource)
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

void TProcessNamer::TListener::Adopt(int pid, int pidfd, uint64_t inode, const TProcessRef& process) {
    std::lock_guard lock(FMutex);
    if (!FSource)
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

TProcessRef TProcessNamer::TListener::Ended(int pid, uint64_t mark) {
    std::lock_guard lock(FMutex);
    if (!FSource)
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

// A short-lived process may end a millisecond after it started its
// program, and then cannot be named: the listener runs before every other
// thread when an event wakes it (where it may), since being woken can
// otherwise take longer than that. It does so on a reservation of the
// processor (the deadline scheduler's), not as a real-time thread: a flood
// of process starts, which any user can make, costs the machine at most
// that share, and past it only names are lost.
void TProcessNamer::TListener::Listen() {
    ReserveProcessor(ListenerRuntime, ListenerPeriod);
    for (;;) {
        pollfd descriptors[] = {{FSource->Descriptor(), POLLIN, 0}, {FStop, POLLIN, 0}};
        if (::poll(descriptors, 2, -1) < 0 && errno != EINTR)
            return;
        if (descriptors[1].revents)
            return;
        std::lock_guard lock(FMutex);
        CatchUpLocked();
    }
}

// Takes every event queued. A process is looked at as soon as its event
// is taken; events queued after that look tell whether its number could
// have gone to another process first (a fork that made that number).
void TProcessNamer::TListener::CatchUpLocked() {
    std::vector<TProcessEvent> batch;
    bool overflowed = !FSource->Receive(batch);
    while (!batch.empty() || overflowed) {
        std::vector<TLook> looks(batch.size());
        for (size_t i = 0; i < batch.size(); ++i)
            looks[i] = FSource->Look(batch[i]);
        std::vector<TProcessEvent> more;
        overflowed = !FSource->Receive(more) || overflowed;
        for (size_t i = 0; i < batch.size(); ++i)
            Apply(batch[i], ConfirmLook(batch, more, i, std::move(looks[i])));
        if (overflowed)
            ForgetAll();
        overflowed = false;
        batch = std::move(more);
    }
}

// The look, unless events taken after it made the number anew.
TProcessNamer::TListener::TLook TProcessNamer::TListener::ConfirmLook(const std::vector<TProcessEvent>& batch,
                                                                      const std::vector<TProcessEvent>& more,
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

TProcessLife* TProcessNamer::TListener::Running(int pid) {
    const auto lives = FLives.find(pid);
    return lives != FLives.end() && !lives->second.empty() && lives->second.back().Ended == 0 ? &lives->second.back()
                                                                                              : nullptr;
}

void TProcessNamer::TListener::Apply(const TProcessEvent& event, TLook look) {
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
void TProcessNamer::TListener::Begin(int pid, const TLook& look) {
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

void TProcessNamer::TListener::SetInode(TProcessLife& life, uint64_t inode) {
    const uint64_t old = std::exchange(life.Inode, inode);
    if (old != 0 && old != inode)
        ReleaseInode(life.Pid, old);
    if (inode != 0)
        FInodes[inode] = life.Pid;
}

// The inode stays known while another life of the number holds it (the
// lives of one process before and after its main thread ended).
void TProcessNamer::TListener::ReleaseInode(int pid, uint64_t inode) {
    const auto lives = FLives.find(pid);
    if (lives == FLives.end() || std::none_of(lives->second.begin(), lives->second.end(),
                                              [inode](const TProcessLife& life) { return life.Inode == inode; }))
        FInodes.erase(inode);
}

void TProcessNamer::TListener::EndLocked(int pid) {
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
void TProcessNamer::TListener::RetireLocked() {
    const uint64_t oldest = FMarks.empty() ? FEndSerial : *std::min_element(FMarks.begin(), FMarks.end());
    while (!FEnded.empty() && FEnded.front().first <= oldest) {
        Drop(FEnded.front());
        FEnded.pop_front();
    }
}

void TProcessNamer::TListener::Drop(const std::pair<uint64_t, int>& ended) {
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
void TProcessNamer::TListener::ForgetAll() {
    FLives.clear();
    FInodes.clear();
    FEnded.clear();
    FForgotten = ++FEndSerial;
}

namespace {
std::mutex ListenerMutex;
std::weak_ptr<TProcessNamer::TListener> SharedListener;
} // namespace

std::shared_ptr<TProcessNamer::TListener> SharedProcessListener() {
    std::lock_guard lock(ListenerMutex);
    std::shared_ptr<TProcessNamer::TListener> listener = SharedListener.lock();
    if (!listener) {
        listener = std::make_shared<TProcessNamer::TListener>();
        SharedListener = listener;
    }
    return listener;
}

#endif
