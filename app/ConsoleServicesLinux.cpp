#include "app/ConsoleServices.h"

#include "history/CatchUpRecords.h"
#include "history/HistoryRecords.h"
#include "history/HistorySettings.h"
#include "history/HistoryStore.h"
#include "history/Snapshot.h"
#include "platform/helper/HelperClient.h"
#include "platform/system/PlatformInfo.h"
#include "records/ChangeFilter.h"
#include "records/PathText.h"
#include "runtime/SysUtils.h"
#include "settings/UtilObj.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

namespace {
// The lines of a kept record: a JSON object, or text lines with the date.
std::string KeptLines(const THistoryRecord& record, TCommandLine::TFormat format) {
    if (format != TCommandLine::TFormat::Text)
        return RecordLine(ChangeRecordOf(record), format, true);
    std::string lines;
    for (const std::string& line : HistoryTextLines(record))
        lines += line + '\n';
    return lines;
}

class TKeptHistory : public TConsoleHistory {
public:
    // catchUp: whether what changed in a folder while it was not watched is
    // found, compared with the snapshots kept beside the history.
    TKeptHistory(const THistorySettings& settings, const TChangeFilter& filter, TCommandLine::TFormat format,
                 bool catchUp)
        : FFilter(filter), FFormat(format), FCatchUp(catchUp),
          FStore(HistoryFileName(), settings.Retention, [](const std::string& message) { TellUser(message); }) {}

    void PrintSince(int64_t since, const TWrite& write) override {
        THistoryQuery query;
        query.Since = since;
        ForEachHistoryRecord(FStore.Path(), query, [&](const THistoryRecord& kept) {
            write(KeptLines(kept, FFormat), kept.Folder);
            return true;
        });
    }

    bool IsOwnFile(const std::string& path) const override { return IsHistoryFile(path, FStore.Path()); }

    void Keep(const TChangeRecord& record) override { FStore.Add(HistoryRecordOf(record)); }

    void CatchUp(const std::string& folder, TFound found) override {
        if (!FCatchUp)
            return;
        const std::string& history = FStore.Path();
        FCatchUps.push_back(std::make_unique<TCatchUpRun>(
            folder, SnapshotPathFor(history, folder), CatchUpOptionsFor(history, FFilter, folder),
            [this, found = std::move(found)](const std::string& caughtUp, const TCatchUp& result) {
                found(CatchUpRecords(FFilter, ConsoleTimeNow(FFormat), caughtUp, result));
                if (!result.SnapshotError.empty())
                    TellUser("what " + ShownPath(caughtUp) +
                             " holds could not be kept for the next start: " + result.SnapshotError);
                else if (result.Outcome != TCatchUp::TOutcome::Unreadable)
                    FSnapshotsKept.push_back(caughtUp);
            }));
    }

    void KeepSnapshots(std::function<void()> done) override {
        FCatchUps.clear();
        if (FSnapshotsKept.empty()) {
            done();
            return;
        }
        FKeeping = std::make_unique<TSnapshotsRun>(
            FStore.Path(), FFilter, FSnapshotsKept,
            [](const std::string& folder, const std::string& error) {
                if (!error.empty())
                    TellUser("what " + ShownPath(folder) + " holds could not be kept for the next start: " + error);
            },
            std::move(done));
    }

private:
    const TChangeFilter& FFilter;
    const TCommandLine::TFormat FFormat;
    const bool FCatchUp;
    THistoryStore FStore;
    std::vector<std::unique_ptr<TCatchUpRun>> FCatchUps;
    // The folders whose snapshot is kept: brought up to date at the end.
    std::vector<std::string> FSnapshotsKept;
    std::unique_ptr<TSnapshotsRun> FKeeping;
};
} // namespace

std::unique_ptr<TConsoleHistory> OpenConsoleHistory(const TCommandLine& commandLine, const TChangeFilter& filter) {
    std::vector<std::string> section;
    UtilObj.ReadExistingSection("History", section);
    std::vector<std::string> warnings;
    const THistorySettings settings = HistorySettingsOf(section, &warnings);
    for (const std::string& warning : warnings)
        TellUser(warning);
    if (!settings.Keep) {
        if (commandLine.Since)
            TellUser("--since shows nothing: no history is kept (Keep=F in the settings' [History])");
        return nullptr;
    }
    if (HistoryFileName().empty()) {
        TellUser(NoHistoryPlace);
        return nullptr;
    }
    return std::make_unique<TKeptHistory>(settings, filter, commandLine.Format, commandLine.CatchUp);
}

int PrintHistory(const TCommandLine& commandLine) {
    const std::string file = HistoryFileName();
    if (file.empty()) {
        TellUser(NoHistoryPlace);
        return ExitFailure;
    }
    std::error_code missing;
    if (!std::filesystem::exists(file, missing)) {
        TellUser("no history is kept yet at " + ShownPath(file));
        return ExitSuccess;
    }
    THistoryQuery query;
    query.Since = commandLine.Since;
    query.Until = commandLine.Until;
    query.Fragment = commandLine.Pattern;
    bool written = true;
    const std::string unread = ForEachHistoryRecord(file, query, [&](const THistoryRecord& kept) {
        const std::string lines = KeptLines(kept, commandLine.Format);
        written = std::fwrite(lines.data(), 1, lines.size(), stdout) == lines.size();
        return written;
    });
    if (!unread.empty()) {
        std::fflush(stdout);
        TellUser("the history at " + ShownPath(file) + " cannot be read: " + unread);
        return ExitFailure;
    }
    // A reader that stopped reading wanted no more.
    if ((std::fflush(stdout) != 0 || !written) && errno != EPIPE) {
        TellUser(Format("cannot write to the standard output: %s", std::strerror(errno)));
        return ExitFailure;
    }
    return ExitSuccess;
}

std::shared_ptr<void> StartPrivilegedHelper() {
    std::string why;
    std::shared_ptr<THelperConnection> helper;
    const auto command = PrivilegedHelperCommand(PathText(FileSystemPath(ProgramFilePath()).parent_path()), why);
    if (!command.empty())
        helper = THelperConnection::Start(command, why);
    if (helper)
        SetDirChangeReaderFactory(HelperReaderFactory(helper));
    else
        TellUser("the privileged helper was not started: " + why + "; the folders are watched without it");
    return helper;
}
