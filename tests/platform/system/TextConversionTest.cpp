#include "platform/system/TextConversion.h"

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

// Linux names hold no surrogate but those that stand for bytes; Windows
// names may hold any, and each must open its file again.
TEST(TextConversion, LoneSurrogatesAsEachSystemHasThem) {
    struct TCase {
        std::u16string Wide;
        std::string Linux, Windows;
    };
    const TCase cases[] = {
        {std::u16string(1, char16_t(0xD800)) + u"a", "?a",
         "\xed\xa0\x80"
         "a"},
        {std::u16string(1, char16_t(0xDC10)), "?", "\xed\xb0\x90"},
        {std::u16string(1, char16_t(0xDC80)), "\x80", "\x80"},
        {u"a" + std::u16string(1, char16_t(0xDBFF)), "a?", "a\xed\xaf\xbf"},
        {u"", "", ""},
    };
    for (const TCase& test : cases) {
#ifdef _WIN32
        EXPECT_EQ(WideToLocal8(test.Wide), test.Windows);
        EXPECT_EQ(Local8ToWide(test.Windows), test.Wide);
#else
        EXPECT_EQ(WideToLocal8(test.Wide), test.Linux);
#endif
    }
}
