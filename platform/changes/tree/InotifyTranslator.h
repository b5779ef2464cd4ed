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

#include "platform/changes/PendingChanges.h"
#include "platform/changes/tree/WatchTree.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
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

// Why changes were lost: the system's queue overflowed, the watch's own
// queue was full (its reader far behind), or what the system gave could not
// be read.
enum class TLossReason { SystemQueueFull, OwnQueueFull, Unreadable };
constexpr size_t LossReasons = 3;

// The inotify events that a notify filter needs.
uint32_t InotifyMaskFor(uint32_t filter);

// One event as the kernel queues it.
struct TRawEvent {
    int Wd = -1;
    uint32_t Mask = 0;
    uint32_t Cookie = 0;
    std::string Name;
};

// What the file system holds at a name now.
struct TEntryNow {
    enum class TKind { Absent, Folder, Other, Unknown };
    TKind Kind = TKind::Unknown;
    std::optional<int> Folder; // a folder's place in the tree, when it has one
};

// How a folder's rename went: it moved as the event says, or it came back
// at the name of a folder that an exchange of the two moved away just before.
enum class TFolderMove { Moved, Exchanged };

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
    virtual TFolderMove FolderRenamed(int fromWd, const std::string& fromName, int toWd,
                                      const std::string& toName, TSince since) = 0;
    // A folder left the tree, removed or moved out: its watches go.
    virtual void FolderLeft(int folderWd) = 0;
    // Something that is no folder took a folder's name by a rename, which
    // only an exchange of the two does: the folder comes back elsewhere.
    virtual void FolderDisplaced(int parentWd, const std::string& name) = 0;
    // Reports everything below a folder of the tree as added.
    virtual void ReportContents(int folderWd) = 0;
    virtual TEntryNow EntryNow(int wd, const std::string& name) = 0;
    // The system dropped a folder's watch.
    virtual void FolderForgotten(int wd) = 0;
    // The system dropped events: the tree must be walked again.
    virtual void ChangesLost() = 0;
    // The identity of a folder of the tree, for the records of the entries
    // it holds, where the backend keeps one.
    virtual TFolderRef IdentityOf(int) const { return nullptr; }
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
    // The process behind the event being translated, asked for when a
    // record of it is first made; records made otherwise (by a listing, a
    // check) have none.
    using TProcessOfEvent = std::function<TProcessRef()>;
    void SetProcessOfEvent(TProcessOfEvent find) { FProcessOfEvent = std::move(find); }
    // Changes were lost: the read that reaches this point reports it, and
    // the tree is walked again.
    void LoseChanges(TLossReason reason);
    // How many times changes were lost, by reason.
    const std::array<uint64_t, LossReasons>& Losses() const { return FLosses; }
    // The kernel queue was found empty at now (steady) and realNow (the
    // file system's clock): every event read later happened after it.
    void QueueEmptied(TClock::time_point now, TSince realNow);
    // Settles the move-outs whose other half had its time (all of them,
    // when asked: the rest of the stream is lost or ends).
    void SettleLateMovesOut(TClock::time_point now, bool all = false);
    std::optional<TClock::time_point> NextMoveDeadline() const;
    bool MovesPending() const { return !FMovesOut.empty(); }
    // The name's state is to be checked against the file system: the system
    // may have merged its changes, so that the records could leave it wrong.
    void CheckLater(int wd, const std::string& name);
    // Checks the names whose state the records may have got wrong (renamed,
    // exchanged, merged) against the file system, and reports what the
    // records need to give the real state. Call it each time the kernel's
    // queue was read to its end and no rename waits for its other half.
    // What a check finds is reported at a call at least RenamePairWait
    // later, unless an event about the name came meanwhile: the file system
    // may have been ahead of the events when it was looked at, and the name
    // is checked again. now: the steady clock. The number of names corrected.
    size_t Reconcile(TClock::time_point now);
    TRootLoss RootLoss() const { return FRootLoss; }
    TSince LastEmpty() const { return FLastEmpty; }

private:
    // A move out of a folder, waiting for its move-in half.
    struct TMoveFrom {
        int Wd;
        std::string Name;
        bool IsDir;
        std::optional<int> Folder; // the folder that moved, when it is one the tree knows
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
    // The record of a change to the entry name of the folder wd, which isDir
    // says is a folder.
    void Emit(uint32_t action, int wd, const std::string& name, bool isDir);
    uint32_t NameFilterFor(bool isDir) const;
    TProcessRef EventProcess() const { return FProcessOfEvent ? FProcessOfEvent() : nullptr; }
    // The state the records give a name, kept for names to be checked; any
    // event about a name makes what a check found of it stale.
    void Touch(int wd, const std::string& name, bool present, bool isDir, bool check);
    void CorrectArrival(int wd, const std::string& name, const TEntryNow& now);
    void CorrectMove(int folder, int toWd, const std::string& toName);

    TWatchTree& FTree;
    TPendingChanges& FQueue;
    TTranslatorPort& FPort;
    TProcessOfEvent FProcessOfEvent;
    uint32_t FFilter = 0;
    bool FSubTree = true;
    TRootLoss FRootLoss = TRootLoss::None;
    std::array<uint64_t, LossReasons> FLosses{};
    uint64_t FEventCount = 0;
    TSince FLastEmpty = 0;
    std::unordered_map<uint32_t, TMoveFrom> FMovesOut; // by cookie
    struct TRecorded {
        std::optional<bool> Present; // as the records give it; none: no record said yet
        bool IsDir = false;
    };
    std::map<std::pair<int, std::string>, TRecorded> FToCheck;
    // Names a check found wrong, with what the file system held, to be
    // corrected at the next check unless an event about them comes first.
    struct TFound {
        bool IsDir = false;
        TEntryNow Now;
    };
    std::map<std::pair<int, std::string>, TFound> FFound;
    TClock::time_point FFoundAt;
    // Folders above the watched one (and the one the path names, if a link),
    // each with the names of the next parts of the watched path.
    std::unordered_map<int, std::vector<std::string>> FGuards;
};

} // namespace inotify

#endif
