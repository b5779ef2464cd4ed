#pragma once

// The change reader of Linux, for either of the kernel's two interfaces of
// change notification. An event source (inotify or fanotify) reads the
// kernel's events and puts them, in inotify's terms, to the translator,
// which turns them into the records of a sub-tree watch; a folder keeper
// knows the folders of the tree. The reader itself reads the kernel's queue
// into memory of its own, waits, and hands the records on in the shape of
// the Windows interface.
#ifdef __linux__

#include "platform/changes/DirChanges.h"
#include "platform/changes/PendingChanges.h"
#include "platform/changes/WatchNotices.h"
#include "platform/changes/polling/TreePoller.h"
#include "platform/changes/tree/EventSource.h"
#include "platform/changes/tree/ExcludedFolders.h"
#include "platform/changes/tree/InotifyTranslator.h"
#include "platform/changes/tree/WatchTree.h"
#include "platform/system/FileDescriptor.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <string>
#include <utility>
#include <vector>

namespace inotify {

// The memory of records not yet handed on, for each reader, beyond which
// events are dropped and reported lost (0 restores the program's own bound,
// 64 MB): the privileged helper keeps less, and so do some tests.
void SetPendingMemoryLimit(size_t bytes);

class TTranslatingReader final : public TDirChangeReader {
public:
    // mechanism: what the watch line tells of how the folder is watched.
    TTranslatingReader(std::string directory, const TEventSourceMaker& makeSource, TFd wake, TFd mounts,
                       std::string mechanism);

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override;
    TWaitResult Wait(int timeoutMs) override;
    bool GetResult(uint32_t& bytesReturned) override;
    void TakeProcesses(std::vector<TProcessRef>& processes) override;
    void TakeFolders(std::vector<TFolderRef>& folders) override;
    bool TakeNotice(TWatchNotice& notice) override;
    void SetExcludedFolders(TFolderExclusionRules rules) override;
    bool AskDelivered(uint64_t ticket) override;
    void Interrupt() override;
    std::string FailureReason() const override;
    std::string StopWords() const override;

private:
    void TakeNewExclusions();
    // A mount inside the tree on a file system whose changes the kernel
    // does not report is polled instead; false when it is not such a one.
    bool PollMount(const std::string& relative);
    void StepPollers(TClock::time_point deadline);
    void DropUnmountedPollers();
    bool DrainEvents();
    void TakeDeliveryAsk(uint64_t asked);
    void TellDeliveredIfSo();
    void QueueEmptied();
    void ReconcileIfSettled();
    // How the folder is watched, and what was lost or merged so far.
    std::string Mechanism() const;
    void PushState(TWatchNotice::TKind kind);
    bool WaitForNews(TClock::time_point deadline);
    bool CompleteIfReady();
    void Complete(uint32_t bytes, bool succeeded);

    std::string FGivenPath;
    TWatchTree FTree; // rooted at the folder's path without links, where every look at the file system goes
    TExcludedFolders FExcluded;
    TPendingChanges FQueue;
    std::atomic<bool> FInterrupted{false};
    std::unique_ptr<TEventSource> FSource;
    TFolderKeeper& FKeeper;
    TInotifyTranslator FTranslator;
    TFd FWake;   // an eventfd that Interrupt and new exclusions make readable
    TFd FMounts; // the mount table, readable for poll when it changed
    std::string FMechanism;
    TNoticeQueue FNotices; // the reader's own, told before the keeper's
    std::vector<std::unique_ptr<TTreePoller>> FPollers; // of mounts inside the tree
    bool FCovered = false;
    bool FDropping = false; // the reader's own queue is full: events are read and dropped
    bool FDrained = false;  // the kernel's queue was read to its end since the last check
    uint64_t FMerged = 0;   // corrections of changes the system merged
    std::array<uint64_t, LossReasons> FLossesTold{};
    TRulesHandOver FNewExclusions;
    // Asks for a Delivered notice: the latest ticket asked for (any thread),
    // the latest the worker took, and the slot its answer waits for.
    std::atomic<uint64_t> FDeliveryAsked{0};
    uint64_t FDeliveryTaken = 0;
    std::optional<TPendingChanges::TSlot> FDeliveredAt;

    bool FStarted = false;
    uint32_t FFilter = 0;
    bool FSubTree = true;
    int FStartError = 0;
    dev_t FRootDevice = 0;
    ino_t FRootInode = 0;
    bool FNothingSelected = false;

    char* FBuffer = nullptr;
    uint32_t FLength = 0;
    bool FReadOutstanding = false;
    bool FCompleted = false;
    bool FSucceeded = false;
    uint32_t FBytes = 0;
    std::vector<TProcessRef> FProcesses; // of the completed read's records
    std::vector<TFolderRef> FFolders;    // of the completed read's records
};

} // namespace inotify

#endif
