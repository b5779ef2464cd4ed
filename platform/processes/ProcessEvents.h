#pragma once

// The kernel's process events (the connector's process events over
// netlink): every process made, every program started and every process
// ended on the system, as they happen.
#ifdef __linux__

#include <string>
#include <vector>

struct TProcessEvent {
    // Change: its user or its command name changed.
    enum class TKind { Fork, Exec, Change, Exit };
    TKind Kind = TKind::Fork;
    int Pid = 0; // the process (a thread group; the events of other threads are left out)
};

// A socket that receives the events, non-blocking; -1 with why not for the
// user (it needs CAP_NET_ADMIN, and the system's own pid namespace: the
// events number processes as that namespace does).
int OpenProcessEvents(std::string& whyNot);
// Appends the events queued now, without waiting. False when the kernel
// dropped some because they were not taken in time (all queued are taken).
bool ReceiveProcessEvents(int socket, std::vector<TProcessEvent>& events);
// The events of one message as the socket gives it; malformed parts are
// left out.
void ParseProcessEvents(const char* data, size_t length, std::vector<TProcessEvent>& events);

#endif
