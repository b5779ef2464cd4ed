// The main window's watch list: each line of lbWatches is a watched folder
// carrying its TBriskoDirWatch. Adding, removing, starting and pausing act on
// the lines; the first line's watch stands for all of them.
#include "app/Unit1.h"

#include "dialogs/OptionsUnit.h"
#include "platform/Drives.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"
#include "util/UtilListBox.h"

TBriskoDirWatch* TForm1::WatchOfLine(int index) const {
    if (index < 0 || index >= lbWatches->Count())
        return nullptr;
    return dynamic_cast<TBriskoDirWatch*>(lbWatches->Object(index));
}

// A folder that is listed already keeps its line and its watch, with the
// options last confirmed for it; the new watch is dropped.
void TForm1::AddWatch(const std::string& folder) {
    auto watch = std::make_unique<TBriskoDirWatch>();
    watch->SetOnNotify([this](TBriskoDirWatch* Sender, int Action, const std::string& FileName) {
        BriskoDirWatch1Notify(Sender, Action, FileName);
    });
    watch->SetOnStatus([this](TBriskoDirWatch* Sender, const TDirWatchStatus& Status) {
        BriskoDirWatch1Status(Sender, Status);
    });
    watch->SetOnChange([this](TBriskoDirWatch* Sender) {
        ShowRemark(Sender, Sender->Enabled() ? "(setting up)" : "(stopped)");
    });
    watch->SetDirectory(folder);
    if (lbWatches->Count() > 0 && WatchOfLine(0) && WatchOfLine(0)->Enabled())
        watch->SetEnabled(true);
    if (lbWatches->IndexOf(folder) < 0)
        lbWatches->Add(folder, std::move(watch));
    sbGoClick();
}

void TForm1::sbAddDirectoryClick() {
    if (BrowseForFolder("", "", FLastFolder))
        AddWatch(FLastFolder);
    UpdateStatusBar();
}

void TForm1::AddAllDrives1Click() {
    for (const std::string& drive : FixedDrives(ReadMountTable(), SystemDriveProbe()))
        AddWatch(drive);
}

void TForm1::sbDeleteClick() {
    if (ListBoxHasSelection(*lbWatches))
        ListBoxDeleteCurrent(*lbWatches);
    UpdateStatusBar();
}

void TForm1::sbGoClick() {
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (TBriskoDirWatch* watch = WatchOfLine(i))
            watch->SetEnabled(true);
    UpdateStatusBar();
}

void TForm1::sbStopClick() {
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (TBriskoDirWatch* watch = WatchOfLine(i))
            watch->SetEnabled(false);
    UpdateStatusBar();
}

void TForm1::sbOptionsClick() {
    if (lbWatches->Count() == 0)
        return;
    if (lbWatches->ItemIndex() < 0)
        lbWatches->SetItemIndex(0);
    OptionsForm->exec();
}

// The lines stay, for the settings file to read; their watches are gone.
// Runs once: a second close request finds nothing left to free.
void TForm1::FreeAllWatches() {
    if (FWatchesFreed)
        return;
    FWatchesFreed = true;
    for (int i = 0; i < lbWatches->Count(); ++i) {
        if (TBriskoDirWatch* watch = WatchOfLine(i))
            watch->SetEnabled(false);
        lbWatches->FreeObject(i);
    }
}

void TForm1::ShowRemark(TBriskoDirWatch* watch, const std::string& remark) {
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (WatchOfLine(i) == watch)
            lbWatches->SetRemark(i, remark);
}
