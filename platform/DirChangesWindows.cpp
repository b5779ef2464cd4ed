// Change notification on Windows: the system's own change reading.
#ifdef _WIN32

#include "platform/DirChanges.h"

#include <system_error>
#include <windows.h>

namespace {

using TReadDirectoryChangesW = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD,
                                             LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE);

class THandle {
public:
    explicit THandle(HANDLE handle = INVALID_HANDLE_VALUE) : FHandle(handle) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() {
        if (FHandle && FHandle != INVALID_HANDLE_VALUE)
            CloseHandle(FHandle);
    }
    HANDLE Get() const { return FHandle; }

private:
    HANDLE FHandle;
};

class TModule {
public:
    explicit TModule(const char* name) : FModule(LoadLibraryA(name)) {}
    TModule(const TModule&) = delete;
    TModule& operator=(const TModule&) = delete;
    ~TModule() {
        if (FModule)
            FreeLibrary(FModule);
    }
    HMODULE Get() const { return FModule; }

private:
    HMODULE FModule;
};

class TWindowsReader final : public TDirChangeReader {
public:
    TWindowsReader(std::unique_ptr<TModule> kernel, TReadDirectoryChangesW read, HANDLE folder)
        : FKernel(std::move(kernel)), FRead(read), FFolder(folder),
          FEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          FInterrupt(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

    // The outstanding read refers to the caller's buffer and to FOverlapped:
    // cancel it and wait for it to end before either goes away.
    ~TWindowsReader() override {
        if (FReadOutstanding) {
            CancelIoEx(FFolder.Get(), &FOverlapped);
            DWORD ignored;
            GetOverlappedResult(FFolder.Get(), &FOverlapped, &ignored, TRUE);
        }
    }

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override {
        if (!FEvent.Get() || !FInterrupt.Get())
            return false;
        ZeroMemory(&FOverlapped, sizeof FOverlapped);
        ResetEvent(FEvent.Get());
        FOverlapped.hEvent = FEvent.Get();
        FReadOutstanding = FRead(FFolder.Get(), buffer, length, watchSubTree ? TRUE : FALSE,
                                 notifyFilter, &FBytesReturned, &FOverlapped, nullptr) != FALSE;
        return FReadOutstanding;
    }

    TWaitResult Wait(int timeoutMs) override {
        const HANDLE events[] = {FEvent.Get(), FInterrupt.Get()};
        switch (WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(timeoutMs))) {
        case WAIT_OBJECT_0:
            return TWaitResult::Signalled;
        case WAIT_OBJECT_0 + 1:
        case WAIT_TIMEOUT:
            return TWaitResult::TimedOut;
        default:
            return TWaitResult::Failed;
        }
    }

    bool GetResult(uint32_t& bytesReturned) override {
        BOOL ok = GetOverlappedResult(FFolder.Get(), &FOverlapped, &FBytesReturned, TRUE);
        FReadOutstanding = false;
        bytesReturned = FBytesReturned;
        return ok != FALSE;
    }

    bool TakeNotice(TWatchNotice&) override { return false; }

    void Interrupt() override { SetEvent(FInterrupt.Get()); }

private:
    std::unique_ptr<TModule> FKernel;
    TReadDirectoryChangesW FRead;
    THandle FFolder;
    THandle FEvent;
    THandle FInterrupt;
    OVERLAPPED FOverlapped{};
    DWORD FBytesReturned = 0;
    bool FReadOutstanding = false;
};

} // namespace

std::string DescribeNotCovered(int error) {
    return std::system_category().message(error);
}

std::unique_ptr<TDirChangeReader> TDirChangeReader::OpenNative(const std::string& directory,
                                                                TOpenFailure& failure) {
    auto kernel = std::make_unique<TModule>("kernel32");
    auto read = kernel->Get() ? reinterpret_cast<TReadDirectoryChangesW>(reinterpret_cast<void*>(
                                    GetProcAddress(kernel->Get(), "ReadDirectoryChangesW")))
                              : nullptr;
    if (!read) {
        failure.ProcedureMissing = true;
        return nullptr;
    }
    HANDLE folder = CreateFileA(directory.c_str(), FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        failure.ErrorCode = GetLastError();
        return nullptr;
    }
    return std::make_unique<TWindowsReader>(std::move(kernel), read, folder);
}

#endif
