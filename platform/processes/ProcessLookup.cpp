#ifdef __linux__

#include "platform/processes/ProcessLookup.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// The file system of pidfds since Linux 6.9: there, a pidfd's inode number
// is the process's own and never given to another.
constexpr long PidFsMagic = 0x50494446;

std::string ReadSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[4096];
    const ssize_t length = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

} // namespace

TChangeProcess ReadProcess(int pid) {
    const std::string base = "/proc/" + std::to_string(pid) + "/";
    TChangeProcess process;
    process.Pid = pid;
    std::string command = ReadSmallFile(base + "comm");
    if (command.empty())
        return process;
    if (command.back() == '\n')
        command.pop_back();
    process.Command = std::move(command);
    process.Named = true;
    char target[4096];
    const ssize_t length = ::readlink((base + "exe").c_str(), target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target)
        process.Executable.assign(target, static_cast<size_t>(length));
    const std::string status = ReadSmallFile(base + "status");
    const size_t uid = status.find("\nUid:");
    if (uid != std::string::npos) {
        unsigned real = 0, effective = 0;
        if (std::sscanf(status.c_str() + uid, "\nUid:\t%u\t%u", &real, &effective) == 2)
            process.User = effective;
    }
    return process;
}

int PidfdOpen(int pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool PidfdAlive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
}

uint64_t PidfdInode(int pidfd) {
    struct statfs fileSystem;
    struct stat status;
    if (::fstatfs(pidfd, &fileSystem) != 0 || fileSystem.f_type != PidFsMagic || ::fstat(pidfd, &status) != 0)
        return 0;
    return status.st_ino;
}

size_t ThreadsOf(int pid) {
    std::error_code error;
    size_t threads = 0;
    for (std::filesystem::directory_iterator task("/proc/" + std::to_string(pid) + "/task", error), end;
         !error && task != end; task.increment(error))
        ++threads;
    return threads;
}

TProcessRef ReadThroughPidfd(int pid, int pidfd) {
    auto process = std::make_shared<TChangeProcess>(ReadProcess(pid));
    if (!process->Named || !PidfdAlive(pidfd))
        return nullptr;
    return process;
}

#endif
