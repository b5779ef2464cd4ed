// The console prints the very lines the main window lists, made by the same
// code from the same filter, so that a script sees what a user would see.
// Lines go to the standard output; what is meant for a person (the folders
// being watched, why a folder is not watched, why the console ended) goes
// to the standard error output.
#include "app/Console.h"

#include "app/CommandLine.h"
#include "platform/MessageWindow.h"
#include "platform/PlatformInfo.h"
#include "runtime/SysUtils.h"
#include "toolkit/StopSignals.h"
#include "util/ChangeFilter.h"
#include "util/ResultLines.h"
#include "util/UtilObj.h"
#include "util/Utilstrings.h"
#include "watch/BrkDirWatch.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_set>

namespace {
// The lists of the settings file that decide which changes are listed.
struct TFilterLists {
    TLineVector Excluded, ExcludedTypes, IncludedTypes;
};

TLineVector ReadList(const char* section) {
    std::vector<std::string> lines;
    UtilObj.ReadExistingSection(section, lines);
    return TLineVector(TUtilObj::ListValues(lines));
}

TFilterLists ReadFilterLists() {
    return {ReadList("ExcludedDirs"), ReadList("ExcludedFileTypes"), ReadList("IncludedFileTypes")};
}

// One line for a person on the standard error output; the engine's
// messages break their lines as the error box does.
void Tell(std::string message) {
    ReplaceAll(message, "\r\n", "\n");
    std::fprintf(stderr, "sentrel: %s\n", message.c_str());
}

class TConsole {
public:
    explicit TConsole(const TChangeFilter& filter)
        : FFilter(filter), FStopSignals([this] { End(ExitSuccess); }) {}
    ~TConsole();
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    int Run(const std::vector<std::string>& folders);

private:
    void Watch(const std::string& folder);
    void Notify(TBriskoDirWatch* sender, int action, const std::string& fileName);
    void Status(TBriskoDirWatch* sender, const TDirWatchStatus& status);
    void Print(const std::string& line);
    void End(int code, const std::string& message = {});
    static void ReportWatchError() noexcept;

    // The running console, for the report of a watch's failure, which the
    // message window hands over without any context.
    static TConsole* FRunning;

    const TChangeFilter& FFilter;
    // Set up before the first watch and given back after the last one has
    // stopped, so that a signal never finds the program half torn down.
    TStopSignals FStopSignals;
    std::vector<std::unique_ptr<TBriskoDirWatch>> FWatches;
    std::unordered_set<const TBriskoDirWatch*> FReady;
    bool FEnded = false;
    int FExitCode = ExitSuccess;
};

TConsole* TConsole::FRunning = nullptr;

// The watches stop before the reporter goes: nothing they posted is handled
// after this.
TConsole::~TConsole() {
    FWatches.clear();
    SetMessageErrorReporter(nullptr);
    FRunning = nullptr;
}

int TConsole::Run(const std::vector<std::string>& folders) {
    FRunning = this;
    SetMessageErrorReporter(&TConsole::ReportWatchError);
    try {
        for (const std::string& folder : folders)
            Watch(folder);
    } catch (const std::exception& error) {
        End(ExitFailure, error.what());
    }
    if (FEnded)
        return FExitCode;
    QCoreApplication::exec();
    return FExitCode;
}

// A folder named twice is watched once, as the window's watch list does.
void TConsole::Watch(const std::string& folder) {
    const bool listed = std::any_of(FWatches.begin(), FWatches.end(), [&](const auto& watch) {
        return SamePath(watch->Directory(), folder);
    });
    if (listed)
        return;
    auto watch = std::make_unique<TBriskoDirWatch>();
    watch->SetOnNotify([this](TBriskoDirWatch* sender, int action, const std::string& fileName) {
        Notify(sender, action, fileName);
    });
    watch->SetOnStatus([this](TBriskoDirWatch* sender, const TDirWatchStatus& status) { Status(sender, status); });
    watch->SetDirectory(folder);
    watch->SetEnabled(true);
    FWatches.push_back(std::move(watch));
}

void TConsole::Notify(TBriskoDirWatch* sender, int action, const std::string& fileName) {
    if (std::optional<TResultLine> line = ChangeResult(FFilter, TimeNow(), sender->Directory(), action, fileName))
        Print(line->Text);
}

void TConsole::Status(TBriskoDirWatch* sender, const TDirWatchStatus& status) {
    // The moment every change is reported is news; the end of the set-up
    // after it, and a tree that grows later, are not.
    if (status.Kind == TDirWatchStatus::TKind::Covered) {
        if (FReady.insert(sender).second)
            Tell("watching " + sender->Directory() + " (" + WatchedRemark(status) + ")");
        return;
    }
    std::optional<TResultLine> line = StatusResult(FFilter, TimeNow(), sender->Directory(), status);
    if (!line)
        return;
    Print(line->Text);
    if (!line->Hint.empty())
        Tell("not watched: " + line->Path + ": " + line->Hint);
}

// One write per line, unbuffered, so that a reader sees each line as soon
// as it is made and a line never arrives in pieces from here. A reader that
// has gone away is no failure: it wanted no more.
void TConsole::Print(const std::string& line) {
    if (FEnded)
        return;
    const std::string text = line + '\n';
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size())
        return;
    if (errno == EPIPE)
        End(ExitSuccess);
    else
        End(ExitFailure, Format("cannot write to the standard output: %s", std::strerror(errno)));
}

// The first end counts; the lines still queued are dropped.
void TConsole::End(int code, const std::string& message) {
    if (FEnded)
        return;
    FEnded = true;
    FExitCode = code;
    if (!message.empty())
        Tell(message);
    QCoreApplication::exit(code);
}

void TConsole::ReportWatchError() noexcept {
    std::string message = "Unknown error";
    try {
        throw;
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
    }
    if (FRunning)
        FRunning->End(ExitFailure, message);
}
} // namespace

int RunConsole(const TCommandLine& commandLine, int& argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (!commandLine.SettingsFile.empty())
        UtilObj.SetIniFileName(commandLine.SettingsFile);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    TFilterLists lists;
    try {
        lists = ReadFilterLists();
    } catch (const Exception& error) {
        Tell(error.Message());
        return ExitFailure;
    }
    const TChangeFilter filter(lists.Excluded, lists.ExcludedTypes, lists.IncludedTypes);
    std::optional<TConsole> console;
    try {
        console.emplace(filter);
    } catch (const Exception& error) {
        Tell(error.Message());
        return ExitFailure;
    }
    return console->Run(commandLine.Folders);
}
