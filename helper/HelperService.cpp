#include "helper/HelperService.h"

#include "helper/AccessFilter.h"
#include "platform/changes/linux/DirChangesLinux.h"

#include <climits>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace helper;

namespace {
constexpr int WaitLimitMs = 100;
constexpr const char* Mechanism = "fanotify through the privileged helper";

// The folder's path as the system resolved it when it was opened.
std::string PathOf(int folder) {
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(folder);
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
    return length > 0 && static_cast<size_t>(length) < sizeof path ? std::string(path, static_cast<size_t>(length))
                                                                   : std::string();
}

TMessage MessageOf(TMessageKind kind, uint32_t watch) {
    TMessage message;
    message.Kind = kind;
    message.Watch = watch;
    return message;
}
} // namespace

bool THelperOutput::Send(const TMessage& message) {
    const std::string frame = EncodeMessage(message);
    std::lock_guard lock(FLock);
    FGone = FGone || !WriteAll(FFd, frame);
    return !FGone;
}

// One watch of the program's: its reads, one at a time as the program asks,
// on a thread of its own.
class TServedWatch {
public:
    TServedWatch(uint32_t id, std::unique_ptr<TDirChangeReader> reader, std::shared_ptr<TAccessFilter> filter,
                 THelperOutput& output)
        : FId(id), FReader(std::move(reader)), FFilter(std::move(filter)), FOutput(output),
          FBuffer(std::make_unique<uint32_t[]>(MaxReadLength / sizeof(uint32_t))), FThread([this] { Serve(); }) {}
    ~TServedWatch() {
        {
            std::lock_guard lock(FLock);
            FStopping = true;
        }
        FWake.notify_one();
        FReader->Interrupt();
        FThread.join();
    }

    // False when a read is still outstanding: the program may have one only.
    bool Read(const TRequest& request) {
        {
            std::lock_guard lock(FLock);
            if (FBusy)
                return false;
            FBusy = true;
            FPending = request;
        }
        FWake.notify_one();
        return true;
    }

private:
    void Serve();
    std::optional<TMessage> ServeRead(const TRequest& read);
    bool Stopping() {
        std::lock_guard lock(FLock);
        return FStopping;
    }
    TMessage Failure(const std::string& what);
    void ForwardNotices();
    void TellWithheld();
    std::string Decorated(const std::string& mechanism) const;

    const uint32_t FId;
    std::unique_ptr<TDirChangeReader> FReader;
    std::shared_ptr<TAccessFilter> FFilter; // the reader's too: it observes each event read
    THelperOutput& FOutput;
    std::unique_ptr<uint32_t[]> FBuffer;
    std::vector<TProcessRef> FProcesses;
    std::vector<TFolderRef> FFolders;
    std::optional<TWatchNotice> FState; // the last notice of how far the watch has come
    uint64_t FWithheldTold = 0;

    std::mutex FLock;
    std::condition_variable FWake;
    std::optional<TRequest> FPending;
    bool FBusy = false;
    bool FStopping = false;
    std::thread FThread; // last: it starts once everything else is made
};

void TServedWatch::Serve() {
    for (;;) {
        TRequest read;
        {
            std::unique_lock lock(FLock);
            FWake.wait(lock, [this] { return FStopping || FPending; });
            if (FStopping)
                return;
            read = *FPending;
            FPending.reset();
        }
        std::optional<TMessage> answer = ServeRead(read);
        // The program asks for its next read as soon as the answer arrives.
        {
            std::lock_guard lock(FLock);
            FBusy = false;
        }
        if (answer)
            FOutput.Send(*answer);
    }
}

// One read of the program's: reads of the system's until one holds a
// change the user may see (or tells of lost changes), then its records;
// nothing when the watch stops first.
std::optional<TMessage> TServedWatch::ServeRead(const TRequest& read) {
    char* buffer = reinterpret_cast<char*>(FBuffer.get());
    for (;;) {
        if (!FReader->ReadChanges(buffer, read.Length, read.SubTree, read.Filter)) {
            ForwardNotices();
            return Failure("the read could not start");
        }
        TWaitResult waited;
        do {
            waited = FReader->Wait(WaitLimitMs);
            ForwardNotices();
            if (Stopping())
                return std::nullopt;
        } while (waited == TWaitResult::TimedOut);
        uint32_t bytes = 0;
        if (waited == TWaitResult::Failed || !FReader->GetResult(bytes))
            return Failure("the read failed");
        FReader->TakeProcesses(FProcesses);
        FReader->TakeFolders(FFolders);
        if (bytes > 0) {
            if (!FFilter->Apply(buffer, bytes, FProcesses, FFolders))
                return Failure("the user's access could not be checked");
            TellWithheld();
            if (bytes == 0)
                continue;
        }
        TMessage result = MessageOf(TMessageKind::Result, FId);
        result.Succeeded = true;
        result.Records.assign(buffer, bytes);
        result.Processes = std::move(FProcesses);
        return result;
    }
}

TMessage TServedWatch::Failure(const std::string& what) {
    TMessage failed = MessageOf(TMessageKind::Failed, FId);
    const std::string reason = FReader->FailureReason();
    failed.Reason = reason.empty() ? what : reason;
    return failed;
}

