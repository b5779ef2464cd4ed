#include "platform/helper/HelperClient.h"

#ifdef __linux__

#include "platform/changes/RecordBuffer.h"
#include "platform/changes/tree/TreePaths.h"
#include "platform/helper/HelperProtocol.h"
#include "platform/helper/Pkexec.h"

#include <algorithm>
#include <bitset>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace helper;
using inotify::TFd;

namespace {
// How long the helper may take to open a folder: its own set-up of a
// fanotify mark takes milliseconds.
constexpr auto OpenLimit = std::chrono::seconds(10);
constexpr const char* HelperEnded = "the privileged helper has ended";

TRequest RequestOf(TRequestKind kind, uint32_t watch) {
    TRequest request;
    request.Kind = kind;
    request.Watch = watch;
    return request;
}

// said: what pkexec, or the helper, wrote to its standard error.
std::string ExitText(int status, const std::string& said) {
    if (!WIFEXITED(status))
        return "it ended at once (signal " + std::to_string(WTERMSIG(status)) + ")";
    if (std::string refusal = PkexecRefusal(WEXITSTATUS(status), said); !refusal.empty())
        return refusal;
    const std::string words = FirstWords(said);
    return "it ended at once (exit code " + std::to_string(WEXITSTATUS(status)) + (words.empty() ? "" : ": " + words) +
           ")";
}

// What is waiting in a pipe now, up to a few lines.
std::string Waiting(int fd) {
    char buffer[4096];
    const ssize_t got = fd < 0 ? -1 : ::read(fd, buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}
} // namespace

// What the connection's reading thread shares with the readers.
class THelperConnection::TState {
public:
    struct TMail {
        std::optional<TMessage> Answer; // Opened or Refused
        std::deque<TMessage> Results;   // Result or Failed
        std::deque<TWatchNotice> Notices;
    };

    TState(TFd toHelper, TFd fromHelper) : FToHelper(std::move(toHelper)), FFromHelper(std::move(fromHelper)) {}

    int FromHelper() const { return FFromHelper.Get(); }
    bool Send(const TRequest& request) {
        std::lock_guard lock(FWriteLock);
        return FToHelper.Get() >= 0 && WriteAll(FToHelper.Get(), EncodeRequest(request));
    }
    void Listen() {
        FListener = std::thread([this] { ReadMessages(); });
    }
    // The helper sees the end of its input and ends; so does the listener.
    void Close() {
        {
            std::lock_guard lock(FWriteLock);
            // The reading end may be the same socket: only a shutdown ends the input.
            ::shutdown(FToHelper.Get(), SHUT_WR);
            FToHelper = TFd();
        }
        if (FListener.joinable())
            FListener.join();
    }

    // A new watch's number and mailbox; nothing when every number is taken.
    std::optional<uint32_t> NewWatch() {
        std::lock_guard lock(Lock);
        for (uint32_t id = 0; id < MaxWatches; ++id)
            if (!Mail.count(id)) {
                Mail[id];
                return id;
            }
        return std::nullopt;
    }
    void EndWatch(uint32_t id) {
        std::lock_guard lock(Lock);
        Mail.erase(id);
    }

    std::mutex Lock;
    std::condition_variable Changed;
    std::map<uint32_t, TMail> Mail;
    bool Ended = false;

private:
    void ReadMessages() {
        std::string body;
        while (ReadFrame(FFromHelper.Get(), MaxMessageLength, body)) {
            std::optional<TMessage> message = ParseMessage(body);
            if (!message)
                break;
            Deliver(std::move(*message));
        }
        std::lock_guard lock(Lock);
        Ended = true;
        Changed.notify_all();
    }
    void Deliver(TMessage message) {
        std::lock_guard lock(Lock);
        auto mail = Mail.find(message.Watch);
        if (mail == Mail.end())
            return;
        switch (message.Kind) {
        case TMessageKind::Opened:
        case TMessageKind::Refused:
            mail->second.Answer = std::move(message);
            break;
        case TMessageKind::Result:
        case TMessageKind::Failed:
            mail->second.Results.push_back(std::move(message));
            break;
        case TMessageKind::Notice:
            mail->second.Notices.push_back(std::move(message.Notice));
            break;
        case TMessageKind::Ready:
            return;
        }
        Changed.notify_all();
    }

