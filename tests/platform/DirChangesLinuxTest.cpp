#include "Testing.h"
#include "ReaderDriver.h"

#include "platform/DirChanges.h"
#include "platform/InotifyLimits.h"
#include "util/ChangeFilter.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

uint32_t OpenError(const std::string& path) {
    TOpenFailure failure;
    auto reader = TDirChangeReader::OpenNative(path, failure);
    return reader ? 0 : failure.ErrorCode;
}

} // namespace

TEST(DirChangesLinux, FileLifecycleInTheFolderAndBelow) {
    TTempDir dir;
    dir.MakeDir("sub");
    TReaderDriver driver(dir.Path());
    driver.StartAndWaitReady();
    dir.WriteFile("a.txt");
    dir.WriteFile("sub/b.txt");
    fs::remove(dir / "a.txt");
    auto seen = driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(seen, {1, "a.txt"}), 1u);
    EXPECT_GE(CountOf(seen, {3, "a.txt"}), 1u);
    EXPECT_EQ(CountOf(seen, {2, "a.txt"}), 1u);
    EXPECT_EQ(CountOf(seen, {1, "sub/b.txt"}), 1u);
    EXPECT_GE(CountOf(seen, {3, "sub"}), 1u) << "a sub-folder's entries changed";
    EXPECT_EQ(CountOf(seen, {3, ""}), 0u) << "the watched folder itself is never reported";
    EXPECT_LT(std::find(seen.begin(), seen.end(), TSeen{1, "a.txt"}),
              std::find(seen.begin(), seen.end(), TSeen{2, "a.txt"}));
}

TEST(DirChangesLinux, NotifyFilterSelectsWhatIsReported) {
    TTempDir dir;
    dir.MakeDir("sub");
    dir.WriteFile("old.txt");
    {
        TReaderDriver names(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
        names.StartAndWaitReady();
        dir.WriteFile("f.txt");
        dir.WriteFile("old.txt", "changed");
        dir.MakeDir("newdir");
        fs::remove(dir / "f.txt");
        EXPECT_EQ(names.CollectUntilQuiet(), (std::vector<TSeen>{{1, "f.txt"}, {2, "f.txt"}}));
    }
    {
        TReaderDriver folders(dir.Path(), FILE_NOTIFY_CHANGE_DIR_NAME);
        folders.StartAndWaitReady();
        dir.MakeDir("d2");
        dir.WriteFile("g.txt");
        EXPECT_EQ(folders.CollectUntilQuiet(), (std::vector<TSeen>{{1, "d2"}}));
    }
    {
        TReaderDriver writes(dir.Path(), FILE_NOTIFY_CHANGE_LAST_WRITE);
        writes.StartAndWaitReady();
        dir.WriteFile("sub/h.txt");
        auto seen = writes.CollectUntilQuiet();
        EXPECT_GE(CountOf(seen, {3, "sub"}), 1u);
        EXPECT_GE(CountOf(seen, {3, "sub/h.txt"}), 1u);
        EXPECT_EQ(CountOf(seen, {1, "sub/h.txt"}), 0u);
    }
    {
        TReaderDriver attributes(dir.Path(), FILE_NOTIFY_CHANGE_ATTRIBUTES);
        attributes.StartAndWaitReady();
        fs::permissions(dir / "old.txt", fs::perms::owner_read);
        std::ofstream(dir / "sub/h.txt", std::ios::app) << "more";
        EXPECT_EQ(attributes.CollectUntilQuiet(), (std::vector<TSeen>{{3, "old.txt"}}));
    }
    TReaderDriver nothing(dir.Path(), 0);
    EXPECT_FALSE(nothing.Start()) << "an empty filter is refused";
}

TEST(DirChangesLinux, FilesCreatedInABrandNewFolderAreReportedOnce) {
    TTempDir dir;
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    for (int round = 0; round < 20; ++round) {
        std::string top = "n" + std::to_string(round);
        dir.MakeDir(top + "/b/c");
        dir.WriteFile(top + "/b/c/f.txt");
        dir.WriteFile(top + "/b/g.txt");
        dir.WriteFile(top + "/h.txt");
    }
    auto seen = driver.CollectUntilQuiet();
    for (int round = 0; round < 20; ++round) {
        std::string top = "n" + std::to_string(round);
        for (std::string name : {top, top + "/b", top + "/b/c", top + "/b/c/f.txt", top + "/b/g.txt", top + "/h.txt"})
            EXPECT_EQ(CountOf(seen, {1, name}), 1u) << name;
    }
    EXPECT_EQ(seen.size(), 20u * 6);
}

TEST(DirChangesLinux, RenamesWithinIntoAndOutOfTheTree) {
    TTempDir outside;
    TTempDir dir;
    dir.MakeDir("d/inner");
    dir.WriteFile("x.txt");
    outside.WriteFile("in.txt");
    outside.MakeDir("infolder/deep");
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();

    fs::rename(dir / "x.txt", dir / "y.txt");
    fs::rename(dir / "y.txt", outside / "gone.txt");
    fs::rename(outside / "in.txt", dir / "d/in.txt");
    fs::rename(dir / "d", dir / "e");
    dir.WriteFile("e/inner/after.txt");
    fs::rename(outside / "infolder", dir / "moved-in");
    auto seen = driver.CollectUntilQuiet();
    EXPECT_TRUE(Adjacent(seen, {4, "x.txt"}, {5, "y.txt"}));
    EXPECT_EQ(CountOf(seen, {2, "y.txt"}), 1u);
    EXPECT_EQ(CountOf(seen, {1, "d/in.txt"}), 1u);
    EXPECT_TRUE(Adjacent(seen, {4, "d"}, {5, "e"}));
    EXPECT_EQ(CountOf(seen, {1, "e/inner/after.txt"}), 1u) << "a renamed folder's changes carry its new path";
    EXPECT_EQ(CountOf(seen, {1, "moved-in"}), 1u);
    for (const char* folder : {"d", "e", "moved-in"})
        EXPECT_EQ(driver.SeenFolders.count(folder), 1u) << folder << " is said to be a folder";
    for (const char* file : {"x.txt", "y.txt", "d/in.txt", "e/inner/after.txt"})
        EXPECT_EQ(driver.SeenFolders.count(file), 0u) << file << " is said to be a file";

    driver.SeenFolders.clear();
    dir.WriteFile("moved-in/deep/new.txt");
    fs::rename(dir / "e", outside / "e");
    outside.WriteFile("e/ignored.txt");
    seen = driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(seen, {1, "moved-in/deep/new.txt"}), 1u) << "a moved-in folder is watched";
    EXPECT_EQ(CountOf(seen, {2, "e"}), 1u);
    EXPECT_EQ(seen.size(), 2u) << "a folder moved out is no longer watched" << ::testing::PrintToString(seen);
    EXPECT_EQ(driver.SeenFolders, std::set<std::string>{"e"});
}

