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
#include "platform/changes/polling/TreePoller.h"
#include "platform/changes/tree/ExcludedFolders.h"
#include "platform/changes/tree/InotifyTranslator.h"
#include "platform/changes/tree/WatchTree.h"
#include "platform/changes/WatchNotices.h"
#include "platform/system/FileDescriptor.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <sys/types.h>
#include <string>
#include <utility>
#include <vector>

namespace inotify {

// Whether fd is readable now, without waiting.
bool Readable(int fd);

// What the reader needs of the part that knows the folders of the tree,
// beside what translation asks of it.
class TFolderKeeper : public TTranslatorPort {
public:
    virtual bool SetupDone() const = 0;
    // Sets up until the deadline, events wait to be read, or a stop is requested.
    virtual void SetupStep(TClock::time_point deadline) = 0;
    // Every queued event is translated.
    virtual void QueueEmptied() = 0;
    // Folders not reached before are tried again.
    virtual void RetryUnreached() = 0;
    // The system's mount table changed.
    virtual void FollowMountTable() = 0;
    // The excluded folders changed: those now excluded are dropped, those
    // no longer excluded are watched, reporting nothing they hold.
    virtual void ExclusionsChanged() = 0;
    // Once set up, tells the count of folders again when it changed.
    virtual void ReportFolderCount() = 0;
    // Folders watched (0: not counted).
    virtual uint64_t FolderCount() const = 0;
    virtual bool TakeNotice(TWatchNotice& notice) = 0;
    virtual bool HasNotices() const = 0;
};

// One of the kernel's interfaces: its queue of events, put to the translator.
class TEventSource {
public:
    virtual ~TEventSource() = default;
    // The descriptor that is readable when events are queued.
    virtual int Descriptor() const = 0;
    // Starts the kernel's reporting of the tree; the system's error number
    // when it cannot start, 0 when it started. givenPath: the watched folder
    // as the user named it, which may lead there through links, and whose
    // way is guarded (the tree's root path is the folder's path without links).
    virtual int Start(TInotifyTranslator& translator, bool subTree, uint32_t filter, const std::string& givenPath) = 0;
    // Puts the events read from Descriptor to the translator.
    virtual void Translate(const char* data, size_t length, TInotifyTranslator& translator) = 0;
    // Events read from Descriptor that are dropped, not translated.
    virtual void Drop(const char*, size_t) {}
    // The kernel queue was seen empty, whether or not a read found it so.
    virtual void NothingQueued() {}
    // Why the processes behind changes are not known, or only in part
    // (for the user); empty when they are.
    virtual std::string ProcessesUnknown() const = 0;
    // The kernel queue was found empty: every event queued so far is read.
    virtual void QueueEmptied(TInotifyTranslator&) {}
    virtual TFolderKeeper& Keeper() = 0;
    // The system merges changes that wait to be read into others: what a
    // check of the records corrects is told the user as merged changes.
    virtual bool MergesChanges() const { return false; }
};

// Tests only: the memory of records not yet handed on beyond which events
// are dropped and reported lost (0 restores the program's own bound).
void SetPendingMemoryLimit(size_t bytes);

// Makes a reader's event source, given the reader's tree, queue and
// excluded folders.
using TEventSourceMaker = std::function<std::unique_ptr<TEventSource>(
    TWatchTree& tree, TPendingChanges& queue, TExcludedFolders& excluded, const std::atomic<bool>& interrupted)>;

class TTranslatingReader final : public TDirChangeReader {
public:
    // mechanism: what the watch line tells of how the folder is watched.
    TTranslatingReader(std::string directory, const TEventSourceMaker& makeSource, TFd wake, TFd mounts,
                       std::string mechanism);

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override;
    TWaitResult Wait(int timeoutMs) override;
    bool GetResult(uint32_t& bytesReturned) override;
    void TakeProcesses(std::vector<TProcessRef>& processes) override;
    bool TakeNotice(TWatchNotice& notice) override;
    void SetExcludedFolders(TFolderExclusionRules rules) override;
    void Interrupt() override;
    std::string FailureReason() const override;

private:
    void TakeNewExclusions();
    // A mount inside the tree on a file system whose changes the kernel
    // does not report is polled instead; false when it is not such a one.
    bool PollMount(const std::string& relative);
    void StepPollers(TClock::time_point deadline);
    void DropUnmountedPollers();
    bool DrainEvents();
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
};

} // namespace inotify

#endif
