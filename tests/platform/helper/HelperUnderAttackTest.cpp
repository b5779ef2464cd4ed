// The privileged helper against its own user: a client who swaps folders
// and links, or waits for root to change a folder, must still be passed
// only what that user could have seen.
#include "Testing.h"
#include "platform/helper/HelperTesting.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/fs.h>
#include <set>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
bool Exchange(const std::string& one, const std::string& other) {
    return ::syscall(SYS_renameat2, AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) == 0;
}

bool Mentions(const std::vector<TSeen>& seen, const std::string& leaf) {
    return std::any_of(seen.begin(), seen.end(),
                       [&](const TSeen& record) { return record.Name == leaf || record.Name.ends_with("/" + leaf); });
}

// A folder of the test that nobody may change: what is made in it is the
// test's (root's) to say.
struct THostileTree {
    TTempDir Dir;
    THostileTree() { ::chmod(Dir.Path().c_str(), 0777); }
    std::string MakeFolder(const std::string& name, mode_t mode, uid_t owner = 0) const {
        Dir.MakeDir(name);
        ::chmod((Dir / name).c_str(), mode);
        EXPECT_EQ(::chown((Dir / name).c_str(), owner, owner), 0);
        return Dir / name;
    }
};

bool HelperCanServe(const std::string& folder) {
    return ::geteuid() == 0 && FanotifyServes(folder);
}
} // namespace

// A change waits in the helper while the user exchanges the folder it
// happened in (root's, private) with one of their own: the change still
// belongs to root's folder, wherever its name went.
TEST(HelperUnderAttack, AFolderSwappedAfterItsChangeDecidesNothingForIt) {
    THostileTree tree;
    if (!HelperCanServe(tree.Dir.Path()))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    const std::string secret = tree.MakeFolder("S", 0700);
    const std::string own = tree.MakeFolder("d", 0755, Nobody);
    auto helper = StartHelperForNobody();
    ASSERT_TRUE(helper);
    TOpenFailure failure;
    std::string refusal;
    TPausedClient client(helper->Open(tree.Dir.Path(), failure, refusal), Names);
    ASSERT_TRUE(client.WaitReady()) << refusal;
    Shell("touch " + tree.Dir / "first");
    ASSERT_TRUE(Mentions(client.ReadOnce(), "first"));

    Shell("touch " + secret + "/x");
    ASSERT_TRUE(AsNobody([&] { return Exchange(secret, own); }));
    const std::vector<TSeen> seen = client.ReadUntilQuiet();
    EXPECT_FALSE(Mentions(seen, "x")) << "a change in root's private folder reached the user";
    EXPECT_TRUE(Mentions(seen, "S") && Mentions(seen, "d"))
        << "the exchange itself, in the user's folder, is theirs to see";
}

// The helper must see a folder made private even when its client asked
// only for names: a change made in it afterwards, and the folder then
// removed, is never passed on the strength of what was allowed before.
TEST(HelperUnderAttack, AFolderMadePrivateThenRemovedKeepsItsLaterChangesPrivate) {
    THostileTree tree;
    if (!HelperCanServe(tree.Dir.Path()))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    const std::string folder = tree.MakeFolder("p", 0755);
    auto helper = StartHelperForNobody();
    ASSERT_TRUE(helper);
    TOpenFailure failure;
    std::string refusal;
    TPausedClient client(helper->Open(tree.Dir.Path(), failure, refusal), Names);
    ASSERT_TRUE(client.WaitReady()) << refusal;
    Shell("touch " + folder + "/before");
    ASSERT_TRUE(Mentions(client.ReadOnce(), "before")) << "a change in a folder the user may list";

    Shell("chmod 700 " + folder + " && touch " + folder + "/s && rm -r " + folder);
    const std::vector<TSeen> seen = client.ReadUntilQuiet();
    EXPECT_FALSE(Mentions(seen, "s")) << "made after the folder became private";
    EXPECT_TRUE(Mentions(seen, "p")) << "the folder's own going, in a folder the user may list";
}

