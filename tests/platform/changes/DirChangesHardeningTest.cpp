// The change reader under hostile conditions: interleaved writers, moves
// during a walk, mounts, held-open folders, paths that change under it.
#include "ReaderDriver.h"
#include "Testing.h"

#include "platform/changes/linux/TranslatingReader.h"

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

size_t NoticesOf(const TReaderDriver& driver, TWatchNotice::TKind kind) {
    return static_cast<size_t>(std::count_if(driver.Notices.begin(), driver.Notices.end(),
                                             [&](const TWatchNotice& notice) { return notice.Kind == kind; }));
}

bool NotCoveredWith(const TReaderDriver& driver, const std::string& folder, int error) {
    return std::any_of(driver.Notices.begin(), driver.Notices.end(), [&](const TWatchNotice& notice) {
        return notice.Kind == TWatchNotice::TKind::NotCovered && notice.Folder == folder && notice.Error == error;
    });
}

// Collects while work runs on another thread, then until quiet.
std::vector<TSeen> CollectWhile(TReaderDriver& driver, const std::function<void()>& work) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    const size_t before = driver.Seen.size();
    while (!done)
        driver.Step();
    worker.join();
    driver.CollectUntilQuiet();
    return {driver.Seen.begin() + static_cast<long>(before), driver.Seen.end()};
}

// A mount the test makes and takes away again, or a reason to skip.
class TTestMount {
public:
    TTestMount(const std::string& source, const std::string& target, const char* type, unsigned long flags)
        : FTarget(target), FMounted(::mount(source.c_str(), target.c_str(), type, flags, nullptr) == 0) {}
    ~TTestMount() { Unmount(); }
    bool Mounted() const { return FMounted; }
    // The mount point was moved with a folder above it.
    void MovedTo(const std::string& target) { FTarget = target; }
    void Unmount() {
        if (FMounted)
            ::umount2(FTarget.c_str(), MNT_DETACH);
        FMounted = false;
    }

private:
    std::string FTarget;
    bool FMounted;
};

} // namespace

