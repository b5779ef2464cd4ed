// The console run as people run it: the real program, a real folder, real
// signals and pipes, and its output read as a script reads it.
#include "ConsoleTesting.h"
#include "ProgramProcess.h"
#include "Testing.h"

#include "history/HistoryStore.h"
#include "platform/system/FileDescriptor.h"
#include "records/PathText.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <thread>
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

namespace {
// The programs started while it lives keep their history in folder.
struct THistoryIn : TEnvironmentScope {
    explicit THistoryIn(const std::string& folder) : TEnvironmentScope("XDG_STATE_HOME", folder) {}
};

std::vector<std::string> WithoutDate(const std::vector<std::string>& lines) {
    static const std::regex date("^20[0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] - ");
    std::vector<std::string> result;
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_search(line, date)) << line;
        result.push_back(std::regex_replace(line, date, ""));
    }
    return result;
}
} // namespace

// What the console listed is kept, a rename as one record, and printed
// again later with its date; the history's own files, here inside the
// watched folder, are never listed.
TEST(Console, KeepsWhatItListsInTheHistoryAndPrintsItAgain) {
    TTempDir dir, settingsDir;
    settingsDir.WriteFile("empty.ini", "");
    const std::string settings = settingsDir / "empty.ini";
    THistoryIn history(dir / "state");
    {
        TProgram console({"--console", "--settings", settings, dir.Path()});
        ASSERT_TRUE(console.WaitForError("watching " + dir.Path())) << console.Error();
        dir.WriteFile("a.txt");
        std::filesystem::rename(dir / "a.txt", dir / "b.txt");
        ASSERT_TRUE(console.WaitForLineEnding("Renamed_new_name - " + dir / "b.txt")) << console.Output();
        ProcessEventsFor(std::chrono::milliseconds(600));
        console.Signal(SIGTERM);
        ASSERT_EQ(console.Finish(), 0) << console.Error();
        for (const std::string& line : console.Lines())
            EXPECT_EQ(line.find("history.db"), std::string::npos) << line;
    }
    TProgram text({"--console", "--settings", settings, "--history"});
    ASSERT_EQ(text.Finish(), 0) << text.Error();
    const std::vector<std::string> kept = WithoutDate(text.Lines());
    EXPECT_NE(std::find(kept.begin(), kept.end(), "Added - " + dir / "a.txt"), kept.end());
    const auto renamed = std::find(kept.begin(), kept.end(), "Renamed_old_name - " + dir / "a.txt");
    ASSERT_NE(renamed, kept.end());
    ASSERT_NE(renamed + 1, kept.end());
    EXPECT_EQ(renamed[1], "Renamed_new_name - " + dir / "b.txt") << "a rename's two lines, as the console lists them";

    TProgram json({"--console", "--settings", settings, "--history", "--format", "json", "--since", "1h", "b.txt"});
    ASSERT_EQ(json.Finish(), 0) << json.Error();
    ASSERT_EQ(json.Lines().size(), 1u) << json.Output();
    const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(json.Lines()[0])).object();
    EXPECT_EQ(record["action"].toString().toStdString(), "Renamed") << "a rename is one record";
    EXPECT_EQ(record["old_path"].toString().toStdString(), dir / "a.txt");
    EXPECT_EQ(record["path"].toString().toStdString(), dir / "b.txt");

    TProgram ecs({"--console", "--settings", settings, "--history", "--format", "ecs", "--since", "1h", "b.txt"});
    ASSERT_EQ(ecs.Finish(), 0) << ecs.Error();
    ASSERT_EQ(ecs.Lines().size(), 1u) << ecs.Output();
    const QJsonObject fields = QJsonDocument::fromJson(QByteArray::fromStdString(ecs.Lines()[0])).object();
    EXPECT_EQ(fields["event"]["action"].toString().toStdString(), "rename") << ecs.Lines()[0];
    EXPECT_EQ(fields["file"]["Ext"]["original"]["path"].toString().toStdString(), dir / "a.txt");
    EXPECT_EQ(fields["file"]["path"].toString().toStdString(), dir / "b.txt");
    EXPECT_FALSE(fields["host"]["name"].toString().isEmpty()) << ecs.Lines()[0];

    TProgram none({"--console", "--settings", settings, "--history", "--until", "2000-01-01"});
    EXPECT_EQ(none.Finish(), 0);
    EXPECT_EQ(none.Lines(), std::vector<std::string>{});

    TProgram again({"--console", "--settings", settings, "--since", "today", dir.Path()});
    ASSERT_TRUE(again.WaitForLineEnding("Renamed_new_name - " + dir / "b.txt")) << again.Output();
    EXPECT_TRUE(again.WaitForError("watching " + dir.Path())) << "what was kept since, then the live watch";
}

