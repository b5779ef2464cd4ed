#include "toolkit/StopSignals.h"

#include "runtime/Exception.h"
#include "runtime/SysUtils.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The write end, for the handler; -1 while no instance lives.
volatile std::sig_atomic_t StopPipeWriteEnd = -1;

extern "C" void WriteStopByte(int) {
    const int savedErrno = errno;
    const char byte = 1;
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

struct TStopSignals::TSaved {
    TFileDescriptor ReadEnd, WriteEnd;
    struct sigaction Interrupt {}, Terminate{}, Pipe{};
};

TStopSignals::TStopSignals(std::function<void()> onStop)
    : FOnStop(std::move(onStop)), FSaved(std::make_unique<TSaved>()) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Exception(Format("Cannot prepare for stop signals: %s", std::strerror(errno)));
    FSaved->ReadEnd.Value = ends[0];
    FSaved->WriteEnd.Value = ends[1];
    StopPipeWriteEnd = ends[1];

    struct sigaction stop {};
    stop.sa_handler = &WriteStopByte;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &stop, &FSaved->Interrupt);
    sigaction(SIGTERM, &stop, &FSaved->Terminate);
    sigaction(SIGPIPE, &ignore, &FSaved->Pipe);

    FNotifier = std::make_unique<QSocketNotifier>(FSaved->ReadEnd.Value, QSocketNotifier::Read);
    // OnStop raises nothing; should it all the same, the program ends
    // rather than unwind through the event loop.
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FNotifier.get(), [this]() noexcept {
        char bytes[16];
        while (read(FSaved->ReadEnd.Value, bytes, sizeof bytes) > 0) {
        }
        FOnStop();
    });
}

TStopSignals::~TStopSignals() {
    FNotifier.reset();
    sigaction(SIGINT, &FSaved->Interrupt, nullptr);
    sigaction(SIGTERM, &FSaved->Terminate, nullptr);
    sigaction(SIGPIPE, &FSaved->Pipe, nullptr);
    StopPipeWriteEnd = -1;
}
