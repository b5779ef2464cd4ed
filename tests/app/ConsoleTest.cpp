// The console run as people run it: the real program, a real folder, real
// signals and pipes, and its output read as a script reads it.
#include "Testing.h"
#include "ProgramProcess.h"

#include <QElapsedTimer>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>

namespace {
// What the console tells once a folder is watched, with this run's interface.
std::string Watching(const std::string& folder, const std::string& folders) {
    const std::string how = FanotifyServes(folder) ? "watched by fanotify"
                                                   : folders + " watched by inotify: chosen by SENTREL_CHANGE_BACKEND";
    return "watching " + folder + " (" + how + ")";
}

// The lines without their times, each checked to begin with one.
std::vector<std::string> WithoutTime(const std::vector<std::string>& lines) {
    static const std::regex time("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9] - ");
    std::vector<std::string> result;
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_search(line, time)) << line;
        result.push_back(line.substr(11));
    }
    return result;
}
} // namespace

TEST(ConsoleCommandLine, HelpVersionAndMistakesNeedNoDisplay) {
    TProgram help({"--help"});
    EXPECT_EQ(help.Finish(), 0);
    EXPECT_NE(help.Output().find("--console"), std::string::npos);
    EXPECT_NE(help.Output().find("Exit codes:"), std::string::npos);
    EXPECT_NE(help.Output().find("sentrel/sentrel.ini"), std::string::npos);

    TProgram version({"--version"});
    EXPECT_EQ(version.Finish(), 0);
    EXPECT_TRUE(std::regex_match(version.Output(), std::regex("Sentrel [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.Output();

    TProgram unknown({"--bogus"});
    EXPECT_EQ(unknown.Finish(), 2);
    EXPECT_NE(unknown.Error().find("unknown option --bogus"), std::string::npos) << unknown.Error();
    EXPECT_TRUE(unknown.Output().empty());

    TTempDir dir;
    TProgram missing({"--console", dir / "missing"});
    EXPECT_EQ(missing.Finish(), 2);
    EXPECT_NE(missing.Error().find("there is no folder " + dir / "missing"), std::string::npos) << missing.Error();

    TProgram window({dir.Path()});
    EXPECT_EQ(window.Finish(), 1);
    EXPECT_NE(window.Error().find("needs a graphical desktop"), std::string::npos) << window.Error();
}

// The settings file hides a file type and a folder; what is left comes out
// as the window lists it, in order, and the file is read, never written.
TEST(Console, PrintsEveryChangeTheSettingsLetThroughAndEndsOnSigterm) {
    TTempDir dir, settingsDir;
    dir.MakeDir("skip");
    dir.WriteFile("skip/c.txt");
    const std::string settings = settingsDir / "sentrel.ini";
    const std::string settingsText =
        "[ExcludedDirs]\n0=" + dir / "skip/" + "\n[ExcludedFileTypes]\n0=*.TMP\n[Misc]\nMinimize=T\n";
    std::ofstream(settings, std::ios::binary) << settingsText;

    TProgram console({"--console", "--settings", settings, dir.Path()});
    ASSERT_TRUE(console.WaitForError(Watching(dir.Path(), "2 folders"))) << console.Error();
    dir.WriteFile("a.txt");
    dir.WriteFile("b.tmp");
    dir.WriteFile("skip/c.txt", "changed");
    std::filesystem::rename(dir / "a.txt", dir / "d.txt");
    std::filesystem::remove(dir / "d.txt");
    ASSERT_TRUE(console.WaitForLineEnding("Removed - " + dir / "d.txt")) << console.Output();

    QElapsedTimer stopping;
    stopping.start();
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0) << console.Error();
    const qint64 elapsed = stopping.elapsed();
    std::printf("SIGTERM to the end of the console: %lld ms\n", static_cast<long long>(elapsed));
    EXPECT_LT(elapsed, 2000);

    EXPECT_EQ(WithoutTime(console.Lines()), (std::vector<std::string>{
                                                "Added - " + dir / "a.txt",
                                                "Modified - " + dir / "a.txt",
                                                "Renamed_old_name - " + dir / "a.txt",
                                                "Renamed_new_name - " + dir / "d.txt",
                                                "Removed - " + dir / "d.txt",
                                            }));
    EXPECT_EQ(ReadAll(settings), settingsText);
    EXPECT_EQ(std::filesystem::directory_iterator(settingsDir.Path())->path(), settings) << "nothing beside it";
}

TEST(Console, CtrlCEndsItWithSuccessToo) {
    TTempDir dir, settingsDir;
    settingsDir.WriteFile("empty.ini", "");
    TProgram console({"--console", "--verbose", "--settings", settingsDir / "empty.ini", dir.Path(), dir.Path()});
    ASSERT_TRUE(console.WaitForError("watching " + dir.Path())) << console.Error();
    console.Signal(SIGINT);
    EXPECT_EQ(console.Finish(), 0);
    EXPECT_EQ(console.Error(), "sentrel: " + Watching(dir.Path(), "1 folder") + "\n")
        << "a folder named twice is watched once";
}

// As in "sentrel --console DIR | head -n 1": once the reader has gone, the
// next line ends the console, with no complaint.
TEST(Console, AReaderThatLeavesEndsItQuietly) {
    TTempDir dir, settingsDir;
    settingsDir.WriteFile("empty.ini", "");
    QProcess head;
    TProgram console({"--console", "--settings", settingsDir / "empty.ini", dir.Path()}, &head);
    head.start(QStringLiteral("head"), {QStringLiteral("-n"), QStringLiteral("1")});
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
    dir.WriteFile("first");
    ASSERT_TRUE(ProcessEventsUntil([&] { return head.state() == QProcess::NotRunning; }));
    EXPECT_EQ(WithoutTime({head.readAllStandardOutput().trimmed().toStdString()}),
              std::vector<std::string>{"Added - " + dir / "first"});
    dir.WriteFile("second");
    EXPECT_EQ(console.Finish(), 0);
    EXPECT_EQ(console.Error(), "sentrel: " + Watching(dir.Path(), "1 folder") + "\n");
}

TEST(Console, AWatchThatFailsEndsItWithTheEnginesMessage) {
    TTempDir parent, settingsDir;
    settingsDir.WriteFile("empty.ini", "");
    parent.MakeDir("watched");
    TProgram console({"--console", "--settings", settingsDir / "empty.ini", parent / "watched"});
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
    std::filesystem::remove(parent / "watched");
    EXPECT_EQ(console.Finish(), 1);
    EXPECT_NE(console.Error().find(parent / "watched"), std::string::npos) << console.Error();
    EXPECT_EQ(console.Error().find('\r'), std::string::npos) << "lines end as on this system";
}
