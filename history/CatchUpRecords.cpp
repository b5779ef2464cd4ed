#include "history/CatchUpRecords.h"

#include "history/HistoryStore.h"
#include "history/Snapshot.h"
#include "records/ChangeFilter.h"
#include "records/ResultLines.h"

#include <cstring>
#include <utility>

namespace {
const char* ActionOf(TCaughtUpChange::TKind kind) {
    switch (kind) {
    case TCaughtUpChange::TKind::Added:
        return "Found_added";
    case TCaughtUpChange::TKind::Removed:
        return "Found_removed";
    case TCaughtUpChange::TKind::Modified:
        return "Found_modified";
    case TCaughtUpChange::TKind::Renamed:
        break;
    }
    return "Found_renamed_new_name";
}

std::string NotComparedReason(const TCatchUp& caughtUp) {
    using TOutcome = TCatchUp::TOutcome;
    const std::string cannot = ": what changed while it was not watched cannot be told";
    switch (caughtUp.Outcome) {
    case TOutcome::NoSnapshot:
        return "It was watched before, but what it held then was not kept" + cannot;
    case TOutcome::Damaged:
        return "What it held when it was last watched was kept in a file that is damaged" + cannot;
    case TOutcome::OtherFileSystem:
        return "It is on another file system than when it was last watched (another disk in the same place?)" + cannot;
    case TOutcome::Unreadable:
        return std::string("It cannot be read (") + std::strerror(caughtUp.Error) + ")" + cannot;
    default:
        return {};
    }
}

TChangeRecord NotCaughtUp(const std::string& time, const std::string& folder, std::string path, std::string reason) {
    return {time, "Not_caught_up", std::move(path), std::nullopt, folder, std::move(reason), true};
}
} // namespace

TCatchUpOptions CatchUpOptionsFor(const std::string& historyFile, const TChangeFilter& filter,
                                  const std::string& folder) {
    TCatchUpOptions options;
    options.WatchedBefore = HistoryHasFolder(historyFile, folder);
    options.LeaveOut = [rules = filter.FolderRules(), folder](const std::string& below) {
        return rules && rules->Excludes(FullPath(folder, below));
    };
    return options;
}


std::vector<TChangeRecord> CatchUpRecords(const TChangeFilter& filter, const std::string& time,
                                          const std::string& folder, const TCatchUp& caughtUp) {
    std::vector<TChangeRecord> records;
    if (const std::string reason = NotComparedReason(caughtUp); !reason.empty()) {
        records.push_back(NotCaughtUp(time, folder, folder, reason));
        return records;
    }
    for (const auto& [below, error] : caughtUp.Unread)
        records.push_back(NotCaughtUp(time, folder, FullPath(folder, below),
                                      std::string("It cannot be read (") + std::strerror(error) +
                                          "): what changed in it while it was not watched is not known"));
    for (const TCaughtUpChange& change : caughtUp.Changes) {
        std::string path = FullPath(folder, change.Path);
        if (filter.IsFilteredOut(path))
            continue;
        if (change.Kind == TCaughtUpChange::TKind::Renamed)
            records.push_back({time,
                               "Found_renamed_old_name",
                               FullPath(folder, change.OldPath),
                               std::nullopt,
                               folder,
                               {},
                               change.IsFolder});
        records.push_back({time, ActionOf(change.Kind), std::move(path), std::nullopt, folder, {}, change.IsFolder});
    }
    return records;
}

TCatchUpRun::TCatchUpRun(std::string folder, std::string snapshotFile, TCatchUpOptions options, TDone done)
    : FFolder(std::move(folder)), FDone(std::move(done)), FWindow([this](TMessage&) {
          std::optional<TCatchUp> result;
          {
              std::lock_guard lock(FLock);
              result = std::exchange(FResult, std::nullopt);
          }
          if (result)
              FDone(FFolder, *result);
      }) {
    options.Stop = &FStop;
    FThread = std::thread([this, snapshotFile = std::move(snapshotFile), options = std::move(options)] {
        TCatchUp result = CatchUpTree(FFolder, snapshotFile, options);
        if (FStop)
            return;
        {
            std::lock_guard lock(FLock);
            FResult = std::move(result);
        }
        FWindow.Post({FirstOwnMessage, 0, 0, {}});
    });
}

TCatchUpRun::~TCatchUpRun() {
    FStop = true;
    FThread.join();
}

TSnapshotsRun::TSnapshotsRun(const std::string& historyFile, const TChangeFilter& filter,
                             const std::vector<std::string>& folders, TKept kept, std::function<void()> done)
    : FLeft(folders.size()) {
    for (const std::string& folder : folders)
        FRuns.push_back(std::make_unique<TCatchUpRun>(
            folder, SnapshotPathFor(historyFile, folder), CatchUpOptionsFor(historyFile, filter, folder),
            [this, kept, done](const std::string& walked, const TCatchUp& result) {
                kept(walked, result.SnapshotError);
                if (--FLeft == 0)
                    done();
            }));
}
