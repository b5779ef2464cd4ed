#ifdef __linux__

#include "platform/changes/tree/AccessTimes.h"

#include "platform/changes/tree/TreePaths.h"

#include <sys/stat.h>

namespace inotify {

namespace {
// An access that set the last-access time this recently or less changed it;
// an older time means the system left it alone.
constexpr TSince AccessRecency = 2'000'000'000;
// Files whose last-access time is remembered, at most.
constexpr size_t AccessTimesKept = 100000;
} // namespace

bool TAccessTimes::Moved(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    const TSince accessed = Nanoseconds(st.st_atim);
    if (FSeen.size() >= AccessTimesKept)
        FSeen.clear();
    auto [seen, first] = FSeen.try_emplace(path, accessed);
    if (first)
        return CoarseNow() - accessed <= AccessRecency;
    if (seen->second == accessed)
        return false;
    seen->second = accessed;
    return true;
}

} // namespace inotify

#endif
