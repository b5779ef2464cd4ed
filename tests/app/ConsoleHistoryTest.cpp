// The console's history and its catch-up, run as people run them: what it
// listed is kept and printed again, and what changed while no console ran
// is found at the next start.
#include "ConsoleTesting.h"
#include "ProgramProcess.h"
#include "Testing.h"

#include "history/HistoryStore.h"
#include "platform/system/FileDescriptor.h"

#include <QByteArray>
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
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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

// A watched folder, settings of nothing but the defaults, and a state
// folder of its own for the history and the snapshots.
class ConsoleCatchUp : public ::testing::Test {
protected:
    static std::string EmptySettingsIn(TTempDir& folder) {
        folder.WriteFile("empty.ini", "");
        return folder / "empty.ini";
    }

    TTempDir dir, settingsDir, state;
    const std::string settings = EmptySettingsIn(settingsDir);
    THistoryIn history{state.Path()};
};
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
TEST_F(ConsoleCatchUp, ListsWhatChangedWhileItWasNotRunning) {
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
TEST_F(ConsoleCatchUp, ChangesMadeWhileItStopsAreListedThenOrAtTheNextStart) {
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
