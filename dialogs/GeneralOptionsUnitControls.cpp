// Building the General Options window: its controls, their menus and
// their layout.
#include "dialogs/GeneralOptionsUnit.h"

#include "history/HistorySettings.h"
#include "platform/journal/SystemJournal.h"

#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"
#include "toolkit/OkButton.h"

#include <QCheckBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

void TGeneralOptionsForm::CreateControls() {
    cbVerboseDisplay = new QCheckBox(QStringLiteral("Verbose Display"), this);
    cbMinToTray = new QCheckBox(QStringLiteral("Minimise to tray"), this);
    cbMinToTray->setChecked(true);
    // Any change of the check, by the user or by the settings, switches the tray.
    connect(cbMinToTray, &QCheckBox::toggled, this, [this] { RunHandler([this] { cbMinToTrayClick(); }); });
    cbKeepHistory = new QCheckBox(QStringLiteral("Keep a history"), this);
    cbKeepHistory->setChecked(true);
    connect(cbKeepHistory, &QCheckBox::toggled, this, [this] {
        ShowHistoryKept();
        if (OnKeepHistoryChanged)
            RunHandler(OnKeepHistoryChanged);
    });
    cbJournal = new QCheckBox(QStringLiteral("Also send changes to the system journal"), this);
    if (const std::optional<std::string> unavailable = JournalUnavailable()) {
        cbJournal->setEnabled(false);
        cbJournal->setToolTip(QString::fromStdString("Not available: " + *unavailable));
    }
    connect(cbJournal, &QCheckBox::toggled, this, [this] {
        if (OnJournalChanged)
            RunHandler(OnJournalChanged);
    });
    seHistoryDays = NewRetentionBox("for ", " days", LeastDays, MostDays);
    seHistoryRecords = NewRetentionBox("at most ", " changes", LeastRecords, MostRecords);
    seHistoryRecords->setSingleStep(100000);
    seListLimit = NewRetentionBox("list at most ", " lines", LeastListLimit, MostListLimit);
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
    layout->addWidget(cbJournal);
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
    setTabOrder(seListLimit, cbJournal);
    setTabOrder(cbJournal, lbExcludedTypes);
    setTabOrder(lbExcludedTypes, lbIncludedTypes);
    setTabOrder(lbIncludedTypes, ebHexEditor);
}

QSpinBox* TGeneralOptionsForm::NewRetentionBox(const char* prefix, const char* suffix, int least, int most) {
    auto* box = new QSpinBox(this);
    box->setPrefix(QString::fromUtf8(prefix));
    box->setSuffix(QString::fromUtf8(suffix));
    box->setRange(least, most);
    box->setGroupSeparatorShown(true);
    // A number takes effect once typed whole: "50000" on its way is 5, and
    // a list bounded at 5 lines would lose the rest.
    box->setKeyboardTracking(false);
    connect(box, &QSpinBox::valueChanged, this, [this] {
        if (OnHistoryRetentionChanged)
            RunHandler(OnHistoryRetentionChanged);
    });
    return box;
}
