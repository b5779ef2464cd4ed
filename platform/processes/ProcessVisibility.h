#pragma once

// What of a process one user may learn, as the system's /proc shows it to
// them: everything of their own processes; of another user's, its number,
// command and user, but not its program's path (which only a user allowed
// to trace the process may read), and nothing at all where /proc is
// mounted to hide other users' processes (hidepid).
#ifdef __linux__

#include "platform/processes/ProcessNames.h"

#include <cstdint>
#include <string>

// How /proc hides a user's processes from other users.
enum class TProcHiding {
    None,     // every process listed, its number, command and user readable
    NoAccess, // listed with its owner, nothing inside readable (hidepid=1, noaccess)
    Invisible // not listed at all (hidepid=2, invisible; and ptraceable)
};

// The hiding of /proc as the process's mount table has it.
TProcHiding ProcHidingNow();
// The hiding that the options of a proc mount ("rw,nosuid,hidepid=2") give.
TProcHiding ProcHidingOf(const std::string& options);

// process as user may see it: itself, or a copy with what they may not see
// left out; null for null.
TProcessRef AsSeenBy(const TProcessRef& process, int64_t user, TProcHiding hiding);

#endif
