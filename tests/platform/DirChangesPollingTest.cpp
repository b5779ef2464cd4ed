// Watches by polling: what a walk compared with the last one reports, and a
// FUSE file system, whose changes made behind it the kernel never tells,
// polled through an outage of its server.
#include "Testing.h"
#include "ReaderDriver.h"

#include "platform/PollingReader.h"

#include <cstdlib>
#include <filesystem>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
constexpr int PollQuietMs = 2600; // longer than the shortest interval between walks

// Chooses polling for the watches made while it lives.
struct TPollingChosen {
    std::string Before = std::getenv("SENTREL_CHANGE_BACKEND") ? std::getenv("SENTREL_CHANGE_BACKEND") : "";
    TPollingChosen() { ::setenv("SENTREL_CHANGE_BACKEND", "polling", 1); }
    ~TPollingChosen() { Before.empty() ? ::unsetenv("SENTREL_CHANGE_BACKEND") : ::setenv("SENTREL_CHANGE_BACKEND", Before.c_str(), 1); }
};

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}
} // namespace

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
    EXPECT_EQ(driver.Notices.back().Mechanism, "polled every 2 s: chosen by SENTREL_CHANGE_BACKEND");

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
    EXPECT_EQ(driver.Notices.back().Mechanism, "polled every 2 s: FUSE file system");
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
