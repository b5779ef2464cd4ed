// The main window's change lines: every change a watch reports becomes a
// line "time - action - full path" in lbResults, unless the General Options
// lists filter it out; and the commands that act on those lines. "Edit INI
// file" is here too: it opens a file the way "Open This File" does.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "platform/desktop/ProcessStart.h"
#include "platform/desktop/ShellOpen.h"
#include "platform/system/PlatformInfo.h"
#include "records/PathText.h"
#include "records/ResultLines.h"
#include "runtime/SysUtils.h"
#include "settings/UtilObj.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"
#include "util/UtilListBox.h"
#include "util/Utilstrings.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QStatusBar>
#include <utility>

namespace {
// Characters a line of a hint holds at most.
constexpr size_t HintWidth = 100;

std::string JoinedPaths(const std::vector<std::string>& paths) {
    std::string joined;
    for (const std::string& path : paths)
        joined += (joined.empty() ? "" : ", ") + ShownPath(path);
    return joined;
}
} // namespace

bool TForm1::IsFilteredOut(const std::string& path) const {
    return GeneralOptionsForm->ChangeFilter().IsFilteredOut(path);
}

// The history's own files are never listed: a watch of the home folder
// would feed on its own writes.
void TForm1::BriskoDirWatch1Notify(TBriskoDirWatch* Sender, int Action, const std::string& FileName) {
    std::optional<TChangeRecord> record =
        NotifiedRecord(GeneralOptionsForm->ChangeFilter(), TimeNow(), *Sender, Action, FileName);
    if (!record || IsHistoryFileChange(record->Path)) {
        FlushHistoryRename(); // a rename half whose other half is hidden pairs with nothing
        return;
    }
    ListRecord(*record);
}

// A note (a folder not watched, not caught up) is a line of its own, its
// reason as the hint; a change replaces its path's line in brief display.
// The line keeps its process and its day, which its text does not show.
void TForm1::ListRecord(const TChangeRecord& record) {
    KeepRecord(record);
    TResultLine line = TResultLine::Of(record);
    const bool replaces = record.Reason.empty() && !GeneralOptionsForm->cbVerboseDisplay->isChecked();
    const int found = replaces && lbResults->Count() > 0 ? lbResults->FindKey(line.Path) : -1;
    if (found >= 0)
        lbResults->SetLine(found, line.Text);
    else if (!record.Reason.empty())
        lbResults->AddNote(line.Text, std::move(line.Hint));
    else
        lbResults->Add(line.Text);
    const int index = found >= 0 ? found : lbResults->Count() - 1;
    lbResults->SetTag(index, FLineTags.TagOf(record.Process, LocalDayOfRecentClock(record.Time)));
    KeepListInBounds();
    CountLinesSoon();
}

// What a watch could not cover is listed like a change, always as a line of
// its own, so that no gap in the list goes unnoticed; how far the set-up of
// a large tree has come shows on the watch's own line.
void TForm1::BriskoDirWatch1Status(TBriskoDirWatch* Sender, const TDirWatchStatus& Status) {
    switch (Status.Kind) {
    case TDirWatchStatus::TKind::ChangesLost:
    case TDirWatchStatus::TKind::ChangesMerged:
    case TDirWatchStatus::TKind::NotCovered:
        // The reason goes to the line's hint: commands take the path from
        // the end of the line.
        if (std::optional<TChangeRecord> record =
                StatusRecord(GeneralOptionsForm->ChangeFilter(), TimeNow(), Sender->Directory(), Status))
            ListRecord(*record);
        break;
    case TDirWatchStatus::TKind::SettingUp:
        ShowRemark(Sender, "(setting up: " + FolderCount(Status.FolderCount) + " so far)");
        break;
    case TDirWatchStatus::TKind::Covered:
    case TDirWatchStatus::TKind::Ready:
        ShowRemark(Sender, "(" + WatchedRemark(Status) + ")");
        CatchUp(Sender->Directory());
        break;
    }
}

// The selected lines go at one go, however many: one by one, each removal
// moved every line below it.
void TForm1::ExcludeSelected(TExcludeKind kind) {
    const std::vector<int> selected = lbResults->SelectedLines();
    std::vector<std::string> paths;
    paths.reserve(selected.size());
    for (int line : selected) {
        paths.push_back(PathOfShown(ResultFilePath(lbResults->Line(line))));
        if (kind == TExcludeKind::Path)
            paths.back().erase(paths.back().rfind(PathDelim) + 1);
    }
    if (const std::vector<std::string> hidden = WatchedFoldersHiddenBy(paths);
        !hidden.empty() && !ConfirmBox("This hides every change in " + JoinedPaths(hidden) + ": exclude it anyway?"))
        return;
    GeneralOptionsForm->AddExclusions(paths);
    lbResults->DeleteLines(selected);
}

void TForm1::ExcludeFile1Click() {
    ExcludeSelected(TExcludeKind::File);
    UpdateStatusBar();
}

