#ifdef __linux__

#include "platform/changes/fanotify/FanotifyRecords.h"

#include "platform/system/UnalignedRead.h"

#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/statfs.h>

namespace fanotify {

namespace {
constexpr size_t FsidSize = sizeof(__kernel_fsid_t);
// A key: the file system's ID, then the handle's type and its bytes.
constexpr size_t KeyHeader = FsidSize + sizeof(int);

// One information record of the kind that names an object by file handle,
// and after it, for some kinds, a name. False when it does not fit.
bool ParseFid(const char* record, size_t length, bool named, std::string& key, std::string& name) {
    const size_t handleAt = sizeof(fanotify_event_info_header) + FsidSize;
    if (length < handleAt + sizeof(file_handle))
        return false;
    const auto handleBytes = ReadUnaligned<uint32_t>(record + handleAt);
    const auto handleType = ReadUnaligned<int>(record + handleAt + sizeof(uint32_t));
    const size_t bytesAt = handleAt + sizeof(file_handle);
    if (handleBytes > length - bytesAt)
        return false;
    key.assign(record + sizeof(fanotify_event_info_header), FsidSize);
    key.append(reinterpret_cast<const char*>(&handleType), sizeof handleType);
    key.append(record + bytesAt, handleBytes);
    if (!named)
        return true;
    const char* nameAt = record + bytesAt + handleBytes;
    const size_t room = length - bytesAt - handleBytes;
    const void* end = std::memchr(nameAt, '\0', room);
    if (!end)
        return false;
    name.assign(nameAt, static_cast<const char*>(end));
    return true;
}

// The kinds of record that begin with a file system's ID and a handle.
bool NamesByHandle(uint8_t type) {
    return type == FAN_EVENT_INFO_TYPE_FID || type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
           type == FAN_EVENT_INFO_TYPE_DFID || type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
           type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME;
}

bool ParseInfo(const char* record, size_t length, TFanEvent& event) {
    const auto header = ReadUnaligned<fanotify_event_info_header>(record);
    switch (header.info_type) {
    case FAN_EVENT_INFO_TYPE_DFID_NAME:
    case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
        return ParseFid(record, length, true, event.Folder, event.Name);
    case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
        return ParseFid(record, length, true, event.NewFolder, event.NewName);
    case FAN_EVENT_INFO_TYPE_DFID:
        event.Name = ".";
        return ParseFid(record, length, false, event.Folder, event.Name);
    case FAN_EVENT_INFO_TYPE_PIDFD: {
        if (length < sizeof(fanotify_event_info_pidfd))
            return false;
        event.PidFd = ReadUnaligned<fanotify_event_info_pidfd>(record).pidfd;
        return true;
    }
    case FAN_EVENT_INFO_TYPE_FID: {
        std::string unused;
        return ParseFid(record, length, false, event.Object, unused);
    }
    default:
        return true; // a kind of record this program does not use
    }
}
} // namespace

bool ParseEvents(const char* data, size_t length, std::vector<TFanEvent>& events) {
    for (size_t offset = 0; offset < length;) {
        if (length - offset < sizeof(fanotify_event_metadata))
            return false;
        const auto metadata = ReadUnaligned<fanotify_event_metadata>(data + offset);
        if (metadata.vers != FANOTIFY_METADATA_VERSION || metadata.event_len < metadata.metadata_len ||
            metadata.metadata_len < sizeof metadata || metadata.event_len > length - offset)
            return false;
        TFanEvent event;
        event.Mask = metadata.mask;
        event.Pid = metadata.pid;
        for (size_t at = metadata.metadata_len; at < metadata.event_len;) {
            const size_t room = metadata.event_len - at;
            if (room < sizeof(fanotify_event_info_header))
                return false;
            const auto header = ReadUnaligned<fanotify_event_info_header>(data + offset + at);
            if (header.len < sizeof header || header.len > room || !ParseInfo(data + offset + at, header.len, event))
                return false;
            at += header.len;
        }
        events.push_back(std::move(event));
        offset += metadata.event_len;
    }
    return true;
}

bool SplitEvents(const char* data, size_t length, std::vector<TEventBytes>& events) {
    for (size_t offset = 0; offset < length;) {
        if (length - offset < sizeof(fanotify_event_metadata))
            return false;
        const auto metadata = ReadUnaligned<fanotify_event_metadata>(data + offset);
        if (metadata.vers != FANOTIFY_METADATA_VERSION || metadata.event_len < metadata.metadata_len ||
            metadata.metadata_len < sizeof metadata || metadata.event_len > length - offset)
            return false;
        TEventBytes event;
        event.Offset = offset;
        event.Length = metadata.event_len;
        event.Mask = metadata.mask;
        event.Pid = metadata.pid;
        for (size_t at = metadata.metadata_len; at < metadata.event_len;) {
            const size_t room = metadata.event_len - at;
            if (room < sizeof(fanotify_event_info_header))
                return false;
            const auto header = ReadUnaligned<fanotify_event_info_header>(data + offset + at);
            if (header.len < sizeof header || header.len > room)
                return false;
            if (header.info_type == FAN_EVENT_INFO_TYPE_PIDFD) {
                if (header.len < sizeof(fanotify_event_info_pidfd))
                    return false;
                event.PidFdAt = at + offsetof(fanotify_event_info_pidfd, pidfd);
                event.PidFd = ReadUnaligned<int>(data + offset + event.PidFdAt);
            } else if (event.FileSystem.empty() && NamesByHandle(header.info_type)) {
                if (header.len < sizeof header + FsidSize)
                    return false;
                event.FileSystem.assign(data + offset + at + sizeof header, FsidSize);
            }
            at += header.len;
        }
        events.push_back(std::move(event));
        offset += metadata.event_len;
    }
    return true;
}

size_t WholeEventsLength(const char* data, size_t length, size_t& count) {
    size_t offset = 0;
    for (count = 0; length - offset >= sizeof(fanotify_event_metadata); ++count) {
        const auto metadata = ReadUnaligned<fanotify_event_metadata>(data + offset);
        if (metadata.event_len == 0 || metadata.event_len > length - offset)
            break;
        offset += metadata.event_len;
    }
    return offset;
}

std::vector<uint64_t> HandleStorage() {
    return std::vector<uint64_t>(1 + (sizeof(file_handle) + MAX_HANDLE_SZ) / sizeof(uint64_t));
}

std::string KeyOf(const std::string& fileSystem, const ::file_handle& handle) {
    std::string key = fileSystem;
    key.append(reinterpret_cast<const char*>(&handle.handle_type), sizeof handle.handle_type);
    key.append(reinterpret_cast<const char*>(handle.f_handle), handle.handle_bytes);
    return key;
}

int OpenByKey(int mountFd, const std::string& key, int flags) {
    std::vector<uint64_t> handle = HandleOf(key);
    return ::open_by_handle_at(mountFd, reinterpret_cast<file_handle*>(handle.data()), flags | O_CLOEXEC);
}

std::string FileSystemOf(const std::string& key) {
    return key.substr(0, FsidSize);
}

std::vector<uint64_t> HandleOf(const std::string& key) {
    const size_t bytes = key.size() < KeyHeader ? 0 : key.size() - KeyHeader;
    std::vector<uint64_t> storage(1 + (sizeof(file_handle) + bytes) / sizeof(uint64_t));
    auto* handle = reinterpret_cast<file_handle*>(storage.data());
    handle->handle_bytes = static_cast<unsigned>(bytes);
    if (key.size() >= KeyHeader) {
        handle->handle_type = ReadUnaligned<int>(key.data() + FsidSize);
        std::memcpy(handle->f_handle, key.data() + KeyHeader, bytes);
    }
    return storage;
}

std::string FileSystemIdOf(int folder, const std::string& path) {
    struct statfs status;
    const int result = path.empty() ? ::fstatfs(folder, &status) : ::statfs(path.c_str(), &status);
    if (result != 0)
        return {};
    return std::string(reinterpret_cast<const char*>(&status.f_fsid), sizeof status.f_fsid);
}

std::string KeyAt(int folder, const std::string& path) {
    std::vector<uint64_t> storage = HandleStorage();
    auto* handle = reinterpret_cast<file_handle*>(storage.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    const std::string fileSystem = FileSystemIdOf(folder, path);
    if (fileSystem.empty() ||
        ::name_to_handle_at(folder, path.c_str(), handle, &mountId, path.empty() ? AT_EMPTY_PATH : 0) != 0)
        return {};
    return KeyOf(fileSystem, *handle);
}

} // namespace fanotify

#endif
