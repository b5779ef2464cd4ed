// The main window's watch list: each line of lbWatches is a watched folder
// carrying its TBriskoDirWatch. Adding, removing, starting and pausing act on
// the lines; the first line's watch stands for all of them.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/OptionsUnit.h"
#include "platform/files/Drives.h"
#include "platform/system/PlatformInfo.h"
#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"
#include "tray/TrayCompRunTime.h"
#include "util/UtilListBox.h"

#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <string_view>

TBriskoDirWatch* TForm1::WatchOfLine(int index) const {
    if (index < 0 || index >= lbWatches->Count())
        return nullptr;
    return dynamic_cast<TBriskoDirWatch*>(lbWatches->Object(index));
}

std::unique_ptr<TBriskoDirWatch> TForm1::CreateWatch(const std::string& folder) {
    auto watch = std::make_unique<TBriskoDirWatch>();
    watch->SetOnNotify([this](TBriskoDirWatch* Sender, int Action, const std::string& FileName) {
        BriskoDirWatch1Notify(Sender, Action, FileName);
    });
    watch->SetOnStatus([this](TBriskoDirWatch* Sender, const TDirWatchStatus& Status) {
        BriskoDirWatch1Status(Sender, Status);
    });
    watch->SetOnChange([this](TBriskoDirWatch* Sender) {
        ShowRemark(Sender, Sender->Enabled() ? "(setting up)" : PausedRemark(*Sender));
        // Blank until the first command; once it speaks, it stays true.
        if (!StatusBar1[0]->text().isEmpty())
            ShowMonitoring();
    });
    watch->SetDirectory(folder);
    watch->SetExcludedFolders(GeneralOptionsForm->ChangeFilter().FolderRules());
    return watch;
}

void TForm1::ExcludedFoldersChanged() {
    const TFolderExclusionRules rules = GeneralOptionsForm->ChangeFilter().FolderRules();
    for (int i = 0; i < lbWatches->Count(); ++i) {
        if (TBriskoDirWatch* watch = WatchOfLine(i))
            watch->SetExcludedFolders(rules);
        MarkIfEverythingExcluded(i);
    }
}

namespace {
constexpr std::string_view EverythingExcluded = " (everything excluded)";

std::string AsFolderEntry(std::string folder) {
    if (folder.empty() || folder.back() != PathDelim)
        folder += PathDelim;
    return folder;
}
} // namespace

// A watch whose whole folder the exclusions hide lists nothing at all: its
// line says so for as long as that holds.
void TForm1::MarkIfEverythingExcluded(int line) {
    if (!GeneralOptionsForm) // the windows are being freed: the watches stop one by one
        return;
    std::string remark = lbWatches->Remark(line);
    if (remark.ends_with(EverythingExcluded))
        remark.resize(remark.size() - EverythingExcluded.size());
    if (GeneralOptionsForm->IsExcludedPath(AsFolderEntry(std::string(lbWatches->Line(line)))))
        remark += EverythingExcluded;
    lbWatches->SetRemark(line, remark);
}

std::vector<std::string> TForm1::WatchedFoldersHiddenBy(const std::vector<std::string>& entries) const {
    std::vector<std::string> hidden;
    for (int i = 0; i < lbWatches->Count(); ++i) {
        const std::string folder = AsFolderEntry(std::string(lbWatches->Line(i)));
        if (GeneralOptionsForm->IsExcludedPath(folder))
            continue;
        if (std::any_of(entries.begin(), entries.end(), [&](const std::string& entry) {
                return !entry.empty() && entry.back() == PathDelim && folder.starts_with(entry);
            }))
            hidden.emplace_back(lbWatches->Line(i));
    }
    return hidden;
}

int TForm1::LineOfFolder(const std::string& folder) const {
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (SamePath(lbWatches->Line(i), folder))
            return i;
    return -1;
}

// A folder that is listed already keeps its line and its watch, with the
// options last confirmed for it; the new watch is dropped before it starts,
// so that no worker sets up a whole tree only to be thrown away.
void TForm1::AddWatch(const std::string& folder) {
    auto watch = CreateWatch(folder);
    if (LineOfFolder(folder) < 0) {
        if (lbWatches->Count() > 0 && WatchOfLine(0) && WatchOfLine(0)->Enabled())
            watch->SetEnabled(true);
        lbWatches->Add(folder, std::move(watch));
    }
    sbGoClick();
}

void TForm1::sbAddDirectoryClick() {
    if (BrowseForFolder("", "", FLastFolder))
        AddWatch(FLastFolder);
    UpdateStatusBar();
}

void TForm1::AddAllDrives1Click() {
    for (const std::string& drive : SystemFixedDrives())
        AddWatch(drive);
}

void TForm1::sbDeleteClick() {
    if (ListBoxHasSelection(*lbWatches))
        ListBoxDeleteCurrent(*lbWatches);
    UpdateStatusBar();
}


void TForm1::sbOptionsClick() {
    if (lbWatches->Count() == 0)
        return;
    if (lbWatches->ItemIndex() < 0)
        lbWatches->SetItemIndex(0);
    OptionsForm->exec();
}

// The lines stay, for the settings file to read; their watches are gone, so
// a second call frees nothing twice.
void TForm1::FreeAllWatches() {
    for (int i = 0; i < lbWatches->Count(); ++i) {
        if (TBriskoDirWatch* watch = WatchOfLine(i))
            watch->SetEnabled(false);
        lbWatches->SetObject(i, nullptr);
    }
}

// The desktop asks before the session ends, and also when it only saves the
// session: release the watches and save the settings as a close request
// would, and should the program go on running afterwards, watch the listed
// folders again as they were. The tray icon stays as it is meanwhile: the
// program ends with it.
void TForm1::SessionEnding() {
    struct TState {
        TDirWatchOptions Options;
        bool Enabled;
    };
    std::vector<TState> states;
    for (int i = 0; i < lbWatches->Count(); ++i) {
        TBriskoDirWatch* watch = WatchOfLine(i);
        states.push_back({watch ? watch->Options() : TDirWatchOptions::All(), watch && watch->Enabled()});
    }
    FreeAllWatches();
    SaveSettingsAtClose();
    FlushHistory();
    QTimer::singleShot(0, this, [this, states] {
        RunHandler([&] {
            if (FClosed)
                return;
            for (int i = 0; i < lbWatches->Count() && i < static_cast<int>(states.size()); ++i) {
                if (WatchOfLine(i))
                    continue;
                auto watch = CreateWatch(std::string(lbWatches->Line(i)));
                watch->SetOptions(states[static_cast<size_t>(i)].Options);
                TBriskoDirWatch* restored = watch.get();
                lbWatches->SetObject(i, std::move(watch));
                restored->SetEnabled(states[static_cast<size_t>(i)].Enabled);
            }
            UpdateStatusBar();
        });
    });
}

// A watch that could not start says why on its line.
std::string TForm1::StoppedRemark(const TBriskoDirWatch& watch) {
    return watch.StopReason().empty() ? "(stopped)" : "(stopped: " + watch.StopReason() + ")";
}

void TForm1::ShowRemark(TBriskoDirWatch* watch, const std::string& remark) {
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (WatchOfLine(i) == watch) {
            lbWatches->SetRemark(i, remark);
            MarkIfEverythingExcluded(i);
        }
}