TEST(DirChangesHardening, RenamesInterleavedWithOtherWritesStayPairs) {
    TTempDir dir;
    dir.MakeDir("busy");
    dir.MakeDir("names");
    dir.WriteFile("names/a0");
    TReaderDriver driver(dir.Path(), AllChanges);
    driver.StartAndWaitReady();
    constexpr int Renames = 3000;
    std::atomic<bool> renaming{true};
    std::thread appender([&] {
        int fd = ::open((dir / "busy/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        while (renaming)
            [[maybe_unused]] auto written = ::write(fd, "x", 1);
        ::close(fd);
    });
    auto seen = CollectWhile(driver, [&] {
        for (int i = 0; i < Renames; ++i)
            fs::rename(dir / ("names/a" + std::to_string(i % 2)), dir / ("names/a" + std::to_string((i + 1) % 2)));
        renaming = false;
    });
    appender.join();
    size_t pairs = 0;
    for (size_t i = 0; i + 1 < seen.size(); ++i)
        pairs += seen[i].Action == 4 && seen[i + 1].Action == 5 && seen[i].Name.rfind("names/a", 0) == 0;
    // fanotify folds a change into an identical one of the same process that
    // still waits in the kernel's queue: of renames back and forth, only
    // some come through, each still a whole pair; where that left the file
    // at the wrong name, a removal and an addition correct it, and the
    // watch says that the system merged changes.
    const size_t removals = CountOf(seen, {2, "names/a0"}) + CountOf(seen, {2, "names/a1"});
    if (FanotifyServes(dir.Path())) {
        EXPECT_GE(pairs, 1u);
        EXPECT_TRUE(removals == 0 || NoticesOf(driver, TWatchNotice::TKind::Merged) > 0);
    } else {
        EXPECT_EQ(pairs, static_cast<size_t>(Renames));
        EXPECT_EQ(removals, 0u) << "a rename split in two";
    }
    EXPECT_EQ(CountOf(seen, {4, "names/a0"}) + CountOf(seen, {4, "names/a1"}), pairs) << "every old name has its new one";
}

TEST(DirChangesHardening, FilesWrittenIntoAMovedInTreeAreReported) {
    TTempDir outside;
    TTempDir dir;
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    for (int round = 0; round < 10; ++round) {
        const std::string tree = "t" + std::to_string(round);
        outside.MakeDir(tree + "/sub/deeper");
        outside.WriteFile(tree + "/came-with.txt");
        outside.WriteFile(tree + "/sub/came-with.txt");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        driver.CollectUntilQuiet(30); // the watch is idle when the tree comes, as it mostly is
        fs::rename(outside / tree, dir / tree);
        dir.WriteFile(tree + "/new.txt");
        dir.WriteFile(tree + "/sub/new.txt");
        dir.WriteFile(tree + "/sub/deeper/new.txt");
        dir.MakeDir(tree + "/sub/made/below");
        dir.WriteFile(tree + "/sub/made/below/new.txt");
    }
    driver.CollectUntilQuiet();
    const auto& seen = driver.Seen;
    for (int round = 0; round < 10; ++round) {
        const std::string tree = "t" + std::to_string(round);
        EXPECT_EQ(CountOf(seen, {1, tree}), 1u);
        for (const char* added : {"/new.txt", "/sub/new.txt", "/sub/deeper/new.txt", "/sub/made",
                                  "/sub/made/below", "/sub/made/below/new.txt"})
            EXPECT_EQ(CountOf(seen, {1, tree + added}), 1u) << tree + added;
        for (const char* cameWith : {"/sub", "/sub/deeper", "/came-with.txt", "/sub/came-with.txt"})
            EXPECT_EQ(CountOf(seen, {1, tree + cameWith}), 0u) << tree + cameWith;
    }
}

TEST(DirChangesHardening, FoldersMovedDuringTheWalkAfterLostChangesStayWatched) {
    const int limit = KernelQueueLimit();
    if (limit <= 0 || limit > 100000)
        GTEST_SKIP() << "queue limit " << limit;
    TTempDir dir;
    if (FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify's queue has no limit: no change is lost, so no walk follows a loss";
    constexpr int Moved = 400;
    for (int i = 0; i < Moved; ++i)
        dir.MakeDir("from/d" + std::to_string(i));
    for (int i = 0; i < 3000; ++i)
        dir.MakeDir("bulk/b" + std::to_string(i));
    dir.MakeDir("to");
    TReaderDriver driver(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
    driver.StartAndWaitReady();
    for (int i = 0; i < limit + 100; ++i)
        std::ofstream(dir / ("f" + std::to_string(i)));
    CollectWhile(driver, [&] {
        for (int i = 0; i < Moved; ++i)
            fs::rename(dir / ("from/d" + std::to_string(i)), dir / ("to/d" + std::to_string(i)));
    });
    for (int i = 0; i < Moved; ++i)
        dir.WriteFile("to/d" + std::to_string(i) + "/x");
    auto seen = driver.CollectUntilQuiet();
    ASSERT_GT(CountOf(driver.Seen, {0, "<lost>"}), 0u) << "no change was lost: the walk after a loss was not tried";
    size_t reported = 0;
    for (int i = 0; i < Moved; ++i)
        reported += CountOf(seen, {1, "to/d" + std::to_string(i) + "/x"});
    EXPECT_EQ(reported, static_cast<size_t>(Moved));
}

// A path longer than the system takes can be made one short step at a time.
TEST(DirChangesHardening, FolderOutOfReachWhileRunningIsNamed) {
    TTempDir dir;
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    const std::string part(200, 'p');
    int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    std::string relative;
    for (int depth = 0; depth < 24; ++depth) {
        ASSERT_EQ(::mkdirat(fd, part.c_str(), 0755), 0);
        int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        relative += (relative.empty() ? "" : "/") + part;
        driver.CollectUntilQuiet(20);
    }
    ::close(fd);
    driver.CollectUntilQuiet();
    if (FanotifyServes(dir.Path())) {
        // One mark covers every folder, however long its path.
        EXPECT_EQ(NoticesOf(driver, TWatchNotice::TKind::NotCovered), 0u);
        EXPECT_EQ(CountOf(driver.Seen, {1, relative}), 1u) << "the deepest folder is reported too";
    } else {
        EXPECT_EQ(NoticesOf(driver, TWatchNotice::TKind::NotCovered), 1u) << "only the first folder out of reach";
        EXPECT_TRUE(std::any_of(driver.Notices.begin(), driver.Notices.end(), [](const TWatchNotice& notice) {
            return notice.Kind == TWatchNotice::TKind::NotCovered && notice.Error == ENAMETOOLONG;
        }));
    }
    // Shorten the path from the top so the folder can be removed.
    for (int depth = 0; depth < 24; ++depth) {
        fs::rename(dir / part, dir / "up");
        for (const auto& entry : fs::directory_iterator(dir / "up"))
            fs::rename(entry.path(), dir / part);
        fs::remove(dir / "up");
    }
}

// Root may search every folder, so the watch runs as an ordinary user in a
// child process while root makes a folder in a folder that user can no
// longer search.
TEST(DirChangesHardening, FolderMadeUnsearchableWhileRunningIsNamed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to act beside an ordinary user";
    TTempDir dir;
    fs::permissions(dir.Path(), fs::perms::all);
    dir.MakeDir("locked");
    ASSERT_EQ(::chown((dir / "locked").c_str(), 65534, 65534), 0);
    int ready[2], made[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(made), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        TReaderDriver driver(dir.Path(), Names);
        driver.StartAndWaitReady();
        ::chmod((dir / "locked").c_str(), 0600);
        char signal = 'r';
        [[maybe_unused]] auto written = ::write(ready[1], &signal, 1);
        [[maybe_unused]] auto got = ::read(made[0], &signal, 1);
        driver.CollectUntilQuiet();
        ::_exit(NotCoveredWith(driver, "locked/inside", EACCES) ? 0 : 1);
    }
    char signal;
    ASSERT_EQ(::read(ready[0], &signal, 1), 1);
    dir.MakeDir("locked/inside");
    ASSERT_EQ(::write(made[1], &signal, 1), 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "no notice for the folder out of reach";
}

TEST(DirChangesHardening, FoldersGoneBeforeTheyCouldBeWatchedAreNoGap) {
    TTempDir dir;
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    const std::string top = dir / "churn";
    const std::vector<std::string> chain = {top + "/a", top + "/a/b", top + "/a/b/c", top + "/a/b/c/d"};
    CollectWhile(driver, [&] {
        for (int i = 0; i < 2000; ++i) {
            ::mkdir(top.c_str(), 0755);
            for (const std::string& folder : chain)
                ::mkdir(folder.c_str(), 0755);
            for (auto folder = chain.rbegin(); folder != chain.rend(); ++folder)
                ::rmdir(folder->c_str());
            ::rmdir(top.c_str());
        }
    });
    EXPECT_EQ(NoticesOf(driver, TWatchNotice::TKind::NotCovered), 0u);
    for (const std::string& folder : {top, chain[0], chain[1], chain[2], chain[3]})
        ::mkdir(folder.c_str(), 0755);
    dir.WriteFile("churn/a/b/c/d/after.txt");
    EXPECT_EQ(CountOf(driver.CollectUntilQuiet(), {1, "churn/a/b/c/d/after.txt"}), 1u)
        << "the churn left the tree watched to its depths";
}

TEST(DirChangesHardening, MountPointsAreNamedAndTheFolderUnderAnUnmountIsWatched) {
    TTempDir dir;
    dir.MakeDir("early");
    dir.MakeDir("late");
    TTestMount early("tmpfs", dir / "early", "tmpfs", 0);
    if (!early.Mounted())
        GTEST_SKIP() << "cannot mount a file system here (needs root)";
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    EXPECT_TRUE(NotCoveredWith(driver, "early", OtherFileSystem));
    TTestMount late("tmpfs", dir / "late", "tmpfs", 0);
    ASSERT_TRUE(late.Mounted());
    driver.CollectUntilQuiet();
    EXPECT_TRUE(NotCoveredWith(driver, "late", OtherFileSystem));
    early.Unmount();
    driver.CollectUntilQuiet();
    dir.WriteFile("early/uncovered.txt");
    dir.WriteFile("late/hidden.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "early/uncovered.txt"}}));
    EXPECT_EQ(NoticesOf(driver, TWatchNotice::TKind::NotCovered), 2u) << "one notice a mount point";
}

TEST(DirChangesHardening, BindMountsThatMakeFoldersEachOthersParentDoNotLoop) {
    TTempDir dir;
    dir.MakeDir("a/in-a");
    dir.MakeDir("b/in-b");
    TTestMount bOnA(dir / "b", dir / "a/in-a", nullptr, MS_BIND);
    if (!bOnA.Mounted())
        GTEST_SKIP() << "cannot bind-mount here (needs root)";
    TTestMount aOnB(dir / "a", dir / "b/in-b", nullptr, MS_BIND);
    ASSERT_TRUE(aOnB.Mounted());
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    fs::rename(dir / "a", dir / "a2");
    bOnA.MovedTo(dir / "a2/in-a");
    dir.WriteFile("a2/x.txt");
    auto seen = driver.CollectUntilQuiet();
    EXPECT_TRUE(Adjacent(seen, {4, "a"}, {5, "a2"}));
    EXPECT_EQ(CountOf(seen, {1, "a2/x.txt"}), 1u);
    EXPECT_TRUE(NotCoveredWith(driver, "a2/in-a", OtherFileSystem) || NotCoveredWith(driver, "a/in-a", OtherFileSystem));
}

TEST(DirChangesHardening, RemovedFolderHeldOpenIsNeverFoundByName) {
    TTempDir outside;
    TTempDir dir;
    dir.MakeDir("d");
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    int held = ::open((dir / "d").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    fs::remove(dir / "d");
    dir.MakeDir("d");
    driver.CollectUntilQuiet();
    fs::rename(dir / "d", dir / "e");
    dir.WriteFile("e/x.txt");
    auto seen = driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(seen, {1, "e/x.txt"}), 1u) << ::testing::PrintToString(seen);
    fs::rename(dir / "e", outside / "e");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{2, "e"}}));
    ::close(held);
}

TEST(DirChangesHardening, WatchedFolderWhosePathLeadsElsewhereEndsTheWatch) {
    TTempDir dir;
    dir.MakeDir("parent/watched");
    dir.MakeDir("first");
    dir.MakeDir("second");
    fs::create_directory_symlink(dir / "first", dir / "link");
    {
        TReaderDriver driver(dir / "parent/watched", Names);
        driver.StartAndWaitReady();
        fs::rename(dir / "parent", dir / "renamed");
        dir.WriteFile("renamed/watched/x.txt");
        driver.CollectUntilQuiet();
        EXPECT_TRUE(driver.Failed) << "the folder's path leads nowhere now";
        EXPECT_NE(driver.Reader().FailureReason().find("moved"), std::string::npos);
    }
    // A link on the path pointed elsewhere, by a new link renamed over it or
    // by one removed and made again: the folder is still there, the path
    // leads to another, and nothing of the other is ever reported, not even
    // through a folder made just before.
    dir.MakeDir("second/sub");
    dir.WriteFile("second/sub/only-in-second.txt");
    for (const bool replacedByRename : {true, false}) {
        TReaderDriver driver(dir / "link", Names);
        driver.StartAndWaitReady();
        fs::create_directory(dir / "first/sub");
        if (replacedByRename) {
            fs::create_directory_symlink(dir / "second", dir / "link.new");
            fs::rename(dir / "link.new", dir / "link");
        } else {
            fs::remove(dir / "link");
            fs::create_directory_symlink(dir / "second", dir / "link");
        }
        dir.WriteFile("second/y.txt");
        dir.WriteFile("first/z.txt");
        auto seen = driver.CollectUntilQuiet();
        EXPECT_TRUE(driver.Failed) << "the link leads to another folder now";
        EXPECT_NE(driver.Reader().FailureReason().find("leads to another folder"), std::string::npos)
            << driver.Reader().FailureReason();
        EXPECT_EQ(CountOf(seen, {1, "y.txt"}), 0u);
        EXPECT_EQ(CountOf(seen, {1, "sub/only-in-second.txt"}), 0u);
        fs::remove(dir / "link");
        fs::remove_all(dir / "first/sub");
        fs::remove(dir / "first/z.txt");
        fs::remove(dir / "second/y.txt");
        fs::create_directory_symlink(dir / "first", dir / "link");
    }
    {
        TReaderDriver driver(dir / "second", Names);
        driver.StartAndWaitReady();
        fs::remove_all(dir / "second");
        driver.CollectUntilQuiet();
        EXPECT_TRUE(driver.Failed);
        EXPECT_NE(driver.Reader().FailureReason().find("removed"), std::string::npos);
    }
}

// Beyond the reader's own bound, events are still read, so that no queue
// grows further, kernel's included; they are dropped, and the loss is
// reported and counted on the watch's line. Watching goes on.
TEST(DirChangesHardening, BeyondItsBoundTheReaderDropsAndSaysSo) {
    TTempDir dir;
    struct TLimit {
        TLimit() { inotify::SetPendingMemoryLimit(16 * 1024); }
        ~TLimit() { inotify::SetPendingMemoryLimit(0); }
    } limit;
    TReaderDriver driver(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
    driver.StartAndWaitReady();
    for (int i = 0; i < 3000; ++i)
        dir.WriteFile("burst-" + std::to_string(i));
    driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(driver.Seen, {0, "<lost>"}), 1u);
    EXPECT_LT(driver.Seen.size(), 3000u) << "the rest was dropped";
    ASSERT_TRUE(ProcessEventsUntil([&] {
        driver.Step();
        return !driver.Notices.empty() &&
               driver.Notices.back().Mechanism.find("changes lost once: the watch's own queue was full") !=
                   std::string::npos;
    })) << (driver.Notices.empty() ? "" : driver.Notices.back().Mechanism);
    dir.WriteFile("after");
    EXPECT_EQ(CountOf(driver.CollectUntilQuiet(), {1, "after"}), 1u);
}

// A folder whose listing fails part way (a damaged disk) is no folder
// watched whole: it is named, with the system's reason. (fanotify watches
// the whole file system whatever its listings give: its cache only names
// folders ahead, and a folder it did not name is looked up when needed.)
TEST(DirChangesHardening, AFolderThatCannotBeListedToItsEndIsNamed) {
    TLoopFileSystem disk;
    if (!disk.Mounted())
        GTEST_SKIP() << "needs root, a loop device, mkfs.ext4 and debugfs";
    fs::create_directories(disk.Mount() + "/w/damaged");
    fs::create_directories(disk.Mount() + "/w/sound");
    for (int i = 0; i < 300; ++i)
        std::ofstream(disk.Mount() + "/w/damaged/a-file-with-a-rather-long-name-" + std::to_string(i));
    ASSERT_TRUE(disk.Damage("w/damaged"));
    TReaderDriver driver(disk.Mount() + "/w", Names);
    driver.StartAndWaitReady();
    if (FanotifyServes(disk.Mount()))
        EXPECT_FALSE(NotCoveredWith(driver, "damaged", EBADMSG));
    else
        EXPECT_TRUE(NotCoveredWith(driver, "damaged", EBADMSG)) << "a listing cut short is no whole one";
    std::ofstream(disk.Mount() + "/w/sound/after.txt");
    EXPECT_EQ(CountOf(driver.CollectUntilQuiet(), {1, "sound/after.txt"}), 1u);
}

TEST(DirChangesHardening, AReaderBehindItsConsumerLosesNothing) {
    TTempDir dir;
    TReaderDriver driver(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
    driver.StartAndWaitReady();
    const int limit = KernelQueueLimit();
    if (limit <= 0 || limit > 100000)
        GTEST_SKIP() << "queue limit " << limit;
    // One read takes far fewer records than the first batch; the rest must
    // come out of the kernel's queue all the same, or the second batch,
    // which the queue could hold alone, overflows it.
    const int first = limit * 9 / 10;
    const int second = limit * 7 / 10;
    for (int i = 0; i < first + second; ++i) {
        std::ofstream(dir / ("f" + std::to_string(i)));
        if (i + 1 == first)
            driver.Step();
    }
    driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(driver.Seen, {0, "<lost>"}), 0u);
    EXPECT_EQ(driver.Seen.size(), static_cast<size_t>(first + second));
}

TEST(DirChangesHardening, AReadIsReportedOnlyWhenItMovedTheAccessTime) {
    TTempDir dir;
    dir.WriteFile("read.txt", "content");
    // Read in the same clock tick as the write, the file would keep an access
    // time no later than its last write, which the next read moves again.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TReaderDriver driver(dir.Path(), FILE_NOTIFY_CHANGE_LAST_ACCESS);
    driver.StartAndWaitReady();
    const auto accessTime = [&] {
        struct stat status {};
        ::stat((dir / "read.txt").c_str(), &status);
        return std::make_pair(status.st_atim.tv_sec, status.st_atim.tv_nsec);
    };
    std::string content;
    size_t moved = 0;
    for (int i = 0; i < 3; ++i) {
        const auto before = accessTime();
        std::ifstream(dir / "read.txt") >> content;
        driver.CollectUntilQuiet(50); // read apart, or the kernel folds the three events into one
        moved += accessTime() != before;
    }
    ASSERT_GT(moved, 0u) << "no read moved the access time (a noatime mount?): nothing was tried";
    EXPECT_EQ(CountOf(driver.Seen, {3, "read.txt"}), moved) << "one report for each read that moved it";
}

TEST(DirChangesHardening, TheFolderCountIsToldAgainWhenItChanges) {
    TTempDir dir;
    if (FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify counts no folders: one mark covers them all";
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    dir.MakeDir("one/two/three");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    driver.CollectUntilQuiet(700);
    ASSERT_EQ(driver.Notices.back().Kind, TWatchNotice::TKind::SetupDone);
    EXPECT_EQ(driver.Notices.back().FolderCount, 4u);
}

// The kernel may fold the changes of one entry by one process into one
// event while none is read; they still come out in the order they happened,
// and what happened inside a folder comes before its removal.
TEST(DirChangesHardening, ChangesMadeBeforeAnyReadComeInTheOrderTheyHappened) {
    TTempDir dir;
    TReaderDriver driver(dir.Path(), AllChanges);
    driver.StartAndWaitReady();
    dir.WriteFile("f.txt", "content");
    fs::remove(dir / "f.txt");
    dir.MakeDir("d");
    fs::permissions(dir / "d", fs::perms::owner_all);
    dir.WriteFile("d/inner.txt");
    fs::remove(dir / "d/inner.txt");
    fs::remove(dir / "d");
    dir.MakeDir("d");
    auto seen = driver.CollectUntilQuiet();
    auto at = [&](const TSeen& record) { return std::find(seen.begin(), seen.end(), record) - seen.begin(); };
    const auto end = static_cast<long>(seen.size());
    EXPECT_LT(at({1, "f.txt"}), at({3, "f.txt"})) << ::testing::PrintToString(seen);
    EXPECT_LT(at({3, "f.txt"}), at({2, "f.txt"}));
    EXPECT_LT(at({2, "f.txt"}), end);
    // inotify cannot see into a folder that is gone before its watch is set.
    if (FanotifyServes(dir.Path())) {
        EXPECT_LT(at({1, "d"}), at({1, "d/inner.txt"})) << ::testing::PrintToString(seen);
        EXPECT_LT(at({1, "d/inner.txt"}), at({2, "d/inner.txt"}));
        EXPECT_LT(at({2, "d/inner.txt"}), at({2, "d"}));
    }
    EXPECT_LT(at({1, "d"}), at({2, "d"}));
    EXPECT_LT(at({2, "d"}), end);
    EXPECT_EQ(CountOf(seen, {1, "d"}), 2u) << "made, removed and made again";
    EXPECT_EQ(seen.back(), (TSeen{1, "d"}));
}

// A folder seen while it lay outside the tree is no stranger once moved in.
TEST(DirChangesHardening, FoldersSeenOutsideAndMovedInAreNamedByTheirNewPlace) {
    TTempDir outside;
    TTempDir dir;
    outside.MakeDir("x/y");
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    outside.WriteFile("x/y/before.txt");
    EXPECT_TRUE(driver.CollectUntilQuiet().empty());
    fs::rename(outside / "x", dir / "x");
    dir.WriteFile("x/y/after.txt");
    fs::rename(dir / "x", outside / "x");
    outside.WriteFile("x/y/gone.txt");
    // inotify watches a folder by its path, which leads nowhere by the time
    // the move is read; fanotify sees the change wherever the folder is.
    if (FanotifyServes(dir.Path()))
        EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "x"}, {1, "x/y/after.txt"}, {2, "x"}}));
    else
        EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "x"}, {2, "x"}}));
}

