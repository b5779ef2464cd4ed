#ifdef __linux__

#include "platform/TranslatingReader.h"

#include "platform/TreePaths.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace inotify {

namespace {
// Beyond this much memory of records not yet handed on, the kernel queue is
// left to fill (and overflow, which is reported as lost changes).
constexpr size_t PendingMemoryLimit = 64u << 20;
constexpr auto BatchGathering = std::chrono::microseconds(500);
} // namespace

TFd::~TFd() {
    if (FFd >= 0)
        ::close(FFd);
}

bool Readable(int fd) {
    pollfd descriptor{fd, POLLIN, 0};
    return ::poll(&descriptor, 1, 0) > 0;
}

TTranslatingReader::TTranslatingReader(std::string directory, const TEventSourceMaker& makeSource, TFd wake,
                                       TFd mounts, std::string mechanism)
    : FTree(std::move(directory)), FSource(makeSource(FTree, FQueue, FInterrupted)), FKeeper(FSource->Keeper()),
      FTranslator(FTree, FQueue, FKeeper), FWake(std::move(wake)), FMounts(std::move(mounts)),
      FMechanism(std::move(mechanism)) {}

bool TTranslatingReader::ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) {
    FNothingSelected = notifyFilter == 0;
    if (notifyFilter == 0 || FReadOutstanding)
        return false;
    if (!FStarted) {
        FTranslator.SetFilter(notifyFilter, watchSubTree);
        FTranslator.QueueEmptied(TClock::now(), CoarseNow());
        FStartError = FSource->Start(FTranslator, watchSubTree, notifyFilter);
        if (FStartError != 0)
            return false;
        FStarted = true;
    }
    FBuffer = static_cast<char*>(buffer);
    FLength = length;
    FReadOutstanding = true;
    FCompleted = false;
    return true;
}

TWaitResult TTranslatingReader::Wait(int timeoutMs) {
    if (!FReadOutstanding)
        return TWaitResult::Failed;
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (FInterrupted.load(std::memory_order_acquire))
            return TWaitResult::TimedOut;
        if (FCompleted)
            return TWaitResult::Signalled;
        if (!DrainEvents())
            return TWaitResult::Failed;
        FTranslator.SettleLateMovesOut(TClock::now());
        if (!FTranslator.MovesPending())
            FKeeper.RetryUnreached();
        if (CompleteIfReady())
            return TWaitResult::Signalled;
        if (!FKeeper.SetupDone()) {
            // Notices are handed on when a wait ends: end it now, not at its limit.
            if (FKeeper.HasNotices())
                return TWaitResult::TimedOut;
            FKeeper.SetupStep(deadline);
            if (TClock::now() >= deadline || FKeeper.HasNotices())
                return CompleteIfReady() ? TWaitResult::Signalled : TWaitResult::TimedOut;
            continue;
        }
        FKeeper.ReportFolderCount();
        if (FKeeper.HasNotices() || TClock::now() >= deadline)
            return TWaitResult::TimedOut;
        if (!WaitForNews(deadline))
            return TWaitResult::Failed;
    }
}

// Reads every queued event and translates it, into memory of the reader's
// own, so that the kernel's queue never overflows while the main thread is
// busy; only beyond PendingMemoryLimit is it left to fill.
bool TTranslatingReader::DrainEvents() {
    alignas(8) char events[64 * 1024];
    while (FQueue.Bytes() < PendingMemoryLimit) {
        ssize_t length = ::read(FSource->Descriptor(), events, sizeof events);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno != EAGAIN)
            return false;
        if (length <= 0) {
            QueueEmptied();
            return true;
        }
        FSource->Translate(events, static_cast<size_t>(length), FTranslator);
    }
    return true;
}

void TTranslatingReader::QueueEmptied() {
    FSource->QueueEmptied(FTranslator);
    FTranslator.QueueEmptied(TClock::now(), CoarseNow());
    FKeeper.QueueEmptied();
}

// Sleeps until an event, a change of the mount table, an interruption, the
// deadline or the moment a move-out stops waiting for its other half.
bool TTranslatingReader::WaitForNews(TClock::time_point deadline) {
    if (auto moveDeadline = FTranslator.NextMoveDeadline())
        deadline = std::min(deadline, *moveDeadline);
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    pollfd descriptors[] = {
        {FSource->Descriptor(), POLLIN, 0}, {FWake.Get(), POLLIN, 0}, {FMounts.Get(), POLLPRI, 0}};
    int ready = ::poll(descriptors, FMounts.Get() >= 0 ? 3 : 2, static_cast<int>(std::max<long>(remaining.count(), 0)));
    if (ready < 0)
        return errno == EINTR;
    if (descriptors[2].revents & (POLLPRI | POLLERR))
        FKeeper.FollowMountTable();
    // Woken by the first event of what is often a burst: let a few more
    // gather, so that a burst costs a wake-up per batch, not per change.
    if (descriptors[0].revents & POLLIN)
        std::this_thread::sleep_for(BatchGathering);
    return true;
}

bool TTranslatingReader::GetResult(uint32_t& bytesReturned) {
    bytesReturned = FBytes;
    FReadOutstanding = false;
    FCompleted = false;
    return FSucceeded;
}

bool TTranslatingReader::TakeNotice(TWatchNotice& notice) {
    if (!FKeeper.TakeNotice(notice))
        return false;
    if (notice.Kind != TWatchNotice::TKind::NotCovered)
        notice.Mechanism = FMechanism;
    return true;
}

void TTranslatingReader::Interrupt() {
    FInterrupted.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FWake.Get(), &one, sizeof one);
}

std::string TTranslatingReader::FailureReason() const {
    switch (FTranslator.RootLoss()) {
    case TRootLoss::Removed:
        return "The folder was removed.";
    case TRootLoss::Moved:
        return "The folder was moved or renamed, or a folder on its path was: the path no longer leads to it.";
    case TRootLoss::Unmounted:
        return "The file system that holds the folder was unmounted.";
    case TRootLoss::None:
        break;
    }
    if (FNothingSelected)
        return "No kind of change is selected.";
    if (FStartError != 0)
        return DescribeNotCovered(FStartError) + ".";
    return {};
}

bool TTranslatingReader::CompleteIfReady() {
    if (FQueue.FrontReady()) {
        if (FQueue.FrontIsLoss()) {
            FQueue.PopLoss();
            Complete(0, true);
        } else {
            Complete(FQueue.Pack(FBuffer, FLength), true);
        }
        return true;
    }
    if (FTranslator.RootLoss() != TRootLoss::None && FQueue.Empty()) {
        Complete(0, false);
        return true;
    }
    return false;
}

void TTranslatingReader::Complete(uint32_t bytes, bool succeeded) {
    FBytes = bytes;
    FSucceeded = succeeded;
    FCompleted = true;
}

} // namespace inotify

#endif
