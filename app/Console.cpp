// The console prints the very lines the main window lists, made by the same
// code from the same filter, so that a script sees what a user would see.
// Lines go to the standard output; what is meant for a person (the folders
// being watched, why a folder is not watched, why the console ended) goes
// to the standard error output.
#include "app/Console.h"

#include "app/CommandLine.h"
#include "app/ConsoleServices.h"
#include "platform/loop/EventLoop.h"
#include "platform/loop/MessageWindow.h"
#include "platform/loop/StopSignals.h"
#include "platform/output/OutputWriter.h"
#include "platform/system/PlatformInfo.h"
#include "records/ChangeFilter.h"
#include "records/ChangeRecords.h"
#include "records/EcsRecords.h"
#include "records/JournalEntries.h"
#include "records/PathText.h"
#include "records/ResultLines.h"
#include "runtime/SysUtils.h"
#include "settings/UtilObj.h"
#include "util/Utilstrings.h"
#include "watch/BrkDirWatch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace {
// The lists of the settings file that decide which changes are listed.
struct TFilterLists {
    TLineVector Excluded, ExcludedNames, ExcludedTypes, IncludedTypes, ExcludedPrograms;
};

TLineVector ReadList(const char* section) {
    std::vector<std::string> lines;
    UtilObj.ReadExistingSection(section, lines);
    return TLineVector(TUtilObj::ListValues(lines));
}

TFilterLists ReadFilterLists() {
    return {ReadList("ExcludedDirs"), ReadList("ExcludedFolderNames"), ReadList("ExcludedFileTypes"),
            ReadList("IncludedFileTypes"), ReadList("ExcludedPrograms")};
}

// The name of file in folder's tree, as the folder's watch names its
// changes; none when it is outside.
std::optional<std::string> NameInTree(const std::string& folder, const std::string& file) {
    std::error_code error;
    std::string root = PathText(std::filesystem::weakly_canonical(FileSystemPath(folder), error));
    if (error)
        return std::nullopt;
    if (!root.ends_with(PathDelim))
        root += PathDelim;
    if (file.size() <= root.size() || !SamePath(std::string_view(file).substr(0, root.size()), root))
        return std::nullopt;
    return file.substr(root.size());
}

// Lines a reader has not taken yet are dropped past this, and a
// Changes_lost line says so once the reader has caught up.
constexpr std::size_t UnwrittenLimit = std::size_t(64) << 20;

class TConsole {
public:
    // history: where the listed changes are kept too, and what changed in
    // a folder while it was not watched is found, if anywhere.
    // process: each line names the process that made its change.
    TConsole(TEventLoop& loop, const TChangeFilter& filter, TCommandLine::TFormat format, TConsoleHistory* history,
             bool process);
    ~TConsole();
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    // since: the history kept since then is printed first.
    int Run(const std::vector<std::string>& folders, std::optional<int64_t> since);

private:
    void Watch(const std::string& folder);
    void Notify(TBriskoDirWatch* sender, int action, const std::string& fileName);
    void Status(TBriskoDirWatch* sender, const TDirWatchStatus& status);
    void CaughtUp(std::vector<TChangeRecord> records);
    bool IsOwnOutputWrite(const TBriskoDirWatch* sender, int action, const std::string& fileName);
    std::string Now() const;
    void Emit(TChangeRecord record);
    void FlushRename();
    void Keep(const TChangeRecord& record);
    void Print(const TChangeRecord& record);
    std::string Line(const TChangeRecord& record) const;
    std::string LinesForDropped(const TOutputWriter::TDropped& dropped) const;
    void OutputEnded(const std::string& error);
    void StartJournal();
    void Stop();
    void End(int code, const std::string& message = {});
    static void ReportWatchError() noexcept;

    // The running console, for the report of a watch's failure, which the
    // message window hands over without any context.
    static TConsole* FRunning;

    TEventLoop& FLoop;
    const TChangeFilter& FFilter;
    const TCommandLine::TFormat FFormat;
    TConsoleHistory* const FHistory;
    const bool FProcess;
    // The standard output's file when it is one: its own changes are not
    // listed, or every line written would make another.
    const std::optional<std::string> FOutputFile;
    // Set up before the first watch and given back after the last one has
    // stopped, so that a signal never finds the program half torn down.
    TStopSignals FStopSignals;
    // What the writer's thread asks of this one is done through the event
    // loop, and dropped with this object.
    TPostGuard FPosts;
    TOutputWriter FOutput;
    // --journal: where the records go instead of the output.
    std::unique_ptr<TChangeJournal> FJournal;
    TRenamePairing FRenames;
    std::vector<std::unique_ptr<TBriskoDirWatch>> FWatches;
    // The output file in a watch's tree: its name there, followed through
    // renames (a log rotated), and whether the old half of its rename was
    // the last record.
    struct TOwnOutput {
        std::string Name;
        bool Renaming = false;
    };
    std::unordered_map<const TBriskoDirWatch*, TOwnOutput> FOwnOutput;
    std::unordered_set<const TBriskoDirWatch*> FReady;
    bool FStopping = false; // the snapshots are being taken
    bool FEnded = false;
    int FExitCode = ExitSuccess;
};

