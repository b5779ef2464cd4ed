#include "runtime/SysUtils.h"

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
