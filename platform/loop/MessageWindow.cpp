#include "platform/loop/MessageWindow.h"

#include <atomic>
#include <chrono>
#include <exception>

namespace {
constexpr auto SliceLength = std::chrono::milliseconds(8);
} // namespace

TMessageWindow::TMessageWindow(TWndProc wndProc) : FLoop(MainMessageLoop()), FQueue(std::make_shared<TQueue>()) {
    FQueue->WndProc = std::move(wndProc);
}

// Messages still queued are freed with the queue, never handled.
TMessageWindow::~TMessageWindow() {
    std::lock_guard lock(FQueue->Mutex);
    FQueue->Closed = true;
    FQueue->Messages.clear();
}

void TMessageWindow::Post(TMessage message) {
    std::lock_guard lock(FQueue->Mutex);
    FQueue->Messages.push_back(std::move(message));
    if (!FQueue->WakePosted) {
        FQueue->WakePosted = true;
        PostWake(FQueue, FLoop);
    }
}

void TMessageWindow::PostAll(std::vector<TMessage>& messages) {
    std::lock_guard lock(FQueue->Mutex);
    for (TMessage& message : messages)
        FQueue->Messages.push_back(std::move(message));
    messages.clear();
    if (!FQueue->WakePosted && !FQueue->Messages.empty()) {
        FQueue->WakePosted = true;
        PostWake(FQueue, FLoop);
    }
}

// Called with the queue's lock held. The wake-up holds the queue weakly:
// a window gone with its queue is not kept alive by its wake-ups.
void TMessageWindow::PostWake(const std::shared_ptr<TQueue>& queue, TMessageLoop& loop) {
    loop.Post([weak = std::weak_ptr<TQueue>(queue), &loop] {
        const std::shared_ptr<TQueue> alive = weak.lock();
        if (!alive)
            return;
        {
            std::lock_guard lock(alive->Mutex);
            alive->WakePosted = false;
        }
        HandleQueued(alive, loop);
    });
}

bool TMessageWindow::TakeNext(const std::shared_ptr<TQueue>& queue, TMessageLoop& loop, TMessage& message) {
    std::lock_guard lock(queue->Mutex);
    if (queue->Closed || queue->Messages.empty())
        return false;
    message = std::move(queue->Messages.front());
    queue->Messages.pop_front();
    if (!queue->Messages.empty() && !queue->WakePosted) {
        queue->WakePosted = true;
        PostWake(queue, loop);
    }
    return true;
}

namespace {
std::atomic<TMessageErrorReporter> messageErrorReporter{nullptr};

void ReportHandlerError() noexcept {
    if (TMessageErrorReporter reporter = messageErrorReporter.load())
        reporter();
    else
        std::terminate();
}
} // namespace

void SetMessageErrorReporter(TMessageErrorReporter reporter) {
    messageErrorReporter.store(reporter);
}

// Messages are taken one at a time, and TakeNext keeps a wake-up posted while
// any are left, so that a handler that runs a modal loop (or raises an error, whose
// box is modal) lets the following messages through in order, as a message
// loop would. A handler's error is shown here, where the loop handed over the
// wake-up, and the messages after it are handled as usual. A handler may
// destroy the window: what is left is then dropped.
void TMessageWindow::HandleQueued(const std::shared_ptr<TQueue>& queue, TMessageLoop& loop) {
    const auto deadline = std::chrono::steady_clock::now() + SliceLength;
    TMessage message;
    while (TakeNext(queue, loop, message)) {
        try {
            queue->WndProc(message);
        } catch (...) {
            ReportHandlerError();
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
    }
}
