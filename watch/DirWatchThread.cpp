#include "watch/DirWatchThread.h"

#include "runtime/SysUtils.h"

#include <chrono>

namespace {
constexpr int WaitLimitMs = 100;
// A failed worker has nothing left to do but wait for its stop request.
constexpr auto IdleWait = std::chrono::hours(1);
} // namespace

TDirWatchThread::TDirWatchThread(const std::string& Directory, uint32_t NotifyFilter, bool WatchSubTree,
                                 TFolderExclusionRules ExcludedFolders, TCallback OnChanges, TCallback OnError,
                                 TCallback OnNotice)
    : FWatchSubTree(WatchSubTree), FDirectory(Directory), FNotifyFilter(NotifyFilter), FOnError(std::move(OnError)),
      FOnChanges(std::move(OnChanges)), FOnNotice(std::move(OnNotice)) {
    TOpenFailure failure;
    FDirHandle = TDirChangeReader::Open(FDirectory, failure);
    if (failure.ProcedureMissing)
        throw EDirWatchError(
            Format("Could not find procedure \"%s\" in module \"%s\"", "ReadDirectoryChangesW", "kernel32"));
    if (!FDirHandle)
        throw EDirWatchError(Format("Could not open directory \"%s\"\r\nError code: %d", FDirectory.c_str(),
                                    static_cast<int>(failure.ErrorCode)),
                             DescribeOpenFailure(failure.ErrorCode));
    FDirHandle->SetExcludedFolders(std::move(ExcludedFolders));
    FBuffer = std::make_unique_for_overwrite<uint32_t[]>(WatchBufferSize / sizeof(uint32_t));
    Resume();
}

TDirWatchThread::~TDirWatchThread() {
    Terminate();
    WaitFor();
}

// A wait in progress ends at once instead of at its 100 ms limit.
void TDirWatchThread::StopRequestedHook() {
    if (FDirHandle)
        FDirHandle->Interrupt();
}

void TDirWatchThread::Execute() {
    while (!StopRequested()) {
        if (FErrorClass) {
            WaitForStopRequest(IdleWait);
            continue;
        }
        try {
            Pass();
        } catch (...) {
            RecordFailure();
        }
        if (FErrorClass)
            ReportError();
    }
}

// One read: start it, wait for it in 100 ms steps, hand over what it brought.
void TDirWatchThread::Pass() {
    if (!FDirHandle->ReadChanges(FBuffer.get(), WatchBufferSize, FWatchSubTree, FNotifyFilter)) {
        ReportNotices();
        throw EDirWatchError("ReadDirectoryChanges call failed.");
    }
    for (;;) {
        TWaitResult result = FDirHandle->Wait(WaitLimitMs);
        ReportNotices();
        if (result == TWaitResult::Signalled) {
            if (!FDirHandle->GetResult(FBytesReturned))
                throw EDirWatchError(CallFailed("GetOverlappedResult call failed"));
            FDirHandle->TakeProcesses(FProcesses);
            ReportChanges();
            return;
        }
        // The read may still be outstanding, so none may follow it.
        if (result == TWaitResult::Failed)
            throw EDirWatchError("WaitForSingleObject call failed");
        if (StopRequested())
            return;
    }
}

// The failure's own text comes first; the folder and, where the system
// tells it, the reason follow, so that with several watches the user knows
// which one failed and why.
void TDirWatchThread::RecordFailure() noexcept {
    try {
        throw;
    } catch (const Exception& error) {
        FErrorClass = &error.Class();
        FErrorMessage = error.Message();
    } catch (const std::exception& error) {
        FErrorClass = &ClassOf<Exception>();
        FErrorMessage = error.what();
    } catch (...) {
        FErrorClass = &ClassOf<Exception>();
        FErrorMessage = "Unknown failure";
    }
    try {
        FErrorWords = FDirHandle->StopWords();
        const std::string reason = FDirHandle->FailureReason();
        const bool told = !reason.empty() && FErrorMessage == reason;
        FErrorMessage += "\r\nFolder: \"" + FDirectory + "\"";
        if (!reason.empty() && !told)
            FErrorMessage += "\r\n" + reason;
    } catch (...) {
    }
}

// A read that ended in failure: on Windows the call's name, as the users of
// that system know it; elsewhere what happened, where the reader can say it
// ("The folder was removed."), for no such call was made. (A read that
// could not start keeps the call's name everywhere: the options dialog
// leads to it on purpose.)
std::string TDirWatchThread::CallFailed(const char* call) const {
#ifdef _WIN32
    return call;
#else
    const std::string reason = FDirHandle->FailureReason();
    return reason.empty() ? call : reason;
#endif
}

void TDirWatchThread::ReportChanges() {
    if (FOnChanges)
        FOnChanges(this);
}

// Nothing may leave the worker thread: if even the report fails, the failure
// stays recorded and the worker waits for its stop like any failed one.
void TDirWatchThread::ReportError() noexcept {
    try {
        if (FOnError)
            FOnError(this);
    } catch (...) {
    }
}

void TDirWatchThread::ReportNotices() {
    while (FDirHandle->TakeNotice(FNotice))
        if (FOnNotice)
            FOnNotice(this);
}
