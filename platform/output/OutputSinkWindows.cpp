#include "platform/output/OutputSink.h"
#include "platform/output/OutputWriter.h"

#include "platform/system/PlatformInfo.h"
#include "runtime/Exception.h"

#include <windows.h>

#include <condition_variable>
#include <io.h>
#include <mutex>
#include <optional>
#include <thread>

// A pipe or console on Windows is written with blocking calls (standard
// output is never opened for overlapped writes): a stop whose grace runs
// out cancels the write under way instead.
namespace {
using TClock = std::chrono::steady_clock;

// What one write may take, so that a stop is looked at now and then.
constexpr DWORD Chunk = 1 << 20;
constexpr auto CancelInterval = std::chrono::milliseconds(10);

std::string SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text, length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    return message.empty() ? "system error " + std::to_string(code) : PathText(std::filesystem::path(message));
}
} // namespace

struct TOutputSink::TState {
    HANDLE Output;
    std::optional<TClock::time_point> StopDeadline;
    std::mutex Mutex;
    std::condition_variable Changed;
    // The writer's thread, once it has written: what a stop cancels.
    HANDLE Writer = nullptr;
    bool Done = false;
    std::thread Canceller;
};

TOutputSink::TOutputSink(int fd) : FState(std::make_unique<TState>()) {
    FState->Output = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (FState->Output == INVALID_HANDLE_VALUE)
        throw Exception("Cannot prepare the output: the standard output is closed");
}

TOutputSink::~TOutputSink() {
    {
        std::lock_guard lock(FState->Mutex);
        FState->Done = true;
    }
    FState->Changed.notify_all();
    if (FState->Canceller.joinable())
        FState->Canceller.join();
    if (FState->Writer)
        CloseHandle(FState->Writer);
}

// Once the grace is over, the write under way (if any) is cancelled until
// the writer has given up, which it does at its next look at the deadline.
void TOutputSink::Wake() {
    FState->Canceller = std::thread([state = FState.get()] {
        std::unique_lock lock(state->Mutex);
        if (state->Changed.wait_for(lock, StopGrace, [state] { return state->Done; }))
            return;
        while (!state->Done) {
            if (state->Writer)
                CancelSynchronousIo(state->Writer);
            state->Changed.wait_for(lock, CancelInterval, [state] { return state->Done; });
        }
    });
}

bool TOutputSink::WriteAll(std::string_view text, const std::function<bool()>& stopping,
                           const std::function<void(const std::string&)>& ended) {
    {
        std::lock_guard lock(FState->Mutex);
        if (!FState->Writer)
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &FState->Writer, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
    }
    while (!text.empty()) {
        if (!FState->StopDeadline && stopping())
            FState->StopDeadline = TClock::now() + StopGrace;
        if (FState->StopDeadline && TClock::now() >= *FState->StopDeadline)
            return false;
        DWORD written = 0;
        const DWORD length = text.size() < Chunk ? static_cast<DWORD>(text.size()) : Chunk;
        if (!WriteFile(FState->Output, text.data(), length, &written, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_OPERATION_ABORTED)
                continue;
            ended(error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ? std::string() : SystemErrorText(error));
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

bool TOutputWriter::IsFile(int fd) {
    const auto output = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return output != INVALID_HANDLE_VALUE && GetFileType(output) == FILE_TYPE_DISK;
}

std::optional<std::string> TOutputWriter::FileOf(int fd) {
    if (!IsFile(fd))
        return std::nullopt;
    const auto output = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    std::wstring name(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(output, name.data(), static_cast<DWORD>(name.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= name.size())
        return std::nullopt;
    name.resize(length);
    // The long-path prefix the system puts before a drive letter.
    if (name.starts_with(L"\\\\?\\") && !name.starts_with(L"\\\\?\\UNC\\"))
        name.erase(0, 4);
    return PathText(std::filesystem::path(name));
}
