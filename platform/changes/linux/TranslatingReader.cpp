#ifdef __linux__

#include "platform/changes/linux/TranslatingReader.h"

#include "platform/changes/tree/TreePaths.h"
#include "platform/files/Drives.h"
#include "runtime/SysUtils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace inotify {

namespace {
// Beyond this much memory of records not yet handed on, events are read and
// dropped, and reported as lost changes: neither this queue nor the
// kernel's (which fanotify may grow without bound) grows further.
constexpr size_t DefaultPendingMemoryLimit = 64u << 20;
std::atomic<size_t> PendingMemoryLimit{DefaultPendingMemoryLimit};
constexpr auto BatchGathering = std::chrono::milliseconds(2);

const char* LossText(TLossReason reason) {
    switch (reason) {
    case TLossReason::SystemQueueFull:
        return "the system's queue overflowed";
    case TLossReason::OwnQueueFull:
        return "the watch's own queue was full";
    case TLossReason::Unreadable:
        return "the system gave what could not be read";
    }
    return "";
}
} // namespace

void SetPendingMemoryLimit(size_t bytes) {
    PendingMemoryLimit = bytes == 0 ? DefaultPendingMemoryLimit : bytes;
}

// A path that leads nowhere any more keeps its text: the start then fails
// with the system's reason.
TTranslatingReader::TTranslatingReader(std::string directory, const TEventSourceMaker& makeSource, TFd wake,
                                       TFd mounts, std::string mechanism)
    : FGivenPath(std::move(directory)),
      FTree(CanonicalPath(FGivenPath).empty() ? FGivenPath : CanonicalPath(FGivenPath)), FExcluded(FTree, FGivenPath),
      FSource(makeSource(FTree, FQueue, FExcluded, FInterrupted)), FKeeper(FSource->Keeper()),
      FTranslator(FTree, FQueue, FKeeper), FWake(std::move(wake)), FMounts(std::move(mounts)),
      FMechanism(std::move(mechanism)) {}

bool TTranslatingReader::ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) {
    FNothingSelected = notifyFilter == 0;
    if (notifyFilter == 0 || FReadOutstanding)
        return false;
    if (!FStarted) {
        TakeNewExclusions();
        FFilter = notifyFilter;
        FSubTree = watchSubTree;
        FTranslator.SetFilter(notifyFilter, watchSubTree);
        FTranslator.QueueEmptied(TClock::now(), CoarseNow());
        FStartError = FSource->Start(FTranslator, watchSubTree, notifyFilter, FGivenPath);
        if (FStartError != 0)
            return false;
        struct stat root {};
        if (::stat(FTree.RootPath().c_str(), &root) == 0) {
            FRootDevice = root.st_dev;
            FRootInode = root.st_ino;
        }
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
        TakeNewExclusions();
        if (FInterrupted.load(std::memory_order_acquire))
            return TWaitResult::TimedOut;
        if (FCompleted)
            return TWaitResult::Signalled;
        if (!DrainEvents())
            return TWaitResult::Failed;
        TellDeliveredIfSo();
        FTranslator.SettleLateMovesOut(TClock::now());
        ReconcileIfSettled();
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
        StepPollers(deadline);
        if (FKeeper.HasNotices() || !FNotices.Empty() || TClock::now() >= deadline)
            return TWaitResult::TimedOut;
        if (!WaitForNews(deadline))
            return TWaitResult::Failed;
    }
}

// Reads every queued event and translates it, into memory of the reader's
// own, so that the kernel's queue never overflows while the main thread is
// busy. Beyond PendingMemoryLimit events are read and dropped, the loss
// marked once, until the queue has room again.
bool TTranslatingReader::DrainEvents() {
    alignas(8) char events[64 * 1024];
    // Every change made before an ask taken here is in the kernel's queue
    // already, and read by the end of this drain.
    const uint64_t asked = FDeliveryAsked.load(std::memory_order_acquire);
    FDrained = false;
    if (FDropping && FQueue.Bytes() < PendingMemoryLimit)
        FDropping = false;
    for (;;) {
        ssize_t length = FSource->Read(events, sizeof events);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno != EAGAIN)
            return false;
        if (length <= 0) {
            FSource->NothingQueued();
            FDrained = true;
            QueueEmptied();
            TakeDeliveryAsk(asked);
            return true;
        }
        if (!FDropping && FQueue.Bytes() >= PendingMemoryLimit) {
            FDropping = true;
            FTranslator.LoseChanges(TLossReason::OwnQueueFull);
        }
        if (FDropping)
            FSource->Drop(events, static_cast<size_t>(length));
        else
            FSource->Translate(events, static_cast<size_t>(length), FTranslator);
    }
}

// The answer to the latest ask waits for what is queued now, held renames
// included, to be handed on. The wake the ask gave is spent here.
void TTranslatingReader::TakeDeliveryAsk(uint64_t asked) {
    if (asked <= FDeliveryTaken)
        return;
    FDeliveryTaken = asked;
    FDeliveredAt = FQueue.EndSlot();
    uint64_t count = 0;
    [[maybe_unused]] ssize_t read = ::read(FWake.Get(), &count, sizeof count);
}

