#pragma once

// The worker behind a watch: one thread per enabled watch, reading its
// folder's changes and handing them over, and the error a watch fails with.
#include "platform/changes/DirChanges.h"
#include "platform/loop/Thread.h"
#include "runtime/Exception.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class EDirWatchError : public TExceptionOf<EDirWatchError> {
public:
    using TExceptionOf::TExceptionOf;
    EDirWatchError(std::string message, std::string reason)
        : TExceptionOf(std::move(message)), FReason(std::move(reason)) {}
    // Why, in a few words for the watch's line ("not found"); empty where
    // the message is all there is.
    const std::string& Reason() const { return FReason; }

private:
    std::string FReason;
};

// 32 records whose names have 260 characters.
constexpr uint32_t WatchBufferSize = 17024;

// The worker behind one enabled watch: it opens the folder, keeps one change
// read outstanding and hands each completed read to its owner.
//
// Threading: construction and destruction on the owner's thread; the body
// and all three callbacks on the worker thread. The owner reads Buffer() and
// BytesReturned() only inside the change callback, ErrorClass() and
// ErrorMessage() inside the error callback, LastNotice() inside the notice
// callback. Destruction wakes the body and waits for its end.
class TDirWatchThread : public TThread {
public:
    using TCallback = std::function<void(TDirWatchThread* Sender)>;

    TDirWatchThread(const std::string& Directory, uint32_t NotifyFilter, bool WatchSubTree,
                    TFolderExclusionRules ExcludedFolders, TCallback OnChanges, TCallback OnError, TCallback OnNotice);
    ~TDirWatchThread() override;

    // The owner's thread: the folders left out from now on.
    void SetExcludedFolders(TFolderExclusionRules Rules) { FDirHandle->SetExcludedFolders(std::move(Rules)); }
    // The owner's thread: a Delivered notice with Ticket, or a later one,
    // comes once every change made before this call was handed over; false
    // where the system cannot tell.
    bool AskDelivered(uint64_t Ticket) { return FDirHandle->AskDelivered(Ticket); }

    const char* Buffer() const { return reinterpret_cast<const char*>(FBuffer.get()); }
    uint32_t BytesReturned() const { return FBytesReturned; }
    // The process behind each record of Buffer(), where the system tells.
    const std::vector<TProcessRef>& Processes() const { return FProcesses; }
    const TExceptionClass* ErrorClass() const { return FErrorClass; }
    const std::string& ErrorMessage() const { return FErrorMessage; }
    // Why, in a word or two for the watch's line; empty where not known.
    const std::string& ErrorWords() const { return FErrorWords; }
    const TWatchNotice& LastNotice() const { return FNotice; }

protected:
    void Execute() override;
    void StopRequestedHook() override;

private:
    void Pass();
    void RecordFailure() noexcept;
    std::string CallFailed(const char* call) const;
    void ReportChanges();
    void ReportError() noexcept;
    void ReportNotices();

    bool FWatchSubTree;
    std::unique_ptr<uint32_t[]> FBuffer;
    uint32_t FBytesReturned = 0;
    std::vector<TProcessRef> FProcesses;
    std::unique_ptr<TDirChangeReader> FDirHandle;
    std::string FDirectory;
    uint32_t FNotifyFilter;
    const TExceptionClass* FErrorClass = nullptr;
    std::string FErrorMessage;
    std::string FErrorWords;
    TCallback FOnError;
    TCallback FOnChanges;
    TCallback FOnNotice;
    TWatchNotice FNotice;
};
