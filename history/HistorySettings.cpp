#include "history/HistorySettings.h"

#include "history/Snapshot.h"
#include "runtime/SysUtils.h"
#include "settings/UtilObj.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string_view>

namespace {
template <class T>
void ReadNumber(const std::vector<std::string>& lines, const char* key, T least, T most, T& value,
                std::vector<std::string>* warnings) {
    const std::string text = TUtilObj::ValueOfKey(lines, key);
    if (text.empty())
        return;
    T read{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), read);
    const std::string said = std::string(key) + "=" + text + " in [History] ";
    if (end != text.data() + text.size() || (error != std::errc() && error != std::errc::result_out_of_range)) {
        if (warnings)
            warnings->push_back(said + "is no number: " + std::to_string(value) + " is kept");
        return;
    }
    const T bounded =
        error == std::errc::result_out_of_range ? (text.front() == '-' ? least : most) : std::clamp(read, least, most);
    if (bounded != read || error != std::errc()) {
        if (warnings)
            warnings->push_back(said + "is beyond what may be (" + std::to_string(least) + " to " +
                                std::to_string(most) + "): " + std::to_string(bounded) + " is taken");
    }
    value = bounded;
}

bool IsDatabaseFile(std::string_view name, std::string_view database) {
    if (!name.starts_with(database))
        return false;
    const std::string_view rest = name.substr(database.size());
    return rest.empty() || rest == "-wal" || rest == "-shm" || rest == "-journal";
}

// The folder part and the last part of a path, by its text alone.
std::string_view FolderOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view NameOf(std::string_view path) {
    return path.substr(path.rfind('/') + 1);
}

// Whether the last parts of path could make it one of the history's files:
// what every change is asked, so without a look at the disk.
bool MayBeHistoryFile(std::string_view path, std::string_view database) {
    const std::string_view name = NameOf(path);
    return name == NameOf(FolderOf(database)) || name == SnapshotFolderName ||
           NameOf(FolderOf(path)) == SnapshotFolderName || IsDatabaseFile(name, NameOf(database));
}
} // namespace

THistorySettings HistorySettingsOf(const std::vector<std::string>& lines, std::vector<std::string>* warnings) {
    THistorySettings settings;
    settings.Keep = TUtilObj::ValueOfKey(lines, "Keep") != "F";
    ReadNumber(lines, "Days", LeastDays, MostDays, settings.Retention.Days, warnings);
    ReadNumber(lines, "Records", LeastRecords, MostRecords, settings.Retention.Records, warnings);
    ReadNumber(lines, "ListLimit", LeastListLimit, MostListLimit, settings.ListLimit, warnings);
    return settings;
}

std::vector<std::string> HistorySectionOf(const THistorySettings& settings) {
    return {std::string("Keep=") + (settings.Keep ? "T" : "F"), "Days=" + std::to_string(settings.Retention.Days),
            "Records=" + std::to_string(settings.Retention.Records), "ListLimit=" + std::to_string(settings.ListLimit)};
}

std::string HistoryFileName() {
    return HistoryPathFor(UtilObj.GetIniFileName(), UtilObj.IsPortable());
}

// The names are compared first, as text; only then the folder, which may be
// named another way (a link on the way, a doubled separator).
// The snapshots of the watched trees are the history's files too: their
// folder beside the database and what it holds; and so is the folder that
// holds them all, whose times change with them.
bool IsHistoryFile(const std::string& path, const std::string& database) {
    if (!MayBeHistoryFile(path, database))
        return false;
    namespace fs = std::filesystem;
    const fs::path changed(path), kept(database);
    const std::string name = changed.filename().string();
    std::error_code error;
    if (name == kept.parent_path().filename() &&
        (changed == kept.parent_path() || fs::equivalent(changed, kept.parent_path(), error)))
        return true;
    fs::path folder = changed.parent_path();
    if (folder.filename() == SnapshotFolderName)
        folder = folder.parent_path();
    else if (name != SnapshotFolderName && !IsDatabaseFile(name, kept.filename().string()))
        return false;
    return folder == kept.parent_path() || fs::equivalent(folder, kept.parent_path(), error);
}
