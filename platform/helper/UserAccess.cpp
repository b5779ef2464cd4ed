#include "platform/helper/UserAccess.h"

#ifdef __linux__

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The raw calls: the C library's wrappers of setgroups change every thread.
void SetFsUser(uid_t user) {
    ::syscall(SYS_setfsuid, user);
}
void SetFsGroup(gid_t group) {
    ::syscall(SYS_setfsgid, group);
}
bool SetThreadGroups(const std::vector<gid_t>& groups) {
    return ::syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}
std::vector<gid_t> ThreadGroups() {
    const long count = ::syscall(SYS_getgroups, 0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0 && ::syscall(SYS_getgroups, count, groups.data()) != count)
        groups.clear();
    return groups;
}
// setfsuid tells no error: the present ID is read back by asking for an impossible one.
uid_t FsUser() {
    return static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1)));
}
gid_t FsGroup() {
    return static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1)));
}

} // namespace

std::optional<TUserIdentity> IdentityOf(uid_t user) {
    std::vector<char> text(16384);
    passwd entry;
    passwd* found = nullptr;
    if (::getpwuid_r(user, &entry, text.data(), text.size(), &found) != 0 || !found)
        return std::nullopt;
    TUserIdentity identity{user, found->pw_gid, {}};
    int count = 64;
    identity.Groups.resize(static_cast<size_t>(count));
    while (::getgrouplist(found->pw_name, found->pw_gid, identity.Groups.data(), &count) < 0)
        identity.Groups.resize(static_cast<size_t>(count));
    identity.Groups.resize(static_cast<size_t>(count));
    return identity;
}

TActingAs::TActingAs(const TUserIdentity& identity) : FOwnGroups(ThreadGroups()) {
    if (!SetThreadGroups(identity.Groups))
        return;
    SetFsGroup(identity.Group);
    SetFsUser(identity.User);
    FTaken = FsUser() == identity.User && FsGroup() == identity.Group;
}

TActingAs::~TActingAs() {
    SetFsUser(::geteuid());
    SetFsGroup(::getegid());
    SetThreadGroups(FOwnGroups);
}

inotify::TFd OpenForListing(const std::string& path, int& error) {
    inotify::TFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = folder.Get() < 0 ? errno : 0;
    return folder;
}

inotify::TFd OpenFolderBelow(int root, const std::string& relative) {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const std::string path = relative.empty() ? "." : relative;
    return inotify::TFd(static_cast<int>(::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how)));
}

namespace {
bool SameObject(int one, int other) {
    struct stat first, second;
    return ::fstat(one, &first) == 0 && ::fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Whether the user may do what mode asks of the folder itself.
bool Permits(int folder, int mode) {
    return ::syscall(SYS_faccessat2, folder, "", mode, AT_EACCESS | AT_EMPTY_PATH) == 0;
}
} // namespace

TAccess FolderAccess(int folder) {
    if (!Permits(folder, R_OK | X_OK))
        return errno == ENOENT || errno == ESTALE ? TAccess::Gone : TAccess::Denied;
    // Each step up looks ".." up in the folder below, which the user may
    // search; the folder above must be searchable in its turn.
    inotify::TFd below(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    for (;;) {
        inotify::TFd above(::openat(below.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (above.Get() < 0)
            return errno == ENOENT || errno == ESTALE ? TAccess::Gone : TAccess::Denied;
        if (SameObject(above.Get(), below.Get()))
            return TAccess::Allowed;
        if (!Permits(above.Get(), X_OK))
            return TAccess::Denied;
        below = std::move(above);
    }
}

#endif
