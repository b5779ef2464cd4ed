#pragma once

// Paths and clocks that both of the kernel's interfaces of change
// notification need: the steps to a watched folder, its path without links,
// and the clock the file system stamps inodes with.
#ifdef __linux__

#include "platform/changes/tree/InotifyTranslator.h"

#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace inotify {

// The steps from "/" down to path: each folder on the way with the name of
// the next part. A ".." ends the walk, for it may undo a symbolic link.
std::vector<std::pair<std::string, std::string>> StepsTo(const std::string& path);

// The path without symbolic links, "." or ".."; empty when it leads nowhere.
std::string CanonicalPath(const std::string& path);

// path made absolute against the working folder.
std::string AbsolutePath(const std::string& path);

// The clock the file system stamps inodes with: the last timer tick. A
// reading of it is never later than a stamp given afterwards.
TSince CoarseNow();

// The ID of the mount that holds path; 0 where the system does not tell.
uint64_t MountIdOf(const std::string& path);

// The next entry of a listing; none at its end, and none with error set
// to the system's error number when the listing broke off before its end
// (a damaged folder, a failing disk): a listing cut short is no whole one.
struct dirent* NextEntry(DIR* folder, int& error);

TSince Nanoseconds(const timespec& time);
TSince Nanoseconds(const statx_timestamp& time);

} // namespace inotify

#endif
