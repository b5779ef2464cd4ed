// Arguments are read as bytes, not through a toolkit's Unicode strings, so
// that a folder whose name is not valid text in the locale is still found.
#include "app/CommandLine.h"

#include "history/HistoryTimes.h"
#include "platform/system/PlatformInfo.h"
#include "runtime/ProgramInfo.h"

#include <algorithm>
#include <filesystem>

namespace {
// How much of an absolute path comes before its first part: nothing on
// Linux, where the separator before each part starts it; on Windows a
// drive (C:) or a share (\\server\share).
std::size_t RootLength([[maybe_unused]] const std::string& path) {
#ifdef _WIN32
    if (path.size() >= 2 && path[1] == ':')
        return 2;
    if (path.starts_with("\\\\")) {
        const std::size_t server = path.find(PathDelim, 2);
        const std::size_t share = server == std::string::npos ? server : path.find(PathDelim, server + 1);
        return share == std::string::npos ? path.size() : share;
    }
#endif
    return 0;
}

// The folder as an absolute path, its "." and empty parts dropped; ".."
// stays, for it may lead elsewhere than its text suggests where a symbolic
// link is on the way.
std::string AbsoluteFolder(std::string folder, const std::string& currentFolder) {
#ifdef _WIN32
    std::replace(folder.begin(), folder.end(), '/', PathDelim);
#endif
    const std::string whole = FileSystemPath(folder).is_absolute() ? folder : currentFolder + PathDelim + folder;
    const std::size_t root = RootLength(whole);
    std::string result = whole.substr(0, root);
    for (std::size_t start = root; start <= whole.size();) {
        std::size_t end = whole.find(PathDelim, start);
        if (end == std::string::npos)
            end = whole.size();
        const std::string part = whole.substr(start, end - start);
        if (!part.empty() && part != ".")
            result += PathDelim + part;
        start = end + 1;
    }
    return result.size() == root ? result + PathDelim : result;
}

// The value of an option that takes one: after "=" in the same argument, or
// the next argument.
std::string OptionValue(const std::string& option, const std::string& argument,
                        const std::vector<std::string>& arguments, std::size_t& index, const char* what) {
    if (argument.size() > option.size())
        return argument.substr(option.size() + 1);
    if (index + 1 >= arguments.size())
        throw ECommandLineError("option " + option + " needs " + what);
    return arguments[++index];
}

TCommandLine::TFormat FormatNamed(const std::string& format) {
    using enum TCommandLine::TFormat;
    if (format == "text")
        return Text;
    if (format == "json")
        return Json;
    if (format == "ecs")
        return Ecs;
    if (format == "export")
        return Export;
    throw ECommandLineError("unknown format " + format + ": the formats are text, json, ecs and export");
}

bool IsOption(const std::string& argument, const std::string& option) {
    return argument == option || (argument.starts_with(option) && argument[option.size()] == '=');
}

int64_t TimeOption(const std::string& option, const std::string& argument, const std::vector<std::string>& arguments,
                   std::size_t& index) {
    const std::string when = OptionValue(option, argument, arguments, index, "a time");
    const int64_t now = HistoryTimeNow();
    if (auto moment = option == "--until" ? ParseUntil(when, now) : ParseWhen(when, now))
        return *moment;
    throw ECommandLineError("unknown time " + when + " for " + option +
                            ": give today, yesterday, a time ago (90s, 30m, 2h, 7d) or a local date and time "
                            "(2026-12-07, 2026-12-07 14:05, 2026-12-07T14:05:09) up to 2262-04-10, the last "
                            "day the history's times can hold");
}
} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments, const std::string& currentFolder) {
    TCommandLine result;
    bool optionsEnded = false;
    bool formatGiven = false;
    bool journal = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if ((optionsEnded || argument.size() < 2 || argument[0] != '-') && result.History) {
            if (!result.Pattern.empty())
                throw ECommandLineError("--history takes one pattern, not " + result.Pattern + " and " + argument);
            result.Pattern = argument;
        } else if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (currentFolder.empty() && !FileSystemPath(argument).is_absolute())
                throw ECommandLineError("the current folder is gone, so there is no folder " + argument);
            std::string folder = AbsoluteFolder(argument, currentFolder);
            if (!DirectoryExists(folder)) {
                std::error_code error;
                throw ECommandLineError(std::filesystem::exists(FileSystemPath(folder), error)
                                            ? argument + " is not a folder"
                                            : "there is no folder " + argument);
            }
            result.Folders.push_back(std::move(folder));
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            result.Mode = TCommandLine::TMode::Help;
            return result;
        } else if (argument == "--version") {
            result.Mode = TCommandLine::TMode::Version;
            return result;
        } else if (argument == "--console") {
            result.Mode = TCommandLine::TMode::Console;
        } else if (argument == "--history") {
            if (!result.Folders.empty())
                throw ECommandLineError("--history prints what was stored: it takes no folder");
            result.History = true;
        } else if (IsOption(argument, "--since")) {
            result.Since = TimeOption("--since", argument, arguments, i);
        } else if (IsOption(argument, "--until")) {
            result.Until = TimeOption("--until", argument, arguments, i);
        } else if (argument == "--no-catch-up") {
            result.CatchUp = false;
        } else if (argument == "--process") {
            result.Process = true;
        } else if (argument == "--helper") {
            result.Helper = true;
        } else if (argument == "--verbose") {
            result.Verbose = true;
        } else if (IsOption(argument, "--settings")) {
            result.SettingsFile = OptionValue("--settings", argument, arguments, i, "a file name");
            if (result.SettingsFile.empty())
                throw ECommandLineError("option --settings needs a file name");
        } else if (IsOption(argument, "--format")) {
            result.Format = FormatNamed(OptionValue("--format", argument, arguments, i, "text, json, ecs or export"));
            formatGiven = true;
        } else if (argument == "--journal") {
            journal = true;
        } else {
            throw ECommandLineError("unknown option " + argument);
        }
    }
    if (formatGiven && result.Mode != TCommandLine::TMode::Console)
        throw ECommandLineError("--format is for the console: add --console");
    if ((result.History || result.Since || result.Until || !result.CatchUp || result.Process || result.Helper ||
         journal) &&
        result.Mode != TCommandLine::TMode::Console)
        throw ECommandLineError("--history, --since, --until, --no-catch-up, --process, --helper and --journal are "
                                "for the console: add --console");
    if (journal && formatGiven)
        throw ECommandLineError("--journal sends the changes to the system journal, --format writes them to the "
                                "standard output: give one of them");
    if (journal && (result.History || result.Since))
        throw ECommandLineError("--history and --since print what the history kept: they send nothing to the "
                                "journal, which has its own");
    if (journal)
        result.Format = TCommandLine::TFormat::Journal;
    if (result.Until && !result.History)
        throw ECommandLineError("--until is for --history: a live watch goes on until it is stopped");
    if (result.Mode == TCommandLine::TMode::Console) {
        if (result.Folders.empty() && !result.History)
            throw ECommandLineError("--console needs at least one folder to watch");
        // The console only reads settings: a name that finds no file is a mistake.
        if (!result.SettingsFile.empty() && !std::filesystem::is_regular_file(FileSystemPath(result.SettingsFile)))
            throw ECommandLineError("there is no settings file " + result.SettingsFile);
    }
    return result;
}

