#pragma once

// The history's records as the lines and records the window and the console
// list, and back.
#include "history/HistoryStore.h"
#include "records/ChangeRecords.h"

#include <string>
#include <vector>

// A listed change as the history keeps it: at the time it was read, or now
// where that is not known.
THistoryRecord HistoryRecordOf(const TChangeRecord& record);
// A kept record as a change record, its time as JSON gives it (RFC 3339).
TChangeRecord ChangeRecordOf(const THistoryRecord& record);
// A kept record as text lines like the list's, each beginning with its
// date: a rename's two halves, anything else one line.
std::vector<std::string> HistoryTextLines(const THistoryRecord& record);
