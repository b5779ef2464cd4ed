#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
    bool Contains(int wd) const { return FNodes.count(wd) != 0; }

    void AddRoot(int wd);
    // Adds wd under parent, which holds no child of that name.
    void Add(int wd, int parent, const std::string& name);
    // False, changing nothing, when newParent is wd itself or lies below it.
    bool Move(int wd, int newParent, const std::string& newName);
    // Removes the folder and everything below it; returns their descriptors.
    std::vector<int> RemoveSubTree(int wd);
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
};

// folder + "/" + name, without doubling the separator after "/".
std::string JoinPath(const std::string& folder, const std::string& name);
