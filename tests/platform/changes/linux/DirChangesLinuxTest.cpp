#include "platform/changes/ReaderDriver.h"
#include "Testing.h"

#include "platform/changes/DirChanges.h"
#include "platform/changes/inotify/InotifyLimits.h"
#include "records/ChangeFilter.h"

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

TEST(DirChangesLinux, SymbolicLinksAreNotFollowed) {
    TTempDir outside;
    TTempDir dir;
    fs::create_directory_symlink(outside.Path(), dir / "link");
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    outside.WriteFile("through-link.txt");
    dir.WriteFile("beside-link.txt"); // the watch does see what is its own
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "beside-link.txt"}}));
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
