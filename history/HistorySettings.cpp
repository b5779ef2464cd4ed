#include "history/HistorySettings.h"

#include "history/Snapshot.h"
#include "runtime/SysUtils.h"
#include "settings/UtilObj.h"

#include <charconv>
#include <filesystem>

namespace {
template <class T> void ReadNumber(const std::vector<std::string>& lines, const char* key, T& value) {
    const std::string text = TUtilObj::ValueOfKey(lines, key);
    T read{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), read);
    if (error == std::errc() && end == text.data() + text.size() && read > 0)
        value = read;
}

bool IsDatabaseFile(const std::string& name, const std::string& database) {
    if (!name.starts_with(database))
        return false;
    const std::string_view rest = std::string_view(name).substr(database.size());
    return rest.empty() || rest == "-wal" || rest == "-shm" || rest == "-journal";
}
} // namespace

THistorySettings HistorySettingsOf(const std::vector<std::string>& lines) {
    THistorySettings settings;
    settings.Keep = TUtilObj::ValueOfKey(lines, "Keep") != "F";
    ReadNumber(lines, "Days", settings.Retention.Days);
    ReadNumber(lines, "Records", settings.Retention.Records);
    ReadNumber(lines, "ListLimit", settings.ListLimit);
    return settings;
}

std::vector<std::string> HistorySectionOf(const THistorySettings& settings) {
    return {std::string("Keep=") + (settings.Keep ? "T" : "F"), "Days=" + std::to_string(settings.Retention.Days),
            "Records=" + std::to_string(settings.Retention.Records), "ListLimit=" + std::to_string(settings.ListLimit)};
}

std::string HistoryFileName() {
    return HistoryPathFor(UtilObj.GetIniFileName(), UtilObj.IsPortable());
}

// The name is compared first, which costs nothing; only then the folder,
// which may be named another way (a link on the way, a doubled separator).
// The snapshots of the watched trees are the history's files too: their
// folder beside the database and what it holds.
bool IsHistoryFile(const std::string& path, const std::string& database) {
    namespace fs = std::filesystem;
    const fs::path changed(path), kept(database);
    const std::string name = changed.filename().string();
    fs::path folder = changed.parent_path();
    if (folder.filename() == SnapshotFolderName)
        folder = folder.parent_path();
    else if (name != SnapshotFolderName && !IsDatabaseFile(name, kept.filename().string()))
        return false;
    std::error_code error;
    return folder == kept.parent_path() || fs::equivalent(folder, kept.parent_path(), error);
}
