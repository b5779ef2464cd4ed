#include "runtime/SysUtils.h"

#include <chrono>
#include <tuple>
#include <vector>
#include <gtest/gtest.h>

TEST(SysUtils, TrimRemovesControlCharactersAndBlanksAtBothEnds) {
    EXPECT_EQ(Trim(" \t/home/ann \r\n"), "/home/ann");
    EXPECT_EQ(Trim("\x01\x1f a b \x20"), "a b");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim("\xc3\xa9"), "\xc3\xa9");
}

TEST(SysUtils, CaseRulesTouchOnlyAsciiLetters) {
    EXPECT_EQ(UpperCase("c:\\dir\\a.txt \xc3\xa9"), "C:\\DIR\\A.TXT \xc3\xa9");
    EXPECT_TRUE(SameText("/Home/Ann", "/home/ANN"));
    EXPECT_FALSE(SameText("/home/\xc3\xa9", "/home/\xc3\x89"));
    EXPECT_FALSE(SameText("/home", "/home/"));
}

TEST(SysUtils, FormatGrowsToAnyLength) {
    std::string long_text(5000, 'x');
    EXPECT_EQ(Format("%s-%d", long_text.c_str(), 7), long_text + "-7");
}

// RFC 4648's own examples, and bytes that are not text.
TEST(SysUtils, Base64AsTheStandardGivesIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00\x80", 4), "//4AgA=="},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(Base64(bytes), text) << bytes;
}

TEST(SysUtils, TheDayOfAClockIsThatOfItsMomentInTheLastMinute) {
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    for (const int back : {0, 30, 120}) {
        const std::string stamp = LocalStampOf(now - back * int64_t{1000000000});
        const std::optional<TLocalDay> day = LocalDayOfRecentClock(stamp.substr(11, 8));
        if (back > 60) {
            EXPECT_FALSE(day) << stamp << ": a clock not read in the last minute has no known day";
            continue;
        }
        ASSERT_TRUE(day) << stamp;
        EXPECT_EQ(day->Date, stamp.substr(0, 10));
        EXPECT_EQ(day->Offset, stamp.substr(23));
    }
    EXPECT_FALSE(LocalDayOfRecentClock("not a clock"));
}

TEST(SysUtils, ContainsTextIgnoresOnlyAsciiLetterCase) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"abc", "B", true},       {"ABC", "bc", true},   {"a/b", "/B", true},   {"abc", "abcd", false},
        {"", "", true},           {"abc", "", true},     {"aXb", "xB", true},   {"ab", "b", true},
        {"aaab", "aab", true},    {"abab", "bab", true}, {"ba", "ab", false},   {"/p17/x", "/p7/", false},
        {"caf\xe9", "CAF\xc9", false}, {"x - y", " - Y", true},
    };
    for (const auto& [text, part, contains] : cases)
        EXPECT_EQ(ContainsText(text, part), contains) << "\"" << text << "\" \"" << part << "\"";
}
