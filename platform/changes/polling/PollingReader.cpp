#ifdef __linux__

#include "platform/changes/polling/PollingReader.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

TPollingReader::TPollingReader(std::string directory, std::string kind)
    : FDirectory(std::move(directory)), FKind(std::move(kind)), FWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TPollingReader::~TPollingReader() {
    if (FWake >= 0)
        ::close(FWake);
}

bool TPollingReader::ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) {
    if (notifyFilter == 0 || FReadOutstanding) {
        FFailure = notifyFilter == 0 ? "No kind of change is selected." : "";
        return false;
    }
    TakeNewExclusions();
    if (!FPoller) {
        auto poller = std::make_unique<TTreePoller>(FDirectory, "", FKind, notifyFilter, watchSubTree, FInterrupted);
        poller->SetRules(FExclusions, FDirectory);
        if (const int error = poller->Start(); error != 0) {
            FFailure = DescribeNotCovered(error) + ".";
            return false;
        }
        FPoller = std::move(poller);
    }
    FBuffer = static_cast<char*>(buffer);
    FLength = length;
    FReadOutstanding = true;
    return true;
}

TWaitResult TPollingReader::Wait(int timeoutMs) {
    if (!FReadOutstanding)
        return TWaitResult::Failed;
    const auto deadline = TTreePoller::TClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        TakeNewExclusions();
        if (FInterrupted.load(std::memory_order_acquire))
            return TWaitResult::TimedOut;
        if (FPoller->RootGone()) {
            FFailure = "The folder was removed.";
            FSucceeded = false;
        }
        if (!FSucceeded || FQueue.FrontReady()) {
            FBytes = FSucceeded ? FQueue.Pack(FBuffer, FLength) : 0;
            return TWaitResult::Signalled;
        }
        // Every change is reported once the first walk is done.
        if (FPoller->TakeNews()) {
            if (!std::exchange(FCovered, true))
                FNotices.Push(TWatchNotice::TKind::Covered);
            FNotices.Push(TWatchNotice::TKind::SetupDone);
        }
        if (!FNotices.Empty() || TTreePoller::TClock::now() >= deadline)
            return TWaitResult::TimedOut;
        if (FPoller->NextDue() <= TTreePoller::TClock::now()) {
            FPoller->Step(deadline, FQueue, FNotices);
            continue;
        }
        const auto until = std::min(deadline, FPoller->NextDue());
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - TTreePoller::TClock::now()).count();
        pollfd wake{FWake, POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(std::max<long>(wait, 0)));
    }
}

bool TPollingReader::GetResult(uint32_t& bytesReturned) {
    bytesReturned = FBytes;
    FReadOutstanding = false;
    return FSucceeded;
}

bool TPollingReader::TakeNotice(TWatchNotice& notice) {
    if (!FNotices.Take(notice))
        return false;
    if (notice.Kind != TWatchNotice::TKind::NotCovered)
        notice.Mechanism = FPoller->Mechanism() + "; processes unknown: polling does not tell them";
    return true;
}

void TPollingReader::SetExcludedFolders(TFolderExclusionRules rules) {
    FNewExclusions.Give(std::move(rules), FWake);
}

void TPollingReader::TakeNewExclusions() {
    std::optional<TFolderExclusionRules> rules = FNewExclusions.Take(FWake);
    if (!rules)
        return;
    FExclusions = std::move(*rules);
    if (FPoller)
        FPoller->SetRules(FExclusions, FDirectory);
}

void TPollingReader::Interrupt() {
    FInterrupted.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FWake, &one, sizeof one);
}

#endif
