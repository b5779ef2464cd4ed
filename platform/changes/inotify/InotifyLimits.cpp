#ifdef __linux__

#include "platform/changes/inotify/InotifyLimits.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string_view>
#include <unistd.h>

namespace {
uint64_t ReadNumber(const std::string& path) {
    std::ifstream file(path);
    uint64_t value = 0;
    return file >> value ? value : 0;
}

bool IsNumber(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The watches of one inotify instance: a line of its descriptor's details each.
uint64_t WatchesOf(const std::string& fdinfo) {
    std::ifstream details(fdinfo);
    uint64_t watches = 0;
    for (std::string line; std::getline(details, line);)
        watches += line.starts_with("inotify wd:");
    return watches;
}

// The watches of a process's inotify instances; false when its descriptors
// could not be read.
bool CountWatches(const std::string& process, uint64_t& watches) {
    DIR* descriptors = ::opendir((process + "/fd").c_str());
    if (!descriptors)
        return false;
    char target[64];
    while (const dirent* entry = ::readdir(descriptors)) {
        if (!IsNumber(entry->d_name))
            continue;
        const std::string link = process + "/fd/" + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
        if (length > 0 && std::string_view(target, static_cast<size_t>(length)) == "anon_inode:inotify")
            watches += WatchesOf(process + "/fdinfo/" + entry->d_name);
    }
    ::closedir(descriptors);
    return true;
}
} // namespace

uint64_t InotifyWatchLimit() {
    const uint64_t system = ReadNumber("/proc/sys/fs/inotify/max_user_watches");
    const uint64_t user = ReadNumber("/proc/sys/user/max_inotify_watches");
    if (system == 0 || user == 0)
        return std::max(system, user);
    return std::min(system, user);
}

TInotifyUsage ReadInotifyUsage(const std::string& procRoot) {
    TInotifyUsage usage;
    usage.Limit = InotifyWatchLimit();
    CountWatches(procRoot + "/self", usage.OwnWatches);
    DIR* processes = ::opendir(procRoot.c_str());
    if (!processes)
        return usage;
    const uid_t user = ::getuid();
    while (const dirent* entry = ::readdir(processes)) {
        if (!IsNumber(entry->d_name))
            continue;
        const std::string process = procRoot + "/" + entry->d_name;
        // The real user: a process that may not be inspected (one that
        // changed its user, say) has its entries owned by root.
        std::ifstream status(process + "/status");
        uid_t owner = 0;
        bool found = false;
        for (std::string line; !found && std::getline(status, line);)
            found = line.starts_with("Uid:") && (std::istringstream(line.substr(4)) >> owner);
        if (!found || owner != user)
            continue;
        if (!CountWatches(process, usage.UserWatches) && errno != ENOENT)
            ++usage.UnreadProcesses; // not one that ended meanwhile
    }
    ::closedir(processes);
    return usage;
}

#endif