// The reader translates nothing until it is asked to wait, so each of these
// sequences happens completely before any of its events is read.
TEST(DirChangesLinux, FoldersMovedOrRenamedBeforeTheirEventsAreReadStayWatched) {
    TTempDir dir;
    dir.MakeDir("d/deep");
    dir.MakeDir("a");
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();

    dir.MakeDir("new");
    fs::rename(dir / "d", dir / "new/d"); // into a folder not watched yet
    dir.MakeDir("t.tmp");
    dir.WriteFile("t.tmp/f1");
    fs::rename(dir / "t.tmp", dir / "t"); // created, filled and renamed at once
    dir.MakeDir("a/inside");
    fs::rename(dir / "a", dir / "b"); // a new folder's parent renamed
    auto seen = driver.CollectUntilQuiet();
    // inotify lists the new folder where it is by then; fanotify names the
    // file where it was made.
    EXPECT_EQ(CountOf(seen, {1, "t/f1"}) + CountOf(seen, {1, "t.tmp/f1"}), 1u) << "files of a new folder renamed at once";

    dir.WriteFile("new/d/x.txt");
    dir.WriteFile("new/d/deep/y.txt");
    dir.WriteFile("t/f2");
    dir.WriteFile("b/inside/z.txt");
    seen = driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(seen, {1, "new/d/x.txt"}), 1u);
    EXPECT_EQ(CountOf(seen, {1, "new/d/deep/y.txt"}), 1u);
    EXPECT_EQ(CountOf(seen, {1, "t/f2"}), 1u);
    EXPECT_EQ(CountOf(seen, {1, "b/inside/z.txt"}), 1u);
}

