#pragma once

// Change records as entries of the system journal: each a set of fields
// whose values are exact bytes, sent as they are (--journal) or written in
// the journal's export format (--format export), which
// systemd-journal-remote and systemd-journal-upload read.
//
//   MESSAGE            the change's line as the window lists it
//   MESSAGE_ID         one fixed ID per action (ActionKinds)
//   PRIORITY           6 (info) for a change, 4 (warning) for lost or merged
//                      changes, folders not watched or not caught up, and
//                      changes summed up instead of sent one by one
//   SYSLOG_IDENTIFIER  sentrel
//   SENTREL_ACTION     the action; "Renamed" for both halves of a rename
//   SENTREL_PATH, SENTREL_OLD_PATH (a rename), SENTREL_WATCH (the watched
//   folder), SENTREL_TIME (RFC 3339), SENTREL_TYPE (file or folder, where
//   known), SENTREL_REASON (why, for a note)
//   SENTREL_PID, SENTREL_PROCESS, SENTREL_EXE, SENTREL_UID, SENTREL_USER
//                      the process that made the change, where known and
//                      asked for; a process of another user is not named
//   SENTREL_COUNT      in a summary: how many changes it stands for
#include "platform/journal/JournalWriter.h"
#include "platform/journal/SystemJournal.h"
#include "records/ChangeRecords.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The entry of a record; its process only when asked for.
TJournalEntry JournalEntry(const TChangeRecord& record, bool withProcess);

// Instead of count changes under folder that were not sent one by one;
// kept: whether the history has them.
TJournalEntry JournalSummary(const std::string& folder, uint64_t count, bool kept);

// What an entry of the export format carries besides its fields, which
// the journal fills in itself for an entry sent to it: when (microseconds
// since 1970, and since the boot), the boot's ID and the machine's name
// (both left out when empty).
struct TJournalStamps {
    int64_t Realtime = 0;
    int64_t Monotonic = 0;
    std::string BootId;
    std::string Host;
};

// The entry in the journal's export format, the empty line that ends it
// included: a value that is not printable UTF-8 on a single line goes in
// the format's binary form, its length before its bytes.
std::string ExportEntry(const TJournalEntry& entry, const TJournalStamps& stamps);

// The changes a watch lists, sent to the system journal from a thread of
// its own: past 300 changes a second (below what journald keeps of a
// service by default, 10,000 in 30 s) the rest of the second are summed up
// per folder, and a journal that takes nothing for a while holds up to
// 65,536 entries before changes are summed up too. Notes are always sent.
class TChangeJournal {
public:
    static constexpr std::size_t PerSecond = 300;
    static constexpr std::size_t Queued = 65536;

    // kept: whether the history keeps every change, which the summaries
    // say; failed: once, on the writer's thread, when an entry could not be
    // sent (nothing is sent after it).
    TChangeJournal(bool kept, std::function<void(const std::string& error)> failed);
    void Send(const TChangeRecord& record, bool withProcess);

private:
    TJournalWriter FWriter;
};
