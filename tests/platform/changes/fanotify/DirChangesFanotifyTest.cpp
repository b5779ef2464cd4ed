// What only the fanotify source does: the choice of it, and watches of a
// whole file system.
#include "platform/changes/ReaderDriver.h"
#include "Testing.h"

#include "platform/changes/fanotify/FanotifySource.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
                  const bool served = !driver.Notices.empty() &&
                                      driver.Notices.back().Mechanism ==
                                          "inotify: " + why + "; processes unknown: inotify does not tell them";
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

namespace {

// The arguments of program as execv takes them, made before a fork: the
// child of a process with threads may only call what a signal handler may.
std::vector<char*> ArgumentsOf(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Starts program with args; its standard input from input where given.
pid_t Start(const std::string& program, const std::vector<std::string>& args, int input = -1) {
    std::vector<char*> argv = ArgumentsOf(program, args);
    const pid_t child = ::fork();
    if (child == 0) {
        if (input >= 0)
            ::dup2(input, 0);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return child;
}

void Reap(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
}

// Starts program as process number wanted, where the system gives it that
// number again; -1 where it could not.
pid_t StartAs(pid_t wanted, const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv = ArgumentsOf(program, args);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ofstream("/proc/sys/kernel/ns_last_pid") << wanted - 1;
        const pid_t child = ::fork();
        if (child == 0) {
            if (::getpid() != wanted)
                ::_exit(0);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        if (child == wanted)
            return child;
        Reap(child);
    }
    return -1;
}

} // namespace

// Ordinary programs, copied under names of the test's own, make changes:
// one still running when its change is read, one ended and reaped before,
// one that renames, and one ended whose number went to another program
// before its change was read, which must never lend it its name. The ended
// ones wait a little before they write: a process that ends within a
// millisecond of its start may end before it can be named, which is said.
TEST(DirChangesFanotify, EachChangeCarriesTheProcessThatMadeIt) {
    TTempDir dir, programs;
    if (::geteuid() != 0 || !FanotifyServes(dir.Path()))
        GTEST_SKIP() << "fanotify does not serve this run";
    auto copy = [&](const char* program, const char* name) {
        const std::string path = programs.Path() + "/" + name;
        fs::copy_file(program, path);
        fs::permissions(path, fs::perms::owner_all);
        return path;
    };
    const std::string living = copy("/bin/sh", "living-writer"), ended = copy("/bin/sh", "ended-writer"),
                      renamer = copy("/bin/mv", "renamer"), first = copy("/bin/sh", "first-writer"),
                      other = copy("/bin/sleep", "other-program");
    TReaderDriver driver(dir.Path(), Names | FILE_NOTIFY_CHANGE_LAST_WRITE);
    driver.StartAndWaitReady();
    const std::string in = dir.Path() + "/";

    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    const pid_t writer = Start(living, {"-c", "echo x > " + in + "a.txt; read line"}, input[0]);
    ::close(input[0]);
    driver.CollectUntilQuiet();
    ::close(input[1]);
    Reap(writer);
    Reap(Start(ended, {"-c", "sleep 0.2; : > " + in + "b.txt"}));
    driver.CollectUntilQuiet();
    const pid_t renaming = Start(renamer, {in + "b.txt", in + "c.txt"});
    driver.CollectUntilQuiet();
    Reap(renaming);
    const pid_t firstPid = Start(first, {"-c", "sleep 0.2; : > " + in + "d.txt"});
    Reap(firstPid);
    const pid_t reused = StartAs(firstPid, other, {"30"});
    driver.CollectUntilQuiet();
    if (reused > 0) {
        ::kill(reused, SIGKILL);
        Reap(reused);
    }

    // A process not yet reaped but ended has no program path any more.
    const struct {
        TSeen Record;
        std::string Program;
        bool MayHaveEnded;
    } expected[] = {{{1, "a.txt"}, living, false}, {{3, "a.txt"}, living, false}, {{1, "b.txt"}, ended, false},
                    {{4, "b.txt"}, renamer, true}, {{5, "c.txt"}, renamer, true}, {{1, "d.txt"}, first, false}};
    ASSERT_EQ(driver.Seen.size(), driver.Processes.size());
    for (const auto& [record, program, mayHaveEnded] : expected) {
        const auto at = std::find(driver.Seen.begin(), driver.Seen.end(), record);
        ASSERT_NE(at, driver.Seen.end()) << record;
        const TProcessRef& process = driver.Processes[static_cast<size_t>(at - driver.Seen.begin())];
        ASSERT_TRUE(process) << record;
        EXPECT_TRUE(process->Named) << record << ": " << DescribeProcess(*process);
        EXPECT_EQ(process->Command, fs::path(program).filename().string()) << record;
        if (!mayHaveEnded || !process->Executable.empty()) {
            EXPECT_EQ(process->Executable, program) << record;
        }
        EXPECT_EQ(process->User, static_cast<int64_t>(::geteuid())) << record;
    }
    EXPECT_GT(reused, 0) << "the number of the first writer was not given again: the test proved less";
}