TConsole* TConsole::FRunning = nullptr;

TConsole::TConsole(TEventLoop& loop, const TChangeFilter& filter, TCommandLine::TFormat format,
                   TConsoleHistory* history, bool process)
    : FLoop(loop), FFilter(filter), FFormat(format), FHistory(history), FProcess(process),
      FOutputFile(TOutputWriter::FileOf(StandardOutput)), FStopSignals([this] { Stop(); }), FPosts(loop),
      FOutput(StandardOutput, UnwrittenLimit,
              {[this](const TOutputWriter::TDropped& dropped) { return LinesForDropped(dropped); },
               [this](const std::string& error) { FPosts.Post([this, error] { OutputEnded(error); }); }}) {}

// The watches stop before the reporter goes: nothing they posted is handled
// after this.
TConsole::~TConsole() {
    FWatches.clear();
    SetMessageErrorReporter(nullptr);
    FRunning = nullptr;
}

int TConsole::Run(const std::vector<std::string>& folders, std::optional<int64_t> since) {
    FRunning = this;
    if (!FOutputFile && TOutputWriter::IsFile(StandardOutput))
        TellUser("the output goes to a file whose name the system does not tell: if it lies in a watched folder, "
                 "each line written to it is listed again");
    SetMessageErrorReporter(&TConsole::ReportWatchError);
    if (FFormat == TCommandLine::TFormat::Journal)
        StartJournal();
    if (FEnded)
        return FExitCode;
    if (since && FHistory)
        FHistory->PrintSince(
            *since, [this](const std::string& lines, const std::string& folder) { FOutput.Write(lines, folder); });
    try {
        for (const std::string& folder : folders)
            Watch(folder);
    } catch (const std::exception& error) {
        End(ExitFailure, error.what());
    }
    if (FEnded)
        return FExitCode;
    FLoop.Run();
    return FExitCode;
}

// A folder named twice is watched once, as the window's watch list does.
void TConsole::Watch(const std::string& folder) {
    const bool listed = std::any_of(FWatches.begin(), FWatches.end(),
                                    [&](const auto& watch) { return SamePath(watch->Directory(), folder); });
    if (listed)
        return;
    auto watch = std::make_unique<TBriskoDirWatch>();
    watch->SetOnNotify(
        [this](TBriskoDirWatch* sender, int action, const std::string& fileName) { Notify(sender, action, fileName); });
    watch->SetOnStatus([this](TBriskoDirWatch* sender, const TDirWatchStatus& status) { Status(sender, status); });
    if (FOutputFile)
        if (std::optional<std::string> name = NameInTree(folder, *FOutputFile)) {
            TellUser("not listing the changes of " + ShownPath(*FOutputFile) + ": the output is written there");
            FOwnOutput[watch.get()] = {std::move(*name)};
        }
    watch->SetDirectory(folder);
    watch->SetExcludedFolders(FFilter.FolderRules());
    watch->SetEnabled(true);
    FWatches.push_back(std::move(watch));
}

// A rename half whose other half is hidden pairs with nothing.
void TConsole::Notify(TBriskoDirWatch* sender, int action, const std::string& fileName) {
    std::optional<TChangeRecord> record;
    if (!IsOwnOutputWrite(sender, action, fileName))
        record = NotifiedRecord(FFilter, Now(), *sender, action, fileName);
    if (record && FHistory && FHistory->IsOwnFile(record->Path))
        record.reset();
    if (!record) {
        FlushRename();
        return;
    }
    Emit(std::move(*record));
}

// Writes to the output file are left out, or each line written would make
// another; anything else done to it is listed, and a rename followed.
bool TConsole::IsOwnOutputWrite(const TBriskoDirWatch* sender, int action, const std::string& fileName) {
    const auto own = FOwnOutput.find(sender);
    if (own == FOwnOutput.end())
        return false;
    TOwnOutput& output = own->second;
    const auto code = static_cast<uint32_t>(action);
    if (code == FILE_ACTION_RENAMED_NEW_NAME && output.Renaming)
        output.Name = fileName;
    output.Renaming = code == FILE_ACTION_RENAMED_OLD_NAME && fileName == output.Name;
    return code == FILE_ACTION_MODIFIED && fileName == output.Name;
}

