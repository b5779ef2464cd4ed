#pragma once

// The system journal (systemd's journald): entries of fields, each value
// exact bytes, sent over its own socket rather than as text.
#include <optional>
#include <string>
#include <vector>

struct TJournalField {
    std::string Name;
    std::string Value;
    bool operator==(const TJournalField&) const = default;
};
using TJournalEntry = std::vector<TJournalField>;

// Why entries cannot be sent to the system journal here (none running, or
// a system that has none); none when they can. Sends nothing.
std::optional<std::string> JournalUnavailable();

// Sends one entry, waiting while the journal's queue is full; the system's
// reason when it could not be sent, empty when it was.
std::string SendToJournal(const TJournalEntry& entry);
