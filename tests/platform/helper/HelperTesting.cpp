#include "platform/helper/HelperTesting.h"

#include <cstdlib>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

std::shared_ptr<THelperConnection> StartHelperForNobody() {
    std::string why;
    auto helper = THelperConnection::Start({SENTREL_HELPER, "--for-user", std::to_string(Nobody)}, why);
    EXPECT_TRUE(helper) << why;
    return helper;
}

void Shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string LingeringWrite(const std::string& path) {
    return "sh -c ': > \"$0\"; sleep 3' '" + path + "' >/dev/null 2>&1 &";
}

bool BecomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(Nobody, Nobody, Nobody) == 0 &&
           ::setresuid(Nobody, Nobody, Nobody) == 0;
}

bool AsNobody(const std::function<bool()>& action) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(BecomeNobody() && action() ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TPausedClient::TPausedClient(std::unique_ptr<TDirChangeReader> reader, uint32_t filter)
    : FReader(std::move(reader)), FFilter(filter) {}

bool TPausedClient::WaitReady() {
    if (!FReader || !FReader->ReadChanges(FBuffer, sizeof FBuffer, true, FFilter))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (bool ready = false; std::chrono::steady_clock::now() < deadline;) {
        const TWaitResult result = FReader->Wait(50);
        TWatchNotice notice;
        while (FReader->TakeNotice(notice))
            ready = ready || notice.Kind == TWatchNotice::TKind::SetupDone;
        if (result == TWaitResult::Failed)
            return false;
        if (result == TWaitResult::Signalled) {
            uint32_t bytes = 0;
            if (!FReader->GetResult(bytes) || !FReader->ReadChanges(FBuffer, sizeof FBuffer, true, FFilter))
                return false;
        }
        if (ready)
            return true;
    }
    return false;
}

std::vector<TSeen> TPausedClient::ReadOnce(std::chrono::milliseconds limit) {
    std::vector<TSeen> seen;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const TWaitResult result = FReader->Wait(50);
        TWatchNotice notice;
        while (FReader->TakeNotice(notice)) {
        }
        if (result == TWaitResult::Failed)
            break;
        if (result != TWaitResult::Signalled)
            continue;
        uint32_t bytes = 0;
        if (!FReader->GetResult(bytes))
            break;
        for (uint32_t offset = 0; bytes > 0;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(FBuffer + offset);
            seen.push_back(
                {record->Action & ~FileActionFolderFlag,
                 WideToLocal8({reinterpret_cast<const char16_t*>(record->FileName), record->FileNameLength / 2})});
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
        if (bytes == 0)
            seen.push_back({0, "<lost>"});
        return seen;
    }
    return seen;
}

std::vector<TSeen> TPausedClient::ReadUntilQuiet(std::chrono::milliseconds quiet) {
    std::vector<TSeen> seen;
    for (;;) {
        if (!FReader->ReadChanges(FBuffer, sizeof FBuffer, true, FFilter))
            return seen;
        const std::vector<TSeen> more = ReadOnce(quiet);
        if (more.empty())
            return seen;
        seen.insert(seen.end(), more.begin(), more.end());
    }
}
