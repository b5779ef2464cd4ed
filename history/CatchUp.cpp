#include "history/CatchUp.h"

#include "history/HistoryStore.h"
#include "history/Snapshot.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>

namespace {
using TKind = TCaughtUpChange::TKind;

// What makes an entry that one entry and no other: a freed inode given
// again has another birth time.
using TIdentity = std::tuple<uint64_t, uint64_t, int64_t, bool>;

TIdentity IdentityOf(const TTreeEntry& entry) {
    return {entry.Device, entry.Inode, entry.Born, entry.IsFolder()};
}

bool SameEntry(const TTreeEntry& before, const TTreeEntry& now) {
    return before.Device == now.Device && before.Inode == now.Inode && before.IsFolder() == now.IsFolder() &&
           (before.Born == now.Born || before.Born == 0 || now.Born == 0);
}

// A folder's times change with what it holds, which is told on its own:
// a folder is modified when its permissions are. A file when its size, its
// times or its permissions are; renamed, when its size or content time is
// (a rename sets the change time).
bool Modified(const TTreeEntry& before, const TTreeEntry& now, bool renamed) {
    if (before.Mode != now.Mode)
        return true;
    if (now.IsFolder())
        return false;
    return before.Size != now.Size || before.Modified != now.Modified || (!renamed && before.Changed != now.Changed);
}

// The path an entry has after the folders renamed before it: the nearest
// renamed folder it was in takes it along.
std::string Moved(const std::string& path, const std::map<std::string, std::string>& folders) {
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1))
        if (const auto folder = folders.find(path.substr(0, slash)); folder != folders.end())
            return folder->second + path.substr(slash);
    return path;
}

// Merges the snapshot with the walk, both in walk order; writes the new
// snapshot as it goes, carrying over what it held below folders that could
// not be read or are left out now.
class TComparer {
public:
    TComparer(TSnapshotReader* old, TSnapshotWriter& writer) : FOld(old), FWriter(writer) { Advance(); }

    void Come(TTreeEntry&& now) {
        while (FNext && WalkOrderLess(FNext->Path, now.Path))
            TakeOld();
        if (FNext && FNext->Path == now.Path) {
            if (!SameEntry(*FNext, now)) {
                FGone.push_back(std::move(*FNext));
                FCome.push_back(now);
            } else if (Modified(*FNext, now, false)) {
                FModified.push_back({TKind::Modified, now.Path, {}, now.IsFolder()});
            }
            Advance();
        } else if (FOld) {
            FCome.push_back(now);
        }
        FWriter.Add(now);
    }

    void Carry(const std::string& folder) { FCarried.insert(folder); }

    std::vector<TCaughtUpChange> Finish() {
        while (FNext)
            TakeOld();
        return Changes();
    }

private:
    void Advance() { FNext = FOld ? FOld->Next() : std::nullopt; }

    bool Carried(const std::string& path) const {
        for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
             slash = path.rfind('/', slash - 1))
            if (FCarried.count(path.substr(0, slash)))
                return true;
        return false;
    }

    void TakeOld() {
        if (Carried(FNext->Path))
            FWriter.Add(*FNext);
        else
            FGone.push_back(std::move(*FNext));
        Advance();
    }

    // Renames first, shallower ones before deeper (a renamed folder frees
    // its name first), each naming its entry as those before it left it;
    // then removals, what a folder held before the folder; additions, a
    // folder before what it holds; modifications.
    std::vector<TCaughtUpChange> Changes() {
        std::map<TIdentity, int> goneCount, comeCount;
        for (const TTreeEntry& entry : FGone)
            if (entry.Born != 0)
                ++goneCount[IdentityOf(entry)];
        std::map<TIdentity, const TTreeEntry*> comeBy;
        for (const TTreeEntry& entry : FCome)
            if (entry.Born != 0 && ++comeCount[IdentityOf(entry)] == 1)
                comeBy[IdentityOf(entry)] = &entry;
        std::vector<std::pair<const TTreeEntry*, const TTreeEntry*>> renamed;
        std::set<std::string> pairedCome;
        std::vector<const TTreeEntry*> removed;
        for (const TTreeEntry& entry : FGone) {
            const TIdentity identity = IdentityOf(entry);
            if (entry.Born != 0 && goneCount[identity] == 1 && comeCount[identity] == 1) {
                renamed.emplace_back(&entry, comeBy[identity]);
                pairedCome.insert(comeBy[identity]->Path);
            } else {
                removed.push_back(&entry);
            }
        }
        std::stable_sort(renamed.begin(), renamed.end(), [](const auto& a, const auto& b) {
            return std::count(a.second->Path.begin(), a.second->Path.end(), '/') <
                   std::count(b.second->Path.begin(), b.second->Path.end(), '/');
        });
        std::vector<TCaughtUpChange> changes;
        std::map<std::string, std::string> movedFolders;
        std::vector<TCaughtUpChange> modified;
        for (const auto& [before, now] : renamed) {
            const std::string from = Moved(before->Path, movedFolders);
            if (from != now->Path)
                changes.push_back({TKind::Renamed, now->Path, from, now->IsFolder()});
            if (now->IsFolder())
                movedFolders[before->Path] = now->Path;
            if (Modified(*before, *now, from != now->Path))
                modified.push_back({TKind::Modified, now->Path, {}, now->IsFolder()});
        }
        for (auto entry = removed.rbegin(); entry != removed.rend(); ++entry)
            changes.push_back({TKind::Removed, Moved((*entry)->Path, movedFolders), {}, (*entry)->IsFolder()});
        for (const TTreeEntry& entry : FCome)
            if (!pairedCome.count(entry.Path))
                changes.push_back({TKind::Added, entry.Path, {}, entry.IsFolder()});
        changes.insert(changes.end(), FModified.begin(), FModified.end());
        changes.insert(changes.end(), modified.begin(), modified.end());
        return changes;
    }

    TSnapshotReader* FOld;
    TSnapshotWriter& FWriter;
    std::optional<TTreeEntry> FNext;
    std::vector<TTreeEntry> FGone, FCome;
    std::vector<TCaughtUpChange> FModified;
    std::set<std::string> FCarried;
};

