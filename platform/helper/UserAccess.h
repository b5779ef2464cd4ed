#pragma once

// Access checks a privileged process makes for an ordinary user: the
// kernel itself decides, with the user's identity, so that everything it
// weighs (permission bits, access control lists, security modules) counts.
#ifdef __linux__

#include "platform/system/FileDescriptor.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct TUserIdentity {
    uid_t User = 0;
    gid_t Group = 0;
    std::vector<gid_t> Groups; // the supplementary groups, the primary one among them
};

// The identity of a user as the system's account database has it; nothing
// for a user it does not know.
std::optional<TUserIdentity> IdentityOf(uid_t user);

// While it lives, the calling thread's file-system identity is the user's:
// its other IDs, other threads and its capabilities beyond the file system
// stay as they were.
class TActingAs {
public:
    explicit TActingAs(const TUserIdentity& identity);
    ~TActingAs();
    TActingAs(const TActingAs&) = delete;
    TActingAs& operator=(const TActingAs&) = delete;
    // False when the identity could not be taken: nothing may then be decided.
    bool Taken() const { return FTaken; }

private:
    std::vector<gid_t> FOwnGroups;
    bool FTaken = false;
};

// While acting as a user: the folder at path opened for listing, or the
// system's error number.
inotify::TFd OpenForListing(const std::string& path, int& error);

// The folder at relative below the folder root, opened for the check
// below (O_PATH), never through a link nor out of root; -1 where there is
// none.
inotify::TFd OpenFolderBelow(int root, const std::string& relative);

enum class TAccess { Allowed, Denied, Gone };
// While acting as a user: whether the folder opened as folder (any
// descriptor of it, O_PATH included) may be listed and searched, and every
// folder above it, up to "/", searched. The way up is walked by descriptor,
// never by a path looked up again; Gone when the folder no longer is.
TAccess FolderAccess(int folder);

#endif
