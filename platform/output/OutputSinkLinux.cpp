#include "platform/output/OutputSink.h"
#include "platform/output/OutputWriter.h"

#include "runtime/Exception.h"
#include "runtime/SysUtils.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;
} // namespace

struct TOutputSink::TState {
    int Fd;
    // Fd is a copy of the program's descriptor, of this sink's own.
    bool OwnFd = false;
    bool Socket = false;
    // What one write may take: a blocking pipe takes at most this much
    // without blocking once the system says it is writable.
    std::size_t Chunk = std::size_t(1) << 20;
    int Wake[2] = {-1, -1};
    bool PipeSignalBlocked = false;
    // When a stop gives up on what is still queued.
    std::optional<TClock::time_point> StopDeadline;

    explicit TState(int fd) : Fd(fd) {}
    void OpenNonBlocking(int fd);
    bool WaitWritable(const std::function<bool()>& stopping, const std::function<void(const std::string&)>& ended);
    ssize_t WriteSome(std::string_view text);
};

TOutputSink::TOutputSink(int fd) : FState(std::make_unique<TState>(fd)) {
    FState->OpenNonBlocking(fd);
    if (pipe2(FState->Wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        if (FState->OwnFd)
            close(FState->Fd);
        throw Exception(Format("Cannot prepare the output: %s", std::strerror(error)));
    }
}

TOutputSink::~TOutputSink() {
    close(FState->Wake[0]);
    close(FState->Wake[1]);
    if (FState->OwnFd)
        close(FState->Fd);
}

// A pipe or a terminal that stops taking output must not hold a write, or a
// stop, for good. Its descriptor is shared with other programs (the shell),
// so this writer opens the same pipe or terminal again, for itself alone,
// and makes that one non-blocking; a socket is written without blocking
// call by call. Where neither can be done, writes of at most PIPE_BUF once
// the system says the descriptor is writable do not block a pipe, nor
// writes of one byte a terminal.
void TOutputSink::TState::OpenNonBlocking(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || S_ISREG(status.st_mode))
        return;
    if (S_ISSOCK(status.st_mode)) {
        Socket = true;
        return;
    }
    const int own = open(Format("/proc/self/fd/%d", fd).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
        Fd = own;
        OwnFd = true;
    } else {
        Chunk = S_ISFIFO(status.st_mode) ? PIPE_BUF : 1;
    }
}

void TOutputSink::Wake() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(FState->Wake[1], &byte, 1);
}

bool TOutputSink::WriteAll(std::string_view text, const std::function<bool()>& stopping,
                           const std::function<void(const std::string&)>& ended) {
    // A reader that left shows as EPIPE from the write, not as a signal
    // that would end the program, whatever the program does with SIGPIPE.
    if (!FState->PipeSignalBlocked) {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        FState->PipeSignalBlocked = true;
    }
    while (!text.empty()) {
        if (!FState->WaitWritable(stopping, ended))
            return false;
        const ssize_t written = FState->WriteSome(text);
        if (written < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (written < 0) {
            ended(errno == EPIPE ? std::string() : std::strerror(errno));
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

ssize_t TOutputSink::TState::WriteSome(std::string_view text) {
    const std::size_t length = std::min(text.size(), Chunk);
    if (Socket)
        return send(Fd, text.data(), length, MSG_DONTWAIT | MSG_NOSIGNAL);
    return write(Fd, text.data(), length);
}

// The grace of a stop counts from the stop, for all that is still queued.
bool TOutputSink::TState::WaitWritable(const std::function<bool()>& stopping,
                                       const std::function<void(const std::string&)>& ended) {
    for (;;) {
        if (!StopDeadline && stopping())
            StopDeadline = TClock::now() + StopGrace;
        int timeout = -1;
        if (StopDeadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*StopDeadline - TClock::now());
            if (left.count() <= 0)
                return false;
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{Fd, POLLOUT, 0}, {Wake[0], POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            ended(std::strerror(errno));
            return false;
        }
        if (fds[1].revents & POLLIN) {
            char bytes[16];
            while (read(Wake[0], bytes, sizeof bytes) > 0) {
            }
        }
        if (fds[0].revents & POLLNVAL) {
            ended(std::strerror(EBADF));
            return false;
        }
        // An error or hang-up shows in the write that follows.
        if (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))
            return true;
    }
}

std::optional<std::string> TOutputWriter::FileOf(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    char path[PATH_MAX + 1];
    const ssize_t length = readlink(Format("/proc/self/fd/%d", fd).c_str(), path, PATH_MAX);
    if (length <= 0 || path[0] != '/')
        return std::nullopt;
    return std::string(path, static_cast<std::size_t>(length));
}

bool TOutputWriter::IsFile(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}
