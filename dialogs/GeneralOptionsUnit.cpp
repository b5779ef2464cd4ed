#include "dialogs/GeneralOptionsUnit.h"

#include "app/Unit1.h"
#include "dialogs/InputFormUnit.h"
#include "platform/system/PlatformInfo.h"
#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"
#include "toolkit/EnterKey.h"
#include "toolkit/InputQuery.h"
#include "toolkit/ListBox.h"
#include "tray/TrayCompRunTime.h"
#include "util/UtilListBox.h"
#include "util/Utilstrings.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>
#include <initializer_list>
#include <unordered_set>
#include <utility>

TGeneralOptionsForm* GeneralOptionsForm = nullptr;

namespace {
constexpr int HorizontalExtent = 2000;
// There is no executable file type to offer: any file may be the editor.
const char* const EditorFilter = "All Files|*";

// A list box's lines as the change filter reads them.
class TListBoxLines : public TLineList {
public:
    explicit TListBoxLines(const TListBox& list) : FList(list) {}
    int Count() const override { return FList.Count(); }
    std::string_view Line(int index) const override { return FList.Line(index); }

private:
    const TListBox& FList;
};
} // namespace

TGeneralOptionsForm::TGeneralOptionsForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("General Options"));
    resize(363, 488);
    CreateControls();
    FExcludedLines = std::make_unique<TListBoxLines>(*lbExcluded);
    FExcludedNameLines = std::make_unique<TListBoxLines>(*lbExcludedNames);
    FExcludedTypeLines = std::make_unique<TListBoxLines>(*lbExcludedTypes);
    FIncludedTypeLines = std::make_unique<TListBoxLines>(*lbIncludedTypes);
    FExcludedProgramLines = std::make_unique<TListBoxLines>(*lbExcludedPrograms);
    FChangeFilter = std::make_unique<TChangeFilter>(*FExcludedLines, *FExcludedNameLines, *FExcludedTypeLines,
                                                    *FIncludedTypeLines, *FExcludedProgramLines);
    FollowFolderRules(*lbExcluded);
    FollowFolderRules(*lbExcludedNames);
    CreateMenus();
    LayOutControls();
    FormCreate();
}

// ---------------------------------------------------------------------------
// Window life

void TGeneralOptionsForm::FormCreate() {
    cbMinToTrayClick();
}

void TGeneralOptionsForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    RunHandler([this] { FormShow(); });
}

void TGeneralOptionsForm::FormShow() {
    lbExcluded->SetHorizontalExtent(HorizontalExtent);
}

// Every way of closing ends here: OK, Enter and the close box.
void TGeneralOptionsForm::done(int result) {
    QDialog::done(result);
    RunHandler([this] { FormClose(); });
}

void TGeneralOptionsForm::FormClose() {
    if (!cbMinToTray->isChecked() && Form1 && Form1->FTray)
        Form1->FTray->UpdateTaskBarButton();
}

// Every edit already stands, so Escape has nothing to cancel.
void TGeneralOptionsForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

// Enter pressed and released in the hex editor's box or in a list closes
// with OK.
bool TGeneralOptionsForm::eventFilter(QObject* watched, QEvent* event) {
    if (FEnter.Completes(watched, event))
        RunHandler([this] { sbOkClick(); });
    return QDialog::eventFilter(watched, event);
}

void TGeneralOptionsForm::sbOkClick() {
    accept();
}

void TGeneralOptionsForm::cbMinToTrayClick() {
    TTrayComp* tray = Form1 ? Form1->FTray.get() : nullptr;
    if (!tray)
        return;
    if (cbMinToTray->isChecked()) {
        tray->SetShowInTaskBar(false);
        tray->SetShowIcon(true);
        tray->SetIcon(QIcon(Form1->Image1->pixmap()));
    } else {
        tray->SetShowInTaskBar(true);
        tray->SetShowIcon(false);
    }
}

