// What only the fanotify source does: the choice of it, and watches of a
// whole file system.
#include "Testing.h"
#include "ReaderDriver.h"

#include "platform/FanotifySource.h"

#include <algorithm>
#include <filesystem>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

// Root may use fanotify; the choice is tried as an ordinary user in a
// child process.
TEST(DirChangesFanotify, AnOrdinaryUserIsServedByInotifyAndToldWhy) {
    TTempDir dir;
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to act as an ordinary user";
    fs::permissions(dir.Path(), fs::perms::all);
    EXPECT_EQ(RunAsOrdinaryUser([&] {
                  ::unsetenv("SENTREL_CHANGE_BACKEND");
                  const std::string why = "fanotify needs the CAP_SYS_ADMIN capability";
                  TReaderDriver driver(dir.Path(), Names);
                  driver.StartAndWaitReady();
                  const bool served = !driver.Notices.empty() && driver.Notices.back().Mechanism == "inotify: " + why;
                  dir.WriteFile("x.txt");
                  return inotify::ChooseFanotify(dir.Path()).WhyNot == why && served &&
                         driver.CollectUntilQuiet() == std::vector<TSeen>{{1, "x.txt"}};
              }),
              0);
}

// A process given CAP_SYS_ADMIN without CAP_DAC_READ_SEARCH could mark the
// file system but never find a folder by its handle: it is served by inotify.
TEST(DirChangesFanotify, WithoutTheCapabilityToFindFoldersByHandleInotifyServes) {
    TTempDir dir;
    if (!FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify does not serve this run";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        const bool dropped = ::syscall(SYS_capget, &header, data) == 0 &&
                             ((data[0].effective &= ~(1u << CAP_DAC_READ_SEARCH)), true) &&
                             ::syscall(SYS_capset, &header, data) == 0;
        ::_exit(dropped && inotify::ChooseFanotify(dir.Path()).WhyNot ==
                               "fanotify needs the CAP_DAC_READ_SEARCH capability too"
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A watch of "/" is one mark: changes anywhere on its file system are
// reported from the start, while the walk that names folders ahead of their
// changes still runs.
TEST(DirChangesFanotify, AWatchOfTheWholeFileSystemReportsChangesAtOnce) {
    TTempDir dir;
    if (!FanotifyServes("/") || !FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify does not serve this run";
    struct stat rootStatus, dirStatus;
    ASSERT_EQ(::stat("/", &rootStatus), 0);
    ASSERT_EQ(::stat(dir.Path().c_str(), &dirStatus), 0);
    if (rootStatus.st_dev != dirStatus.st_dev)
        GTEST_SKIP() << "the temporary folder is on another file system than /";
    TReaderDriver driver("/", FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_TRUE(driver.Start());
    dir.WriteFile("anywhere.txt");
    const std::string expected = fs::canonical(dir.Path()).string().substr(1) + "/anywhere.txt";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (CountOf(driver.Seen, {1, expected}) == 0 && std::chrono::steady_clock::now() < deadline)
        driver.Step();
    EXPECT_EQ(CountOf(driver.Seen, {1, expected}), 1u);
    // Mount points below "/" are named first; then the watch says it covers the rest.
    auto told = std::find_if(driver.Notices.begin(), driver.Notices.end(), [](const TWatchNotice& notice) {
        return notice.Kind != TWatchNotice::TKind::NotCovered;
    });
    ASSERT_NE(told, driver.Notices.end());
    EXPECT_EQ(told->Kind, TWatchNotice::TKind::Covered) << "covered from the first moment";
    EXPECT_EQ(told->Mechanism, "fanotify");
}

// More changes inside a folder made and removed than one read of the
// kernel's queue takes: the folder's removal still comes after all of them.
TEST(DirChangesFanotify, AFolderMadeFilledAndRemovedBeforeAReadIsReportedWhole) {
    TTempDir dir;
    if (!FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify does not serve this run";
    TReaderDriver driver(dir.Path(), Names);
    driver.StartAndWaitReady();
    constexpr int Files = 2000;
    dir.MakeDir("d");
    for (int i = 0; i < Files; ++i)
        dir.WriteFile("d/file" + std::to_string(i));
    for (int i = 0; i < Files; ++i)
        fs::remove(dir / ("d/file" + std::to_string(i)));
    fs::remove(dir / "d");
    const auto seen = driver.CollectUntilQuiet();
    ASSERT_EQ(seen.size(), 2u * Files + 2);
    EXPECT_EQ(seen.front(), (TSeen{1, "d"}));
    EXPECT_EQ(seen.back(), (TSeen{2, "d"}));
    for (int i = 0; i < Files; i += 97)
        EXPECT_EQ(CountOf(seen, {2, "d/file" + std::to_string(i)}), 1u) << i;
}
