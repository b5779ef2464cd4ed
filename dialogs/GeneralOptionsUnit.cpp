#include "dialogs/GeneralOptionsUnit.h"

#include "app/Unit1.h"
#include "dialogs/InputFormUnit.h"
#include "platform/system/PlatformInfo.h"
#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"
#include "toolkit/EnterKey.h"
#include "toolkit/InputQuery.h"
#include "toolkit/ListBox.h"
#include "toolkit/OkButton.h"
#include "tray/TrayCompRunTime.h"
#include "util/UtilListBox.h"
#include "util/Utilstrings.h"

#include <QCheckBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

TGeneralOptionsForm* GeneralOptionsForm = nullptr;

namespace {
constexpr int HorizontalExtent = 2000;
const char* const TextFilter = "Text Files|*.txt";
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
// Building the window

void TGeneralOptionsForm::CreateControls() {
    cbVerboseDisplay = new QCheckBox(QStringLiteral("Verbose Display"), this);
    cbMinToTray = new QCheckBox(QStringLiteral("Minimise to tray"), this);
    cbMinToTray->setChecked(true);
    // Any change of the check, by the user or by the settings, switches the tray.
    connect(cbMinToTray, &QCheckBox::toggled, this, [this] { RunHandler([this] { cbMinToTrayClick(); }); });
    cbKeepHistory = new QCheckBox(QStringLiteral("Keep a history"), this);
    cbKeepHistory->setChecked(true);
    connect(cbKeepHistory, &QCheckBox::toggled, this, [this] {
        if (OnKeepHistoryChanged)
            RunHandler(OnKeepHistoryChanged);
    });
    seHistoryDays = NewRetentionBox("for ", " days", 1, 36500);
    seHistoryRecords = NewRetentionBox("at most ", " changes", 1000, 2000000000);
    seHistoryRecords->setSingleStep(100000);
    seListLimit = NewRetentionBox("list at most ", " lines", 1000, 100000000);
    seListLimit->setSingleStep(100000);
    lbHistoryPlace = new QLabel(this);
    lbHistoryPlace->setWordWrap(true);
    Label4 = new QLabel(QStringLiteral("Hex editor"), this);
    ebHexEditor = new QLineEdit(this);
    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setText(QStringLiteral("..."));
    SpeedButton1->setFixedSize(23, 22);
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { RunHandler([this] { SpeedButton1Click(); }); });
    Label1 = new QLabel(QStringLiteral("Excluded Files / Folders"), this);
    lbExcluded = new TListBox(this);
    lbExcluded->OnDblClick = [this] { Delete1Click(); };
    Label5 = new QLabel(QStringLiteral("Excluded folder names"), this);
    lbExcludedNames = new TListBox(this);
    Label6 = new QLabel(QStringLiteral("Excluded programs (Exclude Program on a change line adds one)"), this);
    lbExcludedPrograms = new TListBox(this);
    Label2 = new QLabel(QStringLiteral("Excluded File types"), this);
    lbExcludedTypes = new TListBox(this);
    Label3 = new QLabel(QStringLiteral("Included File types"), this);
    lbIncludedTypes = new TListBox(this);
    sbOk = NewOkSpeedButton(this);
    connect(sbOk, &QToolButton::clicked, this, [this] { RunHandler([this] { sbOkClick(); }); });
    for (QWidget* control : {static_cast<QWidget*>(ebHexEditor), static_cast<QWidget*>(lbExcluded),
                             static_cast<QWidget*>(lbExcludedNames), static_cast<QWidget*>(lbExcludedPrograms),
                             static_cast<QWidget*>(lbExcludedTypes), static_cast<QWidget*>(lbIncludedTypes)})
        control->installEventFilter(this);

    SaveDialog1 = new TFileDialog(this, "SaveDialog1", TFileDialog::TKind::Save);
    SaveDialog1->Filter = TextFilter;
    SaveDialog1->InitialDir = QDir::homePath().toStdString();
    SaveDialog1->OverwritePrompt = true;
    OpenDialog1 = new TFileDialog(this, "OpenDialog1", TFileDialog::TKind::Open);
    OpenDialog1->Filter = TextFilter;
    OpenDialog1->InitialDir = SaveDialog1->InitialDir;
}

QMenu*
TGeneralOptionsForm::CreateMenu(TListBox* list,
                                std::initializer_list<std::pair<const char*, void (TGeneralOptionsForm::*)()>> items) {
    auto* menu = new QMenu(this);
    for (const auto& entry : items) {
        if (!entry.first) {
            menu->addSeparator();
            continue;
        }
        QAction* item = menu->addAction(QString::fromLatin1(entry.first));
        connect(item, &QAction::triggered, this,
                [this, click = entry.second] { RunHandler([&] { (this->*click)(); }); });
    }
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this,
            [list, menu](const QPoint& at) { RunHandler([&] { menu->popup(list->mapToGlobal(at)); }); });
    return menu;
}

