#include "platform/OutputWriter.h"

#include "runtime/Exception.h"
#include "runtime/SysUtils.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;

// How long a stop waits for a reader to take what is still queued.
constexpr auto StopGrace = std::chrono::milliseconds(250);
// How long the first of the lines that are ready waits for more; far below
// what a reader notices.
constexpr auto GatherTime = std::chrono::milliseconds(2);
} // namespace

TOutputWriter::TOutputWriter(int fd, std::size_t limit, THandlers handlers)
    : FFd(fd), FLimit(limit), FHandlers(std::move(handlers)) {
    OpenNonBlocking(fd);
    if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        if (FOwnFd)
            close(FFd);
        throw Exception(Format("Cannot prepare the output: %s", std::strerror(error)));
    }
    FThread = std::thread([this] { Run(); });
}

// A pipe or a terminal that stops taking output must not hold a write, or a
// stop, for good. Its descriptor is shared with other programs (the shell),
// so this writer opens the same pipe or terminal again, for itself alone,
// and makes that one non-blocking; a socket is written without blocking
// call by call. Where neither can be done, writes of at most PIPE_BUF once
// the system says the descriptor is writable do not block a pipe, nor
// writes of one byte a terminal.
void TOutputWriter::OpenNonBlocking(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || S_ISREG(status.st_mode))
        return;
    if (S_ISSOCK(status.st_mode)) {
        FSocket = true;
        return;
    }
    const int own = open(Format("/proc/self/fd/%d", fd).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
        FFd = own;
        FOwnFd = true;
    } else {
        FChunk = S_ISFIFO(status.st_mode) ? PIPE_BUF : 1;
    }
}

TOutputWriter::~TOutputWriter() {
    {
        std::lock_guard lock(FMutex);
        FStopping = true;
    }
    FReady.notify_one();
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(FWake[1], &byte, 1);
    FThread.join();
    close(FWake[0]);
    close(FWake[1]);
    if (FOwnFd)
        close(FFd);
}

bool TOutputWriter::Write(std::string_view lines, const std::string& folder) {
    bool wake = false;
    {
        std::lock_guard lock(FMutex);
        if (FEnded)
            return false;
        if (!FDropped.empty() || FQueued.size() + FInFlight + lines.size() > FLimit) {
            ++FDropped[folder];
            return false;
        }
        wake = FQueued.empty() && FInFlight == 0;
        FQueued.append(lines);
    }
    if (wake)
        FReady.notify_one();
    return true;
}

void TOutputWriter::Run() {
    // A reader that left shows as EPIPE from the write, not as a signal
    // that would end the program, whatever the program does with SIGPIPE.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::unique_lock lock(FMutex);
    std::string batch;
    for (;;) {
        FReady.wait(lock, [this] { return !FQueued.empty() || FStopping; });
        if (FQueued.empty())
            return;
        // Lines come in bursts: what follows the first one within a moment
        // goes out with it, in one write and one wake of this thread.
        FReady.wait_for(lock, GatherTime, [this] { return FStopping; });
        batch.swap(FQueued);
        FQueued.clear();
        FInFlight = batch.size();
        lock.unlock();
        const bool written = WriteOut(batch);
        lock.lock();
        FInFlight = 0;
        if (!written) {
            FEnded = true;
            FQueued.clear();
            return;
        }
        // Everything queued before the first dropped line is out: the gap
        // is said before anything after it.
        if (!FDropped.empty() && FQueued.empty()) {
            FQueued = FHandlers.LostLines(FDropped);
            FDropped.clear();
        }
    }
}

// False when writing ended, for good: the reader left, a write failed, or
// a stop's grace ran out.
bool TOutputWriter::WriteOut(std::string_view text) {
    while (!text.empty()) {
        if (!WaitWritable())
            return false;
        const ssize_t written = WriteSome(text);
        if (written < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (written < 0) {
            FHandlers.Ended(errno == EPIPE ? 0 : errno);
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

ssize_t TOutputWriter::WriteSome(std::string_view text) {
    const std::size_t length = std::min(text.size(), FChunk);
    if (FSocket)
        return send(FFd, text.data(), length, MSG_DONTWAIT | MSG_NOSIGNAL);
    return write(FFd, text.data(), length);
}

// The grace of a stop counts from the stop, for all that is still queued.
bool TOutputWriter::WaitWritable() {
    for (;;) {
        bool stopping = false;
        {
            std::lock_guard lock(FMutex);
            stopping = FStopping;
        }
        if (stopping && !FStopDeadline)
            FStopDeadline = TClock::now() + StopGrace;
        int timeout = -1;
        if (FStopDeadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*FStopDeadline - TClock::now());
            if (left.count() <= 0)
                return false;
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{FFd, POLLOUT, 0}, {FWake[0], POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            FHandlers.Ended(errno);
            return false;
        }
        if (fds[1].revents & POLLIN) {
            char bytes[16];
            while (read(FWake[0], bytes, sizeof bytes) > 0) {
            }
        }
        if (fds[0].revents & POLLNVAL) {
            FHandlers.Ended(EBADF);
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
