// The console run as people run it: the real program, a real folder, real
// signals and pipes, and its output read as a script reads it.
#include "ConsoleTesting.h"
#include "ProgramProcess.h"
#include "Testing.h"

#include "records/PathText.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <unistd.h>

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

// The settings file hides a file type, a folder and the folders of a name,
// which are not watched either; what is left comes out as the window lists
// it, in order, and the file is read, never written.
TEST(Console, PrintsEveryChangeTheSettingsLetThroughAndEndsOnSigterm) {
    TTempDir dir, settingsDir;
    dir.MakeDir("skip");
    dir.WriteFile("skip/c.txt");
    dir.MakeDir("keep/.cache/deep");
    const std::string settings = settingsDir / "sentrel.ini";
    const std::string settingsText = "[ExcludedDirs]\n0=" + dir / "skip/" +
                                     "\n[ExcludedFolderNames]\n0=.cache\n[ExcludedFileTypes]\n0=*.TMP\n"
                                     "[Misc]\nMinimize=T\n";
    std::ofstream(settings, std::ios::binary) << settingsText;

    TProgram console({"--console", "--settings", settings, dir.Path()});
    ASSERT_TRUE(console.WaitForError(Watching(dir.Path(), "2 folders"))) << console.Error();
    dir.WriteFile("a.txt");
    dir.WriteFile("b.tmp");
    dir.WriteFile("skip/c.txt", "changed");
    dir.WriteFile("keep/.cache/deep/e");
    std::filesystem::rename(dir / "a.txt", dir / "d.txt");
    std::filesystem::remove(dir / "d.txt");
    ASSERT_TRUE(console.WaitForLineEnding("Removed - " + dir / "d.txt")) << console.Output();

    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0) << console.Error();

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

namespace {
// A path in a JSON record of either record format: readable, or as its
// bytes where it is not UTF-8; and whether it is a folder.
std::pair<std::string, bool> PathOfRecord(const QJsonObject& object, const std::string& format) {
    const bool ecs = format == "ecs";
    const QJsonObject file = ecs ? object["file"].toObject() : object;
    const QJsonObject exact = ecs ? object["sentrel"].toObject() : object;
    const std::string path = exact.contains(QStringLiteral("path_base64"))
                                 ? QByteArray::fromBase64(exact["path_base64"].toString().toLatin1()).toStdString()
                                 : file["path"].toString().toStdString();
    EXPECT_TRUE(ecs ? file["type"].isString() : file["is_folder"].isBool());
    return {path, ecs ? file["type"].toString() == QStringLiteral("dir") : file["is_folder"].toBool()};
}
} // namespace

// A name may hold a line break and a forged line, terminal controls or
// bytes that are not UTF-8: each change is one line all the same, which
// reads back to the real path, in every format.
TEST(Console, OddNamesGiveOneLineEachInEveryFormat) {
    for (const std::string format : {"text", "json", "ecs"}) {
        TTempDir dir, settingsDir;
        settingsDir.WriteFile("empty.ini", "");
        TProgram console({"--console", "--format", format, "--settings", settingsDir / "empty.ini", dir.Path()});
        ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
        const std::string forged = dir / "x\n12:00:00 - Removed - ";
        std::filesystem::create_directories(forged + "/etc");
        const std::set<std::string> made = {
            forged,          forged + "/etc", forged + "/etc/passwd", dir / "\x1b[2J\x1b]0;t\x07",
            dir / "caf\xe9", dir / "last"};
        for (const std::string& path :
             {forged + "/etc/passwd", dir / "\x1b[2J\x1b]0;t\x07", dir / "caf\xe9", dir / "last"})
            std::ofstream(path) << "x";
        std::set<std::string> listed, folders;
        auto readLines = [&] {
            listed.clear();
            folders.clear();
            for (const std::string& line : console.Lines()) {
                if (format == "text") {
                    static const std::regex change(R"(^\d\d:\d\d:\d\d - (Added|Modified) - (.*)$)");
                    std::smatch parts;
                    EXPECT_TRUE(std::regex_match(line, parts, change)) << line;
                    listed.insert(PathOfShown(parts[2].str()));
                    continue;
                }
                const QJsonDocument record = QJsonDocument::fromJson(QByteArray::fromStdString(line));
                EXPECT_TRUE(record.isObject()) << line;
                const auto [path, folder] = PathOfRecord(record.object(), format);
                listed.insert(path);
                if (folder)
                    folders.insert(path);
            }
            return listed.count(dir / "last") > 0;
        };
        ASSERT_TRUE(ProcessEventsUntil(readLines)) << console.Output();
        EXPECT_EQ(listed, made) << format;
        if (format != "text") {
            EXPECT_EQ(folders, (std::set<std::string>{forged, forged + "/etc"})) << format;
        }
        EXPECT_EQ(console.Output().find('\x1b'), std::string::npos);
        console.Signal(SIGTERM);
        EXPECT_EQ(console.Finish(), 0);
    }
}

