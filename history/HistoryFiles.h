#pragma once

// The history's own folders and files, for the user alone: folders 0700
// and files 0600 whatever the umask (tightened where an older run left them
// looser), never reached through a symbolic link, and only in a folder that
// is the user's own, so that no other user can read which files changed or
// plant a link that turns a write of the history into a write elsewhere.
#include <string>

// Makes folder (and what is missing above it) or takes it as it is, 0700;
// why it cannot serve (not a folder, a link, another user's), empty when it
// can.
std::string PrepareHistoryFolder(const std::string& folder);

// Opens a file of the history's without following a link at its name, as
// open(2) would with flags; one made is 0600. For reading, only a regular
// file opens (a FIFO put in its place is refused, not waited on). -1 with
// errno otherwise.
int OpenHistoryFile(const std::string& path, int flags);

// Takes a file of the history's to 0600 where it is looser; a link or what
// is no regular file is left alone.
void TightenHistoryFile(const std::string& path);
