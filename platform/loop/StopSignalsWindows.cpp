#include "platform/loop/StopSignals.h"

#include "runtime/Exception.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

// The system calls the handler on a thread of its own. For a closed
// console, a logoff or a shutdown it ends the program once the handler
// returns, so the handler waits (a little) for the program to have stopped.
namespace {
// How long the end of the console or the session waits for the program.
constexpr auto EndWait = std::chrono::seconds(4);

std::mutex Mutex;
std::condition_variable Gone;
// The living instance's stop; empty while none lives.
std::function<void()> PostStop;

BOOL WINAPI OnConsoleControl(DWORD event) {
    std::unique_lock lock(Mutex);
    if (!PostStop)
        return FALSE;
    PostStop();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Gone.wait_for(lock, EndWait, [] { return !PostStop; });
    return TRUE;
}
} // namespace

struct TStopSignals::TState {};

TStopSignals::TStopSignals(std::function<void()> onStop) : FPosts(MainMessageLoop()) {
    {
        std::lock_guard lock(Mutex);
        PostStop = [this, onStop = std::move(onStop)] { FPosts.Post([onStop]() noexcept { onStop(); }); };
    }
    if (!SetConsoleCtrlHandler(&OnConsoleControl, TRUE)) {
        std::lock_guard lock(Mutex);
        PostStop = nullptr;
        throw Exception("Cannot prepare for the console's stop requests");
    }
}

TStopSignals::~TStopSignals() {
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    {
        std::lock_guard lock(Mutex);
        PostStop = nullptr;
    }
    Gone.notify_all();
}
