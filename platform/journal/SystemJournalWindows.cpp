#include "platform/journal/SystemJournal.h"

namespace {
constexpr const char* NoJournal = "Windows has no system journal: the journal is a part of Linux's systemd";
} // namespace

std::optional<std::string> JournalUnavailable() {
    return std::string(NoJournal);
}

std::string SendToJournal(const TJournalEntry&) {
    return NoJournal;
}
