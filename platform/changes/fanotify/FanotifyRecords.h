#pragma once

// The events a fanotify group reports with the folder and name of each
// change (FAN_REPORT_DFID_NAME_TARGET), taken apart. Objects are known by a
// key: the file system's ID and the object's file handle, as bytes.
#ifdef __linux__

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <vector>

namespace fanotify {

struct TFanEvent {
    uint64_t Mask = 0;
    std::string Folder; // the folder of the change; empty when the event has none
    std::string Name;   // in Folder; "." for an event on Folder itself
    std::string NewFolder; // a rename's new place
    std::string NewName;
    std::string Object; // the object changed, when the event names it
    int Pid = 0;        // the process that made the change, where the group reports it
    int PidFd = -1;     // a pidfd of that process, the reader's to close; negative where the kernel gave none
};

// Appends the events of data to events. False when a record is malformed
// or of a layout version other than this program's: the events before it
// are kept, the rest of data is not read.
bool ParseEvents(const char* data, size_t length, std::vector<TFanEvent>& events);

// One event of a group's buffer, as a dispatcher of events to several
// readers needs it: where its bytes lie, the file system it is about (empty
// for one about none, an overflow), and where its pidfd lies in its bytes
// (0 where it has none).
struct TEventBytes {
    size_t Offset = 0;
    size_t Length = 0;
    uint64_t Mask = 0;
    std::string FileSystem;
    size_t PidFdAt = 0;
    int PidFd = -1;
    int Pid = 0;
};
// Appends the events of data to events, whole; false as ParseEvents is.
bool SplitEvents(const char* data, size_t length, std::vector<TEventBytes>& events);
// The bytes of whole events at the start of data (an event cut short at
// its end is left out), and how many events they are.
size_t WholeEventsLength(const char* data, size_t length, size_t& count);

// Storage for a file handle of any size, aligned for it.
std::vector<uint64_t> HandleStorage();
// The key of the object of handle, on the file system of ID fileSystem.
std::string KeyOf(const std::string& fileSystem, const ::file_handle& handle);
// Opens the object of key through mountFd, a descriptor of a folder on its
// file system; -1 (with errno) when it is gone or may not be opened.
int OpenByKey(int mountFd, const std::string& key, int flags);
// The file system ID of a key.
std::string FileSystemOf(const std::string& key);
// The key's file handle in the shape open_by_handle_at takes (struct
// file_handle), in storage aligned for it.
std::vector<uint64_t> HandleOf(const std::string& key);

// The ID of the file system that holds folder (path empty) or the object
// at path (folder AT_FDCWD); empty when the system tells none.
std::string FileSystemIdOf(int folder, const std::string& path);
// The key fanotify gives folder itself (path empty) or the object at path
// below it; empty when the system has none.
std::string KeyAt(int folder, const std::string& path);

} // namespace fanotify

#endif
