#include "platform/loop/MessageLoop.h"

#include "runtime/Exception.h"

#include <atomic>

namespace {
std::atomic<TMessageLoop*> mainLoop{nullptr};
} // namespace

TMessageLoop* SetMainMessageLoop(TMessageLoop* loop) {
    return mainLoop.exchange(loop);
}

TMessageLoop& MainMessageLoop() {
    TMessageLoop* loop = mainLoop.load();
    if (!loop)
        throw Exception("No message loop runs on the main thread");
    return *loop;
}

void TPostGuard::Post(std::function<void()> task) const {
    FLoop.Post([alive = FAliveSeen, task = std::move(task)] {
        if (alive.lock())
            task();
    });
}
