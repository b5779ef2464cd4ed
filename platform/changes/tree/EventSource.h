#pragma once

// What the Linux reader asks of a source of the kernel's events (inotify or
// fanotify) and of the part that knows the folders of the watched tree.
// Both run on the reader's worker thread.
#ifdef __linux__

#include "platform/changes/PendingChanges.h"
#include "platform/changes/WatchNotices.h"
#include "platform/changes/tree/ExcludedFolders.h"
#include "platform/changes/tree/InotifyTranslator.h"
#include "platform/changes/tree/WatchTree.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace inotify {

// Whether fd is readable now, without waiting.
inline bool Readable(int fd) {
    pollfd descriptor{fd, POLLIN, 0};
    return ::poll(&descriptor, 1, 0) > 0;
}

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
    // Reads queued events, whole, as read(2) of Descriptor() does.
    virtual ssize_t Read(char* buffer, size_t length) { return ::read(Descriptor(), buffer, length); }
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

// Makes a reader's event source, given the reader's tree, queue and
// excluded folders.
using TEventSourceMaker = std::function<std::unique_ptr<TEventSource>(
    TWatchTree& tree, TPendingChanges& queue, TExcludedFolders& excluded, const std::atomic<bool>& interrupted)>;

} // namespace inotify

#endif
