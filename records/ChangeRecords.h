#pragma once

#include "platform/processes/ProcessNames.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Change lines for other programs: JSON Lines and CSV.
//
// One JSON object per line:
//   {"time":"2026-12-07T14:05:09.123+01:00","action":"Modified",
//    "path":"/home/ann/a.txt","folder":"/home/ann"}
// "time" is RFC 3339 with milliseconds and the local offset (to the second
// in a saved list, which keeps no more; "hh:mm:ss" for a line of no known day); "action" is the line's action, or
// "Renamed" for a rename, which carries "old_path" as well; "folder" is the
// watched folder; "is_folder" whether the entry is a folder, where the
// system says (always on Linux); "reason" says why for Changes_lost,
// Changes_merged and Not_watched. A path that is not UTF-8 has no string
// member: its bytes go to "path_base64" ("old_path_base64",
// "folder_base64") instead. "process", where the record carries one, is
// the process that made the change: {"pid":4242,"command":"touch",
// "executable":"/usr/bin/touch","user":1000}, or {"pid":4242,"ended":true}
// for one that ended before it could be named.
struct TChangeRecord {
    std::string Time;
    std::string Action;
    std::string Path;
    std::optional<std::string> OldPath;
    std::string Folder;
    std::string Reason;
    // Whether the entry is a folder, where the system says.
    std::optional<bool> IsFolder = std::nullopt;
    // When the change was read from the system, in nanoseconds since 1970;
    // 0 where it is not known.
    int64_t ReadAt = 0;
    // The process that made the change, where the system tells it.
    TProcessRef Process = nullptr;
};

// The action a record's action belongs to: a half of a rename left alone
// ("Renamed_old_name", "Found_renamed_new_name") is a rename too.
std::string_view ActionFamily(std::string_view action);

// How an action is told to other programs: ECS's "event.type" and
// "event.action", whether ECS logs it as a warning, and the system
// journal's MESSAGE_ID, fixed for good (catalogues and queries key on it).
struct TActionKind {
    std::string_view Action;
    std::string_view EcsType;
    std::string_view EcsAction;
    bool Warning = false;
    std::string_view MessageId;
};
extern const std::array<TActionKind, 13> ActionKinds;
// The MESSAGE_ID of an action the table does not know.
extern const std::string_view UnknownActionMessageId;
// The kind of action's family; an action the table does not know is told
// as it is, as information.
TActionKind ActionKindOf(std::string_view action);

// The object of one record, without the line break; its process only when
// asked for.
std::string JsonRecord(const TChangeRecord& record, bool withProcess = true);
// The "process" member's object.
std::string JsonProcess(const TChangeProcess& process);

// text as a JSON string, quotes included: control characters, DEL, C1, the
// line and paragraph separators and the byte order mark escaped, a byte that is not UTF-8 given
// as U+FFFD (paths keep their bytes: see "path_base64").
std::string JsonString(std::string_view text);

// The local time now, RFC 3339 with milliseconds and the offset.
std::string RecordTimeNow();

// One CSV row (RFC 4180): fields quoted where they hold a comma, a quotation
// mark or a line break, rows ended by CR LF.
std::string CsvRow(const std::vector<std::string>& fields);

// Pairs the two halves of a rename into one record: a Renamed_old_name is
// held until the next record, which completes it when it is its
// Renamed_new_name in the same folder. Each call gives the records ready
// to go out, in order.
class TRenamePairing {
public:
    std::vector<TChangeRecord> Add(TChangeRecord record);
    // The half still held, as a record of its own.
    std::vector<TChangeRecord> Flush();
    bool Holding() const { return FOldName.has_value(); }

private:
    std::optional<TChangeRecord> FOldName;
};
