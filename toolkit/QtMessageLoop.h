#pragma once

#include "platform/loop/MessageLoop.h"

#include <QObject>

// The toolkit's event loop as the main thread's message loop: posted tasks
// travel as events, so they are handled also while a modal dialog runs.
// Made and destroyed on the main thread with the application alive.
class TQtMessageLoop final : public TMessageLoop {
public:
    TQtMessageLoop() = default;
    TQtMessageLoop(const TQtMessageLoop&) = delete;
    TQtMessageLoop& operator=(const TQtMessageLoop&) = delete;

    void Post(std::function<void()> task) override;
    void ProcessFor(std::chrono::milliseconds limit) override;

private:
    class TReceiver : public QObject {
    protected:
        bool event(QEvent* event) override;
    };
    TReceiver FReceiver;
};