// A wait starts after the worker took the last completed read: what was
// packed before it is handed on.
void TTranslatingReader::TellDeliveredIfSo() {
    if (!FDeliveredAt || FQueue.FirstSlot() < *FDeliveredAt)
        return;
    FDeliveredAt.reset();
    FNotices.Delivered(FDeliveryTaken);
}

void TTranslatingReader::QueueEmptied() {
    FSource->QueueEmptied(FTranslator);
    FTranslator.QueueEmptied(TClock::now(), CoarseNow());
    ReconcileIfSettled();
    FKeeper.QueueEmptied();
}

// Once every queued event is read and no rename waits for its other half,
// the names the records may have got wrong are checked.
void TTranslatingReader::ReconcileIfSettled() {
    if (!FDrained || FTranslator.MovesPending())
        return;
    FDrained = false; // once a read: what a check finds waits for the next one
    const size_t corrected = FTranslator.Reconcile(TClock::now());
    if (corrected == 0 || !FSource->MergesChanges())
        return;
    ++FMerged;
    FNotices.Push(TWatchNotice::TKind::Merged);
    if (FKeeper.SetupDone())
        PushState(TWatchNotice::TKind::SetupDone);
}

// Sleeps until an event, a change of the mount table, an interruption, the
// deadline or the moment a move-out stops waiting for its other half.
bool TTranslatingReader::WaitForNews(TClock::time_point deadline) {
    if (auto moveDeadline = FTranslator.NextMoveDeadline())
        deadline = std::min(deadline, *moveDeadline);
    for (const auto& poller : FPollers)
        deadline = std::min(deadline, poller->NextDue());
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    pollfd descriptors[] = {
        {FSource->Descriptor(), POLLIN, 0}, {FWake.Get(), POLLIN, 0}, {FMounts.Get(), POLLPRI, 0}};
    int ready = ::poll(descriptors, FMounts.Get() >= 0 ? 3 : 2, static_cast<int>(std::max<long>(remaining.count(), 0)));
    if (ready < 0)
        return errno == EINTR;
    if (descriptors[2].revents & (POLLPRI | POLLERR)) {
        FKeeper.FollowMountTable();
        DropUnmountedPollers();
    }
    // Woken by the first event of what is often a burst: let a few more
    // gather, so that a burst costs a wake-up per batch, not per change.
    if (descriptors[0].revents & POLLIN)
        std::this_thread::sleep_for(BatchGathering);
    else
        FSource->NothingQueued();
    return true;
}

void TTranslatingReader::TakeProcesses(std::vector<TProcessRef>& processes) {
    processes.swap(FProcesses);
    FProcesses.clear();
}

void TTranslatingReader::TakeFolders(std::vector<TFolderRef>& folders) {
    folders.swap(FFolders);
    FFolders.clear();
}

bool TTranslatingReader::GetResult(uint32_t& bytesReturned) {
    bytesReturned = FBytes;
    FReadOutstanding = false;
    FCompleted = false;
    return FSucceeded;
}

// Every change is reported once a watch is covered: with one watch per
// folder when the set-up is done, with fanotify as soon as it starts, which
// its keeper tells. A set-up that comes to its end after lost changes, and a
// new loss once set up, tell the watch's state again.
bool TTranslatingReader::TakeNotice(TWatchNotice& notice) {
    if (FTranslator.Losses() != FLossesTold) {
        FLossesTold = FTranslator.Losses();
        if (FKeeper.SetupDone() && FCovered)
            PushState(TWatchNotice::TKind::SetupDone);
    }
    do {
        if (!FNotices.Take(notice) && !FKeeper.TakeNotice(notice))
            return false;
    } while (notice.Kind == TWatchNotice::TKind::NotCovered && notice.Error == OtherFileSystem &&
             PollMount(notice.Folder));
    if (notice.Kind == TWatchNotice::TKind::SetupDone && !FCovered) {
        FNotices.Push(TWatchNotice::TKind::SetupDone, notice.FolderCount);
        notice.Kind = TWatchNotice::TKind::Covered;
    }
    FCovered = FCovered || notice.Kind == TWatchNotice::TKind::Covered;
    if (notice.Kind != TWatchNotice::TKind::NotCovered && notice.Kind != TWatchNotice::TKind::Merged &&
        notice.Kind != TWatchNotice::TKind::Delivered)
        notice.Mechanism = Mechanism();
    return true;
}

bool TTranslatingReader::PollMount(const std::string& relative) {
    const std::string root = JoinPath(FTree.RootPath(), relative);
    const std::optional<std::string> kind = FSubTree ? PolledFileSystemKind(root) : std::nullopt;
    if (!kind || FExcluded.ExcludesRelative(relative))
        return false;
    auto poller = std::make_unique<TTreePoller>(root, relative, *kind, FFilter, FSubTree, FInterrupted);
    poller->SetRules(FExcluded.Rules(), FExcluded.ShownRoot());
    if (poller->Start() != 0)
        return false;
    // Its first walk is part of the set-up: what changes after the watch
    // says it covers the tree is compared with it.
    poller->Step(TClock::time_point::max(), FQueue, FNotices);
    FPollers.push_back(std::move(poller));
    return true;
}

