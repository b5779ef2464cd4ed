#pragma once

// Reading a file does not always move its last-access time (most mounts
// move it at most once a day): an access is worth reporting only when it did.
#ifdef __linux__

#include "platform/changes/tree/InotifyTranslator.h"

#include <string>
#include <unordered_map>

namespace inotify {

class TAccessTimes {
public:
    // Whether the last-access time of the file at path moved since the last
    // look; for a file not looked at before, whether it is recent.
    bool Moved(const std::string& path);

private:
    std::unordered_map<std::string, TSince> FSeen;
};

} // namespace inotify

#endif
