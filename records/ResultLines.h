#pragma once

#include "records/ChangeRecords.h"
#include "runtime/SysUtils.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TChangeFilter;
class TBriskoDirWatch;
struct TDirWatchStatus;

// The lines of the change list, made the same way for the main window and
// for the console: "hh:mm:ss - Action - full path".

// "Added", "Removed", "Modified", "Renamed_old_name", "Renamed_new_name" for
// the action codes 1 to 5; empty for any other code.
std::string ActionName(int action);

// The folder and a name in it joined by one separator.
std::string FullPath(const std::string& directory, const std::string& fileName);

// The local time as "hh:mm:ss", made once a second.
std::string TimeNow();

// time, action and path joined by " - ".
std::string ResultLine(const std::string& time, const std::string& action, const std::string& path);

// The process part of a console line, between the action and the path,
// where asked for: "[touch pid 4242 user ann]", "[pid 4242 ended before it
// could be named]", "[process unknown]". Bytes of the command and the user
// name other than ASCII letters, digits and "_.:+@%,=~-" are given as \xHH,
// so that the part holds no blank, bracket or separator of its own and
// never begins as a path does.
std::string ProcessPart(const TChangeProcess* process);

// The path of a change line as the line shows it: all of the text after
// its second " - ", byte for byte, blanks at its ends included. PathOfShown
// gives the path it stands for.
std::string_view ResultFilePath(std::string_view line);

// Which results lines a filter text lets through: a time range
// ("14:00-15:30", "14:00:05-14:00:09"; a range without seconds takes in its
// last minute whole) by the lines' times, anything else by a part of the
// line, ASCII letter case ignored; an empty function for a blank text.
std::function<bool(std::string_view line)> ResultLineFilter(const std::string& text);

// The status bar's count of a list's lines: "n/N" for the current line n of
// N; while a filter is on, "n of m shown, N in all" for the current line n of
// the m it shows ("m shown, N in all" while it hides the current line);
// empty while no line is shown.
std::string LineCountText(std::optional<int> current, int shown, int total, bool filtered);

// "1 folder", "2 folders".
std::string FolderCount(uint64_t count);

// What a watch that is Ready covers, and how the system watches:
// "2 folders watched by inotify: ...", or "watched by fanotify" for a watch
// of a whole file system, which counts no folders.
std::string WatchedRemark(const TDirWatchStatus& status);

// One line for the list: its text, the full path it names as the line shows
// it (see ShownPath), and free text such as the system's reason, which the
// line itself never holds.
struct TResultLine {
    std::string Text;
    std::string Path;
    std::string Hint;

    static TResultLine Of(const std::string& time, const std::string& action, std::string_view path,
                          std::string hint = {});
    // The line of a record, its reason or its process as the hint.
    static TResultLine Of(const TChangeRecord& record);
};

// The record of a change that a watch on directory reported, made at time;
// none when the filter hides it.
std::optional<TChangeRecord> ChangeRecord(const TChangeFilter& filter, const std::string& time,
                                          const std::string& directory, int action, const std::string& fileName);

// The record of the change a watch is notifying (within its OnNotify), with
// what the engine told of it: the kind of entry, when it was read.
std::optional<TChangeRecord> NotifiedRecord(const TChangeFilter& filter, const std::string& time,
                                            const TBriskoDirWatch& watch, int action, const std::string& fileName);

// The line of the record ChangeRecord gives.
std::optional<TResultLine> ChangeResult(const TChangeFilter& filter, const std::string& time,
                                        const std::string& directory, int action, const std::string& fileName);

// The record and the line for what a watch on directory could not cover: "Changes_lost"
// for the watched folder, "Not_watched" for a folder it could not watch
// (none when that folder is excluded: what the user chose not to see is no
// gap), "Changes_merged" when the system merged changes, whose steps are
// then missing. Statuses about the set-up give none.
std::optional<TChangeRecord> StatusRecord(const TChangeFilter& filter, const std::string& time,
                                          const std::string& directory, const TDirWatchStatus& status);
std::optional<TResultLine> StatusResult(const TChangeFilter& filter, const std::string& time,
                                        const std::string& directory, const TDirWatchStatus& status);

// The record a change line stands for: its time and action as they stand,
// the path it shows read back to its bytes; no folder, which a line does
// not hold.
TChangeRecord RecordOfLine(std::string_view line);

// The file types Save List offers, for a dialog's filter, in this order.
enum class TSavedListType { Text, Csv, JsonLines };
inline constexpr const char* SavedListTypes = "Text Files|*.txt|CSV Files|*.csv|JSON Lines|*.jsonl";

// The type of a saved list: a name ending in ".csv" or ".jsonl" says it;
// any other name takes the type chosen in the dialog's filter.
TSavedListType SavedListTypeOf(const std::string& fileName, int filterIndex);

// The text of a saved list: the lines as they are, each ended by CR LF; CSV
// with the columns time, action and path (as the line shows it) under a
// header; or JSON Lines, a record for each line. (A list's lines need not
// follow each other in time, nor keep both halves of a rename, so the
// halves stay records of their own.) In CSV and JSON Lines the time is
// whole (RFC 3339 to the second) for a line whose day dayOf gives.
using TLineDayOf = std::function<const TLocalDay*(size_t line)>;
std::string SavedChangeList(const std::vector<std::string>& lines, TSavedListType type, const TLineDayOf& dayOf = {});
