#include "util/ResultLines.h"

#include "platform/PlatformInfo.h"
#include "runtime/SysUtils.h"
#include "util/ChangeFilter.h"
#include "watch/BrkDirWatch.h"

#include <QTime>

std::string ActionName(int action) {
    switch (action) {
    case 1:
        return "Added";
    case 2:
        return "Removed";
    case 3:
        return "Modified";
    case 4:
        return "Renamed_old_name";
    case 5:
        return "Renamed_new_name";
    default:
        return "";
    }
}

std::string FullPath(const std::string& directory, const std::string& fileName) {
    if (!directory.empty() && directory.back() == PathDelim)
        return directory + fileName;
    return directory + PathDelim + fileName;
}

std::string TimeNow() {
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss")).toStdString();
}

std::string ResultLine(const std::string& time, const std::string& action, const std::string& path) {
    return Format("%s - %s - %s", time.c_str(), action.c_str(), path.c_str());
}

// Neither the time nor an action name holds " - ", so the second one is the
// one in front of the path; a path may hold more of them. Nothing is trimmed:
// a Linux file name may begin or end with blanks.
std::string_view ResultFilePath(std::string_view line) {
    constexpr std::string_view Separator = " - ";
    const size_t action = line.find(Separator);
    if (action == std::string_view::npos)
        return {};
    const size_t path = line.find(Separator, action + Separator.size());
    if (path == std::string_view::npos)
        return {};
    return line.substr(path + Separator.size());
}

std::string FolderCount(uint64_t count) {
    return Format("%llu folder%s", static_cast<unsigned long long>(count), count == 1 ? "" : "s");
}

std::string WatchedRemark(const TDirWatchStatus& status) {
    const std::string watched = status.FolderCount > 0 ? FolderCount(status.FolderCount) + " watched" : "watched";
    return status.Mechanism.empty() ? watched : watched + " by " + status.Mechanism;
}

std::optional<TResultLine> ChangeResult(const TChangeFilter& filter, const std::string& time,
                                        const std::string& directory, int action, const std::string& fileName) {
    std::string path = FullPath(directory, fileName);
    if (filter.IsFilteredOut(path))
        return std::nullopt;
    std::string text = ResultLine(time, ActionName(action), path);
    return TResultLine{std::move(text), std::move(path), {}};
}

std::optional<TResultLine> StatusResult(const TChangeFilter& filter, const std::string& time,
                                        const std::string& directory, const TDirWatchStatus& status) {
    switch (status.Kind) {
    case TDirWatchStatus::TKind::ChangesLost:
        return TResultLine{ResultLine(time, "Changes_lost", directory), directory, {}};
    case TDirWatchStatus::TKind::ChangesMerged:
        return TResultLine{ResultLine(time, "Changes_merged", directory), directory,
                           "The system merged changes that came faster than they were read: the steps between "
                           "are missing, and the lines that follow give the real state of every name."};
    case TDirWatchStatus::TKind::NotCovered: {
        std::string folder = status.Folder.empty() ? directory : FullPath(directory, status.Folder);
        if (filter.IsExcludedPath(FullPath(folder, "")))
            return std::nullopt;
        std::string text = ResultLine(time, "Not_watched", folder);
        return TResultLine{std::move(text), std::move(folder), status.Reason};
    }
    case TDirWatchStatus::TKind::SettingUp:
    case TDirWatchStatus::TKind::Covered:
    case TDirWatchStatus::TKind::Ready:
        break;
    }
    return std::nullopt;
}
