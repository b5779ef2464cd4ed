#include "toolkit/QtMessageLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <mutex>

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
const QEvent::Type TaskEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TTaskEvent : public QEvent {
public:
    explicit TTaskEvent(std::function<void()> task) : QEvent(TaskEvent), Task(std::move(task)) {}
    std::function<void()> Task;
};
} // namespace

// Qt's own hand-over of an event between threads is invisible to
// ThreadSanitizer (Qt is not built with it), so the hand-over is declared;
// and the tasks of every thread go to Qt's list of posted events one at a
// time under a lock of this program's, which ThreadSanitizer sees, so that
// two threads that post are not taken for a race inside Qt.
void TQtMessageLoop::Post(std::function<void()> task) {
    static std::mutex posting;
    auto* event = new TTaskEvent(std::move(task));
#ifdef SENTREL_TSAN
    __tsan_release(event);
#endif
    std::lock_guard lock(posting);
    QCoreApplication::postEvent(&FReceiver, event);
}

void TQtMessageLoop::ProcessFor(std::chrono::milliseconds limit) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, static_cast<int>(limit.count()));
}

// The hand-over is taken before anything of the event is read, its type
// included.
bool TQtMessageLoop::TReceiver::event(QEvent* event) {
#ifdef SENTREL_TSAN
    __tsan_acquire(event);
#endif
    if (event->type() != TaskEvent)
        return QObject::event(event);
    static_cast<TTaskEvent*>(event)->Task();
    return true;
}
