#include "platform/WatchTree.h"

#include <algorithm>

std::string JoinPath(const std::string& folder, const std::string& name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path += folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

TWatchTree::TWatchTree(std::string rootPath) : FRootPath(std::move(rootPath)) {
    if (FRootPath.size() > 1 && FRootPath.back() == '/')
        FRootPath.pop_back();
}

void TWatchTree::AddRoot(int wd) {
    FRoot = wd;
    FNodes.emplace(wd, TNode{-1, {}, {}});
}

void TWatchTree::Add(int wd, int parent, const std::string& name) {
    FNodes.emplace(wd, TNode{parent, name, {}});
    FNodes.at(parent).Children.push_back(wd);
}

void TWatchTree::Unlink(int wd) {
    if (int parent = FNodes.at(wd).Parent; parent >= 0) {
        auto& siblings = FNodes.at(parent).Children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), wd));
    }
}

void TWatchTree::Move(int wd, int newParent, const std::string& newName) {
    Unlink(wd);
    TNode& node = FNodes.at(wd);
    node.Parent = newParent;
    node.Name = newName;
    FNodes.at(newParent).Children.push_back(wd);
}

std::vector<int> TWatchTree::RemoveSubTree(int wd) {
    Unlink(wd);
    std::vector<int> removed;
    std::vector<int> toRemove{wd};
    while (!toRemove.empty()) {
        int next = toRemove.back();
        toRemove.pop_back();
        auto node = FNodes.find(next);
        if (node == FNodes.end())
            continue;
        toRemove.insert(toRemove.end(), node->second.Children.begin(), node->second.Children.end());
        removed.push_back(next);
        FNodes.erase(node);
    }
    return removed;
}

std::optional<int> TWatchTree::FindChild(int wd, const std::string& name) const {
    for (int child : FNodes.at(wd).Children)
        if (FNodes.at(child).Name == name)
            return child;
    return std::nullopt;
}

std::string TWatchTree::RelativePath(int wd) const {
    std::vector<const std::string*> parts;
    for (const TNode* node = &FNodes.at(wd); node->Parent >= 0; node = &FNodes.at(node->Parent))
        parts.push_back(&node->Name);
    std::string path;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        if (!path.empty())
            path += '/';
        path += **part;
    }
    return path;
}

std::string TWatchTree::RelativeName(int wd, const std::string& name) const {
    std::string folder = RelativePath(wd);
    return folder.empty() ? name : folder + '/' + name;
}

std::string TWatchTree::FullPath(int wd) const {
    std::string relative = RelativePath(wd);
    return relative.empty() ? FRootPath : JoinPath(FRootPath, relative);
}

bool TWatchTree::IsAt(int wd, int parent, const std::string& name) const {
    const TNode& node = FNodes.at(wd);
    return node.Parent == parent && node.Name == name;
}

bool TWatchTree::IsWithin(int wd, int ancestor) const {
    for (int at = wd; at >= 0; at = FNodes.at(at).Parent)
        if (at == ancestor)
            return true;
    return false;
}

std::vector<int> TWatchTree::Folders() const {
    std::vector<int> folders;
    folders.reserve(FNodes.size());
    for (const auto& [wd, node] : FNodes)
        folders.push_back(wd);
    return folders;
}