// The watch holds nothing open that would keep the file system of the
// watched folder busy, and says why it ended when it is unmounted. A link
// on another file system that leads to the folder is watched too.
TEST(DirChangesHardening, TheWatchedFileSystemCanBeUnmountedAndTheWatchSaysSo) {
    TTempDir dir;
    dir.MakeDir("mount");
    TTestMount mount("tmpfs", dir / "mount", "tmpfs", 0);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a file system here (needs root)";
    dir.MakeDir("mount/watched");
    dir.MakeDir("mount/other");
    fs::create_directory_symlink(dir / "mount/watched", dir / "link");
    {
        TReaderDriver driver(dir / "link", Names);
        driver.StartAndWaitReady();
        fs::create_directory_symlink(dir / "mount/other", dir / "link.new");
        fs::rename(dir / "link.new", dir / "link");
        driver.CollectUntilQuiet();
        EXPECT_TRUE(driver.Failed) << "the link on the other file system leads elsewhere now";
    }
    TReaderDriver driver(dir / "mount", Names);
    driver.StartAndWaitReady();
    dir.WriteFile("mount/seen.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "seen.txt"}}));
    ASSERT_EQ(::umount2((dir / "mount").c_str(), 0), 0) << "busy: " << std::strerror(errno);
    mount.Unmount();
    driver.CollectUntilQuiet();
    EXPECT_TRUE(driver.Failed);
    EXPECT_NE(driver.Reader().FailureReason().find("unmounted"), std::string::npos) << driver.Reader().FailureReason();
}
