#pragma once

// The system's limit on inotify watches, which a watch of a large tree
// reaches: how many watches are used, by this program and by every program
// of the user, and how far the limit goes.
#ifdef __linux__

#include <cstdint>
#include <string>

// Kernel memory one watch takes on a 64-bit system, about: its mark and the
// folder's inode it keeps in memory, which cannot be swapped out.
constexpr uint64_t KernelBytesPerWatch = 1024;

// The least and most the limit may be raised to.
constexpr uint64_t LeastWatchLimit = 8192;
constexpr uint64_t MostWatchLimit = 2147483647;

struct TInotifyUsage {
    uint64_t OwnWatches = 0;      // by this process
    uint64_t UserWatches = 0;     // by every process of this user that could be read
    unsigned UnreadProcesses = 0; // of this user, whose descriptors could not be read
    uint64_t Limit = 0;           // the smallest limit that applies here; 0 when none can be read
};

// procRoot: where the processes are listed ("/proc").
TInotifyUsage ReadInotifyUsage(const std::string& procRoot = "/proc");

// The limit on the watches of this user: the system's
// (fs.inotify.max_user_watches) or, where smaller, that of the user
// namespace the program runs in; 0 when neither can be read.
uint64_t InotifyWatchLimit();

#endif
