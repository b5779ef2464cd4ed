#include "platform/changes/tree/WatchTree.h"

#include <functional>
#include <limits>

std::string JoinPath(const std::string& folder, const std::string& name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path += folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

size_t TWatchTree::TChildKeyHash::operator()(const TChildKey& key) const noexcept {
    return std::hash<std::string_view>()(key.Name) ^ (static_cast<size_t>(key.Parent) * 0x9E3779B97F4A7C15ull);
}

TWatchTree::TWatchTree(std::string rootPath) : FRootPath(std::move(rootPath)) {
    if (FRootPath.size() > 1 && FRootPath.back() == '/')
        FRootPath.pop_back();
}

void TWatchTree::AddRoot(int wd) {
    FRoot = wd;
    FNodes.emplace(wd, TNode{});
}

void TWatchTree::Add(int wd, int parent, const std::string& name) {
    auto [node, added] = FNodes.emplace(wd, TNode{});
    if (added)
        Link(wd, node->second, parent, name);
}

void TWatchTree::Link(int wd, TNode& node, int parent, const std::string& name) {
    TNode& parentNode = FNodes.at(parent);
    node.Parent = parent;
    node.Name = name;
    node.Previous = -1;
    node.Next = parentNode.FirstChild;
    if (node.Next >= 0)
        FNodes.at(node.Next).Previous = wd;
    parentNode.FirstChild = wd;
    // A key taken over keeps no view of the name of the folder it led to
    // before, which may go first.
    FChildren.erase(TChildKey{parent, node.Name});
    FChildren.emplace(TChildKey{parent, node.Name}, wd);
}

void TWatchTree::Unlink(int wd, TNode& node) {
    if (node.Parent < 0)
        return;
    if (auto indexed = FChildren.find(TChildKey{node.Parent, node.Name});
        indexed != FChildren.end() && indexed->second == wd)
        FChildren.erase(indexed);
    if (node.Previous >= 0)
        FNodes.at(node.Previous).Next = node.Next;
    else
        FNodes.at(node.Parent).FirstChild = node.Next;
    if (node.Next >= 0)
        FNodes.at(node.Next).Previous = node.Previous;
    node.Parent = node.Next = node.Previous = -1;
}

bool TWatchTree::Contains(int wd) const {
    if (!FNodes.count(wd))
        return false;
    if (FDetached.empty())
        return true;
    for (int at = wd; at >= 0; at = FNodes.at(at).Parent)
        if (FDetached.count(at))
            return false;
    return true;
}

bool TWatchTree::Move(int wd, int newParent, const std::string& newName) {
    if (IsWithin(newParent, wd))
        return false;
    TNode& node = FNodes.at(wd);
    Unlink(wd, node);
    Link(wd, node, newParent, newName);
    FDetached.erase(wd);
    return true;
}

void TWatchTree::Detach(int wd) {
    Unlink(wd, FNodes.at(wd));
    FDetached.insert(wd);
}

std::vector<int> TWatchTree::ChildrenOf(int wd) const {
    std::vector<int> children;
    for (int child = FNodes.at(wd).FirstChild; child >= 0; child = FNodes.at(child).Next)
        children.push_back(child);
    return children;
}

std::vector<int> TWatchTree::RemoveSubTree(int wd) {
    Unlink(wd, FNodes.at(wd));
    std::vector<int> removed{wd};
    for (size_t next = 0; next < removed.size(); ++next) {
        auto node = FNodes.find(removed[next]);
        for (int child = node->second.FirstChild; child >= 0; child = FNodes.at(child).Next) {
            FChildren.erase(TChildKey{removed[next], FNodes.at(child).Name});
            removed.push_back(child);
        }
    }
    for (int folder : removed) {
        FNodes.erase(folder);
        FDetached.erase(folder);
    }
    return removed;
}

std::optional<int> TWatchTree::FindChild(int wd, const std::string& name) const {
    auto child = FChildren.find(TChildKey{wd, name});
    if (child == FChildren.end())
        return std::nullopt;
    return child->second;
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

int TFolderNumbers::Next(const TWatchTree& tree) {
    for (;;) {
        const int number = FNext;
        FNext = FNext == std::numeric_limits<int>::max() ? 1 : FNext + 1;
        if (!tree.Knows(number) && !FReserved.count(number))
            return number;
    }
}

void TDisplacedFolders::Displace(TWatchTree& tree, int parent, const std::string& name) {
    if (const std::optional<int> folder = tree.FindChild(parent, name)) {
        tree.Detach(*folder);
        FFolders.push_back({*folder, parent, name});
    }
}

std::optional<int> TDisplacedFolders::At(int parent, const std::string& name) const {
    for (const TDisplaced& folder : FFolders)
        if (folder.Parent == parent && folder.Name == name)
            return folder.Wd;
    return std::nullopt;
}

void TDisplacedFolders::Claimed(int wd) {
    std::erase_if(FFolders, [&](const TDisplaced& folder) { return folder.Wd == wd; });
}

std::vector<int> TDisplacedFolders::Expired() {
    std::vector<int> expired;
    for (const TDisplaced& folder : FFolders)
        if (folder.Aged)
            expired.push_back(folder.Wd);
    std::erase_if(FFolders, [](const TDisplaced& folder) { return folder.Aged; });
    for (TDisplaced& folder : FFolders)
        folder.Aged = true;
    return expired;
}