    std::mutex FWriteLock;
    TFd FToHelper;
    TFd FFromHelper;
    std::thread FListener;
};

namespace {

using TState = THelperConnection::TState;

// A watch that the helper reads.
class THelperReader final : public TDirChangeReader {
public:
    THelperReader(std::shared_ptr<TState> state, uint32_t id, const std::string& directory)
        : FState(std::move(state)), FId(id),
          FShownRoot(directory.empty() || directory.back() == '/' ? directory : directory + '/') {}
    ~THelperReader() override {
        FState->Send(RequestOf(TRequestKind::Stop, FId));
        FState->EndWatch(FId);
    }

    bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree, uint32_t notifyFilter) override {
        if (notifyFilter == 0)
            return false;
        FBuffer = static_cast<char*>(buffer);
        FLength = length;
        FRead = RequestOf(TRequestKind::Read, FId);
        FRead.SubTree = watchSubTree;
        FRead.Filter = notifyFilter;
        FRead.Length = std::min(length, MaxReadLength);
        if (!FState->Send(FRead)) {
            FReason = HelperEnded;
            return false;
        }
        return true;
    }

    TWaitResult Wait(int timeoutMs) override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock lock(FState->Lock);
        for (;;) {
            TState::TMail& mail = FState->Mail[FId];
            FState->Changed.wait_until(lock, deadline,
                                       [&] { return FInterrupted || FState->Ended || !mail.Results.empty(); });
            if (FInterrupted)
                return TWaitResult::TimedOut;
            if (mail.Results.empty()) {
                if (!FState->Ended)
                    return TWaitResult::TimedOut;
                return Complete(false, HelperEnded);
            }
            TMessage message = std::move(mail.Results.front());
            mail.Results.pop_front();
            if (message.Kind == TMessageKind::Failed)
                return Complete(false, message.Reason);
            if (TakeRecords(message))
                return Complete(true, {});
            // Nothing left once the excluded folders are left out: read on.
            if (!FState->Send(FRead))
                return Complete(false, HelperEnded);
        }
    }

    bool GetResult(uint32_t& bytesReturned) override {
        bytesReturned = FBytes;
        return FSucceeded;
    }
    void TakeProcesses(std::vector<TProcessRef>& processes) override { processes = std::move(FProcesses); }
    bool TakeNotice(TWatchNotice& notice) override {
        std::lock_guard lock(FState->Lock);
        auto& notices = FState->Mail[FId].Notices;
        if (notices.empty())
            return false;
        notice = std::move(notices.front());
        notices.pop_front();
        return true;
    }
    void SetExcludedFolders(TFolderExclusionRules rules) override {
        std::lock_guard lock(FState->Lock);
        FRules = std::move(rules);
    }
    void Interrupt() override {
        std::lock_guard lock(FState->Lock);
        FInterrupted = true;
        FState->Changed.notify_all();
    }
    std::string FailureReason() const override { return FReason; }

private:
    TWaitResult Complete(bool succeeded, const std::string& reason) {
        FSucceeded = succeeded;
        FReason = reason;
        if (!succeeded)
            FBytes = 0;
        return TWaitResult::Signalled;
    }
    // False when every record was left out.
    bool TakeRecords(TMessage& message) {
        if (message.Records.size() > FLength)
            message.Records.clear();
        FBytes = static_cast<uint32_t>(message.Records.size());
        std::memcpy(FBuffer, message.Records.data(), FBytes);
        FProcesses = std::move(message.Processes);
        if (FBytes == 0 || !FRules)
            return true;
        FilterRecords(FBuffer, FBytes, FProcesses, [this](size_t, const std::string& name, uint32_t) {
            for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
                if (FRules->Excludes(FShownRoot + name.substr(0, slash + 1)))
                    return false;
            return true;
        });
        return FBytes > 0;
    }

    std::shared_ptr<TState> FState;
    const uint32_t FId;
    const std::string FShownRoot;
    TRequest FRead;
    char* FBuffer = nullptr;
    uint32_t FLength = 0;
    uint32_t FBytes = 0;
    bool FSucceeded = false;
    std::vector<TProcessRef> FProcesses;
    std::string FReason;
    // Under the state's lock:
    bool FInterrupted = false;
    TFolderExclusionRules FRules;
};

