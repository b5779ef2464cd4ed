#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The folders of a watched tree, each known by its inotify watch descriptor,
// with its parent and name, so that paths follow renames and moves of any
// folder above at no cost.
//
// Every update and every look-up of a child by name takes constant time
// (removing a sub-tree: time in its size), however many siblings a folder
// has. The tree never holds a cycle: a move that would put a folder below
// itself is refused.
class TWatchTree {
public:
    explicit TWatchTree(std::string rootPath);
    TWatchTree(const TWatchTree&) = delete;
    TWatchTree& operator=(const TWatchTree&) = delete;

    const std::string& RootPath() const { return FRootPath; }
    int Root() const { return FRoot; }
    size_t Size() const { return FNodes.size(); }
    // In the tree: known, and not in a sub-tree taken out by Detach.
    bool Contains(int wd) const;
    // Known, in the tree or taken out of it.
    bool Knows(int wd) const { return FNodes.count(wd) != 0; }

    void AddRoot(int wd);
    // Adds wd under parent, which holds no child of that name.
    void Add(int wd, int parent, const std::string& name);
    // False, changing nothing, when newParent is wd itself or lies below it.
    bool Move(int wd, int newParent, const std::string& newName);
    // Removes the folder and everything below it; returns their descriptors.
    std::vector<int> RemoveSubTree(int wd);
    // Takes the folder, with everything below it, out of the tree without
    // forgetting it: its name is free, nothing finds it by name, and Contains
    // no longer holds for it or anything below it, until Move puts it back.
    void Detach(int wd);
    bool IsDetached(int wd) const { return FDetached.count(wd) != 0; }
    std::optional<int> FindChild(int wd, const std::string& name) const;
    // The folder's parent (-1 for the root) and its name there.
    int ParentOf(int wd) const { return FNodes.at(wd).Parent; }
    const std::string& NameOf(int wd) const { return FNodes.at(wd).Name; }
    std::vector<int> ChildrenOf(int wd) const;
    bool IsAt(int wd, int parent, const std::string& name) const;
    // True when wd is ancestor itself or lies below it.
    bool IsWithin(int wd, int ancestor) const;
    std::vector<int> Folders() const;

    // Relative to the root, parts joined by "/"; "" for the root itself.
    std::string RelativePath(int wd) const;
    std::string RelativeName(int wd, const std::string& name) const;
    std::string FullPath(int wd) const;

private:
    struct TNode {
        int Parent = -1; // -1 for the root
        int FirstChild = -1;
        int Next = -1; // siblings, in a list whose links make unlinking constant time
        int Previous = -1;
        std::string Name;
    };
    struct TChildKey {
        int Parent;
        std::string_view Name; // the node's own Name
        friend bool operator==(const TChildKey&, const TChildKey&) = default;
    };
    struct TChildKeyHash {
        size_t operator()(const TChildKey& key) const noexcept;
    };

    void Link(int wd, TNode& node, int parent, const std::string& name);
    void Unlink(int wd, TNode& node);

    std::string FRootPath;
    int FRoot = -1;
    // Nodes never move in memory once added, so the index can view their names.
    std::unordered_map<int, TNode> FNodes;
    std::unordered_map<TChildKey, int, TChildKeyHash> FChildren;
    std::unordered_set<int> FDetached;
};

// Numbers for the folders of a tree that the system does not number
// itself: each new one unused, whatever the count of folders numbered
// before (it wraps around past the largest number, skipping those in use).
class TFolderNumbers {
public:
    explicit TFolderNumbers(int next = 1) : FNext(next) {}
    int Next(const TWatchTree& tree);
    // Numbers held outside the tree (folders above it), never given again.
    void Reserve(int number) { FReserved.insert(number); }

private:
    int FNext;
    std::unordered_set<int> FReserved;
};

// Folders that a rename took the name of, kept out of the tree for a
// moment: when two entries swap places, each comes back at once at the
// other's name, by a second rename that the system reports right after the
// first. One not claimed back by then was replaced and is gone.
class TDisplacedFolders {
public:
    // Takes the folder at that name out of the tree, if there is one.
    void Displace(TWatchTree& tree, int parent, const std::string& name);
    // The folder displaced from that name, if any.
    std::optional<int> At(int parent, const std::string& name) const;
    void Claimed(int wd);
    // Called each time the kernel's queue was read to its end: the folders
    // displaced before the previous call, which no rename can claim now.
    std::vector<int> Expired();
    bool Empty() const { return FFolders.empty(); }

private:
    struct TDisplaced {
        int Wd;
        int Parent;
        std::string Name;
        bool Aged = false;
    };
    std::vector<TDisplaced> FFolders;
};

// folder + "/" + name, without doubling the separator after "/".
std::string JoinPath(const std::string& folder, const std::string& name);
