// The kernel's process events as the socket gives them: whatever the bytes,
// the parse reads nothing outside them and gives only events with a number.
#include "platform/processes/ProcessEvents.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The socket's buffers are aligned; so is this copy.
    std::vector<uint64_t> aligned(size / sizeof(uint64_t) + 1);
    std::memcpy(aligned.data(), data, size);
    std::vector<TProcessEvent> events;
    ParseProcessEvents(reinterpret_cast<const char*>(aligned.data()), size, events);
    for (const TProcessEvent& event : events)
        if (event.Pid <= 0)
            __builtin_trap();
    return 0;
}