// Polled mounts walk in short slices between reads of the kernel's queue,
// which must keep flowing.
void TTranslatingReader::StepPollers(TClock::time_point deadline) {
    constexpr auto Slice = std::chrono::milliseconds(20);
    for (auto poller = FPollers.begin(); poller != FPollers.end();) {
        if ((*poller)->NextDue() <= TClock::now())
            (*poller)->Step(std::min(deadline, TClock::now() + Slice), FQueue, FNotices);
        if ((*poller)->TakeNews())
            PushState(TWatchNotice::TKind::SetupDone);
        poller = (*poller)->RootGone() ? FPollers.erase(poller) : poller + 1;
    }
}

// A polled mount unmounted leaves a folder of the tree's own file system,
// which the keeper watches again.
void TTranslatingReader::DropUnmountedPollers() {
    const std::vector<std::string> mounts = MountPointsBelow(ReadMountTable(), FTree.RootPath());
    std::erase_if(FPollers, [&](const auto& poller) {
        return std::find(mounts.begin(), mounts.end(), poller->Prefix()) == mounts.end();
    });
}

void TTranslatingReader::PushState(TWatchNotice::TKind kind) {
    FNotices.Push(kind, FKeeper.FolderCount());
}

std::string TTranslatingReader::Mechanism() const {
    std::string mechanism = FMechanism;
    const auto& losses = FTranslator.Losses();
    uint64_t lost = 0;
    std::string why;
    for (size_t reason = 0; reason < LossReasons; ++reason) {
        if (losses[reason] == 0)
            continue;
        lost += losses[reason];
        why += (why.empty() ? "" : ", ") + std::string(LossText(static_cast<TLossReason>(reason)));
    }
    if (lost > 0)
        mechanism += "; changes lost " + TimesText(lost) + ": " + why;
    if (FMerged > 0)
        mechanism += "; changes the system merged corrected " + TimesText(FMerged);
    for (const auto& poller : FPollers)
        mechanism += "; " + poller->Prefix() + " " + poller->Mechanism();
    if (const std::string why = FSource->ProcessesUnknown(); !why.empty())
        mechanism += "; " + why;
    return mechanism;
}

void TTranslatingReader::SetExcludedFolders(TFolderExclusionRules rules) {
    FNewExclusions.Give(std::move(rules), FWake.Get());
}

void TTranslatingReader::TakeNewExclusions() {
    std::optional<TFolderExclusionRules> rules = FNewExclusions.Take(FWake.Get());
    if (!rules)
        return;
    FExcluded.SetRules(std::move(*rules));
    if (FStarted)
        FKeeper.ExclusionsChanged();
    std::erase_if(FPollers, [&](const auto& poller) { return FExcluded.ExcludesRelative(poller->Prefix()); });
    for (const auto& poller : FPollers)
        poller->SetRules(FExcluded.Rules(), FExcluded.ShownRoot());
}

bool TTranslatingReader::AskDelivered(uint64_t ticket) {
    FDeliveryAsked.store(ticket, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FWake.Get(), &one, sizeof one);
    return true;
}

void TTranslatingReader::Interrupt() {
    FInterrupted.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FWake.Get(), &one, sizeof one);
}

std::string TTranslatingReader::FailureReason() const {
    // A link on the way repointed, or a folder put in place of one on it:
    // the folder is still there, and the path leads to another.
    struct stat folder {}, given {};
    const bool folderThere = ::stat(FTree.RootPath().c_str(), &folder) == 0 && folder.st_dev == FRootDevice &&
                             folder.st_ino == FRootInode;
    const bool leadsElsewhere = ::stat(FGivenPath.c_str(), &given) == 0 &&
                                (given.st_dev != FRootDevice || given.st_ino != FRootInode);
    switch (FTranslator.RootLoss()) {
    case TRootLoss::Removed:
    case TRootLoss::Moved:
        if (folderThere && leadsElsewhere)
            return "The path now leads to another folder: " + FGivenPath + " is no longer the folder watched, which is "
                   "still at " + FTree.RootPath() + ".";
        break;
    default:
        break;
    }
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

std::string TTranslatingReader::StopWords() const {
    switch (FTranslator.RootLoss()) {
    case TRootLoss::Removed:
        return "removed";
    case TRootLoss::Moved:
        return "moved";
    case TRootLoss::Unmounted:
        return "unmounted";
    case TRootLoss::None:
        break;
    }
    // Opened, and gone before the first read could start.
    return FStartError == ENOENT ? "removed" : std::string();
}

bool TTranslatingReader::CompleteIfReady() {
    if (FQueue.FrontReady()) {
        if (FQueue.FrontIsLoss()) {
            FQueue.PopLoss();
            Complete(0, true);
        } else {
            FProcesses.clear();
            FFolders.clear();
            Complete(FQueue.Pack(FBuffer, FLength, &FProcesses, &FFolders), true);
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
