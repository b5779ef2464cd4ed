#pragma once

#ifdef __linux__

#include <unistd.h>
#include <utility>

namespace inotify {

// A file descriptor, closed with its owner.
class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    TFd(TFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    TFd& operator=(TFd&& other) noexcept {
        std::swap(FFd, other.FFd);
        return *this;
    }
    ~TFd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    int Get() const { return FFd; }
    // Gives up ownership: something else closes it now.
    int Release() { return std::exchange(FFd, -1); }

private:
    int FFd;
};

} // namespace inotify

#endif