// With the history off, no file is written.
TEST(Console, KeepsNoHistoryWhenTheSettingsSaySo) {
    TTempDir dir, settingsDir, state;
    settingsDir.WriteFile("off.ini", "[History]\nKeep=F\n");
    THistoryIn history(state.Path());
    TProgram console({"--console", "--settings", settingsDir / "off.ini", dir.Path()});
    ASSERT_TRUE(console.WaitForError("watching " + dir.Path())) << console.Error();
    dir.WriteFile("a.txt");
    ASSERT_TRUE(console.WaitForLineEnding("Added - " + dir / "a.txt"));
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0);
    EXPECT_FALSE(std::filesystem::exists(state / "sentrel")) << "nothing kept";
}

// What changed while no console ran is listed at the next start, and
// only that; a folder that cannot be compared says so in one line.
TEST(Console, ListsWhatChangedWhileItWasNotRunning) {
    TTempDir dir, settingsDir, state;
    settingsDir.WriteFile("empty.ini", "");
    const std::string settings = settingsDir / "empty.ini";
    THistoryIn history(state.Path());
    dir.MakeDir("sub");
    for (const char* name : {"a.txt", "b.txt", "c.txt", "model.txt"})
        dir.WriteFile(name, "four");
    const auto run = [&](std::vector<std::string> options, const std::string& last) {
        options.insert(options.begin(), {"--console", "--settings", settings});
        options.push_back(dir.Path());
        TProgram console(options);
        EXPECT_TRUE(console.WaitForError("watching " + dir.Path())) << console.Error();
        if (!last.empty()) {
            EXPECT_TRUE(console.WaitForLineEnding(last)) << console.Output();
        }
        ProcessEventsFor(std::chrono::milliseconds(600));
        console.Signal(SIGTERM);
        EXPECT_EQ(console.Finish(), 0) << console.Error();
        std::vector<std::string> found;
        for (const std::string& line : console.Lines())
            if (line.find(" - Found_") != std::string::npos || line.find(" - Not_caught_up - ") != std::string::npos)
                found.push_back(line.substr(11));
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ(run({}, ""), std::vector<std::string>{}) << "never watched before: nothing to compare with";

    dir.WriteFile("a.txt", "FOUR"); // cp -p: the same size and time, new content
    struct stat model {};
    ::stat((dir / "model.txt").c_str(), &model);
    const struct timespec times[2] = {model.st_atim, model.st_mtim};
    ::utimensat(AT_FDCWD, (dir / "a.txt").c_str(), times, 0);
    std::filesystem::rename(dir / "b.txt", dir / "sub/b2.txt");
    std::filesystem::remove(dir / "c.txt");
    dir.WriteFile("d.txt");
    EXPECT_EQ(
        run({}, "Found_added - " + dir / "d.txt"),
        (std::vector<std::string>{"Found_added - " + dir / "d.txt", "Found_modified - " + dir / "a.txt",
                                  "Found_removed - " + dir / "c.txt", "Found_renamed_new_name - " + dir / "sub/b2.txt",
                                  "Found_renamed_old_name - " + dir / "b.txt"}));

    dir.WriteFile("e.txt");
    EXPECT_EQ(run({"--no-catch-up"}, ""), std::vector<std::string>{});
    for (const auto& snapshot : std::filesystem::directory_iterator(state / "sentrel/snapshots"))
        std::ofstream(snapshot.path(), std::ios::app) << "damage";
    EXPECT_EQ(run({}, "Not_caught_up - " + dir.Path()), std::vector<std::string>{"Not_caught_up - " + dir.Path()});
}

// A history that cannot be read is said, and --history fails: an empty
// answer would say that nothing happened.
TEST(Console, AHistoryThatCannotBeReadIsSaidAndFails) {
    TTempDir settingsDir;
    settingsDir.WriteFile("empty.ini", "");
    const std::string settings = settingsDir / "empty.ini";
    // Filled from a thread of its own: in this test program the thread
    // sanitizer sees no lock the main thread takes of a store's, and would
    // report each of them as a race.
    const auto keep = [](const std::string& file, int records) {
        std::thread([&] {
            THistoryStore store(file, {}, [](const std::string&) {});
            for (int i = 0; i < records; ++i)
                store.Add({HistoryTimeNow(), "Added", "/w/" + std::to_string(i), std::nullopt, "/w", false, {}});
        }).join();
    };
    // Each case makes the history's folder so, and holds what keeps it so;
    // null where it cannot be made here.
    const struct {
        const char* What;
        std::function<std::shared_ptr<void>(const std::string& folder)> Make;
    } cases[] = {
        {"a text file",
         [](const std::string& folder) {
             std::ofstream(folder + "/history.db") << "these are not the records you are looking for\n";
             return std::make_shared<int>();
         }},
        {"a database cut in half",
         [&](const std::string& folder) {
             keep(folder + "/history.db", 2000);
             std::filesystem::resize_file(folder + "/history.db",
                                          std::filesystem::file_size(folder + "/history.db") / 2);
             return std::make_shared<int>();
         }},
        {"a database in a folder that cannot be written",
         [&](const std::string& folder) -> std::shared_ptr<void> {
             keep(folder + "/history.db", 2);
             auto closed = std::make_shared<TReadOnlyFolder>(folder);
             return closed->Effective() ? closed : nullptr;
         }},
    };
    TPartsNotRun notRun;
    for (const auto& [what, make] : cases) {
        TTempDir state;
        state.MakeDir("sentrel");
        THistoryIn history(state.Path());
        const std::shared_ptr<void> held = make(state / "sentrel");
        if (!held) {
            notRun.Add(what);
            continue;
        }
        TProgram print({"--console", "--settings", settings, "--history"});
        EXPECT_EQ(print.Finish(), 1) << what << ": " << print.Error();
        EXPECT_NE(print.Error().find("cannot be read"), std::string::npos) << what << ": " << print.Error();
    }
    SKIP_PARTS_NOT_RUN(notRun);
}

// A writer goes on making files while the console stops: each file is
// listed by the console that saw it made, or found by the next start, never
// lost in between (a snapshot holds only what was listed).
TEST(Console, ChangesMadeWhileItStopsAreListedThenOrAtTheNextStart) {
    TTempDir dir, settingsDir, state;
    settingsDir.WriteFile("empty.ini", "");
    const std::string settings = settingsDir / "empty.ini";
    THistoryIn history(state.Path());
    dir.MakeDir("bulk");
    for (int i = 0; i < 20000; ++i) // a walk of some length
        inotify::TFd(::open((dir / ("bulk/" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    dir.MakeDir("new");
    // Enough to outlast a quick stop; a sanitized build, slower to stop,
    // does not make the next start's catch-up grow without end.
    constexpr int Most = 100000;
    std::vector<bool> seen(Most);
    int unseen = 0;
    const auto follow = [&](TProgram& console) {
        const std::string prefix = dir / "new/";
        for (const std::string& line : console.NewLines())
            if (const size_t at = line.find(prefix); at != std::string::npos) {
                int number = -1;
                const char* digits = line.data() + at + prefix.size();
                const auto [end, error] = std::from_chars(digits, line.data() + line.size(), number);
                if (error == std::errc() && end == line.data() + line.size() && number >= 0 && number < Most &&
                    !seen[number]) {
                    seen[number] = true;
                    --unseen;
                }
            }
    };
    {
        TProgram first({"--console", "--settings", settings, dir.Path()});
        ASSERT_TRUE(first.WaitForError("watching " + dir.Path())) << first.Error();
        // Its catch-up done, the snapshot is its to keep: one is in place,
        // not only being written.
        ASSERT_TRUE(ProcessEventsUntil(
            [&] {
                std::error_code none;
                for (const auto& entry : std::filesystem::directory_iterator(state / "sentrel/snapshots", none))
                    if (entry.path().filename().string().find(".new-") == std::string::npos)
                        return true;
                return false;
            },
            std::chrono::seconds(60)));
        std::atomic<bool> writing{true};
        std::atomic<int> made{0};
        std::thread writer([&] {
            for (int i = 0; writing && i < Most; made = ++i)
                inotify::TFd(::open((dir / "new/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        });
        ProcessEventsFor(std::chrono::milliseconds(200));
        first.Signal(SIGTERM);
        // A slow build walks and lists for a while, the writer still at work.
        EXPECT_EQ(first.Finish(120), 0) << first.Error();
        writing = false;
        writer.join();
        unseen = made;
        follow(first);
        TProgram second({"--console", "--settings", settings, dir.Path()});
        ASSERT_TRUE(second.WaitForError("watching " + dir.Path())) << second.Error();
        // A catch-up of many files takes its time in a sanitized build:
        // only one that stops listing them fails.
        auto progressed = std::chrono::steady_clock::now();
        for (int left = unseen;
             unseen > 0 && std::chrono::steady_clock::now() - progressed < std::chrono::seconds(30);) {
            ProcessEventsFor(std::chrono::milliseconds(100));
            follow(second);
            if (unseen < left) {
                left = unseen;
                progressed = std::chrono::steady_clock::now();
            }
        }
        EXPECT_EQ(unseen, 0) << "of " << made << " files made, listed neither live nor at the next start";
        second.Signal(SIGTERM);
        EXPECT_EQ(second.Finish(120), 0) << second.Error();
    }
}
