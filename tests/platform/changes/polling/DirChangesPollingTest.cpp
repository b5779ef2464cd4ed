// Watches by polling: what a walk compared with the last one reports, and a
// FUSE file system, whose changes made behind it the kernel never tells,
// polled through an outage of its server.
#include "platform/changes/ReaderDriver.h"
#include "Testing.h"

#include "platform/changes/PendingChanges.h"
#include "platform/changes/polling/TreePoller.h"
#include "platform/system/TextConversion.h"
#include "records/ChangeFilter.h"

#include <cstdlib>
#include <filesystem>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
// More than twice the shortest interval between walks: a walk that a loaded
// machine delays by a whole interval still lands inside the wait.
constexpr int PollQuietMs = 4500;

// Chooses polling for the watches made while it lives.
struct TPollingChosen : TEnvironmentScope {
    TPollingChosen() : TEnvironmentScope("SENTREL_CHANGE_BACKEND", "polling") {}
};

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}
} // namespace

namespace {
// The records a comparison of two walks gives, as a reader hands them on.
std::vector<TSeen> Compared(const TTreeState& before, const TTreeState& after) {
    TPendingChanges queue;
    CompareTrees(before, after, Names, queue);
    std::vector<TSeen> seen;
    alignas(4) char buffer[17024];
    while (queue.FrontReady())
        for (uint32_t bytes = queue.Pack(buffer, sizeof buffer), offset = 0; bytes > 0;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
            seen.push_back({record->Action & ~FileActionFolderFlag,
                            WideToLocal8(std::u16string_view(record->FileName, record->FileNameLength / 2))});
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
    return seen;
}

TEntryState Folder(ino_t inode) {
    return {inode, S_IFDIR | 0755, 0, 0, 0, 1};
}

TEntryState File(ino_t inode) {
    return {inode, S_IFREG | 0644, 0, 0, 10, 1};
}
} // namespace

// Each record names what is there at its point of a replay: a rename
// inside a renamed folder names the entry as the folder's rename left it, a
// folder made for a renamed entry comes first, a name freed by a rename is
// free when it is taken again.
TEST(DirChangesPolling, ComparedWalksGiveRecordsThatReplayInOrder) {
    struct TCase {
        const char* What;
        TTreeState Before, After;
        std::vector<TSeen> Expected;
    };
    const std::vector<TCase> cases = {
        {"mv a/x x; mv a b", {{"a", Folder(1)}, {"a/x", File(2)}}, {{"b", Folder(1)}, {"x", File(2)}},
         {{4, "a"}, {5, "b"}, {4, "b/x"}, {5, "x"}}},
        {"mkdir e; mv f e/f", {{"f", File(2)}}, {{"e", Folder(3)}, {"e/f", File(2)}},
         {{1, "e"}, {4, "f"}, {5, "e/f"}}},
        {"mv a b; mkdir a; mv f a/f", {{"a", Folder(1)}, {"f", File(2)}},
         {{"b", Folder(1)}, {"a", Folder(3)}, {"a/f", File(2)}},
         {{4, "a"}, {5, "b"}, {1, "a"}, {4, "f"}, {5, "a/f"}}},
        {"rm a/x; mv a b", {{"a", Folder(1)}, {"a/x", File(2)}}, {{"b", Folder(1)}},
         {{4, "a"}, {5, "b"}, {2, "b/x"}}},
        {"mv a b; mv b/x b/y", {{"a", Folder(1)}, {"a/x", File(2)}}, {{"b", Folder(1)}, {"b/y", File(2)}},
         {{4, "a"}, {5, "b"}, {4, "b/x"}, {5, "b/y"}}},
        {"rm f; a new file takes its inode", {{"f", File(2)}}, {{"g", {2, S_IFREG | 0644, 0, 0, 3, 5}}},
         {{2, "f"}, {1, "g"}}},
    };
    for (const TCase& test : cases)
        EXPECT_EQ(Compared(test.Before, test.After), test.Expected) << test.What;
}

TEST(DirChangesPolling, EachWalkReportsWhatChangedSinceTheLast) {
    TTempDir dir;
    dir.MakeDir("d/e");
    dir.WriteFile("d/e/f.txt");
    dir.WriteFile("g.txt");
    dir.WriteFile("h.txt");
    TPollingChosen polling;
    TReaderDriver driver(dir.Path(), AllChanges);
    driver.StartAndWaitReady();
    ASSERT_FALSE(driver.Notices.empty());
    EXPECT_EQ(driver.Notices.back().Mechanism,
              "polled every 2 s: chosen by SENTREL_CHANGE_BACKEND; processes unknown: polling does not tell them");

    struct TStep {
        const char* What;
        std::function<void()> Act;
        std::vector<TSeen> Expected;
    };
    const std::vector<TStep> steps = {
        {"a file added and one written", [&] { dir.WriteFile("new.txt"); dir.WriteFile("g.txt", "longer"); },
         {{1, "new.txt"}, {3, "g.txt"}}},
        {"a folder renamed with what it holds, which is written too",
         [&] { fs::rename(dir / "d", dir / "r"); dir.WriteFile("r/e/f.txt", "changed"); },
         {{4, "d"}, {5, "r"}, {3, "r/e/f.txt"}}},
        {"a file renamed into a folder", [&] { fs::rename(dir / "h.txt", dir / "r/h2.txt"); },
         {{4, "h.txt"}, {5, "r/h2.txt"}, {3, "r"}}},
        {"a tree removed: what it held first", [&] { fs::remove_all(dir / "r/e"); },
         {{2, "r/e/f.txt"}, {2, "r/e"}, {3, "r"}}},
        {"a tree made: the folder first", [&] { dir.MakeDir("n/m"); dir.WriteFile("n/m/x"); },
         {{1, "n"}, {1, "n/m"}, {1, "n/m/x"}}},
        {"permissions", [&] { fs::permissions(dir / "g.txt", fs::perms::owner_read); }, {{3, "g.txt"}}},
    };
    for (const TStep& step : steps) {
        step.Act();
        std::vector<TSeen> seen = driver.CollectUntilQuiet(PollQuietMs);
        std::vector<TSeen> expected = step.Expected;
        // Folders whose entries changed come in the order of their paths, among the others.
        std::sort(seen.begin(), seen.end(), [](const TSeen& a, const TSeen& b) { return a.Name < b.Name; });
        std::sort(expected.begin(), expected.end(), [](const TSeen& a, const TSeen& b) { return a.Name < b.Name; });
        std::erase(seen, TSeen{3, ""});
        EXPECT_EQ(seen, expected) << step.What;
    }
}

// A polled watch leaves excluded folders out; one no longer excluded is
// walked, and what it held is not new.
TEST(DirChangesPolling, ExcludedFoldersAreNotWalked) {
    TTempDir dir;
    dir.MakeDir("cache/deep");
    dir.WriteFile("cache/deep/old");
    TPollingChosen polling;
    TReaderDriver driver(dir.Path(), Names);
    const TLineVector excluded({dir / "cache/"}), none;
    driver.Reader().SetExcludedFolders(TChangeFilter(excluded, none, none, none, none).FolderRules());
    driver.StartAndWaitReady();
    dir.WriteFile("cache/deep/new");
    dir.WriteFile("kept");
    EXPECT_EQ(driver.CollectUntilQuiet(PollQuietMs), (std::vector<TSeen>{{1, "kept"}}));
    driver.Reader().SetExcludedFolders(nullptr);
    EXPECT_EQ(driver.CollectUntilQuiet(PollQuietMs), std::vector<TSeen>{});
    dir.WriteFile("cache/deep/newer");
    EXPECT_EQ(driver.CollectUntilQuiet(PollQuietMs), (std::vector<TSeen>{{1, "cache/deep/newer"}}));
}

// bindfs shows a folder through FUSE; what is written into the folder
// itself reaches the mount, and only a walk sees it. Its server killed,
// the mount does not answer: that is told once, no entry is reported gone,
// and once it is mounted again polling goes on from where it was.
TEST(DirChangesPolling, AFuseFileSystemIsPolledThroughAnOutage) {
    if (::geteuid() != 0 || Shell("command -v bindfs") != 0 || !fs::exists("/dev/fuse"))
        GTEST_SKIP() << "needs root, /dev/fuse and bindfs";
    TTempDir source, mount;
    source.MakeDir("sub");
    source.WriteFile("sub/a.txt");
    const std::string mountCommand = "bindfs --no-allow-other " + source.Path() + " " + mount.Path();
    ASSERT_EQ(Shell(mountCommand), 0);
    struct TUnmount {
        std::string Path;
        ~TUnmount() { Shell("fusermount -u -z " + Path); }
    } unmount{mount.Path()};
    ASSERT_EQ(PolledFileSystemKind(mount.Path()), std::optional<std::string>("FUSE file system"));

    TReaderDriver driver(mount.Path(), Names);
    driver.StartAndWaitReady();
    EXPECT_EQ(driver.Notices.back().Mechanism,
              "polled every 2 s: FUSE file system; processes unknown: polling does not tell them");
    source.WriteFile("sub/b.txt");
    EXPECT_EQ(driver.CollectUntilQuiet(PollQuietMs), (std::vector<TSeen>{{1, "sub/b.txt"}}));

    ASSERT_EQ(Shell("pkill -KILL -f '^bindfs --no-allow-other " + source.Path() + "'"), 0);
    std::vector<TSeen> duringOutage = driver.CollectUntilQuiet(PollQuietMs * 2);
    EXPECT_EQ(duringOutage, std::vector<TSeen>{}) << "an outage is no removal";
    const auto told = std::count_if(driver.Notices.begin(), driver.Notices.end(), [](const TWatchNotice& notice) {
        return notice.Kind == TWatchNotice::TKind::NotCovered && notice.Error == NotReachable;
    });
    EXPECT_EQ(told, 1) << "told once";

    source.WriteFile("sub/c.txt");
    Shell("fusermount -u -z " + mount.Path());
    ASSERT_EQ(Shell(mountCommand), 0);
    EXPECT_EQ(driver.CollectUntilQuiet(PollQuietMs), (std::vector<TSeen>{{1, "sub/c.txt"}}))
        << "what changed meanwhile, and nothing else";
    EXPECT_FALSE(driver.Failed);
}

// A FUSE file system mounted inside a watched tree is polled with it; once
// unmounted, the folder below is watched as any other.
TEST(DirChangesPolling, AFuseMountInsideAWatchedTreeIsPolled) {
    if (::geteuid() != 0 || Shell("command -v bindfs") != 0 || !fs::exists("/dev/fuse"))
        GTEST_SKIP() << "needs root, /dev/fuse and bindfs";
    TTempDir source, dir;
    dir.MakeDir("mnt");
    ASSERT_EQ(Shell("bindfs --no-allow-other " + source.Path() + " " + dir / "mnt"), 0);
    struct TUnmount {
        std::string Path;
        ~TUnmount() { Shell("fusermount -u -z " + Path); }
    } unmount{dir / "mnt"};

    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    source.WriteFile("x");
    dir.WriteFile("y");
    std::vector<TSeen> seen = driver.CollectUntilQuiet(PollQuietMs);
    std::sort(seen.begin(), seen.end(), [](const TSeen& a, const TSeen& b) { return a.Name < b.Name; });
    EXPECT_EQ(seen, (std::vector<TSeen>{{1, "mnt/x"}, {1, "y"}}));
    EXPECT_NE(driver.Notices.back().Mechanism.find("; mnt polled every 2 s: FUSE file system"), std::string::npos)
        << driver.Notices.back().Mechanism;
    EXPECT_TRUE(std::none_of(driver.Notices.begin(), driver.Notices.end(), [](const TWatchNotice& notice) {
        return notice.Kind == TWatchNotice::TKind::NotCovered;
    })) << "a polled mount is no gap";

    ASSERT_EQ(Shell("fusermount -u " + dir / "mnt"), 0);
    driver.CollectUntilQuiet(PollQuietMs);
    dir.WriteFile("mnt/z");
    EXPECT_EQ(driver.CollectUntilQuiet(PollQuietMs), (std::vector<TSeen>{{1, "mnt/z"}}));
}
