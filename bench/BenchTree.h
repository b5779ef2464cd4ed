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

// A tree of folders made once for the whole run and shared by the
// benchmarks that ask for that many.
TBenchTree& TreeWith(int folders);

// An ext4 file system on a loop device, made and mounted for the
// benchmark's figures of what reaches a disk, and taken away at the end.
// Only root may mount: elsewhere Mounted() is false and WhyNot() says so.
class TBenchDisk {
public:
    TBenchDisk();
    ~TBenchDisk();
    TBenchDisk(const TBenchDisk&) = delete;
    TBenchDisk& operator=(const TBenchDisk&) = delete;

    bool Mounted() const { return FMounted; }
    const std::string& WhyNot() const { return FWhyNot; }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    std::string FWhyNot;
    bool FMounted = false;
};

// The processor time this process has used so far, every thread's, in
// seconds.
double ProcessCpuSeconds();

// Resident memory of a process in bytes (0 for this one), or its peak; or
// its proportional share (each page shared with other processes counted
// by its share).
long ResidentBytes(int pid = 0);
long PeakResidentBytes(int pid);
long ProportionalBytes(int pid);
