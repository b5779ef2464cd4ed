// The kernel's process events as the socket gives them: whatever the bytes,
// the parse reads nothing outside them, gives only events with a number, and
// what it gives, written out again as the kernel writes it, parses to the
// very same events.
#include "FuzzSupport.h"
#include "platform/processes/ProcessEvents.h"

#include <cstdint>
#include <cstring>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <vector>

namespace {
// One event as the kernel sends it: netlink header, connector header, event.
void WriteOut(const TProcessEvent& event, std::vector<char>& bytes) {
    proc_event written{};
    auto& data = written.event_data;
    switch (event.Kind) {
    case TProcessEvent::TKind::Fork:
        written.what = proc_event::PROC_EVENT_FORK;
        data.fork.child_pid = data.fork.child_tgid = event.Pid;
        break;
    case TProcessEvent::TKind::Exec:
        written.what = proc_event::PROC_EVENT_EXEC;
        data.exec.process_pid = data.exec.process_tgid = event.Pid;
        break;
    case TProcessEvent::TKind::Change:
        written.what = proc_event::PROC_EVENT_COMM;
        data.comm.process_pid = data.comm.process_tgid = event.Pid;
        break;
    case TProcessEvent::TKind::Exit:
        written.what = proc_event::PROC_EVENT_EXIT;
        data.exit.process_pid = data.exit.process_tgid = event.Pid;
        break;
    }
    nlmsghdr header{};
    header.nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof written);
    cn_msg message{};
    message.id.idx = CN_IDX_PROC;
    message.id.val = CN_VAL_PROC;
    message.len = sizeof written;
    const size_t at = bytes.size();
    bytes.resize(at + NLMSG_ALIGN(header.nlmsg_len));
    std::memcpy(bytes.data() + at, &header, sizeof header);
    std::memcpy(bytes.data() + at + NLMSG_HDRLEN, &message, sizeof message);
    std::memcpy(bytes.data() + at + NLMSG_HDRLEN + sizeof message, &written, sizeof written);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the input's bytes, so that a read one byte past them is seen;
    // the allocator aligns them as the socket's buffers are.
    const std::vector<char> exact(data, data + size);
    std::vector<TProcessEvent> events;
    ParseProcessEvents(exact.data(), exact.size(), events);
    std::vector<char> again;
    for (const TProcessEvent& event : events) {
        FUZZ_CHECK(event.Pid > 0);
        WriteOut(event, again);
    }
    std::vector<TProcessEvent> reparsed;
    ParseProcessEvents(again.data(), again.size(), reparsed);
    FUZZ_CHECK(reparsed.size() == events.size());
    for (size_t i = 0; i < events.size(); ++i)
        FUZZ_CHECK(reparsed[i].Kind == events[i].Kind && reparsed[i].Pid == events[i].Pid);
    return 0;
}
