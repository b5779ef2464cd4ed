#ifdef __linux__

#include "platform/changes/tree/InotifyTranslator.h"

#include "platform/changes/DirChanges.h"

#include <algorithm>
#include <set>
#include <utility>
#include <sys/inotify.h>

namespace inotify {

namespace {
constexpr uint32_t ContentChanges = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
// inotify reports mode, owner, time stamp and extended-attribute changes alike.
constexpr uint32_t MetadataChanges = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                     FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;
} // namespace

uint32_t InotifyMaskFor(uint32_t filter) {
    uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                    IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
    if (filter & ContentChanges)
        mask |= IN_MODIFY;
    if (filter & MetadataChanges)
        mask |= IN_ATTRIB;
    if (filter & FILE_NOTIFY_CHANGE_LAST_ACCESS)
        mask |= IN_ACCESS;
    return mask;
}

void TInotifyTranslator::SetFilter(uint32_t filter, bool subTree) {
    FFilter = filter;
    FSubTree = subTree;
}

void TInotifyTranslator::AddGuard(int wd, std::string nextPart) {
    FGuards[wd].push_back(std::move(nextPart));
}

void TInotifyTranslator::Translate(const TRawEvent& event) {
    ++FEventCount;
    if (FRootLoss != TRootLoss::None)
        return; // the path leads elsewhere now: nothing more is this watch's
    if (event.Mask & IN_Q_OVERFLOW) {
        LoseChanges(TLossReason::SystemQueueFull);
        return;
    }
    if (TranslateGuardEvent(event))
        return;
    const bool isDir = event.Mask & IN_ISDIR;
    if (event.Mask & IN_IGNORED) {
        if (event.Wd == FTree.Root())
            LoseRoot(TRootLoss::Removed);
        else if (FTree.Knows(event.Wd))
            FPort.FolderForgotten(event.Wd);
        return;
    }
    if (event.Wd == FTree.Root() && (event.Mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        LoseRoot(event.Mask & IN_UNMOUNT     ? TRootLoss::Unmounted
                 : event.Mask & IN_MOVE_SELF ? TRootLoss::Moved
                                             : TRootLoss::Removed);
        return;
    }
    if (event.Name.empty() || !FTree.Contains(event.Wd))
        return; // a sub-folder's own events come with its name from its parent
    SettleMovesOutAbove(event.Wd);
    if (!FTree.Contains(event.Wd))
        return;
    if (event.Mask & IN_CREATE)
        OnAdded(event.Wd, event.Name, isDir, ReportAll);
    if (event.Mask & IN_MOVED_TO) {
        auto from = FMovesOut.find(event.Cookie);
        if (from != FMovesOut.end() && FTree.Contains(from->second.Wd)) {
            TMoveFrom moved = std::move(from->second);
            FMovesOut.erase(from);
            OnRenamed(moved, event.Wd, event.Name);
        } else {
            OnAdded(event.Wd, event.Name, isDir, FLastEmpty);
        }
    }
    if (event.Mask & IN_DELETE)
        OnRemoved(event.Wd, event.Name, isDir);
    if (event.Mask & IN_MOVED_FROM)
        OnMovedOut(event.Wd, event.Name, isDir, event.Cookie);
    OnModified(event, isDir);
}

void TInotifyTranslator::LoseChanges(TLossReason reason) {
    ++FLosses[static_cast<size_t>(reason)];
    SettleLateMovesOut(TClock::now(), true);
    FToCheck.clear();
    FFound.clear();
    FQueue.AddLoss();
    FPort.ChangesLost();
}

// Reading a folder's entries counts as an access to it; the watch reads
// folders itself while it sets up, and any listing would flood the list, so
// only accesses to files are reported, and only those that moved the file's
// last-access time (most reads leave it alone).
void TInotifyTranslator::OnModified(const TRawEvent& event, bool isDir) {
    const bool accessReported = (event.Mask & IN_ACCESS) && !isDir && (FFilter & FILE_NOTIFY_CHANGE_LAST_ACCESS) &&
                                FPort.AccessMovedTime(event.Wd, event.Name);
    const bool modified = ((event.Mask & IN_MODIFY) && (FFilter & ContentChanges)) ||
                          ((event.Mask & IN_ATTRIB) && (FFilter & MetadataChanges)) || accessReported;
    if (modified)
        Emit(FILE_ACTION_MODIFIED, event.Wd, event.Name, isDir);
}

// An event on a folder on the way to the watched one: when the next part of
// the path is renamed, removed or replaced, or the folder itself goes, the
// watched path leads elsewhere. True when the event is only that.
bool TInotifyTranslator::TranslateGuardEvent(const TRawEvent& event) {
    auto guard = FGuards.find(event.Wd);
    if (guard == FGuards.end())
        return false;
    const bool onPath =
        !event.Name.empty() && std::find(guard->second.begin(), guard->second.end(), event.Name) != guard->second.end();
    if (event.Mask & IN_UNMOUNT)
        LoseRoot(TRootLoss::Unmounted);
    else if (onPath && (event.Mask & IN_DELETE))
        LoseRoot(TRootLoss::Removed);
    else if ((onPath && (event.Mask & (IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO))) ||
             (event.Mask & (IN_DELETE_SELF | IN_MOVE_SELF)))
        LoseRoot(TRootLoss::Moved);
    if (event.Mask & IN_IGNORED)
        FGuards.erase(guard);
    return !FTree.Contains(event.Wd);
}

// The first cause found is the one the user is told.
void TInotifyTranslator::LoseRoot(TRootLoss loss) {
    if (FRootLoss == TRootLoss::None)
        FRootLoss = loss;
    SettleLateMovesOut(TClock::now(), true);
}

void TInotifyTranslator::OnAdded(int wd, const std::string& name, bool isDir, TSince since) {
    if (!FPort.EntryArrived(wd, name))
        return;
    Touch(wd, name, true, isDir, false);
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_ADDED, wd, name, isDir);
    ParentModified(wd);
    if (isDir && FSubTree)
        FPort.FolderArrived(wd, name, since);
}

void TInotifyTranslator::OnRemoved(int wd, const std::string& name, bool isDir) {
    FPort.EntryLeft(wd, name);
    Touch(wd, name, false, isDir, false);
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_REMOVED, wd, name, isDir);
    ParentModified(wd);
    // The folder may live on, held open elsewhere, but no name leads to it.
    if (isDir)
        if (const std::optional<int> folder = FTree.FindChild(wd, name))
            FPort.FolderLeft(*folder);
}