// The settings are within the boxes' ranges: the file's were brought
// within them when read.
void TGeneralOptionsForm::ShowHistory(const std::string& file, const THistorySettings& settings) {
    const QSignalBlocker keep(cbKeepHistory), days(seHistoryDays), records(seHistoryRecords), list(seListLimit);
    cbKeepHistory->setChecked(settings.Keep);
    seHistoryDays->setValue(settings.Retention.Days);
    seHistoryRecords->setValue(static_cast<int>(settings.Retention.Records));
    seListLimit->setValue(settings.ListLimit);
    lbHistoryPlace->setText(
        QString::fromStdString(file.empty() ? std::string(NoHistoryPlace) : "The history is kept in " + file));
    ShowHistoryKept();
}

// Without a history, what says how and where it is kept is greyed; the
// list's own bound holds either way.
void TGeneralOptionsForm::ShowHistoryKept() {
    for (QWidget* control : std::initializer_list<QWidget*>{seHistoryDays, seHistoryRecords, lbHistoryPlace})
        control->setEnabled(cbKeepHistory->isChecked());
}

THistorySettings TGeneralOptionsForm::HistorySettings() const {
    return {cbKeepHistory->isChecked(), {seHistoryDays->value(), seHistoryRecords->value()}, seListLimit->value()};
}

void TGeneralOptionsForm::SpeedButton1Click() {
    OpenDialog1->FileName.clear();
    OpenDialog1->Filter = EditorFilter;
    struct TRestoreFilter {
        TFileDialog& Dialog;
        ~TRestoreFilter() { Dialog.Filter = TextFilter; }
    } restore{*OpenDialog1};
    if (OpenDialog1->Execute())
        ebHexEditor->setText(QString::fromStdString(OpenDialog1->FileName));
}

// ---------------------------------------------------------------------------
// Excluded files and folders

// The path is kept whole however long it is: a shortened entry would
// exclude nothing.
void TGeneralOptionsForm::AddExclusion(const std::string& line) {
    AddExclusions({line});
}

// The rules in force are read once: a selection of many lines asks for
// each, and the rules are many too. A folder added on the way hides what
// follows below it, as a rule of its own would (every path here begins with
// the separator). A file is added as often as it is given.
void TGeneralOptionsForm::AddExclusions(const std::vector<std::string>& lines) {
    const TFolderExclusionRules rules = FChangeFilter->FolderRules();
    std::unordered_set<std::string> addedFolders;
    const auto belowAdded = [&](const std::string& path) {
        for (size_t end = path.find(PathDelim); end != std::string::npos; end = path.find(PathDelim, end + 1))
            if (addedFolders.count(path.substr(0, end + 1)))
                return true;
        return false;
    };
    for (const std::string& line : lines) {
        const size_t first = line.find(PathDelim);
        const std::string path = first == std::string::npos ? line : line.substr(first);
        if ((rules && rules->Excludes(path)) || belowAdded(path))
            continue;
        lbExcluded->Add(path);
        if (!path.empty() && path.back() == PathDelim)
            addedFolders.insert(path);
    }
}

void TGeneralOptionsForm::AddExcludedProgram(const std::string& path) {
    AddOnce(*lbExcludedPrograms, path);
}

void TGeneralOptionsForm::RemoveProgramClick() {
    RemoveType(*lbExcludedPrograms);
}

void TGeneralOptionsForm::ClearProgramsClick() {
    lbExcludedPrograms->Clear();
}

void TGeneralOptionsForm::Clear1Click() {
    lbExcluded->Clear();
}

void TGeneralOptionsForm::Delete1Click() {
    ListBoxDeleteCurrent(*lbExcluded);
}

void TGeneralOptionsForm::Edit1Click() {
    const int current = lbExcluded->ItemIndex();
    if (current < 0)
        return;
    std::string value(lbExcluded->Line(current));
    if (InputQuery("Edit File / Path", "prompt", value))
        lbExcluded->SetLine(current, std::move(value));
}

void TGeneralOptionsForm::SaveExcludedFilesClick() {
    SaveList(*lbExcluded, "Excluded_files.txt");
}

void TGeneralOptionsForm::LoadExcludedFilesClick() {
    ListBoxLoadFromFile(*lbExcluded);
}

