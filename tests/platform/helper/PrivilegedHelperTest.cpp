// The privileged helper run as root for an ordinary user (nobody): what it
// passes on is only what that user could have seen for themselves.
#include "platform/helper/HelperTesting.h"
#include "Testing.h"

#include "platform/helper/HelperClient.h"
#include "platform/helper/HelperProtocol.h"
#include "platform/system/FileDescriptor.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
bool Below(const TSeen& seen, const std::string& folder) {
    return seen.Name.rfind(folder + "/", 0) == 0;
}
} // namespace

TEST(PrivilegedHelper, PassesAnOrdinaryUserOnlyWhatTheyCouldSee) {
    TTempDir dir;
    if (::geteuid() != 0 || !FanotifyServes(dir.Path()))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    ::chmod(dir.Path().c_str(), 0755);
    for (const auto& [folder, mode] : {std::pair{"open", 0755},
                                       {"open/inner", 0777},
                                       {"secret", 0700},
                                       {"secret/deep", 0755},
                                       {"listless", 0711},
                                       {"gone", 0700}}) {
        dir.MakeDir(folder);
        ::chmod((dir / folder).c_str(), static_cast<mode_t>(mode));
    }
    auto helper = StartHelperForNobody();
    ASSERT_TRUE(helper);
    EXPECT_EQ(helper->User(), Nobody);

    for (const char* unlistable : {"secret", "listless", "missing"}) {
        TOpenFailure failure;
        std::string refusal;
        EXPECT_FALSE(helper->Open(dir / unlistable, failure, refusal)) << unlistable;
        EXPECT_EQ(failure.ErrorCode, std::string(unlistable) == "missing" ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED)
            << unlistable << ": " << refusal;
    }

    TOpenFailure failure;
    std::string refusal;
    TReaderDriver driver(helper->Open(dir.Path(), failure, refusal), Names | FILE_NOTIFY_CHANGE_LAST_WRITE);
    ASSERT_TRUE(&driver.Reader()) << refusal;
    driver.StartAndWaitReady();
    const std::string in = dir.Path() + "/";
    Shell(LingeringWrite(in + "open/seen"));
    Shell("touch " + in + "secret/hidden " + in + "secret/deep/hidden " + in + "listless/hidden");
    for (int wait = 0; wait < 500 && !std::filesystem::exists(in + "open/seen"); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Shell("mv " + in + "secret/hidden " + in + "open/inner/moved-out");
    Shell("mv " + in + "open/seen " + in + "secret/moved-in");
    Shell("touch " + in + "gone/a && rm -r " + in + "gone");
    // The user may write there, but not list the folder it is moved to.
    Shell("mkdir " + in + "open/inner/d && touch " + in + "open/inner/d/f && chmod 0700 " + in + "open/inner/d");
    Shell("touch " + in + "open/inner/d/after-chmod");
    const std::vector<TSeen> seen = driver.CollectUntilQuiet(500);

    for (const TSeen& record : seen)
        EXPECT_FALSE(Below(record, "secret") || Below(record, "listless") || Below(record, "gone") ||
                     (Below(record, "open/inner/d") && record.Name != "open/inner/d/f"))
            << "passed to a user who may not list its folder: " << record;
    const struct {
        TSeen Record;
        const char* Why;
    } expected[] = {
        {{FILE_ACTION_ADDED, "open/seen"}, "a change in a folder the user may list"},
        {{FILE_ACTION_ADDED, "open/inner/moved-out"}, "moved in from where the user may not look: an addition"},
        {{FILE_ACTION_REMOVED, "open/seen"}, "moved to where the user may not look: a removal"},
        {{FILE_ACTION_REMOVED, "gone"}, "a folder's own going, in a folder the user may list"},
    };
    for (const auto& [record, why] : expected)
        EXPECT_EQ(CountOf(seen, record), 1u) << record << ": " << why;
    const auto touched = std::find(driver.Seen.begin(), driver.Seen.end(), TSeen{FILE_ACTION_ADDED, "open/seen"});
    ASSERT_NE(touched, driver.Seen.end());
    const TProcessRef& process = driver.Processes[static_cast<size_t>(touched - driver.Seen.begin())];
    ASSERT_TRUE(process);
    EXPECT_EQ(process->Command, "sh");
}

// Requests that break the protocol end the helper; the program learns it
// as the end of its watches.
TEST(PrivilegedHelper, EndsOnARequestThatBreaksTheRules) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to start the helper";
    int toHelper[2], fromHelper[2];
    ASSERT_EQ(::pipe(toHelper), 0);
    ASSERT_EQ(::pipe(fromHelper), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(toHelper[0], STDIN_FILENO);
        ::dup2(fromHelper[1], STDOUT_FILENO);
        ::execl(SENTREL_HELPER, SENTREL_HELPER, "--for-user", "65534", nullptr);
        ::_exit(127);
    }
    ::close(toHelper[0]);
    ::close(fromHelper[1]);
    std::string body;
    ASSERT_TRUE(helper::ReadFrame(fromHelper[0], helper::MaxMessageLength, body));
    helper::TRequest read;
    read.Kind = helper::TRequestKind::Read;
    read.Watch = 7; // never opened
    read.Length = 1024;
    ASSERT_TRUE(helper::WriteAll(toHelper[1], helper::EncodeRequest(read)));
    EXPECT_FALSE(helper::ReadFrame(fromHelper[0], helper::MaxMessageLength, body));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    ::close(toHelper[1]);
    ::close(fromHelper[0]);
}

