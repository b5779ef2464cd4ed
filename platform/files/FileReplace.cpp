#include "platform/files/FileReplace.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr std::string_view UnfinishedMark = ".saving-";
constexpr std::size_t UniqueLength = 6; // the XXXXXX of mkostemp
constexpr auto LockPatience = std::chrono::seconds(3);

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary file's name: hidden, and telling which file it was for.
std::string UnfinishedPrefix(const std::string& path) {
    return "." + NameOf(path) + std::string(UnfinishedMark);
}

// A settings file kept as a link into a collection of the user's files is
// replaced where the link leads, and stays a link.
std::string ResolvedTarget(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        return path;
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved))
        return path;
    return resolved;
}

std::string SystemReason(int error) {
    return std::strerror(error);
}

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// The new file gets the old one's permissions and, where this process may
// give them, its owner; a new file gets what the user's umask allows.
void TakeOverAttributes(int fd, const std::string& target) {
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Only root may hand a file to another owner; the mode is kept.
        }
        return;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
}

// Rewrites an existing file whose folder takes no new file. Room for the
// new contents is taken first, without changing the file's size, so a full
// disk is found before a byte of the old contents is touched.
bool RewriteInPlace(const std::string& target, std::string_view content, std::string& reason) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = SystemReason(errno);
        return false;
    }
    bool done = false;
    if (!content.empty()) {
        const int error = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(content.size())) == 0
                              ? 0
                              : errno;
        if (error != 0 && error != EOPNOTSUPP) {
            reason = SystemReason(error);
            ::close(fd);
            return false;
        }
    }
    if (WriteAll(fd, content) && ::ftruncate(fd, static_cast<off_t>(content.size())) == 0 && ::fsync(fd) == 0)
        done = true;
    if (!done)
        reason = SystemReason(errno);
    if (::close(fd) != 0 && done) {
        reason = SystemReason(errno);
        done = false;
    }
    return done;
}

bool FolderRefusesNewFiles(int error) {
    return error == EACCES || error == EROFS || error == EPERM;
}
} // namespace

bool ReplaceFileContents(const std::string& path, std::string_view content, TInPlace inPlace,
                         std::string& reason, const std::function<void()>& beforeReplace) {
    const std::string target = ResolvedTarget(path);
    std::string temporary = FolderOf(target) + "/" + UnfinishedPrefix(target) + std::string(UniqueLength, 'X');
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (inPlace == TInPlace::WhenFolderIsShut && FolderRefusesNewFiles(error) &&
            ::access(target.c_str(), F_OK) == 0)
            return RewriteInPlace(target, content, reason);
        reason = SystemReason(error);
        return false;
    }
    TakeOverAttributes(fd, target);
    bool written = WriteAll(fd, content) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        reason = SystemReason(error);
        return false;
    }
    try {
        if (beforeReplace)
            beforeReplace();
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        reason = SystemReason(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    SyncFolder(FolderOf(target));
    return true;
}

void RemoveUnfinishedReplacements(const std::string& path) {
    const std::string target = ResolvedTarget(path);
    const std::string folder = FolderOf(target);
    const std::string prefix = UnfinishedPrefix(target);
    DIR* listing = ::opendir(folder.c_str());
    if (!listing)
        return;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name.size() == prefix.size() + UniqueLength && name.starts_with(prefix))
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
}

TReplaceLock::TReplaceLock(const std::string& path) {
    FFolder = ::open(FolderOf(ResolvedTarget(path)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (FFolder < 0)
        return;
    // A program that holds the lock for long is hung; waiting for it for
    // good would hang this one too.
    const auto deadline = std::chrono::steady_clock::now() + LockPatience;
    while (::flock(FFolder, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            ::close(FFolder);
            FFolder = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TReplaceLock::~TReplaceLock() {
    if (FFolder >= 0)
        ::close(FFolder);
}