// The record takes its place in the order now and is settled when the
// move-in half comes, or when it is clear that none will.
void TInotifyTranslator::OnMovedOut(int wd, const std::string& name, bool isDir, uint32_t cookie) {
    FPort.EntryLeft(wd, name);
    FFound.erase({wd, name});
    // A cookie still waiting for its other half can only have lost it: left
    // held, its record would stop the stream for good.
    if (auto earlier = FMovesOut.find(cookie); earlier != FMovesOut.end()) {
        SettleAsMovedOut(earlier->second);
        FMovesOut.erase(earlier);
    }
    const std::optional<int> folder = isDir ? FTree.FindChild(wd, name) : std::nullopt;
    FMovesOut[cookie] = TMoveFrom{wd, name, isDir, folder, FQueue.Hold(EventProcess(), FPort.IdentityOf(wd)), FEventCount, std::nullopt};
    ParentModified(wd);
}

// Two entries exchanged (renameat2 with RENAME_EXCHANGE) come as a rename
// and, right after it, one back the other way: the two renames they are. A
// folder that comes back at the name of the folder it was exchanged with
// (which the first rename displaced) is known by its watch, and its old
// name holds an entry after it. Two files exchanged cannot be told from
// two renames one after the other: the check of their names afterwards
// adds the name the second rename left.
void TInotifyTranslator::OnRenamed(const TMoveFrom& from, int toWd, const std::string& toName) {
    const bool reported = FFilter & NameFilterFor(from.IsDir);
    if (!from.IsDir && FTree.FindChild(toWd, toName))
        FPort.FolderDisplaced(toWd, toName);
    const TFolderMove move =
        from.IsDir && FSubTree ? FPort.FolderRenamed(from.Wd, from.Name, toWd, toName, FLastEmpty) : TFolderMove::Moved;
    Touch(from.Wd, from.Name, move == TFolderMove::Exchanged, from.IsDir, true);
    Touch(toWd, toName, true, from.IsDir, true);
    if (reported) {
        FQueue.SettleAsRename(from.Slot, FTree.RelativeName(from.Wd, from.Name), FTree.RelativeName(toWd, toName),
                              from.IsDir, FPort.IdentityOf(toWd));
    } else {
        FQueue.Settle(from.Slot, 0, {});
    }
    if (toWd != from.Wd)
        ParentModified(toWd);
}

