#pragma once

// Change reading by polling, for file systems whose changes the kernel does
// not report (a network file system, where another machine changes files,
// or a FUSE file system, whose server does): a walk of the tree every few
// seconds, compared with the walk before.
#ifdef __linux__

#include "platform/DirChanges.h"
#include "platform/PendingChanges.h"
#include "platform/WatchNotices.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// The kind of file system that holds path when its changes must be
// polled ("network file system", "FUSE file system"); none otherwise.
std::optional<std::string> PolledFileSystemKind(const std::string& path);

// What a walk keeps of an entry, to tell a change from no change.
struct TEntryState {
    ino_t Inode = 0;
    mode_t Mode = 0;
    uid_t Owner = 0;
    gid_t Group = 0;
    off_t Size = 0;
    int64_t Modified = 0; // nanoseconds
    bool operator==(const TEntryState&) const = default;
};
// Every entry of a tree, by its path relative to the tree's root.
using TTreeState = std::unordered_map<std::string, TEntryState>;

// The records that take the tree from before to after: renames (an entry
// gone with another come that has its inode, kind and, for a file, size
// and modification time; what a renamed folder held comes with it), then
// removals (what a folder held before the folder), additions (a folder
// before what it holds), modifications. filter: the kinds of change asked for.
void CompareTrees(const TTreeState& before, const TTreeState& after, uint32_t filter, TPendingChanges& queue);

class TPollingReader final : public TDirChangeReader {
public:
    // kind: the file system's, for the watch line.
    TPollingReader(std::string directory, std::string kind);
    ~TPollingReader() override;
    TPollingReader(const TPollingReader&) = delete;
    TPollingReader& operator=(const TPollingReader&) = delete;

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override;
    TWaitResult Wait(int timeoutMs) override;
    bool GetResult(uint32_t& bytesReturned) override;
    bool TakeNotice(TWatchNotice& notice) override;
    void Interrupt() override;
    std::string FailureReason() const override { return FFailure; }

private:
    using TClock = std::chrono::steady_clock;
    enum class TWalkEnd { Done, Unreachable, Interrupted };

    TWalkEnd Walk(TTreeState& state);
    void Poll();
    bool Reachable();
    std::string Mechanism() const;

    std::string FDirectory;
    std::string FKind;
    std::atomic<bool> FInterrupted{false};
    uint32_t FFilter = 0;
    bool FSubTree = true;
    bool FStarted = false;
    dev_t FDevice = 0;
    long FFileSystemType = 0;
    int FWake; // an eventfd that Interrupt makes readable
    TTreeState FState;
    bool FBaseline = false; // the first walk is done
    bool FUnreachableTold = false;
    std::string FFailure;
    TClock::duration FInterval = std::chrono::seconds(2);
    TClock::time_point FNextPoll;
    TPendingChanges FQueue;
    TNoticeQueue FNotices;
    std::vector<std::string> FUnreadFolders; // told once each
    char* FBuffer = nullptr;
    uint32_t FLength = 0;
    bool FReadOutstanding = false;
    bool FCompleted = false;
    bool FSucceeded = true;
    uint32_t FBytes = 0;
};

#endif
