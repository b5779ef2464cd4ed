// Translation of inotify's raw events into the change records of a sub-tree
// watch: names relative to the watched folder, renames as old-name/new-name
// pairs (their halves paired by cookie, however many other events come
// between them), moves out of the tree as removals and moves in as
// additions, the notify filter applied.
#ifdef __linux__

#include "platform/InotifyReader.h"

#include <algorithm>
#include <cstring>

namespace inotify {

void TInotifyReader::Translate(const inotify_event& event) {
    ++FEventCount;
    if (event.mask & IN_Q_OVERFLOW) {
        SettleLateMovesOut(true);
        FQueue.AddLoss();
        StartRescan();
        return;
    }
    if (TranslateGuardEvent(event))
        return;
    const bool isDir = event.mask & IN_ISDIR;
    const std::string name = event.len ? event.name : "";
    if (event.mask & IN_IGNORED) {
        if (event.wd == FTree.Root())
            LoseRoot(TRootLoss::Removed);
        else if (FTree.Contains(event.wd))
            RemoveSubTree(event.wd, false);
        return;
    }
    if (event.wd == FTree.Root() && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        LoseRoot(event.mask & IN_UNMOUNT     ? TRootLoss::Unmounted
                 : event.mask & IN_MOVE_SELF ? TRootLoss::Moved
                                             : TRootLoss::Removed);
        return;
    }
    if (name.empty() || !FTree.Contains(event.wd))
        return; // a sub-folder's own events come with its name from its parent
    SettleMovesOutAbove(event.wd);
    if (!FTree.Contains(event.wd))
        return;
    if (event.mask & IN_CREATE)
        OnAdded(event.wd, name, isDir, ReportAll);
    if (event.mask & IN_MOVED_TO) {
        auto from = FMovesOut.find(event.cookie);
        if (from != FMovesOut.end() && FTree.Contains(from->second.Wd)) {
            TMoveFrom moved = std::move(from->second);
            FMovesOut.erase(from);
            OnRenamed(moved, event.wd, name);
        } else {
            OnAdded(event.wd, name, isDir, FLastEmpty);
        }
    }
    if (event.mask & IN_DELETE)
        OnRemoved(event.wd, name, isDir);
    if (event.mask & IN_MOVED_FROM)
        OnMovedOut(event.wd, name, isDir, event.cookie);
    // Reading a folder's entries counts as an access to it; the watch reads
    // folders itself while it sets up, and any listing would flood the list,
    // so only accesses to files are reported, and only those that changed
    // the file's last-access time (most reads leave it alone).
    const bool accessReported = (event.mask & IN_ACCESS) && !isDir && (FFilter & FILE_NOTIFY_CHANGE_LAST_ACCESS) &&
                                AccessChangedTime(event.wd, name);
    const bool modified = ((event.mask & IN_MODIFY) && (FFilter & ContentChanges)) ||
                          ((event.mask & IN_ATTRIB) && (FFilter & MetadataChanges)) || accessReported;
    if (modified)
        Emit(FILE_ACTION_MODIFIED, FTree.RelativeName(event.wd, name));
}

// An event on a folder on the way to the watched one; true when it is only that.
bool TInotifyReader::TranslateGuardEvent(const inotify_event& event) {
    auto guard = FGuards.find(event.wd);
    if (guard == FGuards.end())
        return false;
    const bool onPath =
        event.len && std::find(guard->second.begin(), guard->second.end(), event.name) != guard->second.end();
    if (event.mask & IN_UNMOUNT)
        LoseRoot(TRootLoss::Unmounted);
    else if (onPath && (event.mask & IN_DELETE))
        LoseRoot(TRootLoss::Removed);
    else if ((onPath && (event.mask & (IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO))) ||
             (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)))
        LoseRoot(TRootLoss::Moved);
    if (event.mask & IN_IGNORED)
        FGuards.erase(guard);
    return !FTree.Contains(event.wd);
}

// The first cause found is the one the user is told.
void TInotifyReader::LoseRoot(TRootLoss loss) {
    if (FRootLoss == TRootLoss::None)
        FRootLoss = loss;
    SettleLateMovesOut(true);
}

void TInotifyReader::OnAdded(int wd, const std::string& name, bool isDir, TSince since) {
    if (DuplicateOfScan(wd, name))
        return;
    RememberAddedBeforeScan(wd, name);
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_ADDED, FTree.RelativeName(wd, name));
    ParentModified(wd);
    if (isDir && FSubTree)
        WatchNewChild(wd, name, since);
}

void TInotifyReader::OnRemoved(int wd, const std::string& name, bool isDir) {
    if (auto folder = FScanned.find(wd); folder != FScanned.end())
        folder->second.erase(name);
    if (FFilter & NameFilterFor(isDir))
        Emit(FILE_ACTION_REMOVED, FTree.RelativeName(wd, name));
    ParentModified(wd);
    // The folder may live on, held open elsewhere, but no name leads to it.
    if (isDir)
        if (auto child = FTree.FindChild(wd, name))
            RemoveSubTree(*child, true);
}

// The record takes its place in the order now and is settled when the
// move-in half comes, or when it is clear that none will.
void TInotifyReader::OnMovedOut(int wd, const std::string& name, bool isDir, uint32_t cookie) {
    if (auto folder = FScanned.find(wd); folder != FScanned.end())
        folder->second.erase(name);
    FMovesOut[cookie] = TMoveFrom{wd, name, isDir, FQueue.Hold(), FEventCount, std::nullopt};
    ParentModified(wd);
}

