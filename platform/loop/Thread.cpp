#include "platform/loop/Thread.h"

TThread::~TThread() {
    Terminate();
    WaitFor();
}

void TThread::Resume() {
    if (!FThread.joinable())
        FThread = std::thread([this] { Execute(); });
}

void TThread::Terminate() {
    {
        std::lock_guard lock(FStopMutex);
        FStopRequested.store(true, std::memory_order_release);
    }
    FStopSignal.notify_all();
    StopRequestedHook();
}

void TThread::WaitFor() {
    if (FThread.joinable())
        FThread.join();
}

bool TThread::WaitForStopRequest(std::chrono::milliseconds limit) {
    std::unique_lock lock(FStopMutex);
    return FStopSignal.wait_for(lock, limit, [this] { return StopRequested(); });
}
