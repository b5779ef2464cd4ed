#include "settings/SettingsMerge.h"

#include <gtest/gtest.h>

namespace {
using TList = std::vector<std::string>;

struct TListCase {
    const char* What;
    TList Base, OnDisk, Ours, Merged;
};
} // namespace

TEST(SettingsMerge, ListsKeepTheChangesOfBothSides) {
    const TListCase cases[] = {
        {"nothing changed", {"a", "b"}, {"a", "b"}, {"a", "b"}, {"a", "b"}},
        {"only the window changed, order and all", {"a", "b"}, {"a", "b"}, {"b", "a", "c"}, {"b", "a", "c"}},
        {"only the file changed", {"a", "b"}, {"c", "a"}, {"a", "b"}, {"c", "a"}},
        {"both added", {"a"}, {"a", "theirs"}, {"a", "mine"}, {"a", "theirs", "mine"}},
        {"both added the same", {"a"}, {"a", "x"}, {"a", "x"}, {"a", "x"}},
        {"the window removed, the file added", {"a", "b"}, {"a", "b", "c"}, {"b"}, {"b", "c"}},
        {"the file removed, the window added", {"a", "b"}, {"b"}, {"a", "b", "c"}, {"b", "c"}},
        {"both removed the same", {"a", "b"}, {"b"}, {"b", "c"}, {"b", "c"}},
        {"a duplicate the window added", {"a"}, {"a", "z"}, {"a", "a"}, {"a", "z", "a"}},
        {"an empty entry dropped at load", {"", "a"}, {"", "a", "t"}, {"a"}, {"a", "t"}},
    };
    for (const TListCase& c : cases)
        EXPECT_EQ(MergeList(c.Base, c.OnDisk, c.Ours), c.Merged) << c.What;
}

TEST(SettingsMerge, SectionsMergeListsByEntryAndKeysByValue) {
    const TIniSections base{{"WatchDirs", {"0=/a", "1=/b"}}, {"Misc", {"Minimize=F", "HexEditor=/old"}}};
    const TIniSections onDisk{{"watchdirs", {"1=/b", "5=/c"}}, {"MISC", {"Minimize=T", "HexEditor=/old", "Extra=1"}}};
    const std::vector<TUtilObj::TSectionWrite> ours{{"WatchDirs", {"/a", "/b", "/d"}, true},
                                                    {"Misc", {"Minimize=F", "HexEditor=/new"}, false},
                                                    {"Layout", {"Top=5"}, false}};
    const auto merged = MergeSettings(base, onDisk, ours);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[0].Lines, (TList{"/b", "/c", "/d"})) << "the file removed /a and added /c, the window added /d";
    EXPECT_TRUE(merged[0].Numbered);
    EXPECT_EQ(merged[1].Lines, (TList{"Minimize=T", "HexEditor=/new"}))
        << "each key from the side that changed it; keys the program does not write are dropped";
    EXPECT_EQ(merged[2].Lines, TList{"Top=5"}) << "a section the file never had is the window's";
}
