// The main window's catch-up: once a folder's watch reports every change,
// what changed in it while the program was not watching is listed, from
// the snapshot kept beside the history; the snapshots are brought up to
// date when the window closes, and when the watches are paused, so that
// what changed during a pause is listed when they start again.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "history/CatchUpRecords.h"
#include "history/Snapshot.h"
#include "records/ChangeFilter.h"
#include "records/ResultLines.h"
#include "toolkit/Application.h"
#include "toolkit/ListBox.h"
#include "util/Utilstrings.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>

namespace {
// The longest the main thread lists a catch-up's records at one go.
constexpr qint64 CatchUpSliceMs = 10;
} // namespace

// Once a session for each folder: a watch started again (new options, a
// session saved) has missed nothing.
void TForm1::CatchUp(const std::string& folder) {
    if (!FHistory || std::find(FCaughtUp.begin(), FCaughtUp.end(), folder) != FCaughtUp.end())
        return;
    FCaughtUp.push_back(folder);
    FCatchUps.push_back(std::make_unique<TCatchUpRun>(
        folder, SnapshotPathFor(FHistory->Path(), folder),
        CatchUpOptionsFor(FHistory->Path(), GeneralOptionsForm->ChangeFilter(), folder),
        [this](const std::string& caughtUp, const TCatchUp& result) { CaughtUp(caughtUp, result); }));
}

void TForm1::CaughtUp(const std::string& folder, const TCatchUp& result) {
    for (TChangeRecord& record : CatchUpRecords(GeneralOptionsForm->ChangeFilter(), TimeNow(), folder, result))
        if (!IsHistoryFileChange(record.Path))
            FCaughtUpRecords.push_back(std::move(record));
    ListCaughtUpSoon();
    if (!result.SnapshotError.empty())
        ShowStatusMessage("What " + folder + " holds could not be kept for the next start: " + result.SnapshotError);
    else if (result.Outcome != TCatchUp::TOutcome::Unreadable)
        FSnapshotsKept.push_back(folder);
}

// A catch-up may find a hundred thousand changes: they are listed a slice
// at a time between events, and a slice never ends between the halves of a
// rename, which the history pairs.
void TForm1::ListCaughtUp(bool all) {
    QElapsedTimer slice;
    slice.start();
    while (!FCaughtUpRecords.empty()) {
        const TChangeRecord record = std::move(FCaughtUpRecords.front());
        FCaughtUpRecords.pop_front();
        ListRecord(record);
        if (!all && !record.Action.ends_with("_old_name") && slice.elapsed() >= CatchUpSliceMs)
            break;
    }
    ListCaughtUpSoon();
}

void TForm1::ListCaughtUpSoon() {
    if (FCaughtUpRecords.empty() || FCaughtUpDue)
        return;
    FCaughtUpDue = true;
    QTimer::singleShot(0, this, [this] {
        FCaughtUpDue = false;
        RunHandler([this] { ListCaughtUp(false); });
    });
}

// What the trees still watched hold at the end is what the next start
// compares with, walked while their watches still report, and the end waits
// for each change made before the walks were done to be listed, so that a
// change made meanwhile is listed and kept, never only in a snapshot. A paused
// watch keeps the snapshot it had: what changed while it was paused is
// listed at the next start. Catch-ups still under way stop, and their old
// snapshots stay.
void TForm1::KeepSnapshots() {
    ListCaughtUp(true);
    FCatchUps.clear();
    FPausing.reset();
    if (!FHistory)
        return;
    std::vector<std::string> folders;
    std::vector<TBriskoDirWatch*> watches;
    for (const std::string& folder : std::exchange(FSnapshotsKept, {}))
        if (const int line = LineOfFolder(folder); line >= 0 && WatchOfLine(line) && WatchOfLine(line)->Enabled()) {
            folders.push_back(folder);
            watches.push_back(WatchOfLine(line));
        }
    if (folders.empty())
        return;
    QEventLoop walking;
    TSnapshotsRun run(
        FHistory->Path(), GeneralOptionsForm->ChangeFilter(), folders, [](const std::string&, const std::string&) {},
        [&] { WhenAllDelivered(watches, [&walking] { walking.quit(); }); });
    walking.exec();
}

// The watches stop once what their folders hold is kept and every change
// made before that is listed, as at the end; a second click stops them at
// once, keeping only what was kept by then. Without the history there is
// nothing to keep, and they stop at once. The wait's answer comes later, by
// the event loop: a pause ended or called off meanwhile (its ticket gone)
// is not ended again.
void TForm1::sbStopClick() {
    if (FPausing) {
        FinishPause();
        return;
    }
    FPauseBegan = TimeNow();
    FPausedFolders.clear();
    std::vector<std::string> folders;
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (WatchOfLine(i) && WatchOfLine(i)->Enabled() &&
            std::find(FSnapshotsKept.begin(), FSnapshotsKept.end(), lbWatches->Line(i)) != FSnapshotsKept.end())
            folders.emplace_back(lbWatches->Line(i));
    if (!FHistory || folders.empty()) {
        FinishPause();
        return;
    }
    ShowStatusMessage("Pausing: keeping what the folders hold, to list what changes meanwhile…");
    const uint64_t pause = ++FPauseTicket;
    FPausing = std::make_unique<TSnapshotsRun>(
        FHistory->Path(), GeneralOptionsForm->ChangeFilter(), folders,
        [this](const std::string& folder, const std::string& error) {
            if (error.empty())
                FPausedFolders.push_back(folder);
        },
        [this, pause] {
            std::vector<TBriskoDirWatch*> watches;
            for (int i = 0; i < lbWatches->Count(); ++i)
                if (TBriskoDirWatch* watch = WatchOfLine(i); watch && watch->Enabled())
                    watches.push_back(watch);
            WhenAllDelivered(watches, [this, pause] {
                QTimer::singleShot(0, this, [this, pause] {
                    if (pause == FPauseTicket)
                        RunHandler([this] { FinishPause(); });
                });
            });
        });
}

void TForm1::FinishPause() {
    ++FPauseTicket;
    FPausing.reset();
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (TBriskoDirWatch* watch = WatchOfLine(i))
            watch->SetEnabled(false);
    UpdateStatusBar();
}

// A watch paused by the user says since when; one that stopped for a
// reason of its own says why.
std::string TForm1::PausedRemark(const TBriskoDirWatch& watch) const {
    if (FPauseBegan.empty() || !watch.StopReason().empty())
        return StoppedRemark(watch);
    return "(paused since " + FPauseBegan + ")";
}

// A pause that took effect leaves one line where the gap was, and each
// folder whose snapshot it kept is caught up again once its watch reports,
// so that what changed meanwhile follows that line. A pause still under way
// is called off: its watches never stopped.
void TForm1::sbGoClick() {
    const bool paused = !FPauseBegan.empty() && !FPausing;
    ++FPauseTicket;
    FPausing.reset();
    if (paused) {
        lbResults->AddNote("Paused " + FPauseBegan + "\u2013" + TimeNow(),
                           "Changes made meanwhile are listed below, from what the folders held at the pause, "
                           "for the folders whose watch kept it");
        CountLinesSoon();
        for (const std::string& folder : FPausedFolders) {
            std::erase(FCaughtUp, folder);
            std::erase(FSnapshotsKept, folder);
        }
    }
    FPauseBegan.clear();
    FPausedFolders.clear();
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (TBriskoDirWatch* watch = WatchOfLine(i))
            watch->SetEnabled(true);
    UpdateStatusBar();
}
