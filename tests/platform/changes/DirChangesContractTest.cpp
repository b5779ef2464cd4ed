// What every system's change reader promises the watch, tested on the
// system's own reader: built and run on Linux (inotify, fanotify) and on
// Windows alike. What only one system does is tested beside its reader.
#include "EngineTesting.h"
#include "ReaderDriver.h"

#include "platform/changes/DirChanges.h"
#include "platform/system/PlatformInfo.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace fs = std::filesystem;

namespace {
uint32_t OpenError(const std::string& path) {
    TOpenFailure failure;
    auto reader = TDirChangeReader::OpenNative(path, failure);
    return reader ? 0 : failure.ErrorCode;
}

TSeen Seen(uint32_t action, const std::string& name) {
    return {action, SystemName(name)};
}
} // namespace

TEST(DirChanges, FileLifecycleInTheFolderAndBelow) {
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
    EXPECT_EQ(CountOf(seen, {3, ""}), 0u) << "the watched folder itself is never reported";
    EXPECT_LT(std::find(seen.begin(), seen.end(), TSeen{1, "a.txt"}),
              std::find(seen.begin(), seen.end(), TSeen{2, "a.txt"}));
    KNOWN_WINE_DIFFERENCE(WineSubTreeGap);
    EXPECT_EQ(CountOf(seen, Seen(1, "sub/b.txt")), 1u) << ::testing::PrintToString(seen);
    EXPECT_GE(CountOf(seen, {3, "sub"}), 1u) << "a sub-folder's entries changed";
}

TEST(DirChanges, NotifyFilterSelectsWhatIsReported) {
    TTempDir dir;
    dir.MakeDir("sub");
    dir.WriteFile("old.txt");
    dir.WriteFile("sub/h.txt");
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
        TReaderDriver attributes(dir.Path(), FILE_NOTIFY_CHANGE_ATTRIBUTES);
        attributes.StartAndWaitReady();
        fs::permissions(dir / "old.txt", fs::perms::owner_read);
        std::ofstream(dir / "sub/h.txt", std::ios::app) << "more";
        EXPECT_EQ(attributes.CollectUntilQuiet(), (std::vector<TSeen>{{3, "old.txt"}}));
    }
    TReaderDriver nothing(dir.Path(), 0);
    EXPECT_FALSE(nothing.Start()) << "an empty filter is refused";
    KNOWN_WINE_DIFFERENCE(WineSubTreeGap);
    {
        TReaderDriver writes(dir.Path(), FILE_NOTIFY_CHANGE_LAST_WRITE);
        writes.StartAndWaitReady();
        dir.WriteFile("sub/w.txt");
        auto seen = writes.CollectUntilQuiet();
        EXPECT_GE(CountOf(seen, {3, "sub"}), 1u);
        EXPECT_GE(CountOf(seen, Seen(3, "sub/w.txt")), 1u);
        EXPECT_EQ(CountOf(seen, Seen(1, "sub/w.txt")), 0u);
    }
}

TEST(DirChanges, FilesCreatedInABrandNewFolderAreReportedOnce) {
    KNOWN_WINE_DIFFERENCE(WineSubTreeGap);
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
            EXPECT_EQ(CountOf(seen, Seen(1, name)), 1u) << name;
    }
    EXPECT_EQ(seen.size(), 20u * 6);
}

// A rename within the tree is its two halves, one after the other; in and
// out of the tree it is an addition and a removal.
TEST(DirChanges, RenamesWithinIntoAndOutOfTheTree) {
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
    EXPECT_TRUE(Adjacent(seen, {4, "d"}, {5, "e"}));
    EXPECT_EQ(CountOf(seen, {1, "moved-in"}), 1u);
    KNOWN_WINE_DIFFERENCE(WineSubTreeGap);
    EXPECT_EQ(CountOf(seen, Seen(1, "d/in.txt")), 1u);
    EXPECT_EQ(CountOf(seen, Seen(1, "e/inner/after.txt")), 1u) << "a renamed folder's changes carry its new path";
    if (RecordsTellFolders) {
        for (const char* folder : {"d", "e", "moved-in"})
            EXPECT_EQ(driver.SeenFolders.count(folder), 1u) << folder << " is said to be a folder";
        for (const char* file : {"x.txt", "y.txt", "d/in.txt", "e/inner/after.txt"})
            EXPECT_EQ(driver.SeenFolders.count(file), 0u) << file << " is said to be a file";
    }

    driver.SeenFolders.clear();
    dir.WriteFile("moved-in/deep/new.txt");
    fs::rename(dir / "e", outside / "e");
    outside.WriteFile("e/ignored.txt");
    seen = driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(seen, Seen(1, "moved-in/deep/new.txt")), 1u) << "a moved-in folder is watched";
    EXPECT_EQ(CountOf(seen, {2, "e"}), 1u);
    EXPECT_EQ(seen.size(), 2u) << "a folder moved out is no longer watched" << ::testing::PrintToString(seen);
    if (RecordsTellFolders) {
        EXPECT_EQ(driver.SeenFolders, std::set<std::string>{"e"});
    }
}

