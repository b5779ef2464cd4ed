#ifdef __linux__

#include "platform/changes/tree/TreePaths.h"

#include "platform/changes/tree/WatchTree.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace inotify {

struct dirent* NextEntry(DIR* folder, int& error) {
    errno = 0;
    struct dirent* entry = ::readdir(folder);
    error = entry ? 0 : errno;
    return entry;
}

TSince Nanoseconds(const timespec& time) {
    return static_cast<TSince>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

TSince Nanoseconds(const statx_timestamp& time) {
    return static_cast<TSince>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

std::string CanonicalPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    std::string canonical = resolved ? resolved : "";
    std::free(resolved);
    return canonical;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char* current = ::getcwd(nullptr, 0);
    std::string absolute = current ? JoinPath(current, path) : path;
    std::free(current);
    return absolute;
}

uint64_t MountIdOf(const std::string& path) {
    struct statx status;
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_MNT_ID, &status) != 0 || !(status.stx_mask & STATX_MNT_ID))
        return 0;
    return status.stx_mnt_id;
}

TSince CoarseNow() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return Nanoseconds(now);
}

std::vector<std::pair<std::string, std::string>> StepsTo(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> steps;
    std::string folder = "/";
    for (size_t at = 0; at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            break;
        steps.emplace_back(folder, part);
        folder = JoinPath(folder, part);
    }
    return steps;
}

} // namespace inotify

#endif