void TConsole::Status(TBriskoDirWatch* sender, const TDirWatchStatus& status) {
    // The moment every change is reported is news; the end of the set-up
    // after it, and a tree that grows later, are not.
    if (status.Kind == TDirWatchStatus::TKind::Covered) {
        if (FReady.insert(sender).second) {
            TellUser("watching " + ShownPath(sender->Directory()) + " (" + WatchedRemark(status) + ")");
            if (FHistory)
                FHistory->CatchUp(sender->Directory(),
                                  [this](std::vector<TChangeRecord> records) { CaughtUp(std::move(records)); });
        }
        return;
    }
    std::optional<TChangeRecord> record = StatusRecord(FFilter, Now(), sender->Directory(), status);
    if (!record)
        return;
    if (status.Kind == TDirWatchStatus::TKind::NotCovered)
        TellUser("not watched: " + ShownPath(record->Path) + ": " + record->Reason);
    Emit(std::move(*record));
}

void TConsole::CaughtUp(std::vector<TChangeRecord> records) {
    for (TChangeRecord& record : records)
        if (!FHistory->IsOwnFile(record.Path))
            Emit(std::move(record));
}

std::string TConsole::Now() const {
    return ConsoleTimeNow(FFormat);
}

// The two halves of a rename are one JSON record; a half left alone goes
// out once the changes delivered with it are through.
// The history keeps a rename as one record too.
void TConsole::Emit(TChangeRecord record) {
    const bool text = FFormat == TCommandLine::TFormat::Text;
    if (text)
        Print(record);
    if (text && !FHistory)
        return;
    const bool wasHolding = FRenames.Holding();
    for (const TChangeRecord& ready : FRenames.Add(std::move(record))) {
        Keep(ready);
        if (!text)
            Print(ready);
    }
    if (FRenames.Holding() && !wasHolding)
        FPosts.Post([this] { FlushRename(); });
}

void TConsole::FlushRename() {
    for (const TChangeRecord& ready : FRenames.Flush()) {
        Keep(ready);
        if (FFormat != TCommandLine::TFormat::Text)
            Print(ready);
    }
}

void TConsole::Keep(const TChangeRecord& record) {
    if (FHistory)
        FHistory->Keep(record);
}

// A note (lost changes, a folder not watched) always reaches the journal;
// changes at its rate.
void TConsole::Print(const TChangeRecord& record) {
    if (FEnded)
        return;
    if (FJournal)
        FJournal->Send(record, FProcess);
    else
        FOutput.Write(Line(record), record.Folder);
}

void TConsole::StartJournal() {
    if (const std::optional<std::string> unavailable = JournalUnavailable()) {
        End(ExitFailure, "cannot send the changes to the system journal: " + *unavailable);
        return;
    }
    FJournal = std::make_unique<TChangeJournal>(FHistory != nullptr, [this](const std::string& error) {
        FPosts.Post([this, error] { End(ExitFailure, "cannot send to the system journal: " + error); });
    });
}

// A record of a change, not of a note, names its process when asked.
std::string TConsole::Line(const TChangeRecord& record) const {
    const bool named = FProcess && record.Reason.empty();
    if (FFormat != TCommandLine::TFormat::Text)
        return RecordLine(record, FFormat, named);
    const TResultLine line = TResultLine::Of(record);
    if (!named)
        return line.Text + '\n';
    return ResultLine(record.Time, record.Action, ProcessPart(record.Process.get()) + " - " + line.Path) + '\n';
}

// Runs on the writer's thread: only formats.
std::string TConsole::LinesForDropped(const TOutputWriter::TDropped& dropped) const {
    std::string lines;
    for (const auto& [folder, count] : dropped)
        lines += Line({Now(), "Changes_lost", folder, std::nullopt, folder,
                       Format("The reader of the output fell behind: %llu lines were dropped",
                              static_cast<unsigned long long>(count))});
    return lines;
}

// A reader that has gone away is no failure: it wanted no more.
void TConsole::OutputEnded(const std::string& error) {
    if (error.empty())
        End(ExitSuccess);
    else
        End(ExitFailure, "cannot write to the standard output: " + error);
}

