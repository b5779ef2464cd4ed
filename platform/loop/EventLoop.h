#pragma once

#include "platform/loop/MessageLoop.h"

#include <memory>

// The program's own event loop, for what runs without the toolkit (the
// console): posted tasks run in order on the thread that runs the loop. On
// Windows it is a message-only window's message loop, so that the system's
// messages to the thread are handled too.
class TEventLoop final : public TMessageLoop {
public:
    TEventLoop();
    ~TEventLoop() override;
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    void Post(std::function<void()> task) override;
    void ProcessFor(std::chrono::milliseconds limit) override;
    // Runs posted tasks until Exit; returns Exit's code. The thread that
    // made the loop.
    int Run();
    // Any thread: Run returns code once the task under way is done; tasks
    // still queued stay queued.
    void Exit(int code);

    // What the loop holds; its system's side reaches it too.
    struct TState;

private:
    std::unique_ptr<TState> F;
};
