#pragma once

// What the tests of the privileged helper share: the helper started as
// root for an ordinary user (nobody), as pkexec would start it, and that
// user's own hand on the file system.
#include "platform/changes/ReaderDriver.h"
#include "platform/helper/HelperClient.h"

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

constexpr uid_t Nobody = 65534;

// The helper serving nobody; null (and a failed check) when it cannot start.
std::shared_ptr<THelperConnection> StartHelperForNobody();

// Runs a shell command as the test (root); fails the test when it fails.
void Shell(const std::string& command);

// A command that empties the file at path, in the background, from a "sh"
// that stays alive a while: a process gone before the helper looked is
// named by nobody, which is not what most tests try.
std::string LingeringWrite(const std::string& path);

// Makes the calling process nobody, for good; whether it could.
bool BecomeNobody();
// Runs action in a process of its own as nobody; whether it returned true.
bool AsNobody(const std::function<bool()>& action);

// A client that reads only when it is told to, so that changes can wait in
// the helper's queue while the file system changes under them.
class TPausedClient {
public:
    TPausedClient(std::unique_ptr<TDirChangeReader> reader, uint32_t filter);
    // Reads until the watch is set up, and leaves one read outstanding.
    bool WaitReady();
    // What the read outstanding brought within limit; none is started after it.
    std::vector<TSeen> ReadOnce(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Reads, one read after another, until nothing came for quiet.
    std::vector<TSeen> ReadUntilQuiet(std::chrono::milliseconds quiet = std::chrono::milliseconds(500));

private:
    std::unique_ptr<TDirChangeReader> FReader;
    uint32_t FFilter;
    alignas(4) char FBuffer[17024];
};
