// Any bytes as a fanotify group's read: the parser never reads outside the
// buffer, and every key it makes gives back a handle that fits its storage.
#include "platform/changes/fanotify/FanotifyRecords.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <vector>

using namespace fanotify;

namespace {
void CheckKey(const std::string& key) {
    if (key.empty())
        return;
    const std::vector<uint64_t> storage = HandleOf(key);
    const auto* handle = reinterpret_cast<const file_handle*>(storage.data());
    if (sizeof(file_handle) + handle->handle_bytes > storage.size() * sizeof(uint64_t))
        __builtin_trap();
    if (KeyOf(FileSystemOf(key), *handle) != key)
        __builtin_trap();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the input's bytes, so that a read one byte past them is seen;
    // the allocator aligns them as the kernel's buffers are.
    const std::vector<char> exact(data, data + size);
    std::vector<TFanEvent> events;
    ParseEvents(exact.data(), exact.size(), events);
    for (const TFanEvent& event : events) {
        CheckKey(event.Folder);
        CheckKey(event.NewFolder);
        CheckKey(event.Object);
    }
    return 0;
}
