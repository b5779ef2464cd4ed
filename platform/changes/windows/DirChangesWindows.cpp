// Change notification on Windows: the system's own change reading.
#ifdef _WIN32

#include "platform/changes/DirChanges.h"

#include "platform/system/TextConversion.h"
#include "runtime/SysUtils.h"

#include <optional>
#include <system_error>
#include <windows.h>

namespace {

using TReadDirectoryChangesW = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED,
                                             LPOVERLAPPED_COMPLETION_ROUTINE);

constexpr const char* Mechanism = "ReadDirectoryChangesW";

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
    bool Valid() const { return FHandle && FHandle != INVALID_HANDLE_VALUE; }

private:
    HANDLE FHandle;
};

class TModule {
public:
    explicit TModule(const wchar_t* name) : FModule(LoadLibraryW(name)) {}
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

// Which file a handle holds: the volume and the file's number on it.
struct TFileIdentity {
    DWORD Volume = 0;
    DWORD IndexHigh = 0, IndexLow = 0;
    friend bool operator==(const TFileIdentity&, const TFileIdentity&) = default;
};

std::wstring WidePath(const std::string& path) {
    const std::u16string wide = Local8ToWide(path);
    return std::wstring(wide.begin(), wide.end());
}

// Opens a folder for listing its changes, or (listing false) only to see
// which it is; deleting and renaming it stay allowed meanwhile, as a watch
// must not keep the user from either.
HANDLE OpenFolder(const std::wstring& path, bool listing) {
    return CreateFileW(path.c_str(), listing ? FILE_LIST_DIRECTORY : 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (listing ? FILE_FLAG_OVERLAPPED : 0), nullptr);
}

std::optional<TFileIdentity> IdentityOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information))
        return std::nullopt;
    return TFileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

// How the watched folder was lost, if it was: removed for certain; gone
// from its path (removed, or moved away); another folder at its path.
enum class TRootLoss { None, Removed, Gone, Replaced };

class TWindowsReader final : public TDirChangeReader {
public:
    TWindowsReader(std::unique_ptr<TModule> kernel, TReadDirectoryChangesW read, HANDLE folder, std::wstring path)
        : FKernel(std::move(kernel)), FRead(read), FFolder(folder), FPath(std::move(path)),
          FIdentity(IdentityOf(folder)), FEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          FInterrupt(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    // The outstanding read refers to the caller's buffer and to FOverlapped:
    // cancel it and wait for it to end before either goes away.
    ~TWindowsReader() override { EndOutstandingRead(); }

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override {
        FNothingSelected = notifyFilter == 0;
        if (!FEvent.Valid() || !FInterrupt.Valid() || FRootLoss != TRootLoss::None || FNothingSelected)
            return false;
        ZeroMemory(&FOverlapped, sizeof FOverlapped);
        ResetEvent(FEvent.Get());
        FOverlapped.hEvent = FEvent.Get();
        FReadOutstanding = FRead(FFolder.Get(), buffer, length, watchSubTree ? TRUE : FALSE, notifyFilter,
                                 &FBytesReturned, &FOverlapped, nullptr) != FALSE;
        if (!FReadOutstanding) {
            FReadError = GetLastError();
            FRootLoss = CheckRoot();
        }
        return FReadOutstanding;
    }

    // The system tells a watch nothing of its own folder being renamed, or
    // a folder on its path: a wait that times out looks whether the path
    // still leads to the folder watched, and ends the read when not.
    TWaitResult Wait(int timeoutMs) override {
        const HANDLE events[] = {FEvent.Get(), FInterrupt.Get()};
        switch (WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(timeoutMs))) {
        case WAIT_OBJECT_0:
            return TWaitResult::Signalled;
        case WAIT_OBJECT_0 + 1:
            return TWaitResult::TimedOut;
        case WAIT_TIMEOUT:
            FRootLoss = CheckRoot();
            return FRootLoss == TRootLoss::None ? TWaitResult::TimedOut : TWaitResult::Signalled;
        default:
            return TWaitResult::Failed;
        }
    }

    // A buffer the system could not fill with every change (its own
    // overflowed, or the caller's was too small) comes back empty, or
    // fails with ERROR_NOTIFY_ENUM_DIR: either is changes lost, and the
    // watch goes on.
    bool GetResult(uint32_t& bytesReturned) override {
        bytesReturned = 0;
        if (FRootLoss != TRootLoss::None) {
            EndOutstandingRead();
            return false;
        }
        const bool ok = GetOverlappedResult(FFolder.Get(), &FOverlapped, &FBytesReturned, TRUE) != FALSE;
        FReadOutstanding = false;
        FReadError = ok ? 0 : GetLastError();
        if (!ok && FReadError != ERROR_NOTIFY_ENUM_DIR) {
            FRootLoss = CheckRoot();
            return false;
        }
        bytesReturned = ok ? FBytesReturned : 0;
        if (bytesReturned == 0) {
            ++FLosses;
            FStateToTell = true;
        }
        return true;
    }

