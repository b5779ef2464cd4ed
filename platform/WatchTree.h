#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The folders of a watched tree, each known by its inotify watch descriptor,
// with its parent and name, so that paths follow renames and moves of any
// folder above at no cost.
class TWatchTree {
public:
    explicit TWatchTree(std::string rootPath);

    const std::string& RootPath() const { return FRootPath; }
    int Root() const { return FRoot; }
    size_t Size() const { return FNodes.size(); }
    bool Contains(int wd) const { return FNodes.count(wd) != 0; }

    void AddRoot(int wd);
    void Add(int wd, int parent, const std::string& name);
    void Move(int wd, int newParent, const std::string& newName);
    // Removes the folder and everything below it; returns their descriptors.
    std::vector<int> RemoveSubTree(int wd);
    std::optional<int> FindChild(int wd, const std::string& name) const;
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
        int Parent; // -1 for the root
        std::string Name;
        std::vector<int> Children;
    };

    void Unlink(int wd);

    std::string FRootPath;
    int FRoot = -1;
    std::unordered_map<int, TNode> FNodes;
};

// folder + "/" + name, without doubling the separator after "/".
std::string JoinPath(const std::string& folder, const std::string& name);
