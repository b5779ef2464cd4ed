#include "Testing.h"

#include "platform/desktop/ProcessStart.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>

namespace {
using TWords = std::vector<std::string>;

struct TSplitCase {
    std::string Text;
    std::optional<TWords> Words;
};

// The real system in place of the tests' standing answer, for one test.
class TRealProcessStart {
public:
    TRealProcessStart() { SetProcessStartAnswer({}); }
    ~TRealProcessStart() {
        SetProcessStartAnswer([](const TWords&) { return true; });
    }
};
} // namespace

TEST(ProcessStart, CommandTextsSplitAsAShellSplitsWords) {
    const std::vector<TSplitCase> cases = {
        {"", TWords{}},
        {"  \t ", TWords{}},
        {"hexedit", TWords{"hexedit"}},
        {"  hexedit   -r\t/tmp/a ", TWords{"hexedit", "-r", "/tmp/a"}},
        {"'/opt/my editor/hx' --view", TWords{"/opt/my editor/hx", "--view"}},
        {"\"/opt/my editor/hx\"", TWords{"/opt/my editor/hx"}},
        {"/opt/my\\ editor/hx", TWords{"/opt/my editor/hx"}},
        {"a'b c'\"d e\"f", TWords{"ab cd ef"}},
        {"'' x", TWords{"", "x"}},
        {"'a\\b\"c'", TWords{"a\\b\"c"}},
        {"\"a\\\"b \\$x \\q\"", TWords{"a\"b $x \\q"}},
        {"hx;rm -rf x", TWords{"hx;rm", "-rf", "x"}},
        {"hx $(id) `id` $HOME ~ *", TWords{"hx", "$(id)", "`id`", "$HOME", "~", "*"}},
        {"a\\\nb", TWords{"ab"}},
        {"'open", std::nullopt},
        {"\"open", std::nullopt},
        {"\"a\\\"", std::nullopt},
    };
    for (const TSplitCase& test : cases)
        EXPECT_EQ(SplitCommandWords(test.Text), test.Words) << test.Text;
}

// A program picked in a file dialog is stored with its blanks, unquoted.
TEST(ProcessStart, ASettingThatNamesAFileIsTheProgramWhole) {
    TTempDir dir;
    dir.WriteFile("hex editor");
    EXPECT_EQ(CommandWords(dir / "hex editor"), TWords{dir / "hex editor"});
    EXPECT_EQ(CommandWords(dir / "hex editor -r"), (TWords{dir / "hex", "editor", "-r"}));
    EXPECT_EQ(CommandWords("'" + dir.Path() + "' -r"), (TWords{dir.Path(), "-r"})) << "a folder is no program";
}

TEST(ProcessStart, WhatCannotStartSaysWhy) {
    TRealProcessStart real;
    TTempDir dir;
    dir.WriteFile("not-a-program", "just text");
    std::filesystem::permissions(dir / "not-a-program", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::string reason;
    EXPECT_FALSE(StartProcess({}, &reason));
    EXPECT_EQ(reason, "no program is given");
    EXPECT_FALSE(StartProcess({"", "/tmp/a"}, &reason));
    EXPECT_EQ(reason, "no program is given");
    EXPECT_FALSE(StartProcess({dir / "missing", "/tmp/a"}, &reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_FALSE(StartProcess({"sentrel-no-such-program-here"}, &reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_FALSE(StartProcess({dir / "not-a-program"}, &reason));
    EXPECT_EQ(reason, "Permission denied");
    EXPECT_FALSE(StartProcess({dir.Path()}, &reason));
    EXPECT_EQ(reason, "Permission denied");
    EXPECT_TRUE(StartProcess({"true"}, &reason));
}

TEST(ProcessStart, AnAnswerReceivesTheCommandInsteadOfTheSystem) {
    std::vector<TWords> started;
    SetProcessStartAnswer([&started](const TWords& command) {
        started.push_back(command);
        return false;
    });
    EXPECT_FALSE(StartProcess({"sentrel-no-such-program-here", "a b"}));
    SetProcessStartAnswer([](const TWords&) { return true; });
    EXPECT_EQ(started, std::vector<TWords>{TWords({"sentrel-no-such-program-here", "a b"})});
}