    // The system watches the whole tree at once: it is covered as soon as
    // the first read is outstanding.
    bool TakeNotice(TWatchNotice& notice) override {
        if (!FStateToTell && FCoveredTold)
            return false;
        notice = {};
        notice.Kind = FCoveredTold ? TWatchNotice::TKind::SetupDone : TWatchNotice::TKind::Covered;
        notice.Mechanism = Mechanism;
        if (FLosses > 0)
            notice.Mechanism += "; changes lost " + TimesText(FLosses) + ": the system's buffer overflowed";
        FStateToTell = !FCoveredTold;
        FCoveredTold = true;
        return true;
    }

    void Interrupt() override { SetEvent(FInterrupt.Get()); }

    std::string FailureReason() const override {
        switch (FRootLoss) {
        case TRootLoss::Removed:
            return "The folder was removed.";
        case TRootLoss::Gone:
            return "The folder was removed, moved or renamed, or a folder on its path was: the path no longer leads "
                   "to it.";
        case TRootLoss::Replaced:
            return "The path now leads to another folder: the folder watched was moved or renamed, or a folder on its "
                   "path was.";
        case TRootLoss::None:
            break;
        }
        if (FNothingSelected)
            return "No kind of change is selected.";
        return FReadError != 0 ? std::system_category().message(static_cast<int>(FReadError)) : std::string();
    }

private:
    // Windows shows a folder removed while open as waiting for deletion;
    // Wine, and a system that removed it for good, as one with no link left.
    TRootLoss CheckRoot() const {
        BY_HANDLE_FILE_INFORMATION information{};
        FILE_STANDARD_INFO standard{};
        if ((GetFileInformationByHandle(FFolder.Get(), &information) && information.nNumberOfLinks == 0) ||
            (GetFileInformationByHandleEx(FFolder.Get(), FileStandardInfo, &standard, sizeof standard) &&
             standard.DeletePending))
            return TRootLoss::Removed;
        const THandle now(OpenFolder(FPath, false));
        if (!now.Valid())
            return GetLastError() == ERROR_ACCESS_DENIED ? TRootLoss::None : TRootLoss::Gone;
        return IdentityOf(now.Get()) == FIdentity ? TRootLoss::None : TRootLoss::Replaced;
    }

    void EndOutstandingRead() {
        if (!FReadOutstanding)
            return;
        CancelIoEx(FFolder.Get(), &FOverlapped);
        DWORD ignored;
        GetOverlappedResult(FFolder.Get(), &FOverlapped, &ignored, TRUE);
        FReadOutstanding = false;
    }

    std::unique_ptr<TModule> FKernel;
    TReadDirectoryChangesW FRead;
    THandle FFolder;
    const std::wstring FPath;
    const std::optional<TFileIdentity> FIdentity;
    THandle FEvent;
    THandle FInterrupt;
    OVERLAPPED FOverlapped{};
    DWORD FBytesReturned = 0;
    bool FReadOutstanding = false;
    bool FNothingSelected = false;
    DWORD FReadError = 0;
    TRootLoss FRootLoss = TRootLoss::None;
    uint64_t FLosses = 0;
    bool FCoveredTold = false;
    bool FStateToTell = true;
};

} // namespace

std::string DescribeNotCovered(int error) {
    return std::system_category().message(error);
}

std::unique_ptr<TDirChangeReader> TDirChangeReader::OpenNative(const std::string& directory, TOpenFailure& failure) {
    auto kernel = std::make_unique<TModule>(L"kernel32");
    auto read = kernel->Get() ? reinterpret_cast<TReadDirectoryChangesW>(reinterpret_cast<void*>(
                                    GetProcAddress(kernel->Get(), "ReadDirectoryChangesW")))
                              : nullptr;
    if (!read) {
        failure.ProcedureMissing = true;
        return nullptr;
    }
    std::wstring path = WidePath(directory);
    HANDLE folder = OpenFolder(path, true);
    if (folder == INVALID_HANDLE_VALUE) {
        failure.ErrorCode = GetLastError();
        return nullptr;
    }
    // Opening for listing opens a file too; its changes are nobody's to read.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(folder, &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(folder);
        failure.ErrorCode = ERROR_DIRECTORY;
        return nullptr;
    }
    return std::make_unique<TWindowsReader>(std::move(kernel), read, folder, std::move(path));
}

#endif
