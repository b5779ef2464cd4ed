#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// A thread object: created suspended, started by Resume, asked to stop by
// Terminate, waited for by WaitFor. The body polls StopRequested(), or sleeps
// in WaitForStopRequest(), which the stop request wakes at once.
//
// Threading: every member but StopRequested() and WaitForStopRequest() is
// called on the owner's thread. A derived destructor must call Terminate()
// and WaitFor() itself before its own members go, because the body may
// still use them.
class TThread {
public:
    TThread() = default;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    virtual ~TThread();

    void Resume();
    void Terminate();
    void WaitFor();

    bool StopRequested() const { return FStopRequested.load(std::memory_order_acquire); }

protected:
    virtual void Execute() = 0;
    // Called by Terminate, on the owner's thread, after the stop request is
    // set: wake whatever the body waits on.
    virtual void StopRequestedHook() {}
    // Sleeps until the stop is requested or the time is up; true when requested.
    bool WaitForStopRequest(std::chrono::milliseconds limit);

private:
    std::thread FThread;
    std::atomic<bool> FStopRequested{false};
    std::mutex FStopMutex;
    std::condition_variable FStopSignal;
};
