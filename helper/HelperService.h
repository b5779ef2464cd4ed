#pragma once

// The privileged helper's service to the one program that started it:
// watches of the folders that program asks for, each read through
// fanotify, and only what the program's user could have seen for
// themselves passed on. Requests come on one descriptor, messages go on
// another; the service ends when the program closes its end, breaks a rule
// of the protocol, or asks for more than it may.
#include "platform/changes/fanotify/FanotifyGroup.h"
#include "platform/helper/HelperProtocol.h"
#include "platform/helper/UserAccess.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class TServedWatch;

// Messages from any thread of the service, each whole.
class THelperOutput {
public:
    explicit THelperOutput(int fd) : FFd(fd) {}
    // False once the program is gone.
    bool Send(const helper::TMessage& message);

private:
    std::mutex FLock;
    int FFd;
    bool FGone = false;
};

class THelperService {
public:
    THelperService(TUserIdentity user, int input, int output);
    ~THelperService();

    // Serves until the end; what the helper exits with.
    int Run();

private:
    bool Handle(const helper::TRequest& request);
    bool OpenWatch(const helper::TRequest& request);

    TUserIdentity FUser;
    int FInput;
    THelperOutput FOutput;
    // The one fanotify group of this program's watches, made with the first.
    std::shared_ptr<fanotify::TFanotifyGroup> FGroup;
    std::map<uint32_t, std::unique_ptr<TServedWatch>> FWatches;
};