// The system's own reader where the helper would not serve: its watch
// line says why.
class TUnhelpedReader final : public TDirChangeReader {
public:
    TUnhelpedReader(std::unique_ptr<TDirChangeReader> reader, std::string why)
        : FReader(std::move(reader)), FWhy(std::move(why)) {}

    bool ReadChanges(void* buffer, uint32_t length, bool subTree, uint32_t filter) override {
        return FReader->ReadChanges(buffer, length, subTree, filter);
    }
    TWaitResult Wait(int timeoutMs) override { return FReader->Wait(timeoutMs); }
    bool GetResult(uint32_t& bytes) override { return FReader->GetResult(bytes); }
    void TakeProcesses(std::vector<TProcessRef>& processes) override { FReader->TakeProcesses(processes); }
    bool TakeNotice(TWatchNotice& notice) override {
        if (!FReader->TakeNotice(notice))
            return false;
        if (!notice.Mechanism.empty())
            notice.Mechanism += "; not through the privileged helper: " + FWhy;
        return true;
    }
    void SetExcludedFolders(TFolderExclusionRules rules) override { FReader->SetExcludedFolders(std::move(rules)); }
    bool AskDelivered(uint64_t ticket) override { return FReader->AskDelivered(ticket); }
    void Interrupt() override { FReader->Interrupt(); }
    std::string FailureReason() const override { return FReader->FailureReason(); }
    std::string StopWords() const override { return FReader->StopWords(); }

private:
    std::unique_ptr<TDirChangeReader> FReader;
    std::string FWhy;
};

} // namespace

THelperConnection::THelperConnection(TFd toHelper, TFd fromHelper, pid_t process)
    : FState(std::make_shared<TState>(std::move(toHelper), std::move(fromHelper))), FProcess(process) {}

THelperConnection::~THelperConnection() {
    FState->Close();
    int status = 0;
    if (FProcess > 0)
        ::waitpid(FProcess, &status, 0);
}