TEST(DirChangesLinux, WholeSubTreeOnlyWhenAsked) {
    TTempDir dir;
    dir.MakeDir("sub");
    TReaderDriver driver(dir.Path(), Names, false);
    driver.StartAndWaitReady();
    dir.WriteFile("sub/deep.txt");
    dir.WriteFile("top.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "top.txt"}}));
}

TEST(DirChangesLinux, SymbolicLinksAreNotFollowed) {
    TTempDir outside;
    TTempDir dir;
    fs::create_directory_symlink(outside.Path(), dir / "link");
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    outside.WriteFile("through-link.txt");
    EXPECT_TRUE(driver.CollectUntilQuiet().empty());
}

TEST(DirChangesLinux, OtherFileSystemsBelowAreNotEntered) {
    TTempDir dir;
    dir.MakeDir("mnt");
    if (::mount("tmpfs", (dir / "mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a file system here";
    {
        TReaderDriver driver(dir.Path(), Names);
        driver.StartAndWaitReady();
        dir.WriteFile("mnt/on-other.txt");
        dir.WriteFile("here.txt");
        EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "here.txt"}}));
    }
    ::umount((dir / "mnt").c_str());
}

TEST(DirChangesLinux, NamesThatAreNotUtf8ComeBackAsTheSameBytes) {
    TTempDir dir;
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    const std::string latin1 = "caf\xe9.txt";
    dir.WriteFile(latin1);
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, latin1}}));
}

TEST(DirChangesLinux, WatchedFolderRemovedFailsTheRead) {
    TTempDir parent;
    parent.MakeDir("watched");
    TReaderDriver driver(parent / "watched", Names);
    driver.StartAndWaitReady();
    fs::remove(parent / "watched");
    driver.CollectUntilQuiet();
    EXPECT_TRUE(driver.Failed);
}

