#include "util/ChangeFilter.h"

#include "platform/PlatformInfo.h"
#include "runtime/SysUtils.h"
#include "util/Utilstrings.h"

namespace {
bool ListsText(const TLineList& list, const std::string& text) {
    for (int i = 0; i < list.Count(); ++i)
        if (SameText(list.Line(i), text))
            return true;
    return false;
}
} // namespace

std::string FileTypeOf(const std::string& path) {
    return "*" + ExtractFileExt(path);
}

bool TChangeFilter::IsFilteredOut(const std::string& path) const {
    const std::string type = FileTypeOf(path);
    if (FIncludedTypes.Count() > 0)
        return !ListsText(FIncludedTypes, type);
    return IsExcludedPath(path) || IsExcludedFile(path) || ListsText(FExcludedTypes, type);
}

bool TChangeFilter::IsExcludedPath(const std::string& path) const {
    for (int i = 0; i < FExcluded.Count(); ++i) {
        const std::string& entry = FExcluded.Line(i);
        if (entry.empty() || entry.back() != PathDelim)
            continue;
        // A folder named from the root is that folder only: "/tmp/" is not
        // "/var/tmp/". Any other entry is found anywhere in the path.
        if (entry.front() == PathDelim ? path.starts_with(entry) : path.find(entry) != std::string::npos)
            return true;
    }
    return false;
}

bool TChangeFilter::IsExcludedFile(const std::string& path) const {
    for (int i = 0; i < FExcluded.Count(); ++i)
        if (SamePath(FExcluded.Line(i), path))
            return true;
    return false;
}