namespace {
// Where the settings are kept, as --help tells it.
#ifdef _WIN32
constexpr const char* SettingsHelp = R"(Settings: the watched folders, the exclusion and file-type lists and the
other options are kept in one INI file, the window's (sentrel.exe): beside
the program when its folder is writable, named sentrel.ini; otherwise
%LOCALAPPDATA%\sentrel\sentrel.ini. sentrel-console.exe takes the arguments
of "sentrel --console" (--console itself may be left out), applies the
file's excluded folders and files and its excluded and included file
types, and never writes it. This build keeps no history.

)";
#else
constexpr const char* SettingsHelp = R"(Settings: the watched folders, the exclusion and file-type lists and the
other options are kept in one INI file: beside the program when its folder
is writable and is not a system folder (/usr, /bin, /sbin), named after the
program with ".ini" added; otherwise $XDG_CONFIG_HOME/sentrel/sentrel.ini
(by default ~/.config/sentrel/sentrel.ini). The window reads it at start and
writes it at exit. The console applies its excluded folders and files and
its excluded and included file types, and never writes it.

)";
#endif
} // namespace

std::string UsageText() {
    return R"(Usage: sentrel [--verbose] [--settings FILE] [FOLDER...]
       sentrel --console [--format text|json|ecs|export | --journal] [--settings FILE]
               [--since WHEN] [--no-catch-up] [--process] [--helper] FOLDER...
       sentrel --console --history [--format text|json|ecs|export] [--settings FILE]
               [--since WHEN] [--until WHEN] [PATTERN]
       sentrel --help | --version

Watches folders, each with its whole sub-tree, and lists every change to the
files and folders in them as it happens, one line per change:

    14:05:09 - Modified - /home/ann/a.txt

Without --console, Sentrel opens its window and adds each FOLDER to its watch
list, as "Add Directory" does (a folder listed already is not added again).

  --console        no window: print each change line to the standard output
                   as it happens, until Ctrl-C or SIGTERM; needs no display.
                   Every change gets a line of its own. Lines for changes lost
                   to a full system queue (Changes_lost) and for folders that
                   could not be watched (Not_watched) come among them; the
                   reason for a Not_watched line goes to the standard error.
  --format FORMAT  how the console writes its lines: text (the default), as
                   the window lists them; json, one JSON object per line
                   (see the manual page for its members); ecs, JSON
                   Lines with the Elastic Common Schema's field names; or
                   export, entries of the system journal's export format
                   (for systemd-journal-upload and systemd-journal-remote)
  --journal        send each change to the system journal as an entry with
                   fields of its own (SENTREL_PATH, SENTREL_ACTION, ...)
                   instead of printing it; past 300 changes a second the
                   rest of that second go as one summary entry per folder
  --history        print the changes kept in the history, oldest first, with
                   their dates, and end: those --since and --until bound
                   (both included) and whose path holds PATTERN, if given
                   (after --, a PATTERN may begin with -)
  --since WHEN     with --history: from WHEN on; before a live watch: print
                   what the history kept since WHEN, then follow
  --until WHEN     with --history: up to WHEN (a date takes in the whole day)
  --no-catch-up    do not list, at start, what changed in a folder while it
                   was not watched (lines Found_added, Found_removed,
                   Found_modified, Found_renamed_old_name/_new_name; a folder
                   that cannot be compared gets a Not_caught_up line)
                   WHEN: today, yesterday, a time ago (90s, 30m, 2h, 7d), or a
                   local date and time (2026-12-07, 2026-12-07 14:05) up to
                   2262-04-10
  --process        name on each line the process that made the change, after
                   the action: [touch pid 4242 user ann] (text), "process"
                   (json); where the system cannot tell, [process unknown].
                   Only a watch by fanotify (as root, or --helper) knows
                   processes.
  --helper         watch through the privileged helper, started with pkexec
                   (an administrator allows it): fanotify for an ordinary
                   user, passing only changes in folders the user may list;
                   where it is not allowed, the folders are watched without it
  --verbose        the window starts in verbose display (every change on a
                   line of its own); the console always lists every change
  --settings FILE  use FILE as the settings file; the console only reads it
  --help           show this text
  --version        show the version
  --               end of options: every argument after it is a folder

)" + std::string(SettingsHelp) +
           R"(Exit codes:
  0  ended as asked: the window closed, Ctrl-C or SIGTERM, or the reader of
     the console's output closed it
  1  a failure while running: no display for the window, a folder that
     cannot be watched (the watch's message goes to the standard error), a
     settings file that cannot be read, output that cannot be written, or
     --journal without a system journal to send to
  2  unknown option, a folder that does not exist, --console without a
     folder (or --history), a --settings file for the console that does
     not exist, or a time that names no moment
)";
}

std::string VersionText() {
    return std::string("Sentrel ") + ProgramVersion() + "\n";
}
