// The main window's settings file: read once when the window is
// first shown, written once when it closes. The sections and their order are
// this unit's; where the file lies and how a section is read and written are
// UtilObj's.
//
// No setting is lost on the way: a saved folder that cannot be watched stays
// listed, its watch disabled, its error shown once, and loading goes on; a
// file that cannot be read or created is reported once, every section then
// takes its default, and the close leaves that file alone rather than
// replacing what could not be read.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/OptionsUnit.h"
#include "runtime/SysUtils.h"
#include "toolkit/Application.h"
#include "toolkit/ListBox.h"
#include "util/UtilObj.h"

#include <QCheckBox>
#include <QLineEdit>

namespace {
const char* const DefaultWatchProperties[] = {"file_name", "file_write_date", "file_creation_date"};
} // namespace

void TForm1::LoadSettings() {
    std::vector<std::string> lines;
    for (const char* section :
         {"ExcludedDirs", "WatchDirs", "WatchProperties", "Misc", "ExcludedFileTypes", "IncludedFileTypes"}) {
        lines.clear();
        if (!FSettingsUnread) {
            try {
                UtilObj.ReadSection(section, lines);
            } catch (const Exception&) {
                FSettingsUnread = true;
                lines.clear();
                TApplication::HandleException();
            }
        }
        ApplySection(section, lines);
    }
    if (!FSettingsUnread)
        UtilObj.RestoreLayout(*this);
}

void TForm1::ApplySection(const std::string& section, const std::vector<std::string>& lines) {
    if (section == "Misc") {
        GeneralOptionsForm->cbMinToTray->setChecked(TUtilObj::ValueOfKey(lines, "Minimize") == "T");
        GeneralOptionsForm->ebHexEditor->setText(QString::fromStdString(TUtilObj::ValueOfKey(lines, "HexEditor")));
        return;
    }
    TListBox* list = nullptr;
    if (section == "ExcludedDirs")
        list = GeneralOptionsForm->lbExcluded;
    else if (section == "WatchProperties")
        list = OptionsForm->ListBox1;
    else if (section == "ExcludedFileTypes")
        list = GeneralOptionsForm->lbExcludedTypes;
    else if (section == "IncludedFileTypes")
        list = GeneralOptionsForm->lbIncludedTypes;
    else if (section != "WatchDirs")
        return;

    for (std::string& value : TUtilObj::ListValues(lines)) {
        if (list)
            list->Add(std::move(value));
        else
            AddSavedWatch(value);
    }
    if (section == "WatchDirs" && lbWatches->Count() > 0)
        UpdateStatusBar();
    if (section == "WatchProperties") {
        if (OptionsForm->ListBox1->Count() == 0)
            for (const char* name : DefaultWatchProperties)
                OptionsForm->ListBox1->Add(name);
        try {
            OptionsForm->sbOkClick();
        } catch (const Exception&) {
            TApplication::HandleException(); // a folder gone since it was listed
        }
    }
}

// As AddWatch, but a folder that cannot be watched stays listed with its
// watch disabled, and its error is shown once: starting the other watches
// again would raise it again for every later folder.
void TForm1::AddSavedWatch(const std::string& folder) {
    if (LineOfFolder(folder) >= 0)
        return;
    auto watch = CreateWatch(folder);
    TBriskoDirWatch* added = watch.get();
    lbWatches->Add(folder, std::move(watch));
    try {
        added->SetEnabled(true);
    } catch (const Exception&) {
        ShowRemark(added, "(stopped)");
        TApplication::HandleException();
    }
}

// Every section in one save of the file, in the order they are listed.
void TForm1::SaveSettings() {
    UtilObj.WriteSections({TUtilObj::LayoutOf(*this),
                           {"WatchDirs", lbWatches->Lines(), true},
                           {"ExcludedDirs", GeneralOptionsForm->lbExcluded->Lines(), true},
                           {"WatchProperties", OptionsForm->ListBox1->Lines(), true},
                           {"ExcludedFileTypes", GeneralOptionsForm->lbExcludedTypes->Lines(), true},
                           {"IncludedFileTypes", GeneralOptionsForm->lbIncludedTypes->Lines(), true},
                           MiscSection()});
}

void TForm1::SaveMisc() {
    UtilObj.WriteSections({MiscSection()});
}

TUtilObj::TSectionWrite TForm1::MiscSection() const {
    return {"Misc",
            {std::string("Minimize=") + (GeneralOptionsForm->cbMinToTray->isChecked() ? "T" : "F"),
             "HexEditor=" + GeneralOptionsForm->ebHexEditor->text().toStdString()},
            false};
}

// A file that could not be read at start is left as it is, and a save that
// failed once is not tried again, so its error is shown once.
void TForm1::SaveSettingsAtClose() {
    if (FSettingsUnread || FSettingsSaveFailed)
        return;
    try {
        SaveSettings();
    } catch (const Exception&) {
        FSettingsSaveFailed = true;
        TApplication::HandleException();
    }
}
