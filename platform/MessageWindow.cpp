#include "platform/MessageWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <exception>

#if defined(__SANITIZE_THREAD__)
#define SENTREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SENTREL_TSAN 1
#endif
#endif

#ifdef SENTREL_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace {
const QEvent::Type WakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
constexpr auto SliceLength = std::chrono::milliseconds(8);
} // namespace

TMessageWindow::TMessageWindow(TWndProc wndProc) : FWndProc(std::move(wndProc)) {}

TMessageWindow::~TMessageWindow() = default;

void TMessageWindow::Post(TMessage message) {
    std::lock_guard lock(FMutex);
    FQueue.push_back(std::move(message));
    if (!FWakePosted) {
        FWakePosted = true;
        PostWake();
    }
}

void TMessageWindow::PostAll(std::vector<TMessage>& messages) {
    std::lock_guard lock(FMutex);
    for (TMessage& message : messages)
        FQueue.push_back(std::move(message));
    messages.clear();
    if (!FWakePosted && !FQueue.empty()) {
        FWakePosted = true;
        PostWake();
    }
}

// Qt's own hand-over of an event between threads is invisible to
// ThreadSanitizer (Qt is not built with it), so the hand-over is declared;
// and the wake-ups of every window, from whichever thread, go to Qt's list
// of posted events one at a time under a lock of this program's, which
// ThreadSanitizer sees, so that two threads that post are not taken for a
// race inside Qt.
void TMessageWindow::PostWake() {
    static std::mutex posting;
    auto* wake = new QEvent(WakeEvent);
#ifdef SENTREL_TSAN
    __tsan_release(wake);
#endif
    std::lock_guard lock(posting);
    QCoreApplication::postEvent(this, wake);
}

bool TMessageWindow::event(QEvent* event) {
#ifdef SENTREL_TSAN
    __tsan_acquire(event);
#endif
    if (event->type() != WakeEvent)
        return QObject::event(event);
    {
        std::lock_guard lock(FMutex);
        FWakePosted = false;
    }
    HandleQueued();
    return true;
}

bool TMessageWindow::TakeNext(TMessage& message) {
    std::lock_guard lock(FMutex);
    if (FQueue.empty())
        return false;
    message = std::move(FQueue.front());
    FQueue.pop_front();
    if (!FQueue.empty() && !FWakePosted) {
        FWakePosted = true;
        PostWake();
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
// loop would. A handler's error is shown here, where Qt handed over the
// wake-up, and the messages after it are handled as usual.
void TMessageWindow::HandleQueued() {
    const auto deadline = std::chrono::steady_clock::now() + SliceLength;
    const QPointer<TMessageWindow> alive(this);
    TMessage message;
    while (TakeNext(message)) {
        try {
            FWndProc(message);
        } catch (...) {
            ReportHandlerError();
        }
        if (!alive)
            return; // a handler's modal loop let the user free this window's owner
        if (std::chrono::steady_clock::now() >= deadline)
            break;
    }
}