// The console program of its own takes the arguments of "sentrel
// --console" and lists as it does, with no Qt library in its memory.
TEST(Console, TheConsoleProgramListsWithoutTheToolkit) {
    TTempDir dir, settingsDir;
    settingsDir.WriteFile("hide.ini", "[ExcludedFileTypes]\n0=*.tmp\n");
    const std::vector<std::string> program = {SENTREL_CONSOLE_PROGRAM};
    TProgram console({"--settings", settingsDir / "hide.ini", dir.Path()}, nullptr, "", "", program);
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
    std::ofstream(dir / "a.tmp") << "x";
    std::ofstream(dir / "a.txt") << "x";
    ASSERT_TRUE(console.WaitForLineEnding("Modified - " + dir / "a.txt")) << console.Output() << console.Error();
    EXPECT_EQ(console.Output().find("a.tmp"), std::string::npos) << "the settings' exclusions hold";
    std::ifstream maps("/proc/" + std::to_string(console.Pid()) + "/maps");
    const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(mapped.empty());
    EXPECT_EQ(mapped.find("libQt"), std::string::npos) << mapped;
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0) << console.Error();

    TProgram version({"--version"}, nullptr, "", "", program);
    EXPECT_EQ(version.Finish(), 0);
    EXPECT_TRUE(version.Output().starts_with("Sentrel ")) << version.Output();
}

// A reader that takes nothing holds neither the changes nor a stop.
// With --process a change line names its process between its action and
// its path, the name's blanks escaped, so that nothing in it reads as a
// separator; in JSON as the record's "process". A watch that cannot tell
// says so.
TEST(Console, NamesTheProcessOfEachChangeWhenAsked) {
    TTempDir programs;
    const std::string writer = programs / "odd - writer";
    std::filesystem::copy_file("/bin/sh", writer);
    for (const std::string format : {"text", "json"}) {
        TTempDir dir, settingsDir;
        settingsDir.WriteFile("empty.ini", "");
        TProgram console(
            {"--console", "--process", "--format", format, "--settings", settingsDir / "empty.ini", dir.Path()});
        ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
        const bool known = FanotifyServes(dir.Path()) && ::geteuid() == 0;
        // It waits before it writes: a process that ends a moment after it
        // starts may end before it can be named.
        ASSERT_EQ(std::system(("'" + writer + "' -c 'sleep 0.2; : > " + dir / "a.txt'").c_str()), 0);
        ASSERT_TRUE(ProcessEventsUntil([&] { return !console.Lines().empty(); })) << console.Error();
        const std::string line = console.Lines().front();
        if (format == "text") {
            const std::string process =
                known ? R"(\[odd\\x20-\\x20writer pid \d+ user root\])" : R"(\[process unknown\])";
            EXPECT_TRUE(std::regex_match(WithoutTime({line}).front(),
                                         std::regex("Added - " + process + " - " + dir.Path() + "/a\\.txt")))
                << line;
            continue;
        }
        const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        const QJsonObject process = record.value(QStringLiteral("process")).toObject();
        EXPECT_EQ(process.value(QStringLiteral("command")).toString().toStdString(), known ? "odd - writer" : "")
            << line;
        EXPECT_EQ(process.value(QStringLiteral("executable")).toString().toStdString(), known ? writer : "") << line;
        EXPECT_EQ(process.contains(QStringLiteral("pid")), known) << line;
    }
}

