#pragma once

#include <string>

// A scratch folder tree for the benchmarks, removed at the end.
class TBenchTree {
public:
    TBenchTree();
    ~TBenchTree();
    TBenchTree(const TBenchTree&) = delete;
    TBenchTree& operator=(const TBenchTree&) = delete;

    const std::string& Path() const { return FPath; }
    // Adds folders in a tree of fan-out 20 until there are `count` below the
    // root, or below the folder below (made first) when one is named.
    void MakeFolders(int count, const std::string& below = {});

private:
    std::string FPath;
};

// Resident memory of a process in bytes (0 for this one).
long ResidentBytes(int pid = 0);