TEST(DirChangesLinux, KernelQueueOverflowCompletesAReadWithZeroBytes) {
    const int limit = KernelQueueLimit();
    if (limit <= 0 || limit > 100000)
        GTEST_SKIP() << "queue limit " << limit;
    TTempDir dir;
    if (FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify's queue is unlimited: it does not overflow";
    TReaderDriver driver(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
    driver.StartAndWaitReady();
    // Nobody reads while these are made, so the queue must overflow.
    for (int i = 0; i < limit + 100; ++i)
        std::ofstream(dir / ("f" + std::to_string(i)));
    auto seen = driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(seen, {0, "<lost>"}), 1u);
    EXPECT_FALSE(driver.Failed);
    dir.WriteFile("after.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "after.txt"}}))
        << "the watch goes on after the loss";
}

TEST(DirChangesLinux, FoldersRenamedOrRemovedWhileChangesWereLostAreFollowed) {
    const int limit = KernelQueueLimit();
    if (limit <= 0 || limit > 100000)
        GTEST_SKIP() << "queue limit " << limit;
    TTempDir dir;
    if (FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify's queue is unlimited: it does not overflow";
    dir.MakeDir("sub/inner");
    dir.MakeDir("doomed/below");
    TReaderDriver driver(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
    driver.StartAndWaitReady();
    for (int i = 0; i < limit + 100; ++i)
        std::ofstream(dir / ("f" + std::to_string(i)));
    fs::rename(dir / "sub", dir / "renamed");
    fs::remove_all(dir / "doomed");
    dir.MakeDir("doomed");
    auto seen = driver.CollectUntilQuiet();
    ASSERT_EQ(CountOf(seen, {0, "<lost>"}), 1u);
    dir.WriteFile("renamed/inner/x.txt");
    dir.WriteFile("doomed/y.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "renamed/inner/x.txt"}, {1, "doomed/y.txt"}}));
}

TEST(DirChangesLinux, SetUpReportsProgressAndItsEnd) {
    TTempDir dir;
    if (FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify counts no folders: one mark covers them all";
    for (int i = 0; i < 200; ++i)
        dir.MakeDir("a" + std::to_string(i) + "/b");
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    ASSERT_FALSE(driver.Notices.empty());
    EXPECT_EQ(driver.Notices.back().Kind, TWatchNotice::TKind::SetupDone);
    EXPECT_EQ(driver.Notices.back().FolderCount, 401u);
    dir.WriteFile("a199/b/late.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "a199/b/late.txt"}}));
}

// Root may read every folder, so an unreadable one is tried as an ordinary user.
TEST(DirChangesLinux, UnreadableSubFolderIsNamedNotSkippedSilently) {
    TTempDir dir;
    dir.MakeDir("open");
    dir.MakeDir("closed");
    fs::permissions(dir.Path(), fs::perms::all);
    fs::permissions(dir / "open", fs::perms::all);
    fs::permissions(dir / "closed", fs::perms::none);
    auto check = [&] {
        TReaderDriver driver(dir.Path(), Names);
        driver.StartAndWaitReady();
        for (const auto& notice : driver.Notices)
            if (notice.Kind == TWatchNotice::TKind::NotCovered && notice.Folder == "closed" &&
                notice.Error == EACCES)
                return !::testing::Test::HasFailure();
        return false;
    };
    if (::geteuid() != 0)
        EXPECT_TRUE(check());
    else
        EXPECT_EQ(RunAsOrdinaryUser(check), 0);
}

TEST(DirChangesLinux, InterruptEndsALongWaitAtOnce) {
    TTempDir dir;
    TReaderDriver driver(dir.Path());
    driver.StartAndWaitReady();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        driver.Reader().Interrupt();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.Reader().Wait(60000), TWaitResult::TimedOut);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "the wait ran to its limit";
    EXPECT_EQ(driver.Reader().Wait(60000), TWaitResult::TimedOut) << "later waits end at once too";
}

TEST(DirChangesLinux, OpenFailuresGiveTheCodesAWindowsUserKnows) {
    TTempDir dir;
    dir.WriteFile("file.txt");
    EXPECT_EQ(OpenError(dir / "missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(dir / "missing/deeper"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(dir / "file.txt"), ERROR_DIRECTORY);
    EXPECT_EQ(OpenError(dir / "file.txt/below"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(dir.Path()), 0u);
}

namespace {
// The folder rules a user's exclusions make: entries from the root and names.
TFolderExclusionRules FolderRules(std::vector<std::string> folders, std::vector<std::string> names) {
    const TLineVector excluded(std::move(folders)), excludedNames(std::move(names)), none;
    return TChangeFilter(excluded, excludedNames, none, none, none).FolderRules();
}

uint64_t WatchedFolders(const TReaderDriver& driver) {
    for (auto notice = driver.Notices.rbegin(); notice != driver.Notices.rend(); ++notice)
        if (notice->Kind == TWatchNotice::TKind::SetupDone)
            return notice->FolderCount;
    return 0;
}
} // namespace

// Excluded folders cost no watch and report nothing, from the set-up on,
// after moves into and out of them, and as the rules change while the
// watch runs; the excluded folder's own entry is still reported.
TEST(DirChangesLinux, ExcludedFoldersAreNeitherWatchedNorReported) {
    TTempDir dir;
    for (const char* folder : {"keep/a", "keep/node_modules/m/n", "skip/s/t", "node_modules/x"})
        dir.MakeDir(folder);
    const bool counted = !FanotifyServes(dir.Path());
    TReaderDriver driver(dir.Path(), Names);
    driver.Reader().SetExcludedFolders(FolderRules({dir / "skip/"}, {"node_modules"}));
    driver.StartAndWaitReady();
    if (counted) {
        EXPECT_EQ(WatchedFolders(driver), 3u) << "the root, keep and keep/a";
    }

    dir.WriteFile("keep/node_modules/m/n/f");
    dir.WriteFile("skip/s/t/f");
    dir.WriteFile("node_modules/x/f");
    dir.MakeDir("keep/a/node_modules");
    dir.WriteFile("keep/a/node_modules/f");
    dir.WriteFile("keep/a/f");
    EXPECT_EQ(driver.CollectUntilQuiet(),
              (std::vector<TSeen>{{1, "keep/a/node_modules"}, {1, "keep/a/f"}}));

    fs::rename(dir / "keep/a", dir / "skip/a");
    dir.WriteFile("skip/a/g");
    fs::rename(dir / "node_modules/x", dir / "keep/x");
    dir.WriteFile("keep/x/g");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{2, "keep/a"}, {1, "keep/x"}, {1, "keep/x/g"}}))
        << "moved among the excluded: gone; moved out of them: come, and watched";

    driver.Reader().SetExcludedFolders(FolderRules({dir / "keep/"}, {}));
    EXPECT_EQ(driver.CollectUntilQuiet(), std::vector<TSeen>{});
    dir.WriteFile("keep/x/h");
    dir.WriteFile("node_modules/i");
    dir.WriteFile("skip/s/t/i");
    const std::vector<TSeen> readmitted = driver.CollectUntilQuiet();
    EXPECT_EQ(readmitted, (std::vector<TSeen>{{1, "node_modules/i"}, {1, "skip/s/t/i"}}))
        << "what the excluded folders held is not new";
    if (counted) {
        EXPECT_EQ(WatchedFolders(driver), 7u) << "the root, node_modules, skip, skip/s, skip/s/t, skip/a and "
                                                 "skip/a/node_modules";
    }

    driver.Reader().SetExcludedFolders(nullptr);
    driver.CollectUntilQuiet();
    dir.WriteFile("keep/node_modules/m/n/j");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "keep/node_modules/m/n/j"}}));
}

namespace {
// Runs check in a child process in a user namespace of its own, whose limit
// on inotify watches is limit: 0 when check held, 1 when not, 2 when the
// namespace could not be made here.
int InUserNamespaceWithWatchLimit(int limit, const std::function<bool()>& check) {
    const pid_t child = ::fork();
    if (child == 0) {
        const auto write = [](const char* path, const std::string& text) {
            std::ofstream file(path);
            return static_cast<bool>(file << text << std::flush);
        };
        const std::string self = std::to_string(::getuid()) + " " + std::to_string(::getuid()) + " 1";
        const std::string group = std::to_string(::getgid()) + " " + std::to_string(::getgid()) + " 1";
        if (::unshare(CLONE_NEWUSER) != 0 || !write("/proc/self/setgroups", "deny") ||
            !write("/proc/self/uid_map", self) || !write("/proc/self/gid_map", group) ||
            !write("/proc/sys/user/max_inotify_watches", std::to_string(limit)))
            ::_exit(2);
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void SetWatchLimit(int limit) {
    std::ofstream("/proc/sys/user/max_inotify_watches") << limit;
}
} // namespace

// The limit on watches reached: the figures say so, and once it is raised
// the folders left unwatched are watched without a restart.
TEST(DirChangesLinux, FoldersLeftOverTheWatchLimitAreWatchedOnceItIsRaised) {
    TTempDir dir;
    if (FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify needs no watch per folder";
    for (int i = 0; i < 40; ++i)
        dir.MakeDir("f" + std::to_string(i));
    const int result = InUserNamespaceWithWatchLimit(20, [&] {
        TReaderDriver driver(dir.Path(), Names);
        driver.StartAndWaitReady();
        const TInotifyUsage reached = ReadInotifyUsage();
        const bool toldOnce = std::count_if(driver.Notices.begin(), driver.Notices.end(), [](const TWatchNotice& n) {
                                  return n.Kind == TWatchNotice::TKind::NotCovered && n.Error == ENOSPC;
                              }) == 1;
        SetWatchLimit(1000);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (WatchedFolders(driver) != 41 && std::chrono::steady_clock::now() < deadline)
            driver.Step();
        dir.WriteFile("f39/x");
        const bool seen = driver.CollectUntilQuiet() == std::vector<TSeen>{{1, "f39/x"}};
        std::fprintf(stderr, "own %llu, user's %llu, limit %llu, told once %d, then %llu folders, seen %d\n",
                     static_cast<unsigned long long>(reached.OwnWatches),
                     static_cast<unsigned long long>(reached.UserWatches),
                     static_cast<unsigned long long>(reached.Limit), toldOnce,
                     static_cast<unsigned long long>(WatchedFolders(driver)), seen);
        return reached.OwnWatches == 20 && reached.UserWatches >= 20 && reached.Limit == 20 && toldOnce &&
               WatchedFolders(driver) == 41 && seen && ReadInotifyUsage().Limit == 1000;
    });
    if (result == 2)
        GTEST_SKIP() << "no user namespace with a limit of its own here";
    EXPECT_EQ(result, 0);
}

// A rule by path excludes a folder at one place only: moved elsewhere, it is
// watched; moved back, it is left out again.
TEST(DirChangesLinux, AFolderMovedOutOfAnExcludedPathIsWatched) {
    TTempDir dir;
    dir.MakeDir("p/build");
    TReaderDriver driver(dir.Path(), Names);
    driver.Reader().SetExcludedFolders(FolderRules({dir / "p/build/"}, {}));
    driver.StartAndWaitReady();
    fs::rename(dir / "p", dir / "q");
    driver.CollectUntilQuiet();
    dir.WriteFile("q/build/f");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "q/build/f"}}));
    fs::rename(dir / "q", dir / "p");
    driver.CollectUntilQuiet();
    dir.WriteFile("p/build/g");
    EXPECT_EQ(driver.CollectUntilQuiet(), std::vector<TSeen>{});
}