TEST(Console, AReaderThatStopsReadingDoesNotHoldAStop) {
    TTempDir dir, settingsDir;
    settingsDir.WriteFile("empty.ini", "");
    QProcess stuck;
    TProgram console({"--console", "--settings", settingsDir / "empty.ini", dir.Path()}, &stuck);
    stuck.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
    for (int i = 0; i < 5000; ++i)
        dir.WriteFile("a rather long name for a file, to fill the pipe sooner " + std::to_string(i));
    // A stop the reader held would never end: any bound far beyond a stop's
    // own time tells it, however loaded the machine.
    QElapsedTimer stopping;
    stopping.start();
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0) << console.Error();
    EXPECT_LT(stopping.elapsed(), 30000) << "the stop waited for the reader";
    stuck.kill();
    stuck.waitForFinished();
}

// Output sent to a file in the watched tree would list its own writes
// without end.
TEST(Console, ItsOwnOutputFileIsNotListed) {
    TTempDir dir, settingsDir;
    settingsDir.WriteFile("empty.ini", "");
    const std::string output = dir / "changes.log";
    TProgram console({"--console", "--settings", settingsDir / "empty.ini", dir.Path()}, nullptr, "", output);
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
    EXPECT_NE(console.Error().find("not listing the changes of " + output), std::string::npos) << console.Error();
    dir.WriteFile("a.txt");
    ASSERT_TRUE(ProcessEventsUntil([&] { return ReadAll(output).find("a.txt") != std::string::npos; }));
    ProcessEventsFor(std::chrono::milliseconds(300));
    EXPECT_EQ(ReadAll(output).find("changes.log"), std::string::npos) << ReadAll(output);

    // Rotated away, it is still the console's output, under its new name.
    std::filesystem::rename(output, output + ".1");
    dir.WriteFile("b.txt");
    ASSERT_TRUE(ProcessEventsUntil([&] { return ReadAll(output + ".1").find("b.txt") != std::string::npos; }));
    ProcessEventsFor(std::chrono::milliseconds(300));
    const std::string lines = ReadAll(output + ".1");
    EXPECT_NE(lines.find("Renamed_new_name - " + output + ".1\n"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Modified - " + output), std::string::npos) << lines;
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0);
}

// A rename half whose other half the settings hide is a record of its own,
// never paired with the next rename's other half.
TEST(Console, RenameHalvesPairOnlyWithTheirOwnOtherHalf) {
    TTempDir dir, settingsDir;
    settingsDir.WriteFile("hide.ini", "[ExcludedFileTypes]\n0=*.bak\n1=*.tmp\n");
    dir.WriteFile("f.txt");
    dir.WriteFile("f.txt.tmp");
    TProgram console({"--console", "--format", "json", "--settings", settingsDir / "hide.ini", dir.Path()});
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
    std::filesystem::rename(dir / "f.txt", dir / "f.txt.bak");
    std::filesystem::rename(dir / "f.txt.tmp", dir / "f.txt");
    dir.WriteFile("last");
    ASSERT_TRUE(ProcessEventsUntil([&] { return console.Output().find("last") != std::string::npos; }));
    std::vector<std::string> renames;
    for (const std::string& line : console.Lines()) {
        const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        const std::string action = record.value(QStringLiteral("action")).toString().toStdString();
        if (action.starts_with("Renamed"))
            renames.push_back(action + " " + record.value(QStringLiteral("path")).toString().toStdString());
    }
    EXPECT_EQ(renames,
              (std::vector<std::string>{"Renamed_old_name " + dir / "f.txt", "Renamed_new_name " + dir / "f.txt"}));
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0);
}
