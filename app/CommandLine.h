#pragma once

#include "runtime/Exception.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the program was asked to do by its arguments.
struct TCommandLine {
    enum class TMode { Window, Console, Help, Version };
    TMode Mode = TMode::Window;
    // Every change on a line of its own: the window starts in verbose
    // display; the console always lists every change.
    bool Verbose = false;
    // The settings file named by --settings; empty for the usual one.
    std::string SettingsFile;
    // How the console writes its lines: as the window lists them, as JSON
    // Lines (--format json), as JSON Lines with the Elastic Common Schema's
    // field names (--format ecs), or as entries of the system journal's
    // export format (--format export); or, instead of writing them, sends
    // them to the system journal as entries (--journal).
    enum class TFormat { Text, Json, Ecs, Export, Journal };
    TFormat Format = TFormat::Text;
    // The folders to watch, absolute, in the order given.
    std::vector<std::string> Folders;
    // --history: the console prints the stored records (oldest first) that
    // the bounds and the pattern select, and ends.
    bool History = false;
    // --since, --until: the bounds, nanoseconds since 1970, both included.
    // --since before a live watch prints what was stored since then first.
    std::optional<int64_t> Since, Until;
    // With --history: a part of the path the records must hold; empty: any.
    std::string Pattern;
    // --no-catch-up: the console does not list what changed in a folder
    // while it was not watched.
    bool CatchUp = true;
    // --process: each line of the console names the process that made the
    // change (a text line between its action and its path).
    bool Process = false;
    // --helper: the console's folders are watched through the privileged
    // helper (started with pkexec), as the window's command does.
    bool Helper = false;
};

// Arguments that ask for nothing the program does; the message says what
// is wrong, for the standard error output.
class ECommandLineError : public TExceptionOf<ECommandLineError> {
public:
    using TExceptionOf::TExceptionOf;
};

// The exit codes: 0 for a run that ended as asked (also by Ctrl-C, SIGTERM
// or a reader that closed the output), 1 for a failure while running, 2 for
// arguments that ask for nothing the program does.
constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// Reads the arguments after the program's name. Folders are kept byte for
// byte; a relative one is taken from currentFolder (empty when the
// current folder is gone). Raises ECommandLineError
// for an unknown option, a folder that does not exist, the console without
// a folder, a settings file for the console that does not exist, or an
// unknown format or a format without the console.
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments, const std::string& currentFolder);

// The text of --help and of --version.
std::string UsageText();
std::string VersionText();