// While a watch opens, the user swaps their folder with a link to a folder
// of root's, again and again, and puts their folder back before the first
// read. A watch either follows the folder the user opened or fails; none
// ever passes a change made in root's folder.
TEST(HelperUnderAttack, AWatchNeverFollowsALinkSwappedInWhileItOpens) {
    THostileTree tree;
    if (!HelperCanServe(tree.Dir.Path()))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    const std::string secret = tree.MakeFolder("R", 0700);
    const std::string own = tree.MakeFolder("u", 0755, Nobody);
    const std::string link = tree.Dir / "l";
    ASSERT_EQ(::symlink(secret.c_str(), link.c_str()), 0);
    ::lchown(link.c_str(), Nobody, Nobody);
    auto helper = StartHelperForNobody();
    ASSERT_TRUE(helper);
    int leaks = 0, watched = 0;
    for (int attempt = 0; attempt < 120 && !HasFailure(); ++attempt) {
        const pid_t swapper = ::fork();
        if (swapper == 0) {
            if (BecomeNobody())
                for (;;)
                    Exchange(own, link);
            ::_exit(1);
        }
        TOpenFailure failure;
        std::string refusal;
        std::unique_ptr<TDirChangeReader> reader = helper->Open(own, failure, refusal);
        ::kill(swapper, SIGKILL);
        ::waitpid(swapper, nullptr, 0);
        struct stat status {};
        if (::lstat(own.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
            ASSERT_TRUE(AsNobody([&] { return Exchange(own, link); }));
        }
        TPausedClient client(std::move(reader), Names);
        if (!client.WaitReady())
            continue;
        ++watched;
        const std::string name = "x" + std::to_string(attempt);
        Shell("touch " + secret + "/" + name);
        leaks += Mentions(client.ReadOnce(std::chrono::milliseconds(100)), name);
    }
    EXPECT_EQ(leaks, 0) << "of " << watched << " watches opened, some passed changes in root's folder";
    EXPECT_GT(watched, 0) << "no watch opened at all: the test proved nothing";
}

// Of the process behind a change the user learns what /proc would show
// them: of their own, everything; of another user's, never the program's
// path, and nothing at all where /proc hides other users' processes.
TEST(HelperUnderAttack, ProcessesAreToldOnlyAsFarAsProcShowsThemToTheUser) {
    THostileTree tree;
    if (!HelperCanServe(tree.Dir.Path()))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    for (const bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "/proc mounted with hidepid=invisible" : "/proc as it is");
        std::string why;
        const std::string helperCommand = std::string(SENTREL_HELPER) + " --for-user " + std::to_string(Nobody);
        auto helper = THelperConnection::Start(
            hidden ? std::vector<std::string>{SENTREL_PRIVATE_MOUNTS, "sh", "-c",
                                              "mount -t proc -o hidepid=invisible proc /proc && exec " + helperCommand}
                   : std::vector<std::string>{SENTREL_HELPER, "--for-user", std::to_string(Nobody)},
            why);
        ASSERT_TRUE(helper) << why;
        TOpenFailure failure;
        std::string refusal;
        TReaderDriver driver(helper->Open(tree.Dir.Path(), failure, refusal), Names);
        ASSERT_TRUE(&driver.Reader()) << refusal;
        driver.StartAndWaitReady();
        const std::string rootsFile = "by-root-" + std::to_string(hidden),
                          ownFile = "by-nobody-" + std::to_string(hidden);
        Shell(LingeringWrite(tree.Dir / rootsFile));
        ASSERT_TRUE(AsNobody([&] { return std::system(LingeringWrite(tree.Dir / ownFile).c_str()) == 0; }));
        driver.CollectUntilQuiet(500);
        auto processOf = [&](const std::string& name) -> TProcessRef {
            const auto at = std::find(driver.Seen.begin(), driver.Seen.end(), TSeen{FILE_ACTION_ADDED, name});
            return at == driver.Seen.end() ? nullptr : driver.Processes[static_cast<size_t>(at - driver.Seen.begin())];
        };
        const TProcessRef roots = processOf(rootsFile), own = processOf(ownFile);
        ASSERT_TRUE(roots && own) << "both changes are in a folder the user may list";
        EXPECT_EQ(own->Command, "sh");
        EXPECT_FALSE(own->Executable.empty()) << "the user's own process, whose program they may read";
        EXPECT_TRUE(roots->Executable.empty()) << "another user's program path: " << roots->Executable;
        if (hidden) {
            EXPECT_TRUE(roots->OtherUser);
            EXPECT_EQ(roots->Pid, 0);
            EXPECT_TRUE(roots->Command.empty());
        } else {
            EXPECT_EQ(roots->Command, "sh");
        }
    }
}

