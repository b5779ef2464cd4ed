#pragma once

// What changed in a watched tree while the program was not watching it:
// the tree as it is now, compared with the snapshot kept when it was last
// watched, in one walk that also writes the new snapshot.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TCaughtUpChange {
    enum class TKind { Added, Removed, Modified, Renamed };
    TKind Kind = TKind::Added;
    std::string Path; // below the root; for a rename, the new one
    std::string OldPath;
    bool IsFolder = false;
    friend bool operator==(const TCaughtUpChange&, const TCaughtUpChange&) = default;
};

struct TCatchUp {
    enum class TOutcome {
        Compared,        // Changes says what changed
        FirstWatch,      // no snapshot and never watched: nothing to compare with
        NoSnapshot,      // watched before, but its snapshot is missing
        Damaged,         // the snapshot cannot be read
        OtherFileSystem, // the snapshot is of another file system
        Unreadable,      // the folder itself cannot be read
        Stopped,
    };
    TOutcome Outcome = TOutcome::Compared;
    std::vector<TCaughtUpChange> Changes;
    // Folders below the root whose entries could not be read, with the
    // error number: what they hold is not compared.
    std::vector<std::pair<std::string, int>> Unread;
    int Error = 0;             // for Unreadable
    uint64_t Entries = 0;      // in the tree now
    std::string SnapshotError; // why the new snapshot could not be kept, if it could not
};

struct TCatchUpOptions {
    // Whether the folder was watched before, when it has no snapshot.
    bool WatchedBefore = false;
    // Folders (below the root) neither walked nor compared.
    std::function<bool(const std::string& folder)> LeaveOut;
    const std::atomic<bool>* Stop = nullptr;
};

// Compares the tree at root with the snapshot in snapshotFile and keeps the
// tree's snapshot there in its place. Renames are told only when certain:
// the same device, inode and birth time, one entry gone and one come with
// them; an entry given a freed inode is a removal and an addition. What a
// renamed folder holds moves with it and is not told again.
TCatchUp CatchUpTree(const std::string& root, const std::string& snapshotFile, const TCatchUpOptions& options);
