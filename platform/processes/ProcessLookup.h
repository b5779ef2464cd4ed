#pragma once

// What the system tells of a process now: its names in /proc, and whether
// the process a pidfd holds still runs. A number is soon given to another
// process; a pidfd is not.
#ifdef __linux__

#include "platform/processes/ProcessNames.h"

#include <cstddef>
#include <cstdint>

// The process's command, program and effective user as /proc tells them
// now; Named is false when the command could not be read.
TChangeProcess ReadProcess(int pid);
// A pidfd of the process with that number now; negative where there is none.
int PidfdOpen(int pid);
// Not yet reaped: its number is not free for another process.
bool PidfdAlive(int pidfd);
// The process's own inode number; 0 on a kernel whose pidfds have none.
uint64_t PidfdInode(int pidfd);
// The threads a process has now; 0 once it is reaped.
size_t ThreadsOf(int pid);
// The process behind pid as seen through pidfd: named only if it had not
// been reaped after its names were read.
TProcessRef ReadThroughPidfd(int pid, int pidfd);

#endif
