#ifdef __linux__

#include "platform/files/TreeWalk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace {
int64_t Nanoseconds(const struct statx_timestamp& time) {
    return time.tv_sec * 1000000000LL + time.tv_nsec;
}

// A folder's descriptor, closed with its owner.
class TFolderHandle {
public:
    explicit TFolderHandle(int fd) : FFd(fd) {}
    ~TFolderHandle() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFolderHandle(const TFolderHandle&) = delete;
    TFolderHandle& operator=(const TFolderHandle&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

// The names a folder holds, in byte order; the error number when they
// could not all be read.
std::vector<std::string> NamesIn(int folder, int& error) {
    std::vector<std::string> names;
    error = 0;
    const int listing = ::dup(folder);
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) {
        error = errno;
        if (listing >= 0)
            ::close(listing);
        return names;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

uint64_t DeviceOf(const struct statx& status) {
    return (uint64_t{status.stx_dev_major} << 32) | status.stx_dev_minor;
}

class TWalker {
public:
    // device: the root's; the walk never leaves it.
    TWalker(const TTreeWalkEvents& events, uint64_t device) : FEvents(events), FDevice(device) {}

    // false: stopped by the caller.
    bool Walk(int folder, const std::string& relative) {
        int error = 0;
        const std::vector<std::string> names = NamesIn(folder, error);
        if (error != 0 && FEvents.Unread)
            FEvents.Unread(relative, error);
        for (const std::string& name : names) {
            struct statx status {};
            if (::statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &status) != 0)
                continue; // gone since it was listed
            TTreeEntry entry;
            entry.Path = relative.empty() ? name : relative + '/' + name;
            entry.Device = DeviceOf(status);
            entry.Inode = status.stx_ino;
            entry.Mode = status.stx_mode;
            entry.Size = S_ISDIR(status.stx_mode) ? 0 : status.stx_size;
            entry.Modified = Nanoseconds(status.stx_mtime);
            entry.Changed = Nanoseconds(status.stx_ctime);
            entry.Born = (status.stx_mask & STATX_BTIME) ? Nanoseconds(status.stx_btime) : 0;
            // Another file system mounted here is not the tree's, as a watch
            // of the tree does not watch it either.
            const bool descend = S_ISDIR(status.stx_mode) && entry.Device == FDevice &&
                                 !(FEvents.LeaveOut && FEvents.LeaveOut(entry.Path));
            if (S_ISDIR(status.stx_mode) && entry.Device != FDevice && FEvents.OtherFileSystem)
                FEvents.OtherFileSystem(entry.Path);
            const std::string path = descend ? entry.Path : std::string();
            if (!FEvents.Entry(std::move(entry)))
                return false;
            if (descend && !WalkInto(folder, name, path))
                return false;
        }
        return true;
    }

private:
    bool WalkInto(int parent, const std::string& name, const std::string& relative) {
        TFolderHandle child(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (child.Get() < 0) {
            if (errno != ENOENT && errno != ENOTDIR && FEvents.Unread)
                FEvents.Unread(relative, errno);
            return true;
        }
        return Walk(child.Get(), relative);
    }

    const TTreeWalkEvents& FEvents;
    const uint64_t FDevice;
};
} // namespace

bool TTreeEntry::IsFolder() const {
    return S_ISDIR(Mode);
}

bool WalkOrderLess(const std::string& a, const std::string& b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i)
        if (a[i] != b[i]) {
            const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c); };
            return rank(a[i]) < rank(b[i]);
        }
    return a.size() < b.size();
}

std::optional<TFileSystemIdentity> FileSystemIdentityOf(const std::string& folder, int& error) {
    struct stat status {};
    struct statfs system {};
    if (::stat(folder.c_str(), &status) != 0 || ::statfs(folder.c_str(), &system) != 0) {
        error = errno;
        return std::nullopt;
    }
    uint64_t id = 0;
    std::memcpy(&id, &system.f_fsid, std::min(sizeof id, sizeof system.f_fsid));
    return TFileSystemIdentity{static_cast<uint64_t>(status.st_dev), id ^ static_cast<uint64_t>(system.f_type) << 1};
}

bool WalkTree(const std::string& root, const TTreeWalkEvents& events) {
    TFolderHandle folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0) {
        if (events.Unread)
            events.Unread("", errno);
        return true;
    }
    struct statx status {};
    if (::statx(folder.Get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &status) != 0) {
        if (events.Unread)
            events.Unread("", errno);
        return true;
    }
    return TWalker(events, DeviceOf(status)).Walk(folder.Get(), "");
}

#endif