void TForm1::ExcludePath1Click() {
    ExcludeSelected(TExcludeKind::Path);
    UpdateStatusBar();
}

const TChangeProcess* TForm1::ProcessOfResult(int index) const {
    return FLineTags.ProcessOf(lbResults->Tag(index));
}

std::string TForm1::ResultHint(std::string_view line, uint32_t tag) const {
    const TChangeProcess* process = FLineTags.ProcessOf(tag);
    const std::string path = WrappedPath(ResultFilePath(line), HintWidth);
    return process ? "Process: " + ShownPath(DescribeProcess(*process)) + "\n" + path : path;
}

// The programs of the selected lines make no more lines, and the selected
// lines go; a line whose program is not known stays, and the user is told
// why.
void TForm1::ExcludeProgram1Click() {
    bool unknown = false;
    std::vector<int> excluded;
    for (int line : lbResults->SelectedLines()) {
        const TChangeProcess* process = ProcessOfResult(line);
        if (!process || process->Executable.empty()) {
            unknown = true;
            continue;
        }
        GeneralOptionsForm->AddExcludedProgram(process->Executable);
        excluded.push_back(line);
    }
    lbResults->DeleteLines(excluded);
    UpdateStatusBar();
    if (unknown)
        ShowStatusMessage("The program that made a selected change is not known: only watches by fanotify (as root) "
                          "tell it, and only while it runs or if it was named when it started");
}

std::string TForm1::CurrentResultPath() const {
    const int current = lbResults->ItemIndex();
    if (!ListBoxHasSelection(*lbResults) || current < 0)
        return {};
    return PathOfShown(ResultFilePath(lbResults->Line(current)));
}

void TForm1::ShowStatusMessage(const std::string& message) {
    statusBar()->showMessage(QString::fromStdString(message));
}

void TForm1::OpenWithDesktop(const std::string& path) {
    std::string reason;
    if (!ShellOpen(path, &reason))
        ShowStatusMessage(Format("Cannot open %s: %s", path.c_str(), reason.c_str()));
}

// A folder on another file system inside a watched tree, which its watch
// does not enter, becomes a watch of its own.
void TForm1::Watchittoo1Click() {
    if (const std::string path = CurrentResultPath(); !path.empty())
        WatchFolderToo(path);
}

void TForm1::PopupMenu1Popup() {
    const std::string path = CurrentResultPath();
    Watchittoo1->setEnabled(!path.empty() && DirectoryExists(path));
}

void TForm1::WatchFolderToo(const std::string& path) {
    if (!DirectoryExists(path))
        throw Exception("Cannot watch " + ShownPath(path) + ": it is not a folder, or no longer there");
    AddWatch(path);
}

void TForm1::Openthisfile1Click() {
    if (const std::string path = CurrentResultPath(); !path.empty())
        OpenWithDesktop(path);
}

void TForm1::Hexeditthisfile1Click() {
    if (const std::string path = CurrentResultPath(); !path.empty())
        HexEdit(path);
}

// The setting names a program, not a shell command line: its words are the
// program and its first arguments, and the path is one more argument,
// whatever characters it holds.
void TForm1::HexEdit(const std::string& path) {
    const std::string setting = GeneralOptionsForm->ebHexEditor->text().toStdString();
    std::optional<std::vector<std::string>> command = CommandWords(setting);
    if (!command) {
        ShowStatusMessage("The hex editor setting has a quotation mark that is not closed");
        return;
    }
    if (command->empty()) {
        ShowStatusMessage("No hex editor is set: choose one in General Options");
        return;
    }
    command->push_back(path);
    std::string reason;
    if (!StartProcess(*command, &reason))
        ShowStatusMessage(Format("Cannot start the hex editor %s: %s", command->front().c_str(), reason.c_str()));
}

void TForm1::sbClearClick() {
    lbResults->Clear();
    FListDropped = 0;
    UpdateStatusBar();
}

// The dialog is General Options' own, which saves plain lists: it gets its
// file types back however the save ends.
void TForm1::SaveList1Click() {
    TFileDialog& dialog = *GeneralOptionsForm->SaveDialog1;
    struct TTypesBack {
        TFileDialog& Dialog;
        std::string Filter;
        ~TTypesBack() {
            Dialog.Filter = std::move(Filter);
            Dialog.FilterIndex = 1;
        }
    } typesBack{dialog, std::exchange(dialog.Filter, SavedListTypes)};
    dialog.FilterIndex = 1;
    dialog.FileName = "WatchListing.txt";
    ListBoxSaveToFile(*lbResults, &dialog, [this](const std::vector<std::string>& lines, const TFileDialog& chosen) {
        return SavedChangeList(lines, SavedListTypeOf(chosen.FileName, chosen.FilterIndex),
                               [this](size_t line) { return FLineTags.DayOf(lbResults->Tag(static_cast<int>(line))); });
    });
}

void TForm1::Editinifile1Click() {
    UtilObj.EnsureIniFile();
    OpenWithDesktop(UtilObj.GetIniFileName());
}