std::shared_ptr<THelperConnection> THelperConnection::Start(const std::vector<std::string>& command, std::string& why) {
    // One socket is the helper's input and output: the program's writes to
    // a helper that ended fail instead of raising SIGPIPE.
    int ends[2];
    if (command.empty() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    TFd own(ends[0]), helpers(ends[1]);
    // What pkexec says when it will not run the helper is kept for the user;
    // the helper itself says no more once it serves.
    TFd said, saying;
    if (int errors[2]; ::pipe2(errors, O_CLOEXEC) == 0) {
        said = TFd(errors[0]);
        saying = TFd(errors[1]);
        ::fcntl(said.Get(), F_SETFL, O_NONBLOCK);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, helpers.Get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, helpers.Get(), STDOUT_FILENO);
    if (saying.Get() >= 0)
        posix_spawn_file_actions_adddup2(&actions, saying.Get(), STDERR_FILENO);
    std::vector<char*> arguments;
    for (const std::string& word : command)
        arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);
    pid_t process = 0;
    const int error = ::posix_spawnp(&process, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    // Only the helper may hold its end: its end of output is how its end is seen.
    helpers = TFd();
    saying = TFd();
    if (error != 0) {
        why = command.front() + " could not be started: " + std::strerror(error);
        return nullptr;
    }
    TFd reading(::fcntl(own.Get(), F_DUPFD_CLOEXEC, 0));
    std::shared_ptr<THelperConnection> connection(new THelperConnection(std::move(own), std::move(reading), process));
    connection->FSaid = std::move(said);
    return Greet(std::move(connection), why);
}

std::shared_ptr<THelperConnection> THelperConnection::Over(TFd toHelper, TFd fromHelper, pid_t process,
                                                           std::string& why) {
    return Greet(std::shared_ptr<THelperConnection>(
                     new THelperConnection(std::move(toHelper), std::move(fromHelper), process)),
                 why);
}

std::shared_ptr<THelperConnection> THelperConnection::Greet(std::shared_ptr<THelperConnection> connection,
                                                            std::string& why) {
    if (!connection->Greeted(why))
        return nullptr;
    connection->FState->Listen();
    return connection;
}

// The helper's first word says whom it serves; it may come only after an
// administrator allowed it, so there is no time limit.
bool THelperConnection::Greeted(std::string& why) {
    std::string body;
    std::optional<TMessage> ready;
    if (ReadFrame(FState->FromHelper(), MaxMessageLength, body))
        ready = ParseMessage(body);
    if (ready && ready->Kind == TMessageKind::Ready) {
        FUser = ready->Watch;
        return true;
    }
    if (int status = 0; FProcess > 0 && ::waitpid(FProcess, &status, 0) == FProcess) {
        FProcess = 0;
        why = ExitText(status, Waiting(FSaid.Get()));
    } else
        why = HelperEnded;
    return false;
}

std::unique_ptr<TDirChangeReader> THelperConnection::Open(const std::string& directory, TOpenFailure& failure,
                                                          std::string& refusal) {
    std::optional<uint32_t> id = FState->NewWatch();
    if (!id) {
        refusal = "it watches as many folders as it may already";
        return nullptr;
    }
    std::optional<TMessage> answer;
    TRequest watch = RequestOf(TRequestKind::Watch, *id);
    watch.Folder = inotify::AbsolutePath(directory);
    if (FState->Send(watch)) {
        std::unique_lock lock(FState->Lock);
        TState::TMail& mail = FState->Mail[*id];
        FState->Changed.wait_for(lock, OpenLimit, [&] { return mail.Answer || FState->Ended; });
        answer = mail.Answer;
    }
    if (answer && answer->Kind == TMessageKind::Opened)
        return std::make_unique<THelperReader>(FState, *id, directory);
    FState->Send(RequestOf(TRequestKind::Stop, *id));
    FState->EndWatch(*id);
    failure.ErrorCode = answer ? answer->Error : ERROR_GEN_FAILURE;
    refusal = answer ? answer->Reason : HelperEnded;
    return nullptr;
}

namespace {
// Why a program at path could be replaced by someone other than root (it, or
// a folder on its way, is another's or writable by others, a folder open to
// all only where it keeps others from renaming what is not theirs); empty
// when only root could replace it.
std::string WhyNotRootsAlone(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)))
        return path + " is not root's alone";
    for (std::string folder = path; folder != "/";) {
        folder = folder.substr(0, std::max<size_t>(folder.rfind('/'), 1));
        if (::stat(folder.c_str(), &status) != 0 || status.st_uid != 0 ||
            ((status.st_mode & (S_IWGRP | S_IWOTH)) && !(status.st_mode & S_ISVTX)))
            return "its folder " + folder + " may be written by others than root";
    }
    return {};
}
} // namespace

// pkexec runs as root whatever it is given: a helper that another user could
// have put in place would run as root too.
std::vector<std::string> PrivilegedHelperCommand(const std::string& programFolder, std::string& why) {
    // pkexec runs a program only by its full path, which the polkit action names.
    char resolved[PATH_MAX];
    for (const std::string& helper :
         {programFolder + "/../libexec/sentrel/sentrel-helper", programFolder + "/sentrel-helper"}) {
        if (::access(helper.c_str(), X_OK) != 0 || !::realpath(helper.c_str(), resolved))
            continue;
        if (const std::string notTrusted = WhyNotRootsAlone(resolved); !notTrusted.empty()) {
            why = "the helper " + std::string(resolved) + " is not started as root: " + notTrusted +
                  " (install Sentrel to use it)";
            return {};
        }
        return {"pkexec", resolved};
    }
    why = "the program's helper sentrel-helper is not installed beside it";
    return {};
}

TDirChangeReaderFactory HelperReaderFactory(std::shared_ptr<THelperConnection> helper) {
    return [helper](const std::string& directory, TOpenFailure& failure) -> std::unique_ptr<TDirChangeReader> {
        std::string refusal;
        if (auto reader = helper->Open(directory, failure, refusal))
            return reader;
        failure = {};
        std::unique_ptr<TDirChangeReader> own = TDirChangeReader::OpenNative(directory, failure);
        if (!own)
            return nullptr;
        return std::make_unique<TUnhelpedReader>(std::move(own), refusal);
    };
}

#endif
