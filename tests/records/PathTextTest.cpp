#include "records/PathText.h"

#include <gtest/gtest.h>

namespace {
struct TShownCase {
    std::string Path, Shown;
};

// What each kind of name looks like in a line, and that it reads back as
// the same bytes.
TEST(PathText, OddNamesAreQuotedAndReadBackByteForByte) {
    const std::vector<TShownCase> cases = {
        {"/home/ann/a.txt", "/home/ann/a.txt"},
        {"/w/caf\xc3\xa9 - \\ 'x' \"y\" $HOME", "/w/caf\xc3\xa9 - \\ 'x' \"y\" $HOME"},
        {"/w/x\n12:00:00 - Removed - /etc/passwd", "$'/w/x\\n12:00:00 - Removed - /etc/passwd'"},
        {"/w/\x1b]0;title\x07", "$'/w/\\e]0;title\\a'"},
        {"/w/caf\xe9", "$'/w/caf\\xe9'"},
        {"/w/\xc2\x85next", "$'/w/\\xc2\\x85next'"},
        {"/w/line\xe2\x80\xa8sep", "$'/w/line\\xe2\\x80\\xa8sep'"},
        {"/w/\xe2\x80\xaetxt.exe", "$'/w/\\xe2\\x80\\xaetxt.exe'"},
        {"/w/it's\\\t", "$'/w/it\\'s\\\\\\t'"},
        {"/w/\x7f\x01\r", "$'/w/\\x7f\\x01\\r'"},
        {"/w/\xef\xbb\xbf" "a\xe2\x80\x8b", "$'/w/\\xef\\xbb\\xbfa\\xe2\\x80\\x8b'"},
        {"$'/w/a'", "$'$\\'/w/a\\''"},
        {"$'", "$'$\\''"},
    };
    for (const auto& [path, shown] : cases) {
        EXPECT_EQ(ShownPath(path), shown) << path;
        EXPECT_EQ(PathOfShown(shown), path) << shown;
    }
}

TEST(PathText, EveryByteValueReadsBackAndLeavesNoControlInTheLine) {
    for (int byte = 1; byte < 256; ++byte) {
        const std::string path = "/w/a" + std::string(1, static_cast<char>(byte)) + "b";
        const std::string shown = ShownPath(path);
        EXPECT_EQ(PathOfShown(shown), path) << byte;
        for (unsigned char c : shown)
            EXPECT_TRUE(c >= 0x20 && c != 0x7f) << byte;
    }
}

TEST(PathText, TextThatNoQuotingMadeIsTakenAsItStands) {
    for (const std::string text : {"$'", "$'a", "$'a'b'", "$'\\q'", "$'\\x4'", "$'\\'", "/w/$'a'"})
        EXPECT_EQ(PathOfShown(text), text);
}

TEST(PathText, MessagesKeepTheirLinesAndLoseTheirControls) {
    EXPECT_EQ(ShownMessage("cannot watch /w/\x1b[2Jx:\nNo such file"), "cannot watch /w/\\x1b[2Jx:\nNo such file");
    EXPECT_EQ(ShownMessage("caf\xc3\xa9 \xff"), "caf\xc3\xa9 \\xff");
}
} // namespace

// A hint's lines hold at most so many characters; a character of several
// bytes is never cut, and nothing is added but the breaks.
TEST(PathText, AWrappedPathBreaksBetweenCharactersOnly) {
    const struct {
        const char* Shown;
        size_t Width;
        const char* Wrapped;
    } cases[] = {
        {"", 3, ""},
        {"/ab", 3, "/ab"},
        {"/abc", 3, "/ab\nc"},
        {"/\xc3\xa9\xc3\xa9\xc3\xa9", 2, "/\xc3\xa9\n\xc3\xa9\xc3\xa9"},
        {"/a\xe2\x80\x8b" "b", 2, "/a\n\xe2\x80\x8b" "b"},
    };
    for (const auto& [shown, width, wrapped] : cases)
        EXPECT_EQ(WrappedPath(shown, width), wrapped) << shown;
}