// A move-out whose move-in half never came: the entry left the tree.
void TInotifyTranslator::SettleAsMovedOut(const TMoveFrom& from) {
    if (!FTree.Contains(from.Wd)) {
        FQueue.Settle(from.Slot, 0, {});
        return;
    }
    Touch(from.Wd, from.Name, false, from.IsDir, true);
    const bool reported = FFilter & NameFilterFor(from.IsDir);
    FQueue.Settle(from.Slot, ActionOnEntry(reported ? FILE_ACTION_REMOVED : 0, from.IsDir),
                  FTree.RelativeName(from.Wd, from.Name));
    if (from.Folder && FTree.Knows(*from.Folder))
        FPort.FolderLeft(*from.Folder);
}

void TInotifyTranslator::QueueEmptied(TClock::time_point now, TSince realNow) {
    FLastEmpty = realNow;
    // The two halves of a move are queued together: one whose other half is
    // not here now waits only a moment longer.
    for (auto& [cookie, from] : FMovesOut)
        if (!from.Deadline)
            from.Deadline = now + RenamePairWait;
}

void TInotifyTranslator::SettleLateMovesOut(TClock::time_point now, bool all) {
    for (auto from = FMovesOut.begin(); from != FMovesOut.end();) {
        const bool late = all || (from->second.Deadline && *from->second.Deadline <= now) ||
                          FEventCount - from->second.EventsBefore > RenamePairEvents;
        if (!late) {
            ++from;
            continue;
        }
        SettleAsMovedOut(from->second);
        from = FMovesOut.erase(from);
    }
}

// A folder's move-in half comes right behind its move-out half; an event
// from inside the folder coming first shows that it left the tree.
void TInotifyTranslator::SettleMovesOutAbove(int wd) {
    // Settling one may take wd out of the tree with the folder that left.
    for (auto from = FMovesOut.begin(); from != FMovesOut.end() && FTree.Contains(wd);) {
        const auto folder = from->second.IsDir ? FTree.FindChild(from->second.Wd, from->second.Name) : std::nullopt;
        if (!folder || !FTree.IsWithin(wd, *folder)) {
            ++from;
            continue;
        }
        SettleAsMovedOut(from->second);
        from = FMovesOut.erase(from);
    }
}

std::optional<TClock::time_point> TInotifyTranslator::NextMoveDeadline() const {
    std::optional<TClock::time_point> next;
    for (const auto& [cookie, from] : FMovesOut)
        if (from.Deadline && (!next || *from.Deadline < *next))
            next = from.Deadline;
    return next;
}

// A change of a sub-folder's entries changes its last-write time, which is
// reported for the sub-folder (never for the watched folder itself).
void TInotifyTranslator::ParentModified(int wd) {
    if (wd != FTree.Root() && (FFilter & FILE_NOTIFY_CHANGE_LAST_WRITE))
        Emit(FILE_ACTION_MODIFIED, FTree.ParentOf(wd), FTree.NameOf(wd), true);
}

void TInotifyTranslator::CheckLater(int wd, const std::string& name) {
    FToCheck.try_emplace({wd, name});
    FFound.erase({wd, name});
}

