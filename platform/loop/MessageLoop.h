#pragma once

#include <chrono>
#include <functional>
#include <memory>

// The loop that runs the main thread's posted work: the toolkit's event
// loop behind the window, the program's own loop in the console.
class TMessageLoop {
public:
    virtual ~TMessageLoop() = default;
    // Any thread, never waits for the loop: task runs on the loop's thread,
    // after everything posted before it. A task raises nothing.
    virtual void Post(std::function<void()> task) = 0;
    // The loop's thread: runs what is posted, waiting for more while
    // nothing is, for about limit (a wait that must let messages through).
    virtual void ProcessFor(std::chrono::milliseconds limit) = 0;
};

// The main thread's loop, which every message window made from then on
// posts to; set by whoever runs it, before the first window is made, and
// taken back before it goes. Setting returns the loop set before.
// MainMessageLoop() raises an Exception while none is set.
TMessageLoop* SetMainMessageLoop(TMessageLoop* loop);
TMessageLoop& MainMessageLoop();

// Makes a loop the main thread's while it lives, then the one before again.
class TMainMessageLoopScope {
public:
    explicit TMainMessageLoopScope(TMessageLoop& loop) : FBefore(SetMainMessageLoop(&loop)) {}
    ~TMainMessageLoopScope() { SetMainMessageLoop(FBefore); }
    TMainMessageLoopScope(const TMainMessageLoopScope&) = delete;
    TMainMessageLoopScope& operator=(const TMainMessageLoopScope&) = delete;

private:
    TMessageLoop* const FBefore;
};

// Work posted for an owner that may be gone by the time the loop runs it:
// what is still queued when the guard is destroyed is dropped, not run.
// Post may be called from any thread while the guard lives; the guard is
// destroyed on the loop's thread.
class TPostGuard {
public:
    explicit TPostGuard(TMessageLoop& loop) : FLoop(loop) {}
    TPostGuard(const TPostGuard&) = delete;
    TPostGuard& operator=(const TPostGuard&) = delete;

    void Post(std::function<void()> task) const;

private:
    TMessageLoop& FLoop;
    std::shared_ptr<const int> FAlive = std::make_shared<const int>(0);
    // Taken once, so that a post from another thread only copies it.
    const std::weak_ptr<const int> FAliveSeen = FAlive;
};