// A name that is not valid text (bytes that are not UTF-8 on Linux, a lone
// surrogate on Windows) is reported as a name that opens the file again.
TEST(DirChanges, OddNamesAreReportedSoThatTheyOpenTheFile) {
#ifdef _WIN32
    const std::string name = PathText(fs::path(std::wstring{L'a', wchar_t(0xD800), L'b'}));
    KNOWN_WINE_DIFFERENCE(WineLoneSurrogateGap);
#else
    const std::string name = "caf\xe9\x01";
#endif
    TTempDir dir;
    TReaderDriver driver(dir.Path());
    driver.StartAndWaitReady();
    std::ofstream(FileSystemPath(dir.Path() + PathDelim + name)) << "x";
    const auto seen = driver.CollectUntilQuiet();
    ASSERT_EQ(CountOf(seen, {1, name}), 1u) << ::testing::PrintToString(seen);
    std::error_code error;
    EXPECT_TRUE(fs::is_regular_file(FileSystemPath(dir.Path() + PathDelim + name), error));
}

TEST(DirChanges, WholeSubTreeOnlyWhenAsked) {
    TTempDir dir;
    dir.MakeDir("sub");
    TReaderDriver driver(dir.Path(), Names, false);
    driver.StartAndWaitReady();
    dir.WriteFile("sub/deep.txt");
    dir.WriteFile("top.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "top.txt"}}));
}

// The watch must end, saying why, rather than report paths that lie.
TEST(DirChanges, WatchedFolderRemovedOrRenamedFailsTheReadAndSaysWhy) {
    TTempDir parent;
    for (const bool removed : {false, true}) {
        if (removed) {
            KNOWN_WINE_DIFFERENCE(WineRemovalGap);
        }
        parent.MakeDir("watched");
        TReaderDriver driver(parent / "watched", Names);
        driver.StartAndWaitReady();
        if (removed)
            fs::remove(parent / "watched");
        else
            fs::rename(parent / "watched", parent / "renamed");
        driver.CollectUntilQuiet();
        EXPECT_TRUE(driver.Failed) << (removed ? "removed" : "renamed");
        EXPECT_NE(driver.Reader().FailureReason().find(removed ? "removed" : "moved or renamed"), std::string::npos)
            << driver.Reader().FailureReason();
        fs::remove_all(parent / "renamed");
    }
}

// Changes nobody reads pile up until the system drops them: a read then
// completes with no records, and the watch goes on.
TEST(DirChanges, AFloodNobodyReadsIsReportedAsLostChangesAndTheWatchGoesOn) {
    TTempDir dir;
    if (FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify's queue is unlimited: it does not overflow";
#ifdef _WIN32
    // The system keeps what the read's buffer can hold: about 500 of these.
    const int flood = 2000;
#else
    const int limit = KernelQueueLimit();
    if (limit <= 0 || limit > 100000)
        GTEST_SKIP() << "queue limit " << limit;
    const int flood = limit + 100;
#endif
    TReaderDriver driver(dir.Path(), FILE_NOTIFY_CHANGE_FILE_NAME);
    driver.StartAndWaitReady();
    for (int i = 0; i < flood; ++i)
        std::ofstream(dir / ("f" + std::to_string(i)));
    auto seen = driver.CollectUntilQuiet();
    EXPECT_EQ(CountOf(seen, {0, "<lost>"}), 1u);
    EXPECT_FALSE(driver.Failed);
    dir.WriteFile("after.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(), (std::vector<TSeen>{{1, "after.txt"}})) << "the watch goes on after the loss";
}

TEST(DirChanges, InterruptEndsALongWaitAtOnce) {
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

TEST(DirChanges, OpenFailuresGiveTheCodesAWindowsUserKnows) {
    TTempDir dir;
    dir.WriteFile("file.txt");
    EXPECT_EQ(OpenError(dir / "missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(dir / "missing/deeper"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(dir / "file.txt"), ERROR_DIRECTORY);
    EXPECT_EQ(OpenError(dir / "file.txt/below"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(dir.Path()), 0u);
}