void TInotifyTranslator::Touch(int wd, const std::string& name, bool present, bool isDir, bool check) {
    FFound.erase({wd, name});
    auto recorded = check ? FToCheck.try_emplace({wd, name}).first : FToCheck.find({wd, name});
    if (recorded != FToCheck.end())
        recorded->second = {present, isDir};
}

// Folders found at another place are moved first: the name they left needs
// no removal of its own then.
size_t TInotifyTranslator::Reconcile(TClock::time_point now) {
    if (!FFound.empty() && now - FFoundAt < RenamePairWait)
        return 0;
    std::map<std::pair<int, std::string>, TFound> found = std::exchange(FFound, {});
    for (const auto& [place, recorded] : std::exchange(FToCheck, {})) {
        const auto& [wd, name] = place;
        if (!recorded.Present || !FTree.Contains(wd) || FRootLoss != TRootLoss::None)
            continue;
        TEntryNow entry = FPort.EntryNow(wd, name);
        if (entry.Kind != TEntryNow::TKind::Unknown && (entry.Kind != TEntryNow::TKind::Absent) != *recorded.Present)
            FFound[place] = {recorded.IsDir, std::move(entry)};
    }
    FFoundAt = now;
    if (FRootLoss != TRootLoss::None)
        return 0;
    std::set<std::pair<int, std::string>> settled;
    for (const auto& [place, entry] : found) {
        const auto& [wd, name] = place;
        const std::optional<int> folder = entry.Now.Folder;
        if (!folder || !FTree.Contains(wd) || !FTree.Contains(*folder) || *folder == FTree.Root() ||
            FTree.IsWithin(wd, *folder))
            continue;
        settled.insert({FTree.ParentOf(*folder), FTree.NameOf(*folder)});
        settled.insert(place);
        CorrectMove(*folder, wd, name);
    }
    for (const auto& [place, entry] : found) {
        const auto& [wd, name] = place;
        if (settled.count(place) || !FTree.Contains(wd))
            continue;
        if (entry.Now.Kind == TEntryNow::TKind::Absent)
            OnRemoved(wd, name, entry.IsDir);
        else
            CorrectArrival(wd, name, entry.Now);
    }
    // What was just found again is what was just corrected.
    for (const auto& [place, entry] : found)
        FFound.erase(place);
    return found.size();
}

// A folder the tree has at another name is now at this one: the renames
// that took it there were merged into others by the system.
void TInotifyTranslator::CorrectMove(int folder, int toWd, const std::string& toName) {
    const int fromWd = FTree.ParentOf(folder);
    const std::string fromName = FTree.NameOf(folder);
    const TPendingChanges::TSlot slot = FQueue.Hold(nullptr, FPort.IdentityOf(fromWd));
    if (FFilter & FILE_NOTIFY_CHANGE_DIR_NAME)
        FQueue.SettleAsRename(slot, FTree.RelativeName(fromWd, fromName), FTree.RelativeName(toWd, toName), true,
                              FPort.IdentityOf(toWd));
    else
        FQueue.Settle(slot, 0, {});
    ParentModified(fromWd);
    if (toWd != fromWd)
        ParentModified(toWd);
    FPort.FolderRenamed(fromWd, fromName, toWd, toName, ReportNone);
}

// An entry the records do not have arrives with all it holds.
void TInotifyTranslator::CorrectArrival(int wd, const std::string& name, const TEntryNow& now) {
    const bool isDir = now.Kind == TEntryNow::TKind::Folder;
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_ADDED, wd, name, isDir);
    ParentModified(wd);
    if (!isDir || !FSubTree)
        return;
    if (!FTree.FindChild(wd, name))
        FPort.FolderArrived(wd, name, ReportNone);
    if (const std::optional<int> folder = FTree.FindChild(wd, name))
        FPort.ReportContents(*folder);
}

void TInotifyTranslator::Emit(uint32_t action, int wd, const std::string& name, bool isDir) {
    FQueue.Add(ActionOnEntry(action, isDir), FTree.RelativeName(wd, name), EventProcess(), FPort.IdentityOf(wd));
}

uint32_t TInotifyTranslator::NameFilterFor(bool isDir) const {
    return isDir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
}

} // namespace inotify

#endif
