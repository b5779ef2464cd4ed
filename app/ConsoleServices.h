#pragma once

// What the console offers beyond listing changes, where the system and
// the build have it: the history (kept in SQLite, which the Windows build
// has not), the catch-up at start that compares with the snapshots kept
// beside it, and the privileged helper (Linux's fanotify).
#include "app/CommandLine.h"
#include "records/ChangeRecords.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TChangeFilter;

// One line for a person on the standard error output.
void TellUser(std::string message);

// The changes the console lists, kept; and what changed in the folders
// while they were not watched, found.
class TConsoleHistory {
public:
    // Lines as the console writes them, and the folder they belong to.
    using TWrite = std::function<void(const std::string& lines, const std::string& folder)>;
    // What changed in a folder while it was not watched, on the main thread.
    using TFound = std::function<void(std::vector<TChangeRecord> records)>;

    virtual ~TConsoleHistory() = default;
    // The kept records since that moment, oldest first.
    virtual void PrintSince(int64_t since, const TWrite& write) = 0;
    // The history's own files: no change to them is listed.
    virtual bool IsOwnFile(const std::string& path) const = 0;
    virtual void Keep(const TChangeRecord& record) = 0;
    // Once the folder's watch reports every change, so that nothing made
    // meanwhile is missed (a change made during the walk may be found twice).
    virtual void CatchUp(const std::string& folder, TFound found) = 0;
    // What the caught-up trees hold at the end is what the next start
    // compares with, walked while their watches still report; catch-ups
    // still under way stop, their old snapshots stay. done, on the main
    // thread, once every snapshot is kept (or could not be).
    virtual void KeepSnapshots(std::function<void()> done) = 0;
};

// The history the settings file's [History] section asks for (none when it
// keeps none, or where the build has no history, which the user is told
// when the command line asks for it). Raises Exception for a settings file
// that cannot be read.
std::unique_ptr<TConsoleHistory> OpenConsoleHistory(const TCommandLine& commandLine, const TChangeFilter& filter);

// --history: prints the kept records the command line selects, oldest
// first; returns the exit code.
int PrintHistory(const TCommandLine& commandLine);

// --helper: the watches made from now on go through the privileged helper,
// held by what this returns; without it they are the system's own, and
// the user is told why.
std::shared_ptr<void> StartPrivilegedHelper();

// The time of a line made now, in the format's form.
std::string ConsoleTimeNow(TCommandLine::TFormat format);
// A record as a line of a record format (json, ecs), its line break included.
std::string RecordLine(const TChangeRecord& record, TCommandLine::TFormat format, bool withProcess);
