#include "records/ChangeFilter.h"

#include "platform/system/PlatformInfo.h"
#include "runtime/SysUtils.h"
#include "util/Utilstrings.h"

#include <memory>
#include <string_view>
#include <vector>

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

namespace {
// The folder entries of excluded hide what lies below them: an entry from
// the root that very folder, "/tmp/" not "/var/tmp/"; any other entry
// wherever it is found in the path. A name hides what lies below every
// folder so named, a whole part of the path up to its last separator.
bool FolderRulesHide(const TLineList& excluded, const TLineList& names, const std::string& path) {
    for (int i = 0; i < excluded.Count(); ++i) {
        const std::string_view entry = excluded.Line(i);
        if (entry.empty() || entry.back() != PathDelim)
            continue;
        if (entry.front() == PathDelim ? path.starts_with(entry) : path.find(entry) != std::string::npos)
            return true;
    }
    if (names.Count() == 0)
        return false;
    const std::string_view folders(path.data(), path.rfind(PathDelim) + 1);
    for (size_t start = 0, end; (end = folders.find(PathDelim, start)) != std::string_view::npos; start = end + 1)
        if (const std::string_view part = folders.substr(start, end - start); !part.empty())
            for (int i = 0; i < names.Count(); ++i)
                if (part == names.Line(i))
                    return true;
    return false;
}

// The folder rules frozen as they were: entries not about folders left out.
class TFrozenFolderRules final : public TFolderExclusion {
public:
    TFrozenFolderRules(std::vector<std::string> excluded, std::vector<std::string> names)
        : FExcluded(std::move(excluded)), FNames(std::move(names)) {}
    bool Excludes(const std::string& folderPath) const override {
        return FolderRulesHide(FExcluded, FNames, folderPath);
    }

private:
    TLineVector FExcluded, FNames;
};
} // namespace

bool IsFolderName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find(PathDelim) == std::string::npos &&
           name.find('/') == std::string::npos;
}

bool TChangeFilter::IsExcludedPath(const std::string& path) const {
    return FolderRulesHide(FExcluded, FExcludedNames, path);
}

TFolderExclusionRules TChangeFilter::FolderRules() const {
    std::vector<std::string> excluded, names;
    for (int i = 0; i < FExcluded.Count(); ++i)
        if (const std::string_view entry = FExcluded.Line(i); !entry.empty() && entry.back() == PathDelim)
            excluded.emplace_back(entry);
    for (int i = 0; i < FExcludedNames.Count(); ++i)
        if (std::string name(FExcludedNames.Line(i)); IsFolderName(name))
            names.push_back(std::move(name));
    if (excluded.empty() && names.empty())
        return nullptr;
    return std::make_shared<TFrozenFolderRules>(std::move(excluded), std::move(names));
}

bool TChangeFilter::IsExcludedFile(const std::string& path) const {
    for (int i = 0; i < FExcluded.Count(); ++i)
        if (SamePath(FExcluded.Line(i), path))
            return true;
    return false;
}

bool TChangeFilter::IsExcludedProgram(const TChangeProcess* process) const {
    if (!process || process->Executable.empty())
        return false;
    for (int i = 0; i < FExcludedPrograms.Count(); ++i)
        if (FExcludedPrograms.Line(i) == process->Executable)
            return true;
    return false;
}
