#ifdef __linux__

#include "platform/processes/ProcessEvents.h"

#include "platform/system/UnalignedRead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Room for many events while no reader takes them (as root the bound of
// the system's own setting does not apply).
constexpr int ReceiveBuffer = 8 << 20;

bool Subscribe(int socket) {
    constexpr size_t length = NLMSG_HDRLEN + sizeof(cn_msg) + sizeof(proc_cn_mcast_op);
    alignas(nlmsghdr) char request[NLMSG_ALIGN(length)] = {};
    nlmsghdr header{};
    header.nlmsg_len = length;
    header.nlmsg_type = NLMSG_DONE;
    header.nlmsg_pid = static_cast<__u32>(::getpid());
    cn_msg message{};
    message.id = {CN_IDX_PROC, CN_VAL_PROC};
    message.len = sizeof(proc_cn_mcast_op);
    const proc_cn_mcast_op operation = PROC_CN_MCAST_LISTEN;
    std::memcpy(request, &header, sizeof header);
    std::memcpy(request + NLMSG_HDRLEN, &message, sizeof message);
    std::memcpy(request + NLMSG_HDRLEN + sizeof message, &operation, sizeof operation);
    return ::send(socket, request, length, 0) == static_cast<ssize_t>(length);
}

// Events of a process without a number (what a short message leaves) are
// left out.
void ParseOne(const proc_event& event, std::vector<TProcessEvent>& events) {
    using TKind = TProcessEvent::TKind;
    const auto add = [&](TKind kind, int pid) {
        if (pid > 0)
            events.push_back({kind, pid});
    };
    const auto& data = event.event_data;
    switch (event.what) {
    case proc_event::PROC_EVENT_FORK:
        if (data.fork.child_pid == data.fork.child_tgid)
            add(TKind::Fork, data.fork.child_tgid);
        break;
    case proc_event::PROC_EVENT_EXEC:
        add(TKind::Exec, data.exec.process_tgid);
        break;
    case proc_event::PROC_EVENT_UID:
        add(TKind::Change, data.id.process_tgid);
        break;
    case proc_event::PROC_EVENT_COMM:
        add(TKind::Change, data.comm.process_tgid);
        break;
    case proc_event::PROC_EVENT_EXIT:
        if (data.exit.process_pid == data.exit.process_tgid)
            add(TKind::Exit, data.exit.process_tgid);
        break;
    default:
        break;
    }
}

// The events number processes as the system's first pid namespace does:
// inside another, the numbers would be another namespace's.
bool InFirstPidNamespace() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("NSpid:", 0) == 0)
            return line.find_first_of(" \t", line.find_first_not_of(" \t", 6)) == std::string::npos;
    return true;
}

} // namespace

int OpenProcessEvents(std::string& whyNot) {
    if (!InFirstPidNamespace()) {
        whyNot = "process events are not told inside a pid namespace";
        return -1;
    }
    const int events = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR);
    if (events < 0) {
        whyNot = std::string("process events cannot be read (") + std::strerror(errno) + ")";
        return -1;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    address.nl_pid = 0;
    if (::setsockopt(events, SOL_SOCKET, SO_RCVBUFFORCE, &ReceiveBuffer, sizeof ReceiveBuffer) != 0)
        ::setsockopt(events, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    if (::bind(events, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || !Subscribe(events)) {
        whyNot = errno == EPERM ? "process events need the CAP_NET_ADMIN capability"
                                : std::string("process events cannot be read (") + std::strerror(errno) + ")";
        ::close(events);
        return -1;
    }
    return events;
}

bool ReceiveProcessEvents(int socket, std::vector<TProcessEvent>& events) {
    alignas(nlmsghdr) char buffer[8192];
    bool whole = true;
    for (;;) {
        const ssize_t length = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno == ENOBUFS) {
            whole = false;
            continue;
        }
        if (length <= 0)
            return whole;
        ParseProcessEvents(buffer, static_cast<size_t>(length), events);
    }
}

void ParseProcessEvents(const char* data, size_t length, std::vector<TProcessEvent>& events) {
    constexpr size_t headers = NLMSG_HDRLEN + sizeof(cn_msg);
    for (size_t offset = 0; length - offset >= headers;) {
        const auto header = ReadUnaligned<nlmsghdr>(data + offset);
        if (header.nlmsg_len < headers || header.nlmsg_len > length - offset)
            return;
        const auto message = ReadUnaligned<cn_msg>(data + offset + NLMSG_HDRLEN);
        // Kernels of other versions may send a shorter or longer event: what
        // is missing reads as zero, which names no kind of event used here.
        if (message.id.idx == CN_IDX_PROC && message.len <= header.nlmsg_len - headers) {
            proc_event event{};
            std::memcpy(&event, data + offset + headers, std::min<size_t>(message.len, sizeof event));
            ParseOne(event, events);
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
        if (offset > length)
            return;
    }
}

#endif
