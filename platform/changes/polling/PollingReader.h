#pragma once

// The change reader for a watched folder on a file system whose changes the
// kernel does not report: its tree polled, the records handed on in the
// shape of the Windows interface.
#ifdef __linux__

#include "platform/changes/DirChanges.h"
#include "platform/changes/PendingChanges.h"
#include "platform/changes/WatchNotices.h"
#include "platform/changes/polling/TreePoller.h"
#include "platform/changes/tree/ExcludedFolders.h"

#include <atomic>
#include <memory>
#include <string>

class TPollingReader final : public TDirChangeReader {
public:
    // kind: the file system's, for the watch line.
    TPollingReader(std::string directory, std::string kind);
    ~TPollingReader() override;
    TPollingReader(const TPollingReader&) = delete;
    TPollingReader& operator=(const TPollingReader&) = delete;

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override;
    TWaitResult Wait(int timeoutMs) override;
    void SetExcludedFolders(TFolderExclusionRules rules) override;
    bool GetResult(uint32_t& bytesReturned) override;
    bool TakeNotice(TWatchNotice& notice) override;
    void Interrupt() override;
    std::string FailureReason() const override { return FFailure; }

private:
    void TakeNewExclusions();

    std::string FDirectory;
    std::string FKind;
    std::atomic<bool> FInterrupted{false};
    int FWake; // an eventfd that Interrupt makes readable
    std::unique_ptr<TTreePoller> FPoller;
    TRulesHandOver FNewExclusions;
    TFolderExclusionRules FExclusions;
    std::string FFailure;
    TPendingChanges FQueue;
    TNoticeQueue FNotices;
    char* FBuffer = nullptr;
    uint32_t FLength = 0;
    bool FReadOutstanding = false;
    bool FSucceeded = true;
    bool FCovered = false;
    uint32_t FBytes = 0;
};

#endif