void TServedWatch::ForwardNotices() {
    TMessage message = MessageOf(TMessageKind::Notice, FId);
    while (FReader->TakeNotice(message.Notice)) {
        TWatchNotice& notice = message.Notice;
        if (notice.Kind == TWatchNotice::TKind::NotCovered && !FFilter->MayKnowOf(notice.Folder))
            continue;
        if (notice.Kind == TWatchNotice::TKind::SetupProgress || notice.Kind == TWatchNotice::TKind::Covered ||
            notice.Kind == TWatchNotice::TKind::SetupDone)
            FState = notice;
        notice.Mechanism = Decorated(notice.Mechanism);
        FOutput.Send(message);
    }
}

// Changes withheld are told once more each time their count grows, on the
// watch's line.
void TServedWatch::TellWithheld() {
    if (FFilter->Withheld() == FWithheldTold || !FState)
        return;
    FWithheldTold = FFilter->Withheld();
    TMessage message = MessageOf(TMessageKind::Notice, FId);
    message.Notice = *FState;
    message.Notice.Mechanism = Decorated(FState->Mechanism);
    FOutput.Send(message);
}

std::string TServedWatch::Decorated(const std::string& mechanism) const {
    if (FFilter->Withheld() == 0 || mechanism.empty())
        return mechanism;
    return mechanism + "; " + std::to_string(FFilter->Withheld()) +
           " changes withheld: their folder was gone before the user's access to it could be checked";
}

THelperService::THelperService(TUserIdentity user, int input, int output)
    : FUser(std::move(user)), FInput(input), FOutput(output) {}

THelperService::~THelperService() = default;

int THelperService::Run() {
    TMessage ready = MessageOf(TMessageKind::Ready, FUser.User);
    if (!FOutput.Send(ready))
        return 0;
    std::string body;
    while (ReadFrame(FInput, MaxRequestLength, body)) {
        std::optional<TRequest> request = ParseRequest(body);
        if (!request || !Handle(*request)) {
            static const char refusal[] = "sentrel-helper: the program broke the protocol; the helper ends\n";
            WriteAll(STDERR_FILENO, refusal);
            return 2;
        }
    }
    return 0;
}

bool THelperService::Handle(const TRequest& request) {
    auto watch = FWatches.find(request.Watch);
    switch (request.Kind) {
    case TRequestKind::Watch:
        return watch == FWatches.end() && OpenWatch(request);
    case TRequestKind::Read:
        return watch != FWatches.end() && watch->second->Read(request);
    case TRequestKind::Stop:
        if (watch != FWatches.end())
            FWatches.erase(watch);
        return true;
    }
    return false;
}

// Only a folder the user may list is watched: the very folder the user
// opened, which is marked by its descriptor, never by its path found again.
bool THelperService::OpenWatch(const TRequest& request) {
    TMessage refused = MessageOf(TMessageKind::Refused, request.Watch);
    if (FWatches.size() >= fanotify::TFanotifyGroup::MostShares) {
        refused.Error = ERROR_TOO_MANY_OPEN_FILES;
        refused.Reason = "the helper watches at most " + std::to_string(fanotify::TFanotifyGroup::MostShares) +
                         " folders for one program";
        FOutput.Send(refused);
        return true;
    }
    int error = EPERM;
    inotify::TFd folder;
    if (TActingAs acting(FUser); acting.Taken())
        folder = OpenForListing(request.Folder, error);
    const std::string root = folder.Get() >= 0 ? PathOf(folder.Get()) : std::string();
    if (folder.Get() < 0 || root.empty()) {
        refused.Error = WindowsErrorFor(error, request.Folder);
        refused.Reason = "the user may not list it: " + DescribeOpenFailure(refused.Error);
        FOutput.Send(refused);
        return true;
    }
    if (!FGroup && !(FGroup = fanotify::TFanotifyGroup::Open(inotify::NamesProcesses(), error))) {
        refused.Error = ERROR_GEN_FAILURE;
        refused.Reason = std::string("fanotify could not start (") + std::strerror(error) + ")";
        FOutput.Send(refused);
        return true;
    }
    auto filter = std::make_shared<TAccessFilter>(FUser, folder.Get());
    auto served = std::make_shared<inotify::TFanotifyServed>();
    served->Folder = std::move(folder);
    served->Group = FGroup;
    served->Observe = [filter](const fanotify::TFanEvent& event) { filter->Observe(event); };
    TOpenFailure failure;
    std::string whyNot;
    std::unique_ptr<TDirChangeReader> reader =
        inotify::OpenFanotifyReader(root, std::move(served), failure, whyNot, Mechanism);
    if (!reader) {
        refused.Error = failure.ErrorCode ? failure.ErrorCode : ERROR_GEN_FAILURE;
        refused.Reason = whyNot.empty() ? DescribeOpenFailure(refused.Error) : whyNot;
        FOutput.Send(refused);
        return true;
    }
    FWatches[request.Watch] = std::make_unique<TServedWatch>(request.Watch, std::move(reader), filter, FOutput);
    FOutput.Send(MessageOf(TMessageKind::Opened, request.Watch));
    return true;
}
