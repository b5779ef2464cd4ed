#pragma once

// The privileged helper as the program sees it. Started through pkexec
// when the user asks (never on its own), it watches folders through
// fanotify for this user; its readers stand in for the system's own, and
// a folder it will not watch is read by the system's own reader instead.
#ifdef __linux__

#include "platform/changes/DirChanges.h"
#include "platform/system/FileDescriptor.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class THelperConnection {
public:
    // Starts command (pkexec and the helper's path) and waits until the
    // helper says it serves; nullptr with the reason for the user.
    static std::shared_ptr<THelperConnection> Start(const std::vector<std::string>& command, std::string& why);
    // Over descriptors to a helper started already (process: its number,
    // waited for at the end; 0: someone else's).
    static std::shared_ptr<THelperConnection> Over(inotify::TFd toHelper, inotify::TFd fromHelper, pid_t process,
                                                   std::string& why);
    // Closing its input ends the helper.
    ~THelperConnection();

    // A reader of directory through the helper; nullptr when the helper
    // refused it (failure, refusal: why) or is gone.
    std::unique_ptr<TDirChangeReader> Open(const std::string& directory, TOpenFailure& failure, std::string& refusal);
    // The user the helper serves.
    uid_t User() const { return FUser; }

    class TState;

private:
    THelperConnection(inotify::TFd toHelper, inotify::TFd fromHelper, pid_t process);
    static std::shared_ptr<THelperConnection> Greet(std::shared_ptr<THelperConnection> connection, std::string& why);
    bool Greeted(std::string& why);

    std::shared_ptr<TState> FState;
    pid_t FProcess;
    inotify::TFd FSaid; // the reading end of the helper's standard error, where it is the program's
    uid_t FUser = 0;
};

// What starts the helper of a program in programFolder through pkexec: the
// installed helper when there is one, else the build tree's beside the
// program; empty, with why, when there is none.
std::vector<std::string> PrivilegedHelperCommand(const std::string& programFolder, std::string& why);

// Readers through the helper; for a folder it refuses, the system's own,
// whose watch line says why.
TDirChangeReaderFactory HelperReaderFactory(std::shared_ptr<THelperConnection> helper);

#endif
