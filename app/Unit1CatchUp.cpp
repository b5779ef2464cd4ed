// The main window's catch-up: once a folder's watch reports every change,
// what changed in it while the program was not watching is listed, from
// the snapshot kept beside the history; the snapshots are brought up to
// date when the window closes.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "history/CatchUpRecords.h"
#include "history/Snapshot.h"
#include "records/ChangeFilter.h"
#include "records/ResultLines.h"
#include "toolkit/ListBox.h"
#include "util/Utilstrings.h"

#include <algorithm>

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
    for (const TChangeRecord& record : CatchUpRecords(GeneralOptionsForm->ChangeFilter(), TimeNow(), folder, result))
        if (!IsHistoryFileChange(record.Path))
            ListRecord(record);
    if (!result.SnapshotError.empty())
        ShowStatusMessage("What " + folder + " holds could not be kept for the next start: " + result.SnapshotError);
    else if (result.Outcome != TCatchUp::TOutcome::Unreadable)
        FSnapshotsKept.push_back(folder);
}

// What the trees still watched hold at the end is what the next start
// compares with; catch-ups still under way stop, and their old snapshots stay.
void TForm1::KeepSnapshots() {
    FCatchUps.clear();
    if (!FHistory)
        return;
    for (const std::string& folder : std::exchange(FSnapshotsKept, {}))
        if (LineOfFolder(folder) >= 0)
            KeepSnapshot(FHistory->Path(), GeneralOptionsForm->ChangeFilter(), folder);
}
