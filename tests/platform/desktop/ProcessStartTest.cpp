#include "Testing.h"

#include "platform/desktop/ProcessStart.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>

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

// A real start: the program gets each word byte for byte (no shell reads
// them) and runs in a session of its own.
TEST(ProcessStart, TheProgramReceivesEveryWordAsItIsInASessionOfItsOwn) {
    TRealProcessStart real;
    TTempDir dir;
    const std::string told = dir / "told", done = dir / "done";
    const TWords words = {"a b", "$(touch " + dir / "ran" + ")", ";", "caf\xe9", "'\"", ""};
    TWords command = {"/bin/sh", "-c",
                      "printf '%s\\n' \"$@\" > \"$0\"; awk '{print $6}' /proc/$$/stat >> \"$0\"; : > " + done, told};
    command.insert(command.end(), words.begin(), words.end());
    std::string reason;
    ASSERT_TRUE(StartProcess(command, &reason)) << reason;
    for (int wait = 0; wait < 1000 && !std::filesystem::exists(done); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(done)) << "the program never ran";
    std::ifstream text(told);
    TWords received;
    for (std::string line; std::getline(text, line);)
        received.push_back(line);
    ASSERT_EQ(received.size(), words.size() + 1);
    EXPECT_EQ(TWords(received.begin(), received.end() - 1), words);
    EXPECT_NE(received.back(), std::to_string(::getsid(0))) << "the program shares this one's session";
    EXPECT_FALSE(std::filesystem::exists(dir / "ran")) << "a word was run as a command";
}
