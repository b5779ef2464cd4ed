#include "records/ResultLines.h"

#include "platform/system/PlatformInfo.h"
#include "records/ChangeFilter.h"
#include "records/PathText.h"
#include "runtime/SysUtils.h"
#include "util/TextList.h"
#include "util/Utilstrings.h"
#include "watch/BrkDirWatch.h"

#include <cstdio>
#include <optional>

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
    return LocalClockNow();
}

std::string ResultLine(const std::string& time, const std::string& action, const std::string& path) {
    std::string line;
    line.reserve(time.size() + action.size() + path.size() + 6);
    return line.append(time).append(" - ").append(action).append(" - ").append(path);
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

namespace {
// Seconds since midnight of "hh:mm" or "hh:mm:ss"; none for anything else.
std::optional<int> ClockSeconds(std::string_view text, bool& withSeconds) {
    int hour = 0, minute = 0, second = 0;
    char end = 0;
    const std::string copy(text);
    const int fields = std::sscanf(copy.c_str(), "%2d:%2d:%2d%c", &hour, &minute, &second, &end);
    withSeconds = fields == 3;
    if ((fields != 2 && fields != 3) || hour < 0 || minute < 0 || second < 0 || hour > 23 || minute > 59 ||
        second > 59 || copy.size() != (withSeconds ? 8u : 5u) - (copy[1] == ':' ? 1u : 0u))
        return std::nullopt;
    return hour * 3600 + minute * 60 + second;
}

// "hh:mm:ss", as a line's time is.
bool IsClock(std::string_view text) {
    bool withSeconds = false;
    return text.size() == 8 && ClockSeconds(text, withSeconds) && withSeconds;
}
} // namespace

std::function<bool(std::string_view line)> ResultLineFilter(const std::string& text) {
    const std::string wanted = Trim(text);
    if (wanted.empty())
        return {};
    if (const size_t dash = wanted.find('-'); dash != std::string::npos) {
        bool fromSeconds = false, toSeconds = false;
        const auto from = ClockSeconds(Trim(wanted.substr(0, dash)), fromSeconds);
        const auto to = ClockSeconds(Trim(wanted.substr(dash + 1)), toSeconds);
        if (from && to) {
            const int last = *to + (toSeconds ? 0 : 59);
            return [from = *from, last](std::string_view line) {
                bool withSeconds = false;
                const auto at = ClockSeconds(line.substr(0, 8), withSeconds);
                return at && *at >= from && *at <= last;
            };
        }
    }
    return [wanted](std::string_view line) { return ContainsText(line, wanted); };
}

std::string LineCountText(std::optional<int> current, int shown, int total, bool filtered) {
    if (shown == 0)
        return {};
    if (!filtered)
        return current ? Format("%d/%d", *current, total) : std::string();
    const std::string lines = Format("%d shown, %d in all", shown, total);
    return current ? Format("%d of ", *current) + lines : lines;
}

std::string FolderCount(uint64_t count) {
    return Format("%llu folder%s", static_cast<unsigned long long>(count), count == 1 ? "" : "s");
}

std::string WatchedRemark(const TDirWatchStatus& status) {
    if (status.Mechanism.starts_with(PolledMechanism))
        return status.Mechanism;
    const std::string watched = status.FolderCount > 0 ? FolderCount(status.FolderCount) + " watched" : "watched";
    return status.Mechanism.empty() ? watched : watched + " by " + status.Mechanism;
}

TResultLine TResultLine::Of(const std::string& time, const std::string& action, std::string_view path,
                            std::string hint) {
    std::string shown = ShownPath(path);
    std::string text = ResultLine(time, action, shown);
    return {std::move(text), std::move(shown), std::move(hint)};
}

TResultLine TResultLine::Of(const TChangeRecord& record) {
    if (record.Reason.empty() && record.Process)
        return Of(record.Time, record.Action, record.Path, "Process: " + ShownPath(DescribeProcess(*record.Process)));
    return Of(record.Time, record.Action, record.Path, record.Reason);
}

namespace {
// A name in a process part: bytes other than ASCII letters, digits and a
// few marks as \xHH, so that it holds no blank, bracket or separator.
std::string EscapedName(std::string_view name) {
    static constexpr char Hex[] = "0123456789abcdef";
    static constexpr std::string_view Marks = "_.:+@%,=~-";
    std::string escaped;
    for (const unsigned char byte : name) {
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || Marks.find(static_cast<char>(byte)) != Marks.npos;
        if (plain) {
            escaped += static_cast<char>(byte);
        } else {
            escaped += "\\x";
            escaped += Hex[byte >> 4];
            escaped += Hex[byte & 0xF];
        }
    }
    return escaped;
}
} // namespace

std::string ProcessPart(const TChangeProcess* process) {
    if (!process)
        return "[process unknown]";
    const std::string pid = "pid " + std::to_string(process->Pid);
    if (process->OtherUser) {
        const std::string user = process->User >= 0 ? " user " + EscapedName(UserNameOf(process->User)) : "";
        return "[a process of another user" + (process->Pid ? " " + pid + user : std::string()) + "]";
    }
    if (!process->Named)
        return process->Pid ? "[" + pid + " ended before it could be named]" : "[ended before it could be named]";
    std::string part = "[" + EscapedName(process->Command) + " " + pid;
    if (process->User >= 0)
        part += " user " + EscapedName(UserNameOf(process->User));
    return part + "]";
}

std::optional<TChangeRecord> ChangeRecord(const TChangeFilter& filter, const std::string& time,
                                          const std::string& directory, int action, const std::string& fileName) {
    std::string path = FullPath(directory, fileName);
    if (filter.IsFilteredOut(path))
        return std::nullopt;
    return TChangeRecord{time, ActionName(action), std::move(path), std::nullopt, directory, {}};
}

std::optional<TChangeRecord> NotifiedRecord(const TChangeFilter& filter, const std::string& time,
                                            const TBriskoDirWatch& watch, int action, const std::string& fileName) {
    if (filter.IsExcludedProgram(watch.NotifiedProcess().get()))
        return std::nullopt;
    std::optional<TChangeRecord> record = ChangeRecord(filter, time, watch.Directory(), action, fileName);
    if (!record)
        return record;
    if (const TBriskoDirWatch::TEntryKind entry = watch.NotifiedEntry(); entry != TBriskoDirWatch::TEntryKind::Unknown)
        record->IsFolder = entry == TBriskoDirWatch::TEntryKind::Folder;
    record->ReadAt = watch.NotifiedTime();
    record->Process = watch.NotifiedProcess();
    return record;
}

std::optional<TResultLine> ChangeResult(const TChangeFilter& filter, const std::string& time,
                                        const std::string& directory, int action, const std::string& fileName) {
    if (std::optional<TChangeRecord> record = ChangeRecord(filter, time, directory, action, fileName))
        return TResultLine::Of(*record);
    return std::nullopt;
}

std::optional<TChangeRecord> StatusRecord(const TChangeFilter& filter, const std::string& time,
                                          const std::string& directory, const TDirWatchStatus& status) {
    switch (status.Kind) {
    case TDirWatchStatus::TKind::ChangesLost:
        return TChangeRecord{time,
                             "Changes_lost",
                             directory,
                             std::nullopt,
                             directory,
                             "Changes came faster than they were read and some were lost: the lines that follow "
                             "may not give the state of every name."};
    case TDirWatchStatus::TKind::ChangesMerged:
        return TChangeRecord{time,
                             "Changes_merged",
                             directory,
                             std::nullopt,
                             directory,
                             "The system merged changes that came faster than they were read: the steps between "
                             "are missing, and the lines that follow give the real state of every name."};
    case TDirWatchStatus::TKind::NotCovered: {
        std::string folder = status.Folder.empty() ? directory : FullPath(directory, status.Folder);
        if (filter.IsExcludedPath(FullPath(folder, "")))
            return std::nullopt;
        return TChangeRecord{time, "Not_watched", std::move(folder), std::nullopt, directory, status.Reason};
    }
    case TDirWatchStatus::TKind::SettingUp:
    case TDirWatchStatus::TKind::Covered:
    case TDirWatchStatus::TKind::Ready:
        break;
    }
    return std::nullopt;
}

std::optional<TResultLine> StatusResult(const TChangeFilter& filter, const std::string& time,
                                        const std::string& directory, const TDirWatchStatus& status) {
    if (std::optional<TChangeRecord> record = StatusRecord(filter, time, directory, status))
        return TResultLine::Of(*record);
    return std::nullopt;
}

TChangeRecord RecordOfLine(std::string_view line) {
    const std::string_view shown = ResultFilePath(line);
    const size_t timeEnd = line.find(" - ");
    if (timeEnd == std::string_view::npos || shown.data() == nullptr)
        return {{}, {}, PathOfShown(line), std::nullopt, {}, {}};
    const size_t actionStart = timeEnd + 3;
    const size_t actionEnd = static_cast<size_t>(shown.data() - line.data()) - 3;
    return {std::string(line.substr(0, timeEnd)),
            std::string(line.substr(actionStart, actionEnd - actionStart)),
            PathOfShown(shown),
            std::nullopt,
            {},
            {}};
}

TSavedListType SavedListTypeOf(const std::string& fileName, int filterIndex) {
    const std::string extension = ExtractFileExt(fileName);
    if (SameText(extension, ".csv"))
        return TSavedListType::Csv;
    if (SameText(extension, ".jsonl"))
        return TSavedListType::JsonLines;
    switch (filterIndex) {
    case 2:
        return TSavedListType::Csv;
    case 3:
        return TSavedListType::JsonLines;
    default:
        return TSavedListType::Text;
    }
}

std::string SavedChangeList(const std::vector<std::string>& lines, TSavedListType type, const TLineDayOf& dayOf) {
    if (type == TSavedListType::Text)
        return FormatTextList(lines);
    std::string content = type == TSavedListType::Csv ? CsvRow({"time", "action", "path"}) : std::string();
    for (size_t i = 0; i < lines.size(); ++i) {
        TChangeRecord record = RecordOfLine(lines[i]);
        if (const TLocalDay* day = dayOf ? dayOf(i) : nullptr; day && IsClock(record.Time))
            record.Time = day->Date + 'T' + record.Time + day->Offset;
        if (type == TSavedListType::Csv)
            content += CsvRow({std::move(record.Time), std::move(record.Action), std::string(ResultFilePath(lines[i]))});
        else
            content += JsonRecord(record) + '\n';
    }
    return content;
}
