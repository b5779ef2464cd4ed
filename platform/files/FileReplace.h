#pragma once

#include <functional>
#include <string>
#include <string_view>

// Writing a whole file so that a failure at any point, a full disk or a
// crash included, leaves the file as it was: the new contents go to a
// temporary file beside it, are checked written and synced, and only then
// take its place. Paths are bytes, passed to the system as they are.

enum class TInPlace {
    Never,          // the file is replaced whole or not at all
    WhenFolderIsShut // where no file can be made beside it, it is rewritten in
                     // place, but only once room for the new contents is
                     // secured, so a full disk still leaves it whole
};

// Puts content in place of the file at path (making it when there is none).
// On failure the old file is untouched, no temporary file is left, and
// reason tells why in the system's words. beforeReplace, when given, is
// called once the new contents are complete and before they replace the
// file; what it throws passes through after the temporary file is removed.
bool ReplaceFileContents(const std::string& path, std::string_view content, TInPlace inPlace,
                         std::string& reason, const std::function<void()>& beforeReplace = {});

// Removes what a replacement of path that never finished (the process was
// killed) left beside it. Call it under a TReplaceLock of path, so that no
// replacement in progress loses its file.
void RemoveUnfinishedReplacements(const std::string& path);

// Keeps other processes' replacements and clean-ups of path (and of every
// file in its folder) waiting while it lives, so that a read, a merge and a
// write of one file by two programs do not cross. Where the folder cannot be
// locked (it is gone, or the system offers no locks there) it locks nothing.
class TReplaceLock {
public:
    explicit TReplaceLock(const std::string& path);
    ~TReplaceLock();
    TReplaceLock(const TReplaceLock&) = delete;
    TReplaceLock& operator=(const TReplaceLock&) = delete;

private:
    int FFolder = -1;
};
