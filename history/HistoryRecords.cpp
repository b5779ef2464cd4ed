#include "history/HistoryRecords.h"

#include "records/ResultLines.h"
#include "runtime/SysUtils.h"

THistoryRecord HistoryRecordOf(const TChangeRecord& record) {
    return {record.ReadAt ? record.ReadAt : HistoryTimeNow(),
            record.Action,
            record.Path,
            record.OldPath,
            record.Folder,
            record.IsFolder,
            record.Reason};
}

std::vector<std::string> HistoryTextLines(const THistoryRecord& record) {
    const std::string time = LocalDateClockOf(record.Time);
    if (!record.OldPath)
        return {TResultLine::Of(time, record.Action, record.Path).Text};
    return {TResultLine::Of(time, record.Action + "_old_name", *record.OldPath).Text,
            TResultLine::Of(time, record.Action + "_new_name", record.Path).Text};
}

TChangeRecord ChangeRecordOf(const THistoryRecord& record) {
    return {LocalStampOf(record.Time),
            record.Action,
            record.Path,
            record.OldPath,
            record.Folder,
            record.Reason,
            record.IsFolder,
            record.Time};
}
