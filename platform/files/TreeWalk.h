#pragma once

// A walk of a whole tree that tells, for each entry, what identifies it and
// what a change would alter: for comparing a tree with how it was when the
// program last watched it.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct TTreeEntry {
    std::string Path; // below the root, parts joined by '/'
    uint64_t Device = 0;
    uint64_t Inode = 0;
    uint32_t Mode = 0; // kind and permissions
    uint64_t Size = 0; // 0 for a folder
    // Nanoseconds since 1970. Born is when the entry was made, 0 where the
    // file system does not say: with the device and the inode it tells an
    // entry from another that was given the same inode later.
    int64_t Modified = 0, Changed = 0, Born = 0;
    bool IsFolder() const;
    friend bool operator==(const TTreeEntry&, const TTreeEntry&) = default;
};

// Orders paths as the walk gives them: a folder, then everything below it,
// then the next name; names by their bytes.
bool WalkOrderLess(const std::string& a, const std::string& b);

// What identifies the file system that holds a folder: a disk put in
// another's place at the same mount point has another.
struct TFileSystemIdentity {
    uint64_t Device = 0;
    uint64_t Id = 0; // the file system's own ID (from its UUID where it has one)
    friend bool operator==(const TFileSystemIdentity&, const TFileSystemIdentity&) = default;
};
// The error number when the folder cannot be looked at.
std::optional<TFileSystemIdentity> FileSystemIdentityOf(const std::string& folder, int& error);

struct TTreeWalkEvents {
    // Each entry below the root, in walk order; false stops the walk.
    std::function<bool(TTreeEntry&& entry)> Entry;
    // A folder whose entries could not be read (relative path, "" for the
    // root), and the error number: what it holds is unknown, not gone.
    std::function<void(const std::string& folder, int error)> Unread;
    // Folders not to walk into (relative path); listed themselves.
    std::function<bool(const std::string& folder)> LeaveOut;
    // A folder where another file system is mounted (relative path): listed
    // itself, never walked into.
    std::function<void(const std::string& folder)> OtherFileSystem;
};

// Walks the tree at root without following links nor leaving its file
// system. False when stopped.
bool WalkTree(const std::string& root, const TTreeWalkEvents& events);
