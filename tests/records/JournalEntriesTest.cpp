#include "records/JournalEntries.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace {
std::string Value(const TJournalEntry& entry, const std::string& name) {
    for (const TJournalField& field : entry)
        if (field.Name == name)
            return field.Value;
    return "(none)";
}
} // namespace

// A rename is one entry with both paths, its process named; a note is a
// warning with its reason; what is not known is left out, never guessed.
TEST(JournalEntries, ARecordsFieldsAreItsOwnBytes) {
    auto process = std::make_shared<TChangeProcess>(TChangeProcess{4242, true, "mv", "/usr/bin/mv", 0, false});
    const TChangeRecord rename{"2026-12-07T14:05:09.123+01:00",
                               "Renamed",
                               "/w/caf\xe9\nnew",
                               std::string("/w/old"),
                               "/w",
                               "",
                               false,
                               0,
                               process};
    EXPECT_EQ(JournalEntry(rename, true),
              (TJournalEntry{{"MESSAGE", "14:05:09 - Renamed - $'/w/caf\\xe9\\nnew' (was /w/old)"},
                             {"MESSAGE_ID", "55c38b7a2c3444a195fea3f0cc08314d"},
                             {"PRIORITY", "6"},
                             {"SYSLOG_IDENTIFIER", "sentrel"},
                             {"SENTREL_ACTION", "Renamed"},
                             {"SENTREL_PATH", "/w/caf\xe9\nnew"},
                             {"SENTREL_OLD_PATH", "/w/old"},
                             {"SENTREL_WATCH", "/w"},
                             {"SENTREL_TIME", "2026-12-07T14:05:09.123+01:00"},
                             {"SENTREL_TYPE", "file"},
                             {"SENTREL_PID", "4242"},
                             {"SENTREL_PROCESS", "mv"},
                             {"SENTREL_EXE", "/usr/bin/mv"},
                             {"SENTREL_UID", "0"},
                             {"SENTREL_USER", "root"}}));
    EXPECT_EQ(Value(JournalEntry(rename, false), "SENTREL_PID"), "(none)") << "a process only when asked for";

    auto other = std::make_shared<TChangeProcess>(TChangeProcess{77, true, "secret", "/opt/secret", 1001, true});
    const TChangeRecord byOther{"14:05:09", "Renamed_new_name", "/w/b", std::nullopt, "/w", "", std::nullopt, 0, other};
    const TJournalEntry half = JournalEntry(byOther, true);
    EXPECT_EQ(Value(half, "SENTREL_ACTION"), "Renamed") << "a half of a rename is a rename";
    EXPECT_EQ(Value(half, "MESSAGE"), "14:05:09 - Renamed_new_name - /w/b");
    EXPECT_EQ(Value(half, "SENTREL_PID"), "77");
    for (const char* withheld : {"SENTREL_PROCESS", "SENTREL_EXE", "SENTREL_USER", "SENTREL_TYPE", "SENTREL_OLD_PATH"})
        EXPECT_EQ(Value(half, withheld), "(none)") << withheld;

    const TChangeRecord lost{"2026-12-07T14:05:09.123+01:00", "Changes_lost", "/w", std::nullopt, "/w",
                             "the system's queue overflowed"};
    const TJournalEntry note = JournalEntry(lost, true);
    EXPECT_EQ(Value(note, "PRIORITY"), "4");
    EXPECT_EQ(Value(note, "SENTREL_REASON"), "the system's queue overflowed");
    EXPECT_EQ(Value(note, "MESSAGE"), "14:05:09 - Changes_lost - /w: the system's queue overflowed");

    const TJournalEntry summary = JournalSummary("/w", 1234567, true);
    EXPECT_EQ(Value(summary, "MESSAGE"), "1,234,567 changes under /w (kept in the history)");
    EXPECT_EQ(Value(summary, "SENTREL_COUNT"), "1234567");
    EXPECT_EQ(Value(summary, "PRIORITY"), "4");
    EXPECT_EQ(Value(JournalSummary("/w", 5, false), "MESSAGE"), "5 changes under /w (not kept: the history is off)");
}

TEST(JournalEntries, EveryActionHasAnIdOfItsOwn) {
    std::set<std::string_view> ids;
    for (const TActionKind& kind : ActionKinds) {
        EXPECT_TRUE(std::regex_match(std::string(kind.MessageId), std::regex("[0-9a-f]{32}"))) << kind.Action;
        EXPECT_TRUE(ids.insert(kind.MessageId).second) << kind.Action;
    }
    EXPECT_TRUE(ids.insert(UnknownActionMessageId).second);
    const TChangeRecord unknown{"14:05:09", "Something_new", "/w/a", std::nullopt, "/w", ""};
    EXPECT_EQ(Value(JournalEntry(unknown, true), "MESSAGE_ID"), UnknownActionMessageId);
}

// A value goes as text only when it is printable UTF-8 on one line; any
// other in the binary form, its length (64 bits, little-endian) first.
TEST(JournalEntries, TheExportFormatCarriesEveryByte) {
    const std::string length14 = std::string("\x0e\0\0\0\0\0\0\0", 8);
    const struct {
        std::string Value;
        std::string Written;
    } cases[] = {
        {"/w/plain name.txt", "F=/w/plain name.txt\n"},
        {"tab\there", "F=tab\there\n"},
        {"", "F=\n"},
        {"caf\xc3\xa9", "F=caf\xc3\xa9\n"},
        {"/w/b\xff\nc\x1b[2Jxyz", "F\n" + length14 + "/w/b\xff\nc\x1b[2Jxyz\n"},
        {std::string("nul\0byte\x7fmore!", 14), "F\n" + length14 + std::string("nul\0byte\x7fmore!", 14) + "\n"},
    };
    for (const auto& [value, written] : cases) {
        const std::string entry = ExportEntry({{"F", value}}, {1796885635708840, 22293157944, "", ""});
        EXPECT_EQ(entry, "__REALTIME_TIMESTAMP=1796885635708840\n__MONOTONIC_TIMESTAMP=22293157944\n" + written + "\n")
            << value;
    }
    EXPECT_EQ(ExportEntry({}, {1, 2, "a4bbd89b9755443582b953b9cbb3ef2a", "desk"}),
              "__REALTIME_TIMESTAMP=1\n__MONOTONIC_TIMESTAMP=2\n_BOOT_ID=a4bbd89b9755443582b953b9cbb3ef2a\n"
              "_HOSTNAME=desk\n\n");
}