TCatchUp::TOutcome OutcomeOf(const TSnapshotReader& old, const std::string& root, const TFileSystemIdentity& now,
                             bool watchedBefore) {
    using TOutcome = TCatchUp::TOutcome;
    switch (old.State()) {
    case TSnapshotReader::TState::Missing:
        return watchedBefore ? TOutcome::NoSnapshot : TOutcome::FirstWatch;
    case TSnapshotReader::TState::Damaged:
        return TOutcome::Damaged;
    case TSnapshotReader::TState::Ready:
        break;
    }
    if (old.Header().Folder != root) // another folder's, whose name gave the same file name
        return watchedBefore ? TOutcome::NoSnapshot : TOutcome::FirstWatch;
    return old.Header().FileSystem == now ? TOutcome::Compared : TOutcome::OtherFileSystem;
}
} // namespace

TCatchUp CatchUpTree(const std::string& root, const std::string& snapshotFile, const TCatchUpOptions& options) {
    TCatchUp result;
    const std::optional<TFileSystemIdentity> identity = FileSystemIdentityOf(root, result.Error);
    if (!identity) {
        result.Outcome = TCatchUp::TOutcome::Unreadable;
        return result;
    }
    TSnapshotReader old(snapshotFile);
    result.Outcome = OutcomeOf(old, root, *identity, options.WatchedBefore);
    const bool comparing = result.Outcome == TCatchUp::TOutcome::Compared;
    TSnapshotWriter writer(snapshotFile, {root, *identity, HistoryTimeNow()});
    TComparer comparer(comparing ? &old : nullptr, writer);
    TTreeWalkEvents events;
    events.Entry = [&](TTreeEntry&& entry) {
        ++result.Entries;
        comparer.Come(std::move(entry));
        return !(options.Stop && options.Stop->load());
    };
    events.Unread = [&](const std::string& folder, int error) {
        result.Unread.emplace_back(folder, error);
        comparer.Carry(folder);
    };
    // What a file system mounted below held before is neither gone nor compared.
    events.OtherFileSystem = [&](const std::string& folder) { comparer.Carry(folder); };
    events.LeaveOut = [&](const std::string& folder) {
        const bool out = options.LeaveOut && options.LeaveOut(folder);
        if (out)
            comparer.Carry(folder);
        return out;
    };
    if (!WalkTree(root, events)) {
        result.Outcome = TCatchUp::TOutcome::Stopped;
        return result;
    }
    if (!result.Unread.empty() && result.Unread.front().first.empty()) {
        result.Outcome = TCatchUp::TOutcome::Unreadable; // the snapshot is left as it was
        result.Error = result.Unread.front().second;
        return result;
    }
    std::vector<TCaughtUpChange> changes = comparer.Finish();
    if (comparing)
        result.Changes = std::move(changes);
    writer.Finish(result.SnapshotError);
    return result;
}
