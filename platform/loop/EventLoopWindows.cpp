// The event loop on Windows: a message-only window's message loop, woken
// by one posted message whenever tasks wait.
#ifdef _WIN32

#include "platform/loop/EventLoop.h"

#include "runtime/Exception.h"
#include "runtime/SysUtils.h"

#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <windows.h>

namespace {
// Posted to the loop's window: tasks wait; the loop should end.
constexpr UINT TasksPosted = WM_APP + 1;
constexpr UINT ExitPosted = WM_APP + 2;
constexpr wchar_t WindowClass[] = L"SentrelEventLoop";

LRESULT CALLBACK LoopWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void RegisterLoopClass() {
    static const bool registered = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &LoopWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = WindowClass;
        return RegisterClassW(&windowClass) != 0;
    }();
    if (!registered)
        throw Exception(Format("Cannot register the event loop's window class (error %lu)", GetLastError()));
}
} // namespace

struct TEventLoop::TState {
    HWND Window = nullptr;
    std::mutex Mutex;
    std::deque<std::function<void()>> Tasks;
    bool WakePosted = false;
    std::optional<int> ExitCode;

    // Runs the tasks queued now, one at a time, until Exit; what they post
    // waits for the next wake, so that the system's messages come between.
    void RunQueued() {
        std::size_t count = 0;
        {
            std::lock_guard lock(Mutex);
            WakePosted = false;
            count = Tasks.size();
        }
        for (; count > 0; --count) {
            std::function<void()> task;
            {
                std::lock_guard lock(Mutex);
                if (ExitCode)
                    return;
                task = std::move(Tasks.front());
                Tasks.pop_front();
            }
            task();
        }
    }
};

namespace {
LRESULT CALLBACK LoopWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<TEventLoop::TState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (state && message == TasksPosted) {
        state->RunQueued();
        return 0;
    }
    if (message == ExitPosted) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

TEventLoop::TEventLoop() : F(std::make_unique<TState>()) {
    RegisterLoopClass();
    F->Window =
        CreateWindowExW(0, WindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!F->Window)
        throw Exception(Format("Cannot make the event loop's window (error %lu)", GetLastError()));
    SetWindowLongPtrW(F->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(F.get()));
}

TEventLoop::~TEventLoop() {
    DestroyWindow(F->Window);
}

void TEventLoop::Post(std::function<void()> task) {
    std::lock_guard lock(F->Mutex);
    F->Tasks.push_back(std::move(task));
    if (!F->WakePosted)
        F->WakePosted = PostMessageW(F->Window, TasksPosted, 0, 0) != FALSE;
}

void TEventLoop::ProcessFor(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
    }
}

int TEventLoop::Run() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    std::lock_guard lock(F->Mutex);
    if (!F->Tasks.empty() && !F->WakePosted)
        F->WakePosted = PostMessageW(F->Window, TasksPosted, 0, 0) != FALSE;
    return std::exchange(F->ExitCode, std::nullopt).value_or(0);
}

void TEventLoop::Exit(int code) {
    std::lock_guard lock(F->Mutex);
    F->ExitCode = code;
    PostMessageW(F->Window, ExitPosted, 0, 0);
}

#endif
