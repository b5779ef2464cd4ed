// The main window's change lines: every change a watch reports becomes a
// line "time - action - full path" in lbResults, unless the General Options
// lists filter it out.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "platform/PlatformInfo.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"
#include "runtime/SysUtils.h"
#include "util/UtilListBox.h"
#include "util/Utilstrings.h"

#include <QCheckBox>
#include <QTime>

namespace {
std::string TimeNow() {
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss")).toStdString();
}

std::string FolderCount(uint64_t count) {
    return Format("%llu folder%s", static_cast<unsigned long long>(count), count == 1 ? "" : "s");
}

std::string FullPath(const std::string& directory, const std::string& fileName) {
    if (LastChar(directory) == std::string(1, PathDelim))
        return directory + fileName;
    return directory + PathDelim + fileName;
}
} // namespace

std::string TForm1::ActionName(int action) {
    switch (action) {
    case 1:
        return "Added";
    case 2:
        return "Removed";
    case 3:
        return "Modified";
    case 4:
        return "Renamed_old_name";
    case 5:
        return "Renamed_new_name";
    default:
        return "";
    }
}

std::string TForm1::FileTypeOf(const std::string& path) {
    return "*" + ExtractFileExt(path);
}

// Neither the time nor an action name holds " - ", so the second one is the
// one in front of the path; a path may hold more of them.
std::string_view TForm1::ResultLinePath(std::string_view line) {
    constexpr std::string_view Separator = " - ";
    const size_t action = line.find(Separator);
    if (action == std::string_view::npos)
        return {};
    const size_t path = line.find(Separator, action + Separator.size());
    if (path == std::string_view::npos)
        return {};
    return line.substr(path + Separator.size());
}

bool TForm1::IsFilteredOut(const std::string& path) const {
    const std::string type = FileTypeOf(path);
    if (GeneralOptionsForm->lbIncludedTypes->Count() > 0)
        return GeneralOptionsForm->lbIncludedTypes->IndexOf(type) < 0;
    return GeneralOptionsForm->IsExcludedPath(path) || GeneralOptionsForm->IsExcludedFile(path) ||
           GeneralOptionsForm->lbExcludedTypes->IndexOf(type) >= 0;
}

void TForm1::BriskoDirWatch1Notify(TBriskoDirWatch* Sender, int Action, const std::string& FileName) {
    const std::string time = TimeNow();
    const std::string path = FullPath(Sender->Directory(), FileName);
    if (IsFilteredOut(path))
        return;
    std::string line = Format("%s - %s - %s", time.c_str(), ActionName(Action).c_str(), path.c_str());
    if (lbResults->Count() == 0 || GeneralOptionsForm->cbVerboseDisplay->isChecked()) {
        lbResults->Add(std::move(line));
        return;
    }
    if (int found = lbResults->FindKey(path); found >= 0)
        lbResults->SetLine(found, std::move(line));
    else
        lbResults->Add(std::move(line));
}

// What a watch could not cover is listed like a change, always as a line of
// its own, so that no gap in the list goes unnoticed; how far the set-up of
// a large tree has come shows on the watch's own line.
void TForm1::BriskoDirWatch1Status(TBriskoDirWatch* Sender, const TDirWatchStatus& Status) {
    switch (Status.Kind) {
    case TDirWatchStatus::TKind::ChangesLost:
        AppendResult("Changes_lost", Sender->Directory());
        break;
    case TDirWatchStatus::TKind::NotCovered: {
        const std::string folder =
            Status.Folder.empty() ? Sender->Directory() : FullPath(Sender->Directory(), Status.Folder);
        // What the user chose not to see is no gap.
        if (!GeneralOptionsForm->IsExcludedPath(FullPath(folder, "")))
            AppendResult("Not_watched", folder, Status.Reason);
        break;
    }
    case TDirWatchStatus::TKind::SettingUp:
        ShowRemark(Sender, "(setting up: " + FolderCount(Status.FolderCount) + " so far)");
        break;
    case TDirWatchStatus::TKind::Ready:
        ShowRemark(Sender, "(" + FolderCount(Status.FolderCount) + " watched)");
        break;
    }
}

// The path ends the line as in a change line, for the commands that take it
// from there; free text such as the system's reason goes to the hint.
void TForm1::AppendResult(const std::string& action, const std::string& path, std::string hint) {
    lbResults->AddNote(Format("%s - %s - %s", TimeNow().c_str(), action.c_str(), path.c_str()), std::move(hint));
}

void TForm1::sbClearClick() {
    lbResults->Clear();
    UpdateStatusBar();
}

void TForm1::SaveList1Click() {
    GeneralOptionsForm->SaveDialog1->FileName = "WatchListing.txt";
    ListBoxSaveToFile(*lbResults, GeneralOptionsForm->SaveDialog1);
}
