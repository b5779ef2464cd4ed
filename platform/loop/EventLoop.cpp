// The event loop where the system has no message queue of its own to use.
#ifndef _WIN32

#include "platform/loop/EventLoop.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

struct TEventLoop::TState {
    std::mutex Mutex;
    std::condition_variable Posted;
    std::deque<std::function<void()>> Tasks;
    std::optional<int> ExitCode;

    // Runs one task if one comes before deadline (none: for ever); false
    // when none came, or Exit was called.
    bool RunNext(std::optional<std::chrono::steady_clock::time_point> deadline) {
        std::function<void()> task;
        {
            std::unique_lock lock(Mutex);
            const auto ready = [this] { return !Tasks.empty() || ExitCode; };
            if (deadline)
                Posted.wait_until(lock, *deadline, ready);
            else
                Posted.wait(lock, ready);
            if (Tasks.empty() || ExitCode)
                return false;
            task = std::move(Tasks.front());
            Tasks.pop_front();
        }
        task();
        return true;
    }
};

TEventLoop::TEventLoop() : F(std::make_unique<TState>()) {}

TEventLoop::~TEventLoop() = default;

void TEventLoop::Post(std::function<void()> task) {
    {
        std::lock_guard lock(F->Mutex);
        F->Tasks.push_back(std::move(task));
    }
    F->Posted.notify_one();
}

void TEventLoop::ProcessFor(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (F->RunNext(deadline)) {
    }
}

int TEventLoop::Run() {
    while (F->RunNext(std::nullopt)) {
    }
    std::lock_guard lock(F->Mutex);
    return *std::exchange(F->ExitCode, std::nullopt);
}

void TEventLoop::Exit(int code) {
    {
        std::lock_guard lock(F->Mutex);
        F->ExitCode = code;
    }
    F->Posted.notify_all();
}

#endif