// Read after read, each asked for the moment the last arrived: nothing is
// lost on the way, and the helper keeps up.
TEST(PrivilegedHelper, ABurstArrivesWhole) {
    TTempDir dir;
    if (::geteuid() != 0 || !FanotifyServes(dir.Path()))
        GTEST_SKIP() << "needs root and fanotify, to serve an ordinary user";
    ::chmod(dir.Path().c_str(), 0755);
    auto helper = StartHelperForNobody();
    ASSERT_TRUE(helper);
    TOpenFailure failure;
    std::string refusal;
    std::unique_ptr<TDirChangeReader> reader = helper->Open(dir.Path(), failure, refusal);
    ASSERT_TRUE(reader) << refusal;
    alignas(4) char buffer[17024];
    ASSERT_TRUE(reader->ReadChanges(buffer, sizeof buffer, true, Names));
    constexpr int Files = 20000;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (int i = 0; i < Files; ++i)
            inotify::TFd(::open((dir / std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    });
    int added = 0, losses = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (added < Files && std::chrono::steady_clock::now() < deadline) {
        if (reader->Wait(50) != TWaitResult::Signalled)
            continue;
        uint32_t bytes = 0;
        ASSERT_TRUE(reader->GetResult(bytes)) << reader->FailureReason();
        losses += bytes == 0;
        for (uint32_t offset = 0; bytes > 0;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
            added += record->Action == FILE_ACTION_ADDED;
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
        ASSERT_TRUE(reader->ReadChanges(buffer, sizeof buffer, true, Names)) << reader->FailureReason();
    }
    writer.join();
    EXPECT_EQ(added, Files);
    EXPECT_EQ(losses, 0) << "changes were lost on the way";
}

// pkexec runs as root whatever it is given: the program offers it only a
// helper that none but root could have put in place.
TEST(PrivilegedHelper, OnlyAHelperThatNoneButRootCouldReplaceIsOffered) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the helper's file other owners";
    TTempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    dir.MakeDir("bin");
    const std::string helper = dir / "bin/sentrel-helper";
    dir.WriteFile("bin/sentrel-helper", "#!/bin/sh\n");
    const struct {
        const char* What;
        std::function<void()> Change;
        bool Offered;
    } cases[] = {
        {"root's, in root's folders", [] {}, true},
        {"the file another user's", [&] { ::chown(helper.c_str(), Nobody, Nobody); }, false},
        {"the file writable by its group", [&] { ::chmod(helper.c_str(), 0775); }, false},
        {"its folder another user's", [&] { ::chown((dir / "bin").c_str(), Nobody, Nobody); }, false},
        {"its folder writable by all", [&] { ::chmod((dir / "bin").c_str(), 0777); }, false},
        {"its folder writable by all, but sticky", [&] { ::chmod((dir / "bin").c_str(), 01777); }, true},
    };
    for (const auto& [what, change, offered] : cases) {
        ::chown(helper.c_str(), 0, 0);
        ::chmod(helper.c_str(), 0755);
        ::chown((dir / "bin").c_str(), 0, 0);
        ::chmod((dir / "bin").c_str(), 0755);
        change();
        std::string why;
        const std::vector<std::string> command = PrivilegedHelperCommand(dir / "bin", why);
        EXPECT_EQ(!command.empty(), offered) << what << ": " << why;
        if (!offered) {
            EXPECT_NE(why.find("is not started as root"), std::string::npos) << what << ": " << why;
        }
    }
}
