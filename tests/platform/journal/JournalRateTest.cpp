#include "platform/journal/JournalWriter.h"

#include <gtest/gtest.h>

// At two a second: the first two changes of a second go, whichever
// folders they are of; the rest are counted per folder and given once
// their second is over, however many seconds pass before anyone asks.
TEST(JournalRate, PastTheRateChangesAreCountedPerFolderAndSecond) {
    TJournalRate rate(2);
    const struct {
        const char* Folder;
        int64_t Second;
        bool Sent;
    } changes[] = {
        {"/a", 10, true},  {"/b", 10, true}, {"/a", 10, false}, {"/b", 10, false},
        {"/a", 10, false}, {"/a", 11, true}, {"/a", 11, true},  {"/b", 11, false},
    };
    for (const auto& change : changes)
        EXPECT_EQ(rate.Admit(change.Folder, change.Second), change.Sent) << change.Folder << " " << change.Second;
    EXPECT_EQ(rate.DueAt(), 11);
    EXPECT_TRUE(rate.Withheld(10).empty()) << "the second is not over";
    EXPECT_EQ(rate.Withheld(12), (std::map<std::string, uint64_t>{{"/a", 2}, {"/b", 2}}));
    EXPECT_TRUE(rate.Withheld(13).empty()) << "given once";
    EXPECT_EQ(rate.DueAt(), std::nullopt);

    rate.Withhold("/c", 5, 20);
    EXPECT_EQ(rate.DueAt(), 21);
    EXPECT_EQ(rate.Withheld(21), (std::map<std::string, uint64_t>{{"/c", 5}}));
}
