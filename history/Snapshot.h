#pragma once

// What a watched tree held when the program last watched it: a file beside
// the history, one per watched folder, read and written as a stream so
// that a tree of millions of entries never has to be in memory at once.
//
// The file: a header (the folder, the identity of its file system, when it
// was taken), the entries in walk order, each path sharing its start with
// the one before, and a trailer with the count and a checksum of all
// before it. A new file is written beside the old and put in its place
// only when complete, so a crash leaves the last good one.
#include "platform/files/TreeWalk.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

struct TSnapshotHeader {
    std::string Folder;
    TFileSystemIdentity FileSystem;
    int64_t Taken = 0; // nanoseconds since 1970
};

// Where the snapshot of folder is kept: in a folder of this name beside the
// history file.
inline constexpr const char* SnapshotFolderName = "snapshots";
std::string SnapshotPathFor(const std::string& historyFile, const std::string& folder);

class TSnapshotWriter {
public:
    // error: why the file cannot be begun; the writer is then not Good.
    TSnapshotWriter(std::string path, const TSnapshotHeader& header);
    ~TSnapshotWriter();
    TSnapshotWriter(const TSnapshotWriter&) = delete;
    TSnapshotWriter& operator=(const TSnapshotWriter&) = delete;

    bool Good() const { return FFile != nullptr; }
    // Entries in walk order.
    void Add(const TTreeEntry& entry);
    // Puts the new file in the old one's place; false, with the reason, when
    // it could not be written (the old file is then left as it was).
    bool Finish(std::string& error);
    uint64_t Count() const { return FCount; }

private:
    void Put(const void* bytes, size_t size);
    void PutNumber(uint64_t value);

    std::string FPath, FTemporary;
    std::FILE* FFile = nullptr;
    int FOpenError = 0;
    std::string FUnfit; // why the snapshots' folder cannot serve
    uint64_t FChecksum;
    uint64_t FCount = 0;
    TSnapshotHeader FHeader;
    std::string FLastPath;
    bool FFailed = false;
};

class TSnapshotReader {
public:
    enum class TState { Missing, Damaged, Ready };
    explicit TSnapshotReader(const std::string& path);
    ~TSnapshotReader();
    TSnapshotReader(const TSnapshotReader&) = delete;
    TSnapshotReader& operator=(const TSnapshotReader&) = delete;

    // Checked whole before the first entry is read: a file cut short or
    // altered is Damaged.
    TState State() const { return FState; }
    const TSnapshotHeader& Header() const { return FHeader; }
    // The next entry in walk order, none after the last.
    std::optional<TTreeEntry> Next();

private:
    bool ReadHeader();
    bool Get(void* bytes, size_t size);
    bool GetNumber(uint64_t& value);

    std::FILE* FFile = nullptr;
    TState FState = TState::Missing;
    TSnapshotHeader FHeader;
    uint64_t FLeft = 0;
    std::string FLastPath;
};
