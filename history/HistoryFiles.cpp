#include "history/HistoryFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t FolderMode = 0700, FileMode = 0600;
} // namespace

std::string PrepareHistoryFolder(const std::string& folder) {
    std::error_code error;
    const std::filesystem::path path(folder);
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        std::filesystem::create_directories(path.parent_path(), error);
        if (::mkdir(folder.c_str(), FolderMode) != 0 && errno != EEXIST)
            return folder + " cannot be made (" + std::strerror(errno) + ")";
    }
    struct stat status;
    if (::lstat(folder.c_str(), &status) != 0)
        return folder + " cannot be reached (" + std::strerror(errno) + ")";
    if (S_ISLNK(status.st_mode))
        return folder + " is a symbolic link, which another user may have put there";
    if (!S_ISDIR(status.st_mode))
        return folder + " is no folder";
    if (status.st_uid != ::geteuid())
        return folder + " belongs to another user";
    if ((status.st_mode & 07777) != FolderMode && ::chmod(folder.c_str(), FolderMode) != 0)
        return folder + " cannot be made private (" + std::strerror(errno) + ")";
    return {};
}

int OpenHistoryFile(const std::string& path, int flags) {
    const bool reading = (flags & O_ACCMODE) == O_RDONLY;
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | (reading ? O_NONBLOCK : 0), FileMode);
    if (fd < 0 || !reading)
        return fd;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void TightenHistoryFile(const std::string& path) {
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 077) != 0)
        ::chmod(path.c_str(), FileMode);
}
