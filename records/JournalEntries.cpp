#include "records/JournalEntries.h"

#include "platform/processes/ProcessNames.h"
#include "records/PathText.h"
#include "records/ResultLines.h"
#include "runtime/SysUtils.h"

namespace {
constexpr std::string_view InfoPriority = "6";
constexpr std::string_view WarningPriority = "4";

// The clock part of a record's time ("14:05:09" of an RFC 3339 stamp), as
// the window's line shows it.
std::string ClockOf(const std::string& time) {
    constexpr std::size_t ClockAt = 11, ClockLength = 8;
    if (time.size() < ClockAt + ClockLength || time[ClockAt - 1] != 'T')
        return time;
    return time.substr(ClockAt, ClockLength);
}

std::string MessageOf(const TChangeRecord& record) {
    const std::string clock = ClockOf(record.Time);
    std::string message = TResultLine::Of(clock, record.Action, record.Path).Text;
    if (record.OldPath)
        message += " (was " + ShownPath(*record.OldPath) + ")";
    if (!record.Reason.empty())
        message += ": " + record.Reason;
    return message;
}

void AddProcess(TJournalEntry& entry, const TChangeProcess& process) {
    if (process.Pid != 0)
        entry.push_back({"SENTREL_PID", std::to_string(process.Pid)});
    if (process.OtherUser || !process.Named)
        return;
    entry.push_back({"SENTREL_PROCESS", process.Command});
    if (!process.Executable.empty())
        entry.push_back({"SENTREL_EXE", process.Executable});
    if (process.User >= 0)
        entry.insert(entry.end(),
                     {{"SENTREL_UID", std::to_string(process.User)}, {"SENTREL_USER", UserNameOf(process.User)}});
}

// A value the export format can carry as text: printable UTF-8 on one line.
bool IsPrintableLine(std::string_view value) {
    return IsUtf8(value) && std::none_of(value.begin(), value.end(), [](char c) {
               return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F;
           });
}

void AppendLittleEndian(std::string& to, uint64_t value) {
    for (int byte = 0; byte < 8; ++byte)
        to += static_cast<char>((value >> (8 * byte)) & 0xFF);
}
} // namespace

TJournalEntry JournalEntry(const TChangeRecord& record, bool withProcess) {
    const TActionKind action = ActionKindOf(record.Action);
    const bool warning = !record.Reason.empty();
    TJournalEntry entry{{"MESSAGE", MessageOf(record)},
                        {"MESSAGE_ID", std::string(action.MessageId)},
                        {"PRIORITY", std::string(warning ? WarningPriority : InfoPriority)},
                        {"SYSLOG_IDENTIFIER", "sentrel"},
                        {"SENTREL_ACTION", std::string(action.Action)},
                        {"SENTREL_PATH", record.Path}};
    if (record.OldPath)
        entry.push_back({"SENTREL_OLD_PATH", *record.OldPath});
    if (!record.Folder.empty())
        entry.push_back({"SENTREL_WATCH", record.Folder});
    entry.push_back({"SENTREL_TIME", record.Time});
    if (record.IsFolder)
        entry.push_back({"SENTREL_TYPE", *record.IsFolder ? "folder" : "file"});
    if (!record.Reason.empty())
        entry.push_back({"SENTREL_REASON", record.Reason});
    if (withProcess && record.Process && record.Reason.empty())
        AddProcess(entry, *record.Process);
    return entry;
}

TJournalEntry JournalSummary(const std::string& folder, uint64_t count, bool kept) {
    const std::string message =
        Format("%s changes under %s (%s)", GroupedNumber(count).c_str(), ShownPath(folder).c_str(),
               kept ? "kept in the history" : "not kept: the history is off");
    return {{"MESSAGE", message},
            {"MESSAGE_ID", std::string(ActionKindOf("Changes_summed_up").MessageId)},
            {"PRIORITY", std::string(WarningPriority)},
            {"SYSLOG_IDENTIFIER", "sentrel"},
            {"SENTREL_ACTION", "Changes_summed_up"},
            {"SENTREL_WATCH", folder},
            {"SENTREL_COUNT", std::to_string(count)}};
}

std::string ExportEntry(const TJournalEntry& entry, const TJournalStamps& stamps) {
    std::string text = "__REALTIME_TIMESTAMP=" + std::to_string(stamps.Realtime) +
                       "\n__MONOTONIC_TIMESTAMP=" + std::to_string(stamps.Monotonic) + '\n';
    if (!stamps.BootId.empty())
        text += "_BOOT_ID=" + stamps.BootId + '\n';
    if (!stamps.Host.empty() && IsPrintableLine(stamps.Host))
        text += "_HOSTNAME=" + stamps.Host + '\n';
    for (const TJournalField& field : entry) {
        text += field.Name;
        if (IsPrintableLine(field.Value)) {
            text += '=';
        } else {
            text += '\n';
            AppendLittleEndian(text, field.Value.size());
        }
        text += field.Value;
        text += '\n';
    }
    return text + '\n';
}

TChangeJournal::TChangeJournal(bool kept, std::function<void(const std::string& error)> failed)
    : FWriter(PerSecond, Queued,
              {[kept](const std::string& folder, uint64_t count) { return JournalSummary(folder, count, kept); },
               std::move(failed)}) {}

void TChangeJournal::Send(const TChangeRecord& record, bool withProcess) {
    TJournalEntry entry = JournalEntry(record, withProcess);
    if (record.Reason.empty())
        FWriter.SendChange(std::move(entry), record.Folder);
    else
        FWriter.SendNote(std::move(entry));
}
