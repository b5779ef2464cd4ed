#include "platform/TextConversion.h"

#include <gtest/gtest.h>

TEST(TextConversion, ValidTextConvertsBothWays) {
    const std::string text = "dir/\xc3\xa9t\xc3\xa9/\xe2\x82\xac \xf0\x9f\x98\x80.txt";
    std::u16string wide = Local8ToWide(text);
    EXPECT_EQ(wide, u"dir/\u00e9t\u00e9/\u20ac \U0001F600.txt");
    EXPECT_EQ(WideToLocal8(wide), text);
}

TEST(TextConversion, BytesThatAreNotUtf8SurviveTheRoundTrip) {
    // Latin-1 names, a truncated sequence, an overlong form, an encoded surrogate.
    for (std::string name : {std::string("caf\xe9.txt"), std::string("a\xc3"), std::string("\xc0\xaf"),
                             std::string("\xed\xa0\x80x"), std::string("\xff\xfe")}) {
        EXPECT_EQ(WideToLocal8(Local8ToWide(name)), name);
    }
}

TEST(TextConversion, ForeignLoneSurrogatesBecomeQuestionMarks) {
    EXPECT_EQ(WideToLocal8(std::u16string(1, char16_t(0xD800)) + u"a"), "?a");
    EXPECT_EQ(WideToLocal8(std::u16string(1, char16_t(0xDC10))), "?");
    EXPECT_EQ(WideToLocal8(u""), "");
}