namespace {
// The helper processes this test started.
std::vector<pid_t> HelpersOfThisTest() {
    std::vector<pid_t> helpers;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code error;
        std::ifstream status(entry.path() / "status");
        pid_t parent = 0;
        for (std::string key; status >> key && key != "PPid:";)
            status.ignore(256, '\n');
        status >> parent;
        if (parent == ::getpid() &&
            std::filesystem::read_symlink(entry.path() / "exe", error) == std::filesystem::path(SENTREL_HELPER))
            helpers.push_back(std::stoi(name));
    }
    return helpers;
}

size_t FanotifyGroupsOf(pid_t process) {
    size_t groups = 0;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/fd", error))
        groups += std::filesystem::read_symlink(fd.path(), error) == "anon_inode:[fanotify]";
    return groups;
}

// Kernel memory that cannot be reclaimed, fanotify's queued events among it.
int64_t UnreclaimableKernelBytes() {
    std::ifstream info("/proc/meminfo");
    for (std::string key; info >> key;) {
        int64_t kilobytes = 0;
        info >> kilobytes;
        if (key == "SUnreclaim:")
            return kilobytes * 1024;
        info.ignore(64, '\n');
    }
    return 0;
}
} // namespace

// A client asks for watch after watch: it gets a few, each refused one
// says why, and the helper holds one fanotify group for it, never one a
// watch, so that the machine's other programs can still have theirs.
TEST(HelperUnderAttack, AClientAskingForMoreWatchesThanItMayTakesOneGroup) {
    THostileTree tree;
    if (!HelperCanServe(tree.Dir.Path()))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    auto helper = StartHelperForNobody();
    ASSERT_TRUE(helper);
    std::vector<std::unique_ptr<TDirChangeReader>> watches;
    std::set<std::string> refusals;
    alignas(4) char buffer[4096];
    for (int request = 0; request < 200; ++request) {
        TOpenFailure failure;
        std::string refusal;
        if (auto reader = helper->Open(tree.Dir.Path(), failure, refusal)) {
            reader->ReadChanges(buffer, sizeof buffer, true, Names);
            watches.push_back(std::move(reader));
        } else {
            refusals.insert(refusal);
        }
    }
    EXPECT_GT(watches.size(), 0u);
    EXPECT_LE(watches.size(), 16u) << "watches one client holds";
    EXPECT_EQ(refusals, std::set<std::string>{"the helper watches at most 16 folders for one program"});
    const std::vector<pid_t> helpers = HelpersOfThisTest();
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_EQ(FanotifyGroupsOf(helpers.front()), 1u) << "fanotify groups of the helper";
}

// A client that stops reading while another process makes a hundred
// thousand changes costs the machine a bounded amount of kernel memory:
// the helper reads the kernel's queue all the while. (What the files
// themselves take is measured first, with nothing watching.)
TEST(HelperUnderAttack, AClientThatStopsReadingCostsTheKernelABoundedAmount) {
    if (std::getenv("SENTREL_TEST_FILESYSTEM"))
        GTEST_SKIP() << "runs once, on tmpfs";
    char pattern[] = "/dev/shm/sentrel-memory-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string folder = pattern;
    ::chmod(folder.c_str(), 0755);
    struct TRemove {
        std::string Folder;
        ~TRemove() { std::filesystem::remove_all(Folder); }
    } remove{folder};
    if (!HelperCanServe(folder))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    constexpr int Changes = 100000;
    const auto kernelMemoryOfChanges = [&](const std::string& prefix) {
        const int64_t before = UnreclaimableKernelBytes();
        for (int i = 0; i < Changes; ++i)
            inotify::TFd(
                ::open((folder + "/" + prefix + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        return UnreclaimableKernelBytes() - before;
    };
    const int64_t unwatched = kernelMemoryOfChanges("unwatched-");

    auto helper = StartHelperForNobody();
    ASSERT_TRUE(helper);
    std::vector<std::unique_ptr<TPausedClient>> clients;
    for (int watch = 0; watch < 4; ++watch) {
        TOpenFailure failure;
        std::string refusal;
        clients.push_back(std::make_unique<TPausedClient>(helper->Open(folder, failure, refusal), Names));
        ASSERT_TRUE(clients.back()->WaitReady()) << refusal;
    }
    Shell("touch " + folder + "/first");
    for (auto& client : clients)
        ASSERT_TRUE(Mentions(client->ReadOnce(), "first"));
    const int64_t watched = kernelMemoryOfChanges("watched-");
    EXPECT_LT(watched - unwatched, int64_t{32} << 20) << "kernel memory held for 4 watches whose client does not read";
    for (auto& client : clients)
        EXPECT_TRUE(Mentions(client->ReadUntilQuiet(), "<lost>")) << "what could not be kept is said to be lost";
}
