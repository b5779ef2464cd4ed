#ifdef __linux__

#include "platform/processes/ProcessVisibility.h"

#include <fstream>
#include <sstream>

TProcHiding ProcHidingOf(const std::string& options) {
    std::istringstream fields(options);
    for (std::string option; std::getline(fields, option, ',');) {
        if (!option.starts_with("hidepid="))
            continue;
        const std::string value = option.substr(8);
        if (value == "0" || value == "off")
            return TProcHiding::None;
        if (value == "1" || value == "noaccess")
            return TProcHiding::NoAccess;
        return TProcHiding::Invisible;
    }
    return TProcHiding::None;
}

// A line of /proc/self/mountinfo: "36 35 0:5 / /proc rw,nosuid - proc proc rw,hidepid=2".
// Of mounts stacked on /proc, the last is the one seen.
TProcHiding ProcHidingNow() {
    TProcHiding hiding = TProcHiding::None;
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point != "/proc")
            continue;
        const size_t separator = line.find(" - ");
        if (separator == std::string::npos)
            continue;
        std::istringstream tail(line.substr(separator + 3));
        std::string type, source, options;
        tail >> type >> source >> options;
        if (type == "proc")
            hiding = ProcHidingOf(options);
    }
    return hiding;
}

TProcessRef AsSeenBy(const TProcessRef& process, int64_t user, TProcHiding hiding) {
    if (!process || (process->Named && process->User == user))
        return process;
    auto seen = std::make_shared<TChangeProcess>();
    if (!process->Named) {
        // Whose it was is not known: its number only where anyone may see numbers.
        seen->Pid = hiding == TProcHiding::Invisible ? 0 : process->Pid;
        return seen;
    }
    switch (hiding) {
    case TProcHiding::None:
        *seen = *process;
        seen->Executable.clear();
        break;
    case TProcHiding::NoAccess:
        seen->OtherUser = true;
        seen->Pid = process->Pid;
        seen->User = process->User;
        break;
    case TProcHiding::Invisible:
        seen->OtherUser = true;
        break;
    }
    return seen;
}

#endif
