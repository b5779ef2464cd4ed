#pragma once

#include "platform/loop/MessageLoop.h"

#include <functional>
#include <memory>

// Lets a program end cleanly on Ctrl-C and the system's request to end:
// OnStop runs on the main thread, posted to its message loop.
// On Linux: SIGINT and SIGTERM; the signal handler only writes one byte to
// a pipe, a thread of its own waits for it and posts. SIGPIPE is ignored
// meanwhile, so that writing to a reader that has gone fails with EPIPE
// instead of killing the program.
// On Windows: Ctrl-C, Ctrl-Break, the console window closed, the user
// logging off and the system shutting down.
//
// Main thread only, with its message loop set; one instance at a time.
// Construction fails with an Exception before anything is changed for good;
// destruction puts the previous handlers back, and an OnStop not run yet
// is dropped.
class TStopSignals {
public:
    // onStop must raise nothing: it runs straight from the event loop.
    explicit TStopSignals(std::function<void()> onStop);
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

private:
    struct TState;
    TPostGuard FPosts;
    std::unique_ptr<TState> FState;
};