// Every edit of a folder list, by the user, a loaded file or the settings,
// changes which folders the watches leave out: once the edits made at one
// go are done, the owner is told.
void TGeneralOptionsForm::FollowFolderRules(TListBox& list) {
    const auto changed = [this] {
        if (!std::exchange(FFolderRulesTold, false))
            return;
        QTimer::singleShot(0, this, [this] {
            FFolderRulesTold = true;
            if (OnFolderRulesChanged)
                RunHandler(OnFolderRulesChanged);
        });
    };
    QAbstractItemModel* model = list.model();
    connect(model, &QAbstractItemModel::rowsInserted, this, changed);
    connect(model, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(model, &QAbstractItemModel::dataChanged, this, changed);
    connect(model, &QAbstractItemModel::modelReset, this, changed);
}

// ---------------------------------------------------------------------------
// Excluded folder names

void TGeneralOptionsForm::AddNameClick() {
    std::string name;
    if (!InputQuery("Exclude Folder Name", "Folders of this name, wherever they are:", name) || name.empty())
        return;
    if (!IsFolderName(name))
        throw Exception("\"" + name + "\" cannot be excluded as a folder name: a name holds no \"" + PathDelim +
                        "\" and is neither \".\" nor \"..\"");
    AddOnce(*lbExcludedNames, name);
}

void TGeneralOptionsForm::RemoveNameClick() {
    RemoveType(*lbExcludedNames);
}

void TGeneralOptionsForm::ClearNamesClick() {
    lbExcludedNames->Clear();
}

void TGeneralOptionsForm::SaveExcludedNamesClick() {
    SaveList(*lbExcludedNames, "Excluded_folder_names.txt");
}

void TGeneralOptionsForm::LoadExcludedNamesClick() {
    ListBoxLoadFromFile(*lbExcludedNames);
}

void TGeneralOptionsForm::SaveList(TListBox& list, const char* fileName) {
    SaveDialog1->FileName = fileName;
    ListBoxSaveToFile(list, SaveDialog1);
}

// ---------------------------------------------------------------------------
// File types: the dialog's own commands keep at most one type list filled.

// The other list is emptied only once this one gains a type: a cancelled
// question changes nothing.
void TGeneralOptionsForm::AddType(TListBox& list, TListBox& other) {
    if (InputForm->exec() != QDialog::Accepted)
        return;
    const std::string extension = InputForm->Edit1->text().toStdString();
    if (extension.empty())
        return;
    other.Clear();
    list.Add("*." + extension);
}

void TGeneralOptionsForm::AddOnce(TListBox& list, const std::string& line) {
    for (int i = 0; i < list.Count(); ++i)
        if (list.Line(i) == line)
            return;
    list.Add(line);
}

void TGeneralOptionsForm::RemoveType(TListBox& list) {
    if (focusWidget() == &list)
        ListBoxDeleteCurrent(list);
}

void TGeneralOptionsForm::LoadTypes(TListBox& list, TListBox& other) {
    if (ListBoxLoadFromFile(list))
        other.Clear();
}

void TGeneralOptionsForm::AddExcClick() {
    AddType(*lbExcludedTypes, *lbIncludedTypes);
}

void TGeneralOptionsForm::RemoveExcClick() {
    RemoveType(*lbExcludedTypes);
}

void TGeneralOptionsForm::ClearExcClick() {
    lbExcludedTypes->Clear();
}

void TGeneralOptionsForm::SaveExcludedTypesClick() {
    SaveList(*lbExcludedTypes, "Excluded_types.txt");
}

void TGeneralOptionsForm::LoadExcludedTypesClick() {
    LoadTypes(*lbExcludedTypes, *lbIncludedTypes);
}

void TGeneralOptionsForm::AddIncClick() {
    AddType(*lbIncludedTypes, *lbExcludedTypes);
}

void TGeneralOptionsForm::RemoveIncClick() {
    RemoveType(*lbIncludedTypes);
}

void TGeneralOptionsForm::ClearIncClick() {
    lbIncludedTypes->Clear();
}

void TGeneralOptionsForm::SaveIncludedTypesClick() {
    SaveList(*lbIncludedTypes, "Included_types.txt");
}

void TGeneralOptionsForm::LoadIncludedTypesClick() {
    LoadTypes(*lbIncludedTypes, *lbExcludedTypes);
}
