// The console run as people run it: the real program, a real folder, real
// signals and pipes, and its output read as a script reads it.
#include "ProgramProcess.h"
#include "Testing.h"

#include "records/PathText.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// What the console tells once a folder is watched, with this run's interface.
std::string Watching(const std::string& folder, const std::string& folders) {
    const std::string how = FanotifyServes(folder) ? "watched by fanotify"
                                                   : folders + " watched by inotify: chosen by SENTREL_CHANGE_BACKEND; "
                                                               "processes unknown: inotify does not tell them";
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

// A name may hold a line break and a forged line, terminal controls or
// bytes that are not UTF-8: each change is one line all the same, which
// reads back to the real path, in either format.
TEST(Console, OddNamesGiveOneLineEachInEitherFormat) {
    for (const std::string format : {"text", "json"}) {
        TTempDir dir, settingsDir;
        settingsDir.WriteFile("empty.ini", "");
        TProgram console({"--console", "--format", format, "--settings", settingsDir / "empty.ini", dir.Path()});
        ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
        const std::string forged = dir / "x\n12:00:00 - Removed - ";
        std::filesystem::create_directories(forged + "/etc");
        const std::set<std::string> made = {forged, forged + "/etc", forged + "/etc/passwd", dir / "\x1b[2J\x1b]0;t\x07",
                                            dir / "caf\xe9", dir / "last"};
        for (const std::string& path : {forged + "/etc/passwd", dir / "\x1b[2J\x1b]0;t\x07", dir / "caf\xe9", dir / "last"})
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
                const QJsonObject object = record.object();
                const std::string path =
                    object.contains(QStringLiteral("path"))
                        ? object.value(QStringLiteral("path")).toString().toStdString()
                        : QByteArray::fromBase64(object.value(QStringLiteral("path_base64")).toString().toLatin1())
                              .toStdString();
                listed.insert(path);
                EXPECT_TRUE(object.value(QStringLiteral("is_folder")).isBool()) << line;
                if (object.value(QStringLiteral("is_folder")).toBool())
                    folders.insert(path);
            }
            return listed.count(dir / "last") > 0;
        };
        ASSERT_TRUE(ProcessEventsUntil(readLines)) << console.Output();
        EXPECT_EQ(listed, made) << format;
        if (format == "json") {
            EXPECT_EQ(folders, (std::set<std::string>{forged, forged + "/etc"}));
        }
        EXPECT_EQ(console.Output().find('\x1b'), std::string::npos);
        console.Signal(SIGTERM);
        EXPECT_EQ(console.Finish(), 0);
    }
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
    QElapsedTimer stopping;
    stopping.start();
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0) << console.Error();
    EXPECT_LT(stopping.elapsed(), 2000);
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
    EXPECT_EQ(renames, (std::vector<std::string>{"Renamed_old_name " + dir / "f.txt",
                                                 "Renamed_new_name " + dir / "f.txt"}));
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

namespace {
// While it lives, polkit lets the user nobody run one program as root
// through pkexec, with no one asked; nothing else.
class TPkexecAllowed {
public:
    explicit TPkexecAllowed(const std::string& program)
        : FRules("/etc/polkit-1/rules.d/49-sentrel-test-" + std::to_string(::getpid()) + ".rules") {
        std::ofstream(FRules) << "polkit.addRule(function(action, subject) {\n"
                                 "    if (action.id == \"org.freedesktop.policykit.exec\" && subject.user == "
                                 "\"nobody\" && action.lookup(\"program\") == \""
                              << program << "\")\n        return polkit.Result.YES;\n});\n";
    }
    ~TPkexecAllowed() { std::filesystem::remove(FRules); }

private:
    std::string FRules;
};

bool PolkitRuns() {
    return std::system("dbus-send --system --print-reply --dest=org.freedesktop.DBus / "
                       "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null | "
                       "grep -q 'boolean true'") == 0;
}
} // namespace

// An ordinary user whom an administrator allowed (polkit, through pkexec)
// watches a folder of theirs through the privileged helper: a change made
// by touch is listed with touch's name at once, and nothing from a folder
// there that the user may not list.
TEST(Console, AnOrdinaryUserWatchesThroughThePrivilegedHelper) {
    TTempDir programs, home, state;
    if (::geteuid() != 0 || !FanotifyServes(home.Path()))
        GTEST_SKIP() << "needs root, to act as an ordinary user, and a run by fanotify";
    if (::access("/usr/bin/pkexec", X_OK) != 0 || !PolkitRuns())
        GTEST_SKIP() << "needs pkexec and polkit's daemon (scripts/start-polkit.sh starts it)";
    for (const std::string& folder : {programs.Path(), home.Path(), state.Path()})
        ::chmod(folder.c_str(), 0755);
    ::chown(home.Path().c_str(), 65534, 65534);
    ::chown(state.Path().c_str(), 65534, 65534);
    home.MakeDir("private");
    ::chmod((home / "private").c_str(), 0700);
    std::filesystem::copy_file(SENTREL_PROGRAM, programs / "sentrel");
    std::filesystem::copy_file(SENTREL_HELPER, programs / "sentrel-helper");
    home.WriteFile("empty.ini", "");
    const TPkexecAllowed allowed(programs / "sentrel-helper");
    const TEnvironmentScope history("XDG_STATE_HOME", state.Path());

    TProgram console(
        {"--console", "--helper", "--process", "--no-catch-up", "--settings", home / "empty.ini", home.Path()}, nullptr,
        "", "", {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", programs / "sentrel"});
    ASSERT_TRUE(console.WaitForError("fanotify through the privileged helper")) << console.Error();
    const auto touched = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system(("touch " + home / "private/hidden").c_str()), 0);
    ASSERT_EQ(RunAsOrdinaryUser([&] { return std::system(("touch " + home / "mine").c_str()) == 0; }), 0);
    ASSERT_TRUE(console.WaitForLineEnding(home / "mine")) << console.Output() << console.Error();
    const auto listed = std::chrono::steady_clock::now() - touched;
    std::printf("a change through the helper listed after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(listed).count()));
    EXPECT_LT(listed, std::chrono::seconds(1));
    const std::vector<std::string> lines = WithoutTime(console.Lines());
    const auto mine = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.starts_with("Added - [touch pid ") && line.ends_with(" user nobody] - " + home / "mine");
    });
    EXPECT_NE(mine, lines.end()) << console.Output();
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("private/"), std::string::npos) << "passed what the user may not list: " << line;
}
