#include "platform/processes/ProcessNames.h"

#include <mutex>
#include <unordered_map>
#include <vector>
#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

// Looked up once a user: a line of every change names its user, and the
// system reads its user database anew at each question. Windows tells no
// process of a change, so no user either.
std::string UserNameOf(int64_t user) {
    if (user < 0)
        return "unknown";
#ifdef _WIN32
    return std::to_string(user);
#else
    static std::mutex mutex;
    static std::unordered_map<int64_t, std::string> names;
    std::lock_guard lock(mutex);
    if (const auto known = names.find(user); known != names.end())
        return known->second;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> storage(4096);
    const bool named =
        ::getpwuid_r(static_cast<uid_t>(user), &entry, storage.data(), storage.size(), &found) == 0 && found;
    return names[user] = named ? std::string(found->pw_name) : std::to_string(user);
#endif
}

std::string DescribeProcess(const TChangeProcess& process) {
    const std::string pid = "pid " + std::to_string(process.Pid);
    if (process.OtherUser) {
        const std::string user = process.User >= 0 ? ", user " + UserNameOf(process.User) : std::string();
        return "a process of another user" + (process.Pid ? " (" + pid + user + ")" : std::string());
    }
    if (!process.Named)
        return process.Pid ? pid + ", ended before it could be named" : "ended before it could be named";
    std::string text = process.Command + " (" + pid;
    if (!process.Executable.empty())
        text += ", " + process.Executable;
    if (process.User >= 0)
        text += ", user " + UserNameOf(process.User);
    return text + ")";
}

#ifdef __linux__

#include "platform/processes/ProcessListener.h"
#include "platform/processes/ProcessLookup.h"

#include <sys/fanotify.h>

TProcessNamer::TProcessNamer() : FListener(SharedProcessListener()) {
    FReader = FListener->Register(FMark);
    FNextMark = FMark;
}

TProcessNamer::~TProcessNamer() {
    FListener->Unregister(FReader);
}

// A process that has not been reaped is named through its pidfd; one
// known to be reaped (the kernel could give no pidfd for that reason, or
// the pidfd shows it gone) from the names taken when it started. A pidfd
// the kernel failed to make for another reason tells nothing of which
// process it was.
TProcessRef TProcessNamer::Name(int pid, int pidfd) {
    bool reaped = pidfd == FAN_NOPIDFD;
    if (pidfd >= 0) {
        const uint64_t inode = PidfdInode(pidfd);
        if (inode != 0)
            if (TProcessRef known = FListener->ByInode(inode))
                return known;
        if (TProcessRef running = ReadThroughPidfd(pid, pidfd)) {
            if (inode != 0)
                FListener->Adopt(pid, pidfd, inode, running);
            return running;
        }
        reaped = !PidfdAlive(pidfd);
    }
    if (reaped)
        if (TProcessRef ended = FListener->Ended(pid, FMark))
            return ended;
    auto unnamed = std::make_shared<TChangeProcess>();
    unnamed->Pid = pid;
    return unnamed;
}

// Every event queued before the queue was seen empty was read: so were
// those of every process that had ended before the last look before that.
void TProcessNamer::QueueSeenEmpty() {
    FMark = FNextMark;
    FListener->SetMark(FReader, FMark);
    FNextMark = FListener->EndSerial();
}

std::string TProcessNamer::Limitation() const {
    return FListener->WhyNot();
}

std::string ProcessesUnknownBy(const TProcessNamer* namer) {
    if (!namer)
        return "processes unknown: turned off by SENTREL_PROCESS_NAMES";
    const std::string why = namer->Limitation();
    return why.empty() ? std::string() : "processes named only while they run: " + why;
}

#endif