void TGeneralOptionsForm::CreateMenus() {
    using T = TGeneralOptionsForm;
    PopupMenu1 = CreateMenu(lbExcluded, {{"Clear", &T::Clear1Click},
                                         {"Remove this item", &T::Delete1Click},
                                         {"Edit this item", &T::Edit1Click},
                                         {"Save to File", &T::SaveExcludedFilesClick},
                                         {"Load From File", &T::LoadExcludedFilesClick}});
    pmNames = CreateMenu(lbExcludedNames, {{"Add", &T::AddNameClick},
                                           {"Remove", &T::RemoveNameClick},
                                           {"Clear", &T::ClearNamesClick},
                                           {nullptr, nullptr},
                                           {"Save to file", &T::SaveExcludedNamesClick},
                                           {"Load from file", &T::LoadExcludedNamesClick}});
    pmPrograms =
        CreateMenu(lbExcludedPrograms, {{"Remove", &T::RemoveProgramClick}, {"Clear", &T::ClearProgramsClick}});
    pmExc = CreateMenu(lbExcludedTypes, {{"Add", &T::AddExcClick},
                                         {"Remove", &T::RemoveExcClick},
                                         {"Clear", &T::ClearExcClick},
                                         {nullptr, nullptr},
                                         {"Save to file", &T::SaveExcludedTypesClick},
                                         {"Load from file", &T::LoadExcludedTypesClick}});
    pmInc = CreateMenu(lbIncludedTypes, {{"Add", &T::AddIncClick},
                                         {"Remove", &T::RemoveIncClick},
                                         {"Clear", &T::ClearIncClick},
                                         {nullptr, nullptr},
                                         {"Save to file", &T::SaveIncludedTypesClick},
                                         {"Load from file", &T::LoadIncludedTypesClick}});
}

void TGeneralOptionsForm::LayOutControls() {
    auto* checks = new QHBoxLayout;
    checks->addWidget(cbVerboseDisplay);
    checks->addWidget(cbMinToTray);
    checks->addWidget(cbKeepHistory);
    checks->addWidget(seHistoryDays);
    checks->addWidget(seHistoryRecords);
    checks->addWidget(seListLimit);
    checks->addStretch();
    auto* hexEditor = new QHBoxLayout;
    hexEditor->addWidget(Label4);
    hexEditor->addWidget(ebHexEditor);
    hexEditor->addWidget(SpeedButton1);
    hexEditor->addStretch();
    auto* types = new QGridLayout;
    types->addWidget(Label2, 0, 0);
    types->addWidget(Label3, 0, 1);
    types->addWidget(lbExcludedTypes, 1, 0);
    types->addWidget(lbIncludedTypes, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(sbOk);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(checks);
    layout->addWidget(lbHistoryPlace);
    layout->addLayout(hexEditor);
    layout->addWidget(Label1);
    layout->addWidget(lbExcluded, 1);
    layout->addWidget(Label5);
    layout->addWidget(lbExcludedNames, 1);
    layout->addWidget(Label6);
    layout->addWidget(lbExcludedPrograms);
    layout->addLayout(types, 1);
    layout->addLayout(buttons);

    setTabOrder(cbVerboseDisplay, lbExcluded);
    setTabOrder(lbExcluded, lbExcludedNames);
    setTabOrder(lbExcludedNames, lbExcludedPrograms);
    setTabOrder(lbExcludedPrograms, cbMinToTray);
    setTabOrder(cbMinToTray, cbKeepHistory);
    setTabOrder(cbKeepHistory, seHistoryDays);
    setTabOrder(seHistoryDays, seHistoryRecords);
    setTabOrder(seHistoryRecords, seListLimit);
    setTabOrder(seListLimit, lbExcludedTypes);
    setTabOrder(lbExcludedTypes, lbIncludedTypes);
    setTabOrder(lbIncludedTypes, ebHexEditor);
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

QSpinBox* TGeneralOptionsForm::NewRetentionBox(const char* prefix, const char* suffix, int least, int most) {
    auto* box = new QSpinBox(this);
    box->setPrefix(QString::fromUtf8(prefix));
    box->setSuffix(QString::fromUtf8(suffix));
    box->setRange(least, most);
    box->setGroupSeparatorShown(true);
    connect(box, &QSpinBox::valueChanged, this, [this] {
        if (OnHistoryRetentionChanged)
            RunHandler(OnHistoryRetentionChanged);
    });
    return box;
}

// Values outside a box's range (set in the file) are shown at its bound,
// and kept as they are until the user changes them.
void TGeneralOptionsForm::ShowHistory(const std::string& file, const THistorySettings& settings) {
    const QSignalBlocker keep(cbKeepHistory), days(seHistoryDays), records(seHistoryRecords), list(seListLimit);
    cbKeepHistory->setChecked(settings.Keep);
    seHistoryDays->setValue(
        static_cast<int>(std::clamp<int64_t>(settings.Retention.Days, 1, seHistoryDays->maximum())));
    seHistoryRecords->setValue(static_cast<int>(
        std::clamp<int64_t>(settings.Retention.Records, seHistoryRecords->minimum(), seHistoryRecords->maximum())));
    seListLimit->setValue(settings.ListLimit);
    lbHistoryPlace->setText(QString::fromStdString("The history is kept in " + file));
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
    const size_t first = line.find(PathDelim);
    const std::string path = first == std::string::npos ? line : line.substr(first);
    if (!IsExcludedPath(path))
        lbExcluded->Add(path);
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
    const std::vector<std::string> lines = list.Lines();
    if (std::find(lines.begin(), lines.end(), line) == lines.end())
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