void TInotifyReader::OnRenamed(const TMoveFrom& from, int toWd, const std::string& toName) {
    if (FFilter & NameFilterFor(from.IsDir))
        FQueue.SettleAsRename(from.Slot, FTree.RelativeName(from.Wd, from.Name), FTree.RelativeName(toWd, toName));
    else
        FQueue.Settle(from.Slot, 0, {});
    if (toWd != from.Wd)
        ParentModified(toWd);
    if (!from.IsDir || !FSubTree)
        return;
    if (auto child = FTree.FindChild(from.Wd, from.Name)) {
        if (auto replaced = FTree.FindChild(toWd, toName); replaced && *replaced != *child)
            RemoveSubTree(*replaced, true);
        // During a walk after lost changes, a folder moved to where the walk
        // has been must be listed again, or what it holds stays unwatched.
        if (FTree.Move(*child, toWd, toName) && FRescanning && FRescanSeen.insert(*child).second &&
            FRescanListed.insert(*child).second)
            FSetupStack.push_back({*child, ReportNone});
        return;
    }
    // A folder renamed before it could be watched: a brand-new one still
    // has its entries reported.
    TSince since = FLastEmpty;
    auto retry = std::find_if(FRetries.begin(), FRetries.end(),
                              [&](const TRetry& r) { return r.Wd == from.Wd && r.Name == from.Name; });
    if (retry != FRetries.end()) {
        since = retry->Since;
        FRetries.erase(retry);
    }
    WatchNewChild(toWd, toName, since);
}

// A move-out whose move-in half never came: the entry left the tree.
void TInotifyReader::SettleAsMovedOut(const TMoveFrom& from) {
    if (!FTree.Contains(from.Wd)) {
        FQueue.Settle(from.Slot, 0, {});
        return;
    }
    const bool reported = FFilter & NameFilterFor(from.IsDir);
    FQueue.Settle(from.Slot, reported ? FILE_ACTION_REMOVED : 0, FTree.RelativeName(from.Wd, from.Name));
    if (from.IsDir)
        if (auto child = FTree.FindChild(from.Wd, from.Name))
            RemoveSubTree(*child, true);
}

// Move-outs whose other half had its time and did not come (all of them,
// when asked: the rest of the stream is lost or ends).
void TInotifyReader::SettleLateMovesOut(bool all) {
    const auto now = TClock::now();
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
void TInotifyReader::SettleMovesOutAbove(int wd) {
    for (auto from = FMovesOut.begin(); from != FMovesOut.end();) {
        const auto folder = from->second.IsDir ? FTree.FindChild(from->second.Wd, from->second.Name) : std::nullopt;
        if (!folder || !FTree.IsWithin(wd, *folder)) {
            ++from;
            continue;
        }
        SettleAsMovedOut(from->second);
        from = FMovesOut.erase(from);
    }
}

std::optional<TClock::time_point> TInotifyReader::NextMoveDeadline() const {
    std::optional<TClock::time_point> next;
    for (const auto& [cookie, from] : FMovesOut)
        if (from.Deadline && (!next || *from.Deadline < *next))
            next = from.Deadline;
    return next;
}

// A change of a sub-folder's entries changes its last-write time, which is
// reported for the sub-folder (never for the watched folder itself).
void TInotifyReader::ParentModified(int wd) {
    if (wd != FTree.Root() && (FFilter & FILE_NOTIFY_CHANGE_LAST_WRITE))
        Emit(FILE_ACTION_MODIFIED, FTree.RelativePath(wd));
}

void TInotifyReader::Emit(uint32_t action, std::string name) {
    FQueue.Add(action, std::move(name));
}

bool TInotifyReader::DuplicateOfScan(int wd, const std::string& name) {
    auto folder = FScanned.find(wd);
    if (folder == FScanned.end())
        return false;
    auto entry = folder->second.find(name);
    if (entry == folder->second.end())
        return false;
    ino_t scannedInode = entry->second;
    folder->second.erase(entry);
    struct stat st;
    std::string path = JoinPath(FTree.FullPath(wd), name);
    // Gone again: the scan reported it, and its removal is still queued.
    if (::lstat(path.c_str(), &st) != 0)
        return true;
    return st.st_ino == scannedInode;
}

void TInotifyReader::RememberAddedBeforeScan(int wd, const std::string& name) {
    auto folder = FAwaitingScan.find(wd);
    struct stat st;
    if (folder != FAwaitingScan.end() && ::lstat(JoinPath(FTree.FullPath(wd), name).c_str(), &st) == 0)
        folder->second[name] = st.st_ino;
}

// An access is reported when it moved the file's last-access time since the
// last one seen; for a file not seen before, when that time is recent.
bool TInotifyReader::AccessChangedTime(int wd, const std::string& name) {
    const std::string path = JoinPath(FTree.FullPath(wd), name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    const TSince accessed = Nanoseconds(st.st_atim);
    if (FAccessTimes.size() >= AccessTimesKept)
        FAccessTimes.clear();
    auto [seen, first] = FAccessTimes.try_emplace(path, accessed);
    if (first)
        return CoarseNow() - accessed <= AccessRecency;
    if (seen->second == accessed)
        return false;
    seen->second = accessed;
    return true;
}

} // namespace inotify

#endif
