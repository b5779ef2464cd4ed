#include "platform/loop/StopSignals.h"

#include "runtime/Exception.h"
#include "runtime/SysUtils.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {
// The write end, for the handler; -1 while no instance lives.
volatile std::sig_atomic_t StopPipeWriteEnd = -1;

// The bytes in the pipe: a signal came; the waiter should end.
constexpr char StopByte = 1;
constexpr char EndByte = 0;

extern "C" void WriteStopByte(int) {
    const int savedErrno = errno;
    const char byte = StopByte;
    // A full pipe already holds a stop that has not been read yet.
    [[maybe_unused]] const ssize_t written = write(StopPipeWriteEnd, &byte, 1);
    errno = savedErrno;
}

struct TFileDescriptor {
    int Value = -1;
    ~TFileDescriptor() {
        if (Value >= 0)
            close(Value);
    }
};
} // namespace

struct TStopSignals::TState {
    TFileDescriptor ReadEnd, WriteEnd;
    struct sigaction Interrupt {
    }, Terminate{}, Pipe{};
    std::thread Waiter;
};

TStopSignals::TStopSignals(std::function<void()> onStop)
    : FPosts(MainMessageLoop()), FState(std::make_unique<TState>()) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw Exception(Format("Cannot prepare for stop signals: %s", std::strerror(errno)));
    FState->ReadEnd.Value = ends[0];
    FState->WriteEnd.Value = ends[1];
    // A full pipe holds a stop already: the handler never waits.
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    // OnStop raises nothing; should it all the same, the program ends
    // rather than unwind through the event loop.
    FState->Waiter = std::thread([this, readEnd = ends[0], onStop = std::move(onStop)] {
        char byte = EndByte;
        while (read(readEnd, &byte, 1) == 1 && byte == StopByte)
            FPosts.Post([onStop]() noexcept { onStop(); });
    });
    StopPipeWriteEnd = ends[1];

    struct sigaction stop {};
    stop.sa_handler = &WriteStopByte;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &stop, &FState->Interrupt);
    sigaction(SIGTERM, &stop, &FState->Terminate);
    sigaction(SIGPIPE, &ignore, &FState->Pipe);
}

TStopSignals::~TStopSignals() {
    sigaction(SIGINT, &FState->Interrupt, nullptr);
    sigaction(SIGTERM, &FState->Terminate, nullptr);
    sigaction(SIGPIPE, &FState->Pipe, nullptr);
    StopPipeWriteEnd = -1;
    const char end = EndByte;
    while (write(FState->WriteEnd.Value, &end, 1) != 1 && errno == EINTR) {
    }
    FState->Waiter.join();
}
