#include "Testing.h"

#include "history/HistoryDatabase.h"
#include "history/HistoryFiles.h"
#include "history/HistorySettings.h"
#include "history/HistoryStore.h"
#include "history/HistoryTimes.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
constexpr int64_t Second = 1000000000;

THistoryRecord Record(int64_t time, std::string action, std::string path, std::optional<std::string> oldPath = {}) {
    return {time, std::move(action), std::move(path), std::move(oldPath), "/w", false, ""};
}

// Whatever SQLite's own check says of the file, "ok" for a sound one; and
// how many records it holds.
std::pair<std::string, int64_t> CheckDatabase(const std::string& path) {
    sqlite3* database = nullptr;
    std::string verdict = "cannot open";
    int64_t count = -1;
    if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(database, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            verdict = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
        if (sqlite3_prepare_v2(database, "SELECT count(*) FROM changes", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        // A writer killed after it made the file but before its first
        // transaction left a database with nothing in it, not a damaged one.
        else if (std::string_view(sqlite3_errmsg(database)).starts_with("no such table"))
            count = 0;
        else
            verdict = sqlite3_errmsg(database);
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(database);
    return {verdict, count};
}

// How many records the index of parts of paths gives for a trigram.
int64_t IndexedCount(const std::string& path, const std::string& trigram) {
    sqlite3* database = nullptr;
    int64_t count = -1;
    sqlite3_stmt* statement = nullptr;
    const std::string sql = "SELECT count(*) FROM changes_index WHERE changes_index MATCH '\"" + trigram + "\"'";
    if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        count = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close_v2(database);
    return count;
}

std::vector<std::string> PathsOf(const std::vector<THistoryRecord>& records) {
    std::vector<std::string> paths;
    for (const THistoryRecord& record : records)
        paths.push_back(record.Path);
    return paths;
}
} // namespace

// A burst's records go in without the index, which catches up once the
// writer has nothing else to do: until then a question looks at the
// records beyond it one by one, in their place among those it finds.
TEST(HistoryStore, RecordsTheIndexDoesNotHoldYetAreFoundAndIndexedLater) {
    TTempDir dir;
    const std::string file = dir / "history.db";
    const int64_t at = HistoryTimeNow() - 3600 * Second;
    const auto quiet = [](const std::string& message) { ADD_FAILURE() << message; };
    {
        THistoryStore store(file, {}, quiet);
        for (int i = 1; i <= 12; ++i)
            store.Add(Record(at + i * Second, "Added", "/w/sub/file-" + std::to_string(i) + ".txt"));
    }
    {
        // The index holds the first four records, as after a burst.
        THistoryDatabase database;
        ASSERT_EQ(database.Open(file, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(AddIndexedFunction(database.Handle()), SQLITE_OK);
        ASSERT_EQ(database.Exec("INSERT INTO changes_index(changes_index, rowid, path, old_path) "
                                "SELECT 'delete', id, indexed(place, path), indexed(place >> 2, old_path) "
                                "FROM changes WHERE id > 4"),
                  SQLITE_OK);
        ASSERT_EQ(database.SetMark("indexed", 4), SQLITE_OK);
    }
    ASSERT_EQ(IndexedCount(file, "ile"), 4);
    const auto paths = [&](const std::string& fragment, size_t limit) {
        std::vector<std::string> names;
        for (const std::string& path : PathsOf(ReadHistory(file, {std::nullopt, std::nullopt, fragment, limit})))
            names.push_back(path.substr(path.rfind('-') + 1));
        return names;
    };
    using TNames = std::vector<std::string>;
    EXPECT_EQ(paths("/sub/file-", 0), (TNames{"12.txt", "11.txt", "10.txt", "9.txt", "8.txt", "7.txt", "6.txt", "5.txt",
                                              "4.txt", "3.txt", "2.txt", "1.txt"}));
    EXPECT_EQ(paths("file-", 10),
              (TNames{"12.txt", "11.txt", "10.txt", "9.txt", "8.txt", "7.txt", "6.txt", "5.txt", "4.txt", "3.txt"}))
        << "the limit reaches across into what the index finds";
    EXPECT_EQ(paths("file-7.", 0), TNames{"7.txt"});
    EXPECT_EQ(paths("file-2.", 0), TNames{"2.txt"});
    std::vector<std::string> oldestFirst;
    ForEachHistoryRecord(file, {std::nullopt, std::nullopt, "file-1", 0}, [&](const THistoryRecord& record) {
        oldestFirst.push_back(record.Path);
        return true;
    });
    EXPECT_EQ(oldestFirst,
              (TNames{"/w/sub/file-1.txt", "/w/sub/file-10.txt", "/w/sub/file-11.txt", "/w/sub/file-12.txt"}));

    THistoryStore store(file, {}, quiet);
    EXPECT_TRUE(ProcessEventsUntil([&] { return IndexedCount(file, "ile") == 12; }))
        << IndexedCount(file, "ile") << " of 12 in the index: the next store catches up before it writes anything";
    store.Add(Record(at + 13 * Second, "Added", "/w/sub/file-13.txt"));
    store.Flush();
    EXPECT_TRUE(ProcessEventsUntil([&] { return IndexedCount(file, "ile") == 13; }))
        << IndexedCount(file, "ile") << " of 13 in the index once the writer had nothing else to do";
}

// The records waiting for the writer are bounded: while another program
// holds the database, a caller waits a while for room, then the oldest
// waiting go, and every one of them is counted in what is said.
TEST(HistoryStore, RecordsWaitingAreBoundedAndThoseThatGoAreTold) {
    TTempDir dir;
    const std::string file = dir / "history.db";
    std::vector<std::string> told;
    std::mutex lock;
    const auto tell = [&](const std::string& message) {
        std::lock_guard guard(lock);
        told.push_back(message);
    };
    THistoryStore(file, {}, tell).Add(Record(HistoryTimeNow(), "Added", "/w/first"));
    THistoryDatabase other;
    ASSERT_EQ(other.Open(file, SQLITE_OPEN_READWRITE), SQLITE_OK);
    ASSERT_EQ(other.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    const size_t added = THistoryStore::WaitingLimit + 20000;
    {
        THistoryStore store(file, {}, tell);
        for (size_t i = 0; i < added; ++i)
            store.Add(Record(HistoryTimeNow(), "Added", "/w/" + std::to_string(i)));
        std::this_thread::sleep_for(std::chrono::seconds(3));
        ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
    }
    uint64_t unkept = 0;
    for (const std::string& message : told) {
        ASSERT_EQ(message.rfind("The history could not keep up: ", 0), 0u) << message;
        unkept += std::stoull(message.substr(std::string_view("The history could not keep up: ").size()));
    }
    EXPECT_GT(unkept, 0u) << "the database was held longer than a caller waits";
    const auto [verdict, kept] = CheckDatabase(file);
    EXPECT_EQ(static_cast<uint64_t>(kept - 1) + unkept, added) << "kept or told, every one";
}

// Paths come back byte for byte, whatever they hold; a question selects by
// time, both bounds included, and by a part of the path or the old path;
// what is older than the days kept goes.
TEST(HistoryStore, KeepsRecordsByteForByteAndAnswersQuestions) {
    TTempDir dir;
    const int64_t at = HistoryTimeNow() - 3600 * Second; // within the days kept
    const std::string odd = std::string("/w/\xff\xfe name\nwith a break");
    const std::vector<THistoryRecord> records = {
        Record(at + 10 * Second, "Added", "/w/a.txt"),
        Record(at + 20 * Second, "Renamed", "/w/b.txt", "/w/a.txt"),
        Record(at + 30 * Second, "Added", odd),
        Record(at + 35 * Second, "Renamed", "/w/say \"hi\"", "/elsewhere/cc.txt"),
        {at + 40 * Second, "Changes_lost", "/w", std::nullopt, "/w", std::nullopt, "the system's queue overflowed"},
    };
    {
        THistoryStore store(dir / "h/history.db", {}, [](const std::string& message) { ADD_FAILURE() << message; });
        for (const THistoryRecord& record : records)
            store.Add(record);
    }
    const std::string file = dir / "h/history.db";
    EXPECT_EQ(ReadHistory(file, {}), std::vector<THistoryRecord>(records.rbegin(), records.rend()));
    struct TQuestion {
        THistoryQuery Query;
        std::vector<std::string> Paths;
    };
    const std::vector<TQuestion> questions = {
        {{at + 20 * Second, at + 30 * Second, "", 0}, {odd, "/w/b.txt"}},
        {{std::nullopt, std::nullopt, "a.txt", 0}, {"/w/b.txt", "/w/a.txt"}}, // the old path counts
        {{std::nullopt, std::nullopt, "\xff\xfe", 0}, {odd}},
        {{std::nullopt, std::nullopt, "\xfe name\n", 0}, {odd}},
        {{std::nullopt, std::nullopt, "w/b.t", 0}, {"/w/b.txt"}}, // across the folder and the name
        {{std::nullopt, std::nullopt, "/w/b.txt", 0}, {"/w/b.txt"}},
        {{std::nullopt, std::nullopt, "/w", 0}, {"/w", "/w/say \"hi\"", odd, "/w/b.txt", "/w/a.txt"}},
        {{std::nullopt, std::nullopt, "ewhere/cc.t", 0}, {"/w/say \"hi\""}}, // an old path outside the folder
        {{std::nullopt, std::nullopt, "\"hi\"", 0}, {"/w/say \"hi\""}},
        {{at + 25 * Second, std::nullopt, "a.txt", 0}, {}},
        {{std::nullopt, std::nullopt, "txt", 2}, {"/w/say \"hi\"", "/w/b.txt"}},
        {{std::nullopt, std::nullopt, "", 2}, {"/w", "/w/say \"hi\""}},
        {{std::nullopt, at + 5 * Second, "", 0}, {}},
    };
    for (const TQuestion& question : questions)
        EXPECT_EQ(PathsOf(ReadHistory(file, question.Query)), question.Paths);
    std::vector<std::string> oldestFirst;
    ForEachHistoryRecord(file, {}, [&](const THistoryRecord& record) {
        oldestFirst.push_back(record.Path);
        return oldestFirst.size() < 2;
    });
    EXPECT_EQ(oldestFirst, (std::vector<std::string>{"/w/a.txt", "/w/b.txt"})) << "oldest first, until told to stop";
    EXPECT_EQ(ReadHistory(dir / "none.db", {}), std::vector<THistoryRecord>{});
    {
        THistoryStore store(file, {3650, 30}, [](const std::string& message) { ADD_FAILURE() << message; });
        store.SetRetention({30, 3}); // as the user sets it while the store runs
        store.Add(Record(HistoryTimeNow(), "Added", "/w/new"));
    }
    EXPECT_EQ(PathsOf(ReadHistory(file, {})), (std::vector<std::string>{"/w/new", "/w", "/w/say \"hi\""}))
        << "beyond the last 3 numbered: gone";
    EXPECT_EQ(IndexedCount(file, "a.t"), 0) << "gone from the index too";
    EXPECT_EQ(IndexedCount(file, "new"), 1);
    // A history kept before it had an index gets one when it is next opened.
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(database, "DROP TABLE changes_index", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close_v2(database);
    THistoryStore(file, {}, [](const std::string& message) {
        ADD_FAILURE() << message;
    }).Add(Record(HistoryTimeNow(), "Added", "/w/next"));
    EXPECT_EQ(IndexedCount(file, "new"), 1);
    EXPECT_EQ(PathsOf(ReadHistory(file, {std::nullopt, std::nullopt, "w/ne", 0})),
              (std::vector<std::string>{"/w/next", "/w/new"}));
}

// A writer killed at any moment of a burst leaves a sound database that
// holds at least what it held before.
TEST(HistoryStore, AKilledWriterNeverDamagesTheDatabase) {
    TTempDir dir;
    const std::string file = dir / "history.db";
    std::mt19937 random(7);
    int64_t before = 0;
    for (int kill = 0; kill < 50; ++kill) {
        const pid_t child = ::fork();
        if (child == 0) {
            THistoryStore store(file, {}, [](const std::string&) {});
            for (int64_t i = 0;; ++i) {
                store.Add(Record(HistoryTimeNow(), "Added", "/w/burst/" + std::to_string(i)));
                if (i % 20 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(150, 450)(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        if (!fs::exists(file))
            continue; // killed before its first write
        const auto [verdict, count] = CheckDatabase(file);
        ASSERT_EQ(verdict, "ok") << "after kill " << kill;
        EXPECT_GE(count, before);
        before = count;
    }
    EXPECT_GT(before, 0) << "records were kept";
}

// Trouble is told once, nothing waits for the disk, and a damaged file is
// set aside, never deleted.
TEST(HistoryStore, TroubleIsToldOnceAndListingGoesOn) {
    TTempDir dir;
    dir.MakeDir("damaged");
    dir.WriteFile("damaged/history.db", std::string(4096, 'x'));
    dir.MakeDir("closed");
    TReadOnlyFolder closed(dir / "closed");
    dir.MakeDir("full");
    TSmallFileSystem full(dir / "full", 256);
    struct TCase {
        const char* What;
        std::string File;
        bool Possible;
        std::string Told;
    };
    const std::vector<TCase> cases = {
        {"damaged", dir / "damaged/history.db", true, "The history database was damaged: it was set aside as "},
        {"read-only folder", dir / "closed/history.db", closed.Effective(), "The history cannot be kept: "},
        {"full disk", dir / "full/history.db", full.Mounted(), "The history cannot be "},
    };
    TPartsNotRun notRun;
    for (const TCase& test : cases) {
        if (!test.Possible) {
            notRun.Add(test.What);
            continue;
        }
        std::vector<std::string> told;
        std::mutex lock;
        {
            THistoryStore store(test.File, {}, [&](const std::string& message) {
                std::lock_guard guard(lock);
                told.push_back(message);
            });
            if (std::string_view(test.What) == "full disk") {
                store.Add(Record(Second, "Added", "/w/first"));
                store.Flush();
                full.Fill();
            }
            for (int i = 0; i < 3000; ++i) {
                store.Add(Record(HistoryTimeNow(), "Added", "/w/" + std::string(200, 'n') + std::to_string(i)));
                if (i % 1000 == 0)
                    store.Flush();
            }
        }
        ASSERT_EQ(told.size(), 1u) << test.What;
        EXPECT_EQ(told[0].rfind(test.Told, 0), 0u) << told[0];
    }
    const auto aside = std::find_if(fs::directory_iterator(dir / "damaged"), fs::directory_iterator(),
                                    [](const fs::directory_entry& entry) {
                                        return entry.path().filename().string().starts_with("history.db.damaged-");
                                    });
    ASSERT_NE(aside, fs::directory_iterator());
    EXPECT_EQ(ReadAll(aside->path().string()), std::string(4096, 'x'));
    const auto [verdict, kept] = CheckDatabase(dir / "damaged/history.db");
    EXPECT_EQ(verdict, "ok") << "a new one begun";
    EXPECT_EQ(kept, 3000) << "every change after the trouble was kept in it";
    SKIP_PARTS_NOT_RUN(notRun);
}

TEST(HistoryTimes, WhenAsAUserWritesIt) {
    const int64_t now = HistoryTimeNow();
    const int64_t day = ParseUntil("2026-12-07", now).value() - ParseWhen("2026-12-07", now).value() + 1;
    EXPECT_EQ(day, 86400 * Second);
    EXPECT_EQ(ParseWhen("30m", now), now - 1800 * Second);
    EXPECT_EQ(ParseWhen("7d", now), now - 7 * 86400 * Second);
    EXPECT_LE(ParseWhen("today", now).value(), now);
    EXPECT_EQ(ParseUntil("yesterday", now).value() + 1, ParseWhen("today", now).value());
    EXPECT_EQ(ParseWhen("2026-03-01", now), ParseUntil("2026-02-28", now).value() + 1) << "a month's end";
    EXPECT_EQ(ParseWhen("2026-12-07 14:05", now).value() + 9 * Second, ParseWhen("2026-12-07T14:05:09", now).value());
    EXPECT_EQ(ParseUntil("2026-12-07 14:05", now).value() - ParseWhen("2026-12-07 14:05", now).value(),
              60 * Second - 1);
    for (const char* wrong :
         {"soon", "2026-02-30", "2026-12-07 25:00", "30x", "2026-12-07 14:05:09x", "", "m", "2026-12-07 14:05:75",
          "2026-12-07 14:05 junk", "999999999d", "2300-01-01", "9999-12-31", "2262-04-12"})
        EXPECT_EQ(ParseWhen(wrong, now), std::nullopt) << wrong;
    EXPECT_EQ(ParseUntil("9999-12-31", now), std::nullopt) << "beyond what 64-bit nanoseconds hold";
    EXPECT_GT(ParseUntil("2262-04-10", now).value(), ParseWhen("2262-04-10", now).value()) << "the last day kept";
}

// The history's own files are known however their folder is named: a link
// on the way or a doubled separator must not let a watch feed on them.
TEST(HistoryFiles, AreKnownByTheirFolderHoweverNamed) {
    TTempDir dir;
    dir.MakeDir("real");
    dir.MakeDir("other");
    fs::create_directory_symlink(dir / "real", dir / "link");
    const std::string database = dir / "real/history.db";
    const std::vector<std::pair<std::string, bool>> cases = {
        {database, true},
        {dir / "real/history.db-wal", true},
        {dir / "link/history.db-shm", true},
        {dir / "real//history.db", true},
        {dir / "real/history.db.bak", false},
        {dir / "other/history.db", false},
        {dir / "real/history.db-journal", true},
        {dir / "real/old-history.db", false},
        {dir / "real/snapshots", true},
        {dir / "link/snapshots/0123456789abcdef.snapshot.new", true},
        {dir / "other/snapshots/0123456789abcdef.snapshot", false},
        {dir / "real/snapshots/deeper/a", false},
        {dir / "real", true},
        {dir / "other", false},
        {dir.Path(), false},
    };
    for (const auto& [path, own] : cases)
        EXPECT_EQ(IsHistoryFile(path, database), own) << path;
}

// A value beyond its bounds is taken as the nearest bound and said, never
// replaced by the default: a user who asked to keep more keeps the most.
TEST(HistorySettings, ValuesBeyondTheirBoundsAreTakenAtTheBoundAndSaid) {
    const struct {
        const char* Line;
        int Days;
        int64_t Records;
        int ListLimit;
        const char* Said;
    } cases[] = {
        {"Days=7", 7, 10000000, 1000000, nullptr},
        {"Days=99999999999", MostDays, 10000000, 1000000, "Days=99999999999 in [History] is beyond what may be"},
        {"Days=40000", MostDays, 10000000, 1000000, "36500 is taken"},
        {"Days=0", LeastDays, 10000000, 1000000, "Days=0 in [History] is beyond what may be (1 to 36500): 1 is taken"},
        {"Days=-5", LeastDays, 10000000, 1000000, "1 is taken"},
        {"Days=-99999999999", LeastDays, 10000000, 1000000, "1 is taken"},
        {"Days=thirty", 30, 10000000, 1000000, "Days=thirty in [History] is no number: 30 is kept"},
        {"Records=5", 30, LeastRecords, 1000000, "1000 is taken"},
        {"Records=99999999999999999999", 30, MostRecords, 1000000, "2000000000 is taken"},
        {"ListLimit=100000000000", 30, 10000000, MostListLimit, "100000000 is taken"},
    };
    for (const auto& [line, days, records, listLimit, said] : cases) {
        std::vector<std::string> warnings;
        const THistorySettings settings = HistorySettingsOf({line}, &warnings);
        EXPECT_EQ(settings.Retention.Days, days) << line;
        EXPECT_EQ(settings.Retention.Records, records) << line;
        EXPECT_EQ(settings.ListLimit, listLimit) << line;
        if (!said) {
            EXPECT_TRUE(warnings.empty()) << line;
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u) << line;
        EXPECT_NE(warnings.front().find(said), std::string::npos) << warnings.front();
    }
}

namespace {
mode_t ModeOf(const std::string& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return status.st_mode & 07777;
}
} // namespace

// Whatever the umask, the history is the user's alone, and an older run's
// looser files are tightened; it is never written through a link, nor in a
// folder of another user's.
TEST(HistoryFiles, AreTheUsersAloneAndNeverReachedThroughALink) {
    TTempDir dir;
    const mode_t umask = ::umask(022);
    {
        THistoryStore store(dir / "state/sentrel/history.db", {}, [](const std::string&) {});
        store.Add(Record(HistoryTimeNow(), "Added", "/w/a"));
        store.Flush();
        EXPECT_EQ(ModeOf(dir / "state/sentrel"), 0700u);
        for (const char* file : {"history.db", "history.db-wal", "history.db-shm"})
            EXPECT_EQ(ModeOf(dir / "state/sentrel/" + file), 0600u) << file;
    }
    ::chmod((dir / "state/sentrel").c_str(), 0755);
    ::chmod((dir / "state/sentrel/history.db").c_str(), 0644);
    {
        THistoryStore store(dir / "state/sentrel/history.db", {}, [](const std::string&) {});
        store.Add(Record(HistoryTimeNow(), "Added", "/w/b"));
        store.Flush();
    }
    EXPECT_EQ(ModeOf(dir / "state/sentrel"), 0700u) << "tightened at the next start";
    EXPECT_EQ(ModeOf(dir / "state/sentrel/history.db"), 0600u) << "tightened at the next start";
    ::umask(umask);

    dir.MakeDir("elsewhere");
    dir.WriteFile("elsewhere/victim", "untouched");
    fs::create_directory_symlink(dir / "elsewhere", dir / "linked-folder");
    dir.MakeDir("own");
    fs::create_symlink(dir / "elsewhere/victim", dir / "own/history.db");
    for (const std::string& database : {dir / "linked-folder/history.db", dir / "own/history.db"}) {
        std::vector<std::string> told;
        {
            THistoryStore store(database, {}, [&](const std::string& message) { told.push_back(message); });
            store.Add(Record(HistoryTimeNow(), "Added", "/w/c"));
            store.Flush();
        }
        EXPECT_EQ(told.size(), 1u) << database;
        EXPECT_EQ(ReadAll(dir / "elsewhere/victim"), "untouched") << database;
        EXPECT_FALSE(fs::exists(dir / "elsewhere/history.db")) << database;
    }
    EXPECT_NE(PrepareHistoryFolder(dir / "linked-folder").find("symbolic link"), std::string::npos);
    if (::geteuid() != 0)
        GTEST_SKIP() << "not run here: a folder of another user's (giving it one needs root)";
    dir.MakeDir("others");
    ::chown((dir / "others").c_str(), 65534, 65534);
    EXPECT_NE(PrepareHistoryFolder(dir / "others").find("belongs to another user"), std::string::npos);
}

// Without a home of the user's, the history goes nowhere every user may
// write to: root's to its state folder, anyone else's nowhere.
TEST(HistoryFiles, AreNeverKeptInAFolderEveryoneMayWriteTo) {
    TEnvironmentScope noHome("HOME", std::nullopt), noState("XDG_STATE_HOME", std::nullopt);
    EXPECT_EQ(HistoryPathFor("/etc/sentrel.ini", false),
              ::geteuid() == 0 ? std::string(RootStateFolder) + "/history.db" : std::string());
    TEnvironmentScope home("HOME", "/home/ann");
    EXPECT_EQ(HistoryPathFor("/etc/sentrel.ini", false), "/home/ann/.local/state/sentrel/history.db");
}

namespace {
// The history's clock, moved by the test while it lives.
struct TTestClock {
    int64_t Now = HistoryTimeNow();
    TTestClock() {
        SetHistoryClock([this] { return Now; });
    }
    ~TTestClock() { SetHistoryClock(nullptr); }
};
} // namespace

// Records go by an age the history can trust: a clock set 40 days ahead at
// one write takes at most a tenth of them (and says so), and none comes to
// harm when it is set right; records written while the clock was 400 days
// behind are not taken for old when it is right again.
TEST(HistoryStore, AClockThatJumpsNeverWipesTheHistory) {
    TTempDir dir;
    const std::string file = dir / "history.db";
    TTestClock clock;
    const int64_t day = 86400 * Second;
    const auto write = [&](int64_t time, const std::string& path, std::vector<std::string>* told = nullptr) {
        THistoryStore store(file, {30, 10000000}, [&](const std::string& message) {
            if (told)
                told->push_back(message);
        });
        store.Add(Record(time, "Added", path));
    };
    {
        THistoryStore store(file, {30, 10000000}, [](const std::string&) {});
        for (int i = 0; i < 100; ++i)
            store.Add(Record(clock.Now - 10 * day + i * Second, "Added", "/w/" + std::to_string(i)));
    }
    std::vector<std::string> told;
    clock.Now += 40 * day;
    write(clock.Now, "/w/ahead", &told);
    EXPECT_GE(ReadHistory(file, {}).size(), 91u) << "at most a tenth goes at once";
    EXPECT_EQ(told.size(), 1u) << "and that more would have gone is said";
    clock.Now -= 40 * day;
    write(clock.Now, "/w/right-again");
    const size_t afterAhead = ReadHistory(file, {}).size();
    EXPECT_GE(afterAhead, 92u);

    clock.Now -= 400 * day;
    write(clock.Now, "/w/behind");
    clock.Now += 400 * day;
    write(clock.Now, "/w/right-once-more");
    const std::vector<std::string> kept = PathsOf(ReadHistory(file, {}));
    EXPECT_NE(std::find(kept.begin(), kept.end(), "/w/behind"), kept.end())
        << "written while the clock was behind: not old";
    EXPECT_EQ(kept.size(), afterAhead + 2);
}
