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
#include "settings/SettingsMerge.h"
#include "settings/UtilObj.h"
#include "toolkit/Application.h"
#include "toolkit/FileChangeWatch.h"
#include "toolkit/ListBox.h"

#include <QCheckBox>
#include <QLineEdit>
#include <algorithm>

namespace {
const char* const DefaultWatchProperties[] = {"file_name", "file_write_date", "file_creation_date"};
} // namespace

// Every section comes from one read of the file, so that a save by another
// program meanwhile cannot give sections of two different files.
void TForm1::LoadSettings() {
    TIniSections sections;
    try {
        UtilObj.RemoveUnfinishedSaves();
        sections = UtilObj.ReadSections();
    } catch (const Exception&) {
        FSettingsUnread = true;
        TApplication::HandleException();
    }
    for (const char* section : {"ExcludedDirs", "ExcludedFolderNames", "ExcludedPrograms", "WatchDirs",
                                "WatchProperties", "Misc", "ExcludedFileTypes", "IncludedFileTypes", "History"})
        ApplySection(section, sections[section]);
    if (FSettingsUnread)
        return;
    UtilObj.RestoreLayout(*this);
    FSettingsBase = std::move(sections);
    FSettingsWatch = std::make_unique<TFileChangeWatch>(UtilObj.GetIniFileName(),
                                                        [this] { RunHandler([this] { SettingsFileChanged(); }); });
}

void TForm1::ApplySection(const std::string& section, const std::vector<std::string>& lines) {
    if (section == "History") {
        ApplyHistorySettings(lines);
        return;
    }
    if (section == "Misc") {
        GeneralOptionsForm->cbMinToTray->setChecked(TUtilObj::ValueOfKey(lines, "Minimize") == "T");
        GeneralOptionsForm->ebHexEditor->setText(QString::fromStdString(TUtilObj::ValueOfKey(lines, "HexEditor")));
        GeneralOptionsForm->cbJournal->setChecked(TUtilObj::ValueOfKey(lines, "Journal") == "T");
        return;
    }
    TListBox* list = ListOfSection(section);
    if (!list && section != "WatchDirs")
        return;

    for (std::string& value : TUtilObj::ListValues(lines)) {
        if (list)
            list->Add(std::move(value));
        else if (!Trim(value).empty())
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

// The list that holds a list section's entries; none for "WatchDirs",
// whose entries are watches.
TListBox* TForm1::ListOfSection(const std::string& section) const {
    if (section == "ExcludedDirs")
        return GeneralOptionsForm->lbExcluded;
    if (section == "ExcludedFolderNames")
        return GeneralOptionsForm->lbExcludedNames;
    if (section == "ExcludedPrograms")
        return GeneralOptionsForm->lbExcludedPrograms;
    if (section == "WatchProperties")
        return OptionsForm->ListBox1;
    if (section == "ExcludedFileTypes")
        return GeneralOptionsForm->lbExcludedTypes;
    if (section == "IncludedFileTypes")
        return GeneralOptionsForm->lbIncludedTypes;
    return nullptr;
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
        ShowRemark(added, StoppedRemark(*added));
        TApplication::HandleException();
    }
}

// Every section in one save of the file, in the order they are listed,
// each merged with what others wrote into the file since it was read.
void TForm1::SaveSettings() {
    UtilObj.UpdateSections([this](const TIniSections& onDisk) {
        std::vector<TUtilObj::TSectionWrite> merged = MergeSettings(FSettingsBase, onDisk, SettingsSections());
        FSettingsBase = onDisk;
        for (const TUtilObj::TSectionWrite& write : merged)
            FSettingsBase[write.Section] = TUtilObj::SectionLines(write);
        return merged;
    });
    if (FSettingsWatch)
        FSettingsWatch->Acknowledge();
}

std::vector<TUtilObj::TSectionWrite> TForm1::SettingsSections() const {
    return {TUtilObj::LayoutOf(*this),
            {"WatchDirs", lbWatches->Lines(), true},
            {"ExcludedDirs", GeneralOptionsForm->lbExcluded->Lines(), true},
            {"ExcludedFolderNames", GeneralOptionsForm->lbExcludedNames->Lines(), true},
            {"ExcludedPrograms", GeneralOptionsForm->lbExcludedPrograms->Lines(), true},
            {"WatchProperties", OptionsForm->ListBox1->Lines(), true},
            {"ExcludedFileTypes", GeneralOptionsForm->lbExcludedTypes->Lines(), true},
            {"IncludedFileTypes", GeneralOptionsForm->lbIncludedTypes->Lines(), true},
            MiscSection(),
            {"History", HistorySection(), false}};
}

void TForm1::SaveMisc() {
    UtilObj.WriteSections({MiscSection()});
}

TUtilObj::TSectionWrite TForm1::MiscSection() const {
    return {"Misc",
            {std::string("Minimize=") + (GeneralOptionsForm->cbMinToTray->isChecked() ? "T" : "F"),
             "HexEditor=" + GeneralOptionsForm->ebHexEditor->text().toStdString(),
             std::string("Journal=") + (GeneralOptionsForm->cbJournal->isChecked() ? "T" : "F")},
            false};
}

// The file was saved by someone else while the window runs: what was
// written there is taken in, and what was changed in the window since the
// file was read stays.
void TForm1::SettingsFileChanged() {
    TIniSections onDisk;
    try {
        onDisk = UtilObj.ReadSections();
    } catch (const Exception& error) {
        ShowStatusMessage("The settings file changed but cannot be read: " + error.Message());
        return;
    }
    const std::vector<TUtilObj::TSectionWrite> ours = SettingsSections();
    const std::vector<TUtilObj::TSectionWrite> merged = MergeSettings(FSettingsBase, onDisk, ours);
    FSettingsBase = std::move(onDisk);
    for (std::size_t i = 0; i < merged.size(); ++i)
        if (merged[i].Section != "Layout" && merged[i].Lines != ours[i].Lines)
            ApplyChangedSection(merged[i]);
    UpdateStatusBar();
    ShowStatusMessage("The settings file was changed outside the window; its changes are applied");
}

// The section's lists take the merged entries; folders no longer listed
// there stop being watched, new ones are watched.
void TForm1::ApplyChangedSection(const TUtilObj::TSectionWrite& section) {
    if (section.Section == "WatchDirs") {
        for (int i = lbWatches->Count() - 1; i >= 0; --i)
            if (std::find(section.Lines.begin(), section.Lines.end(), lbWatches->Line(i)) == section.Lines.end())
                lbWatches->Delete(i);
        for (const std::string& folder : section.Lines)
            if (!Trim(folder).empty())
                AddSavedWatch(folder);
        return;
    }
    if (TListBox* list = ListOfSection(section.Section))
        list->Clear();
    ApplySection(section.Section, TUtilObj::SectionLines(section));
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
