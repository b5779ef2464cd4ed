#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Lets a program end cleanly on Ctrl-C (SIGINT) and SIGTERM: the signal handler only writes one byte to a pipe, and the event
// loop calls OnStop on the main thread when the byte arrives. SIGPIPE is
// ignored meanwhile, so that writing to a reader that has gone fails with
// EPIPE instead of killing the program.
//
// Main thread only, with a QCoreApplication alive; one instance at a time.
// Construction fails with an Exception before anything is changed for good;
// destruction puts the previous handlers back.
class TStopSignals {
public:
    // onStop must raise nothing: it runs straight from the event loop.
    explicit TStopSignals(std::function<void()> onStop);
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

private:
    struct TSaved;
    std::function<void()> FOnStop;
    std::unique_ptr<TSaved> FSaved;
    std::unique_ptr<QSocketNotifier> FNotifier;
};