// Asked to end: the snapshots for the next start are taken first, while
// every change is still listed and kept, and the end waits for each change
// made before they were done to be listed, so that none lands in them
// unlisted. Asked again meanwhile, it ends at once, and the older snapshots
// stay (the next start may then list some changes again).
void TConsole::Stop() {
    if (FStopping || !FHistory) {
        End(ExitSuccess);
        return;
    }
    FStopping = true;
    FHistory->KeepSnapshots([this] {
        std::vector<TBriskoDirWatch*> watches;
        for (const auto& watch : FWatches)
            watches.push_back(watch.get());
        WhenAllDelivered(watches, [this] { End(ExitSuccess); });
    });
}

// The first end counts; the lines still queued are dropped.
void TConsole::End(int code, const std::string& message) {
    if (FEnded)
        return;
    FlushRename();
    FEnded = true;
    FExitCode = code;
    if (!message.empty())
        TellUser(message);
    FLoop.Exit(code);
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

// The engine's messages break their lines as the error box does.
void TellUser(std::string message) {
    ReplaceAll(message, "\r\n", "\n");
    std::fprintf(stderr, "sentrel: %s\n", ShownMessage(message).c_str());
}

std::string ConsoleTimeNow(TCommandLine::TFormat format) {
    return format == TCommandLine::TFormat::Text ? TimeNow() : RecordTimeNow();
}

namespace {
// A record is stamped with when it was read, where known.
TJournalStamps ExportStamps(const TChangeRecord& record, const std::string& host) {
    using namespace std::chrono;
    static const std::string bootId = BootId();
    const int64_t realtime = record.ReadAt ? record.ReadAt / 1000
                                           : duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const int64_t monotonic = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
    return {realtime, monotonic, bootId, host};
}
} // namespace

// The machine's name is asked once: a record of every change names it.
std::string RecordLine(const TChangeRecord& record, TCommandLine::TFormat format, bool withProcess) {
    static const std::string host = HostName();
    switch (format) {
    case TCommandLine::TFormat::Ecs:
        return EcsRecord(record, host, withProcess) + '\n';
    case TCommandLine::TFormat::Export:
        return ExportEntry(JournalEntry(record, withProcess), ExportStamps(record, host));
    default:
        return JsonRecord(record, withProcess) + '\n';
    }
}

int RunConsole(const TCommandLine& commandLine) {
    TEventLoop loop;
    const TMainMessageLoopScope mainLoop(loop);
    if (!commandLine.SettingsFile.empty())
        UtilObj.SetIniFileName(commandLine.SettingsFile);
    if (commandLine.History)
        return PrintHistory(commandLine);
    // The filter refers to its lists.
    TFilterLists lists;
    std::optional<TChangeFilter> filter;
    std::unique_ptr<TConsoleHistory> history;
    try {
        lists = ReadFilterLists();
        filter.emplace(lists.Excluded, lists.ExcludedNames, lists.ExcludedTypes, lists.IncludedTypes,
                       lists.ExcludedPrograms);
        history = OpenConsoleHistory(commandLine, *filter);
    } catch (const Exception& error) {
        TellUser(error.Message());
        return ExitFailure;
    }
    // Declared before the console, so that it outlives the console's watches.
    std::shared_ptr<void> helper;
    if (commandLine.Helper)
        helper = StartPrivilegedHelper();
    std::optional<TConsole> console;
    try {
        console.emplace(loop, *filter, commandLine.Format, history.get(), commandLine.Process);
    } catch (const Exception& error) {
        TellUser(error.Message());
        return ExitFailure;
    }
    return console->Run(commandLine.Folders, commandLine.Since);
}

std::optional<int> RunWithoutWindow(const std::vector<std::string>& arguments, TCommandLine& commandLine) {
    try {
        commandLine = ParseCommandLine(arguments, CurrentFolder());
    } catch (const ECommandLineError& error) {
        std::fprintf(stderr, "sentrel: %s\nTry 'sentrel --help' for more information.\n", error.what());
        return ExitUsage;
    }
    switch (commandLine.Mode) {
    case TCommandLine::TMode::Help:
        std::fputs(UsageText().c_str(), stdout);
        return ExitSuccess;
    case TCommandLine::TMode::Version:
        std::fputs(VersionText().c_str(), stdout);
        return ExitSuccess;
    case TCommandLine::TMode::Console:
        return RunConsole(commandLine);
    case TCommandLine::TMode::Window:
        break;
    }
    return std::nullopt;
}

int RunConsoleProgram(const std::vector<std::string>& arguments, const std::string& windowProgram) {
    std::vector<std::string> asConsole{"--console"};
    asConsole.insert(asConsole.end(), arguments.begin(), arguments.end());
    UtilObj.SetProgramFile(PathText(FileSystemPath(ProgramFilePath()).parent_path() / windowProgram));
    TCommandLine commandLine;
    return RunWithoutWindow(asConsole, commandLine).value_or(ExitUsage);
}
