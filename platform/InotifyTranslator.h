#pragma once

// Translation of inotify's raw events into the change records of a sub-tree
// watch: names relative to the watched folder, renames as old-name/new-name
// pairs (their halves paired by cookie, however many other events come
// between them), moves out of the tree as removals and moves in as
// additions, the notify filter applied, a sub-folder's "Modified" when its
// entries change.
//
// A step function: one event in, records out, with no system call of its
// own. What it needs of the file system and of the follower of the folder
// tree it asks through TTranslatorPort.
#ifdef __linux__

#include "platform/PendingChanges.h"
#include "platform/WatchTree.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace inotify {

using TClock = std::chrono::steady_clock;

// Which entries a listing reports as added: those whose inode changed at or
// after this time (nanoseconds of the real-time clock), all, or none.
using TSince = int64_t;
constexpr TSince ReportAll = std::numeric_limits<TSince>::min();
constexpr TSince ReportNone = std::numeric_limits<TSince>::max();

// Why the watched folder can no longer be followed.
enum class TRootLoss { None, Removed, Moved, Unmounted };

// The inotify events that a notify filter needs.
uint32_t InotifyMaskFor(uint32_t filter);

// One event as the kernel queues it.
struct TRawEvent {
    int Wd = -1;
    uint32_t Mask = 0;
    uint32_t Cookie = 0;
    std::string Name;
};

// What translation asks of the rest of the backend.
class TTranslatorPort {
public:
    virtual ~TTranslatorPort() = default;
    // An entry came into a folder; false when a listing reported it already.
    virtual bool EntryArrived(int wd, const std::string& name) = 0;
    // An entry left a folder, removed or moved away.
    virtual void EntryLeft(int wd, const std::string& name) = 0;
    // Whether this read of a file moved its last-access time.
    virtual bool AccessMovedTime(int wd, const std::string& name) = 0;
    // A folder came into the tree: made there (since = ReportAll) or moved in.
    virtual void FolderArrived(int parentWd, const std::string& name, TSince since) = 0;
    virtual void FolderRenamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName,
                               TSince since) = 0;
    // A folder left the tree, removed or moved out: its watches go.
    virtual void FolderLeft(int parentWd, const std::string& name) = 0;
    // The system dropped a folder's watch.
    virtual void FolderForgotten(int wd) = 0;
    // The system dropped events: the tree must be walked again.
    virtual void ChangesLost() = 0;
};

class TInotifyTranslator {
public:
    // How long a move-out waits for its move-in half once the kernel queue
    // was found empty, and how many other events may come between the two.
    static constexpr auto RenamePairWait = std::chrono::milliseconds(2);
    static constexpr uint64_t RenamePairEvents = 1024;

    TInotifyTranslator(TWatchTree& tree, TPendingChanges& queue, TTranslatorPort& port)
        : FTree(tree), FQueue(queue), FPort(port) {}

    void SetFilter(uint32_t filter, bool subTree);
    // Watches wd, a folder on the way to the watched one, for the next part.
    void AddGuard(int wd, std::string nextPart);

    void Translate(const TRawEvent& event);
    // The kernel queue was found empty at now (steady) and realNow (the
    // file system's clock): every event read later happened after it.
    void QueueEmptied(TClock::time_point now, TSince realNow);
    // Settles the move-outs whose other half had its time (all of them,
    // when asked: the rest of the stream is lost or ends).
    void SettleLateMovesOut(TClock::time_point now, bool all = false);
    std::optional<TClock::time_point> NextMoveDeadline() const;
    bool MovesPending() const { return !FMovesOut.empty(); }
    TRootLoss RootLoss() const { return FRootLoss; }
    TSince LastEmpty() const { return FLastEmpty; }

private:
    // A move out of a folder, waiting for its move-in half.
    struct TMoveFrom {
        int Wd;
        std::string Name;
        bool IsDir;
        TPendingChanges::TSlot Slot;
        uint64_t EventsBefore; // events translated before it
        std::optional<TClock::time_point> Deadline; // set once the kernel queue was found empty
    };

    bool TranslateGuardEvent(const TRawEvent& event);
    void LoseRoot(TRootLoss loss);
    void OnAdded(int wd, const std::string& name, bool isDir, TSince since);
    void OnRemoved(int wd, const std::string& name, bool isDir);
    void OnMovedOut(int wd, const std::string& name, bool isDir, uint32_t cookie);
    void OnRenamed(const TMoveFrom& from, int toWd, const std::string& toName);
    void OnModified(const TRawEvent& event, bool isDir);
    void SettleAsMovedOut(const TMoveFrom& from);
    void SettleMovesOutAbove(int wd);
    void ParentModified(int wd);
    void Emit(uint32_t action, std::string name);
    uint32_t NameFilterFor(bool isDir) const;

    TWatchTree& FTree;
    TPendingChanges& FQueue;
    TTranslatorPort& FPort;
    uint32_t FFilter = 0;
    bool FSubTree = true;
    TRootLoss FRootLoss = TRootLoss::None;
    uint64_t FEventCount = 0;
    TSince FLastEmpty = 0;
    std::unordered_map<uint32_t, TMoveFrom> FMovesOut; // by cookie
    // Folders above the watched one (and the one the path names, if a link),
    // each with the names of the next parts of the watched path.
    std::unordered_map<int, std::vector<std::string>> FGuards;
};

} // namespace inotify

#endif
