#include "app/Unit1.h"

#include "about/AboutUnit.h"
#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/SearchHistoryUnit.h"
#include "dialogs/WatchLimitUnit.h"
#include "records/ResultLines.h"
#include "toolkit/Application.h"
#include "toolkit/FileChangeWatch.h"
#include "toolkit/ListBox.h"
#include "toolkit/WindowPlacement.h"
#include "tray/TrayCompRunTime.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSessionManager>
#include <QSplitter>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

TForm1* Form1 = nullptr;

namespace {
constexpr int HorizontalExtent = 2000;

// A list filling the panel, its speed buttons in a column on the right.
// above: a control over the list, if any.
void LayOutListPanel(QWidget* panel, QWidget* list, std::initializer_list<QToolButton*> buttons,
                     QWidget* above = nullptr) {
    auto* column = new QVBoxLayout;
    for (QToolButton* button : buttons)
        column->addWidget(button);
    column->addStretch();
    auto* listColumn = new QVBoxLayout;
    if (above)
        listColumn->addWidget(above);
    listColumn->addWidget(list, 1);
    auto* layout = new QHBoxLayout(panel);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(listColumn, 1);
    layout->addLayout(column);
}

QFrame* CreatePanel(QWidget* parent, bool bevelled) {
    auto* panel = new QFrame(parent);
    if (bevelled)
        panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    return panel;
}
} // namespace

TForm1::TForm1() : FLineTags(TListBox::TagLimit) {
    setGeometry(353, 263, 493, 365);
    setMinimumSize(100, 332);
    CreateControls();
    FormCreate();
}

TForm1::~TForm1() {
    FreeAllWatches();
    StopUsingHelper();
}

// ---------------------------------------------------------------------------
// Building the window

void TForm1::CreateControls() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Splitter1 = new QSplitter(Qt::Vertical, central);
    Splitter1->setOpaqueResize(true);
    Splitter1->setHandleWidth(3);
    Panel2 = CreateWatchPanel();
    Panel1 = CreateResultsPanel();
    Splitter1->addWidget(Panel2);
    Splitter1->addWidget(Panel1);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({93, 200});
    layout->addWidget(Splitter1, 1);
    Panel3 = CreateExitPanel();
    layout->addWidget(Panel3);
    setCentralWidget(central);
    setTabOrder(Panel1, Panel2);
    setTabOrder(Panel2, Panel3);
    CreateStatusBar();
    CreateMenus();
    CreatePopupMenus();
}

QToolButton* TForm1::CreateSpeedButton(QWidget* parent, const char* hint, int icon, void (TForm1::*click)()) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setFixedSize(25, 25);
    button->setToolTip(QString::fromLatin1(hint));
    button->setIcon(style()->standardIcon(static_cast<QStyle::StandardPixmap>(icon)));
    connect(button, &QToolButton::clicked, this, [this, click] { RunHandler([&] { (this->*click)(); }); });
    return button;
}

QWidget* TForm1::CreateWatchPanel() {
    QFrame* panel = CreatePanel(this, true);
    lbWatches = new TListBox(panel, TListBox::TSelection::Single);
    lbWatches->SetEmptyHint("No folder is watched: Action > Add Watch");
    sbAddDirectory = CreateSpeedButton(panel, "Add Folder to Watch", QStyle::SP_FileDialogNewFolder,
                                       &TForm1::sbAddDirectoryClick);
    sbDelete = CreateSpeedButton(panel, "Remove Folder From Watch", QStyle::SP_TrashIcon, &TForm1::sbDeleteClick);
    sbOptions = CreateSpeedButton(panel, "Watch Properties", QStyle::SP_FileDialogDetailedView,
                                  &TForm1::sbOptionsClick);
    LayOutListPanel(panel, lbWatches, {sbAddDirectory, sbDelete, sbOptions});
    return panel;
}

QWidget* TForm1::CreateResultsPanel() {
    QFrame* panel = CreatePanel(this, true);
    lbResults = new TListBox(panel, TListBox::TSelection::Multiple);
    lbResults->EnableKeyIndex(&ResultFilePath);
    lbResults->OnDblClick = [this] { ExcludeFile1Click(); };
    lbResults->OnClick = [this] { lbResultsClick(); };
    lbResults->SetLineHints([this](std::string_view line, uint32_t tag) { return ResultHint(line, tag); });
    sbClear = CreateSpeedButton(panel, "Clear List", QStyle::SP_DialogResetButton, &TForm1::sbClearClick);
    sbStop = CreateSpeedButton(panel, "Pause All Watches", QStyle::SP_MediaPause, &TForm1::sbStopClick);
    sbGo = CreateSpeedButton(panel, "Start All Watches", QStyle::SP_MediaPlay, &TForm1::sbGoClick);
    SpeedButton1 = CreateSpeedButton(panel, "Watch Properties", QStyle::SP_FileDialogInfoView,
                                     &TForm1::GeneralOptions1Click);
    // The list is filtered as the user types, once the typing pauses: a
    // long list is gone through once, not at every key.
    edFilter = new QLineEdit(panel);
    edFilter->setPlaceholderText(QStringLiteral("Filter: part of a path, an action, a time range (14:00-15:30)"));
    edFilter->setClearButtonEnabled(true);
    auto* filterPause = new QTimer(panel);
    filterPause->setSingleShot(true);
    filterPause->setInterval(150);
    connect(edFilter, &QLineEdit::textChanged, filterPause, qOverload<>(&QTimer::start));
    connect(filterPause, &QTimer::timeout, this, [this] {
        RunHandler([this] {
            const std::string filter = edFilter->text().toStdString();
            lbResults->SetLineFilter(ResultLineFilter(filter));
            lbResults->SetEmptyHint(filter.empty() ? std::string() : "No line matches " + filter);
            ShowLineCount();
        });
    });
    LayOutListPanel(panel, lbResults, {sbClear, sbStop, sbGo, SpeedButton1}, edFilter);
    return panel;
}

QWidget* TForm1::CreateExitPanel() {
    QFrame* panel = CreatePanel(this, false);
    panel->setFixedHeight(30);
    sbExit = new QToolButton(panel);
    sbExit->setAutoRaise(true);
    sbExit->setFixedSize(59, 22);
    sbExit->setText(QStringLiteral("Exit"));
    sbExit->setToolTip(QStringLiteral("Close the Application"));
    connect(sbExit, &QToolButton::clicked, this, [this] { RunHandler([this] { sbExitClick(); }); });
    Image1 = new QLabel(panel);
    Image1->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(16, 16));
    Image1->hide();
    auto* layout = new QHBoxLayout(panel);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addStretch();
    layout->addWidget(sbExit);
    return panel;
}

QAction* TForm1::AddItem(QMenu* menu, const char* caption, void (TForm1::*click)()) {
    QAction* item = menu->addAction(QString::fromUtf8(caption));
    connect(item, &QAction::triggered, this, [this, click] { RunHandler([&] { (this->*click)(); }); });
    return item;
}

void TForm1::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    AddItem(file, "General Options", &TForm1::GeneralOptions1Click);
    AddItem(file, "Exit", &TForm1::sbExitClick);
    AddItem(file, "Edit INI file", &TForm1::Editinifile1Click);
    QMenu* action = menuBar()->addMenu(QStringLiteral("Action"));
    AddItem(action, "Add Watch", &TForm1::sbAddDirectoryClick);
    AddItem(action, "Add All Drives", &TForm1::AddAllDrives1Click);
    AddItem(action, "Watch Options", &TForm1::sbOptionsClick);
    AddItem(action, "Watch Limit…", &TForm1::WatchLimit1Click);
    AddItem(action, "Use the Privileged Helper…", &TForm1::UsePrivilegedHelper1Click);
    AddItem(action, "Search History…", &TForm1::SearchHistory1Click);
    action->addSeparator();
    AddItem(action, "Clear Output List", &TForm1::sbClearClick);
    AddItem(action, "Pause All Watches", &TForm1::sbStopClick);
    AddItem(action, "Start All Watches", &TForm1::sbGoClick);
    action->addSeparator();
    AddItem(action, "Go", &TForm1::sbGoClick);
    AddItem(action, "Stop", &TForm1::sbStopClick);
    action->addSeparator();
    AddItem(action, "About", &TForm1::MnuAboutClick);
}

void TForm1::CreatePopupMenus() {
    PopupMenu1 = new QMenu(this);
    AddItem(PopupMenu1, "Exclude File", &TForm1::ExcludeFile1Click);
    AddItem(PopupMenu1, "Exclude Path", &TForm1::ExcludePath1Click);
    AddItem(PopupMenu1, "Exclude Program", &TForm1::ExcludeProgram1Click);
    Watchittoo1 = AddItem(PopupMenu1, "Watch It Too", &TForm1::Watchittoo1Click);
    PopupMenu1->addSeparator();
    AddItem(PopupMenu1, "Open This File", &TForm1::Openthisfile1Click);
    AddItem(PopupMenu1, "Hex Edit This File", &TForm1::Hexeditthisfile1Click);
    PopupMenu1->addSeparator();
    AddItem(PopupMenu1, "Save List", &TForm1::SaveList1Click);
    AddItem(PopupMenu1, "Clear", &TForm1::sbClearClick);
    PopupMenu1->addSeparator();
    AddItem(PopupMenu1, "Watch Limit…", &TForm1::WatchLimit1Click);
    PopupMenu2 = new QMenu(this);
    AddItem(PopupMenu2, "Add All Drives", &TForm1::AddAllDrives1Click);
    PopupMenu3 = new QMenu(this);
    AddItem(PopupMenu3, "Delete", &TForm1::sbDeleteClick);
    AddItem(PopupMenu3, "Add All Drives", &TForm1::AddAllDrives1Click);

    auto attach = [this](QWidget* control, QMenu* menu, void (TForm1::*prepare)() = nullptr) {
        control->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(control, &QWidget::customContextMenuRequested, this, [this, control, menu, prepare](const QPoint& at) {
            RunHandler([&] {
                if (prepare)
                    (this->*prepare)();
                menu->popup(control->mapToGlobal(at));
            });
        });
    };
    attach(lbResults, PopupMenu1, &TForm1::PopupMenu1Popup);
    attach(sbAddDirectory, PopupMenu2);
    attach(lbWatches, PopupMenu3);
}

// ---------------------------------------------------------------------------
// Window life

void TForm1::FormCreate() {
    lbWatches->SetHorizontalExtent(HorizontalExtent);
    lbResults->SetHorizontalExtent(HorizontalExtent);
    // The system asks before it shuts down or logs the user off: answer as
    // to any close request, so the settings are saved before the answer.
    connect(qApp, &QGuiApplication::commitDataRequest, this,
            [this](QSessionManager&) { RunHandler([this] { SessionEnding(); }); });
    FTray = std::make_unique<TTrayComp>(this);
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!FShown) {
        FShown = true;
        RunHandler([this] { FormShow(); });
    }
}

void TForm1::FormShow() {
    setWindowTitle(QString::fromStdString(TApplication::Title()));
    for (QWidget* control : {static_cast<QWidget*>(sbAddDirectory), static_cast<QWidget*>(lbWatches),
                             static_cast<QWidget*>(GeneralOptionsForm->lbExcluded),
                             static_cast<QWidget*>(lbResults)})
        control->setCursor(Qt::ArrowCursor);
    LoadSettings();
    SetUpTray();
}

void TForm1::SetUpTray() {
    if (GeneralOptionsForm->cbMinToTray->isChecked()) {
        FTray->SetShowIcon(true);
        FTray->SetShowInTaskBar(false);
    } else {
        FTray->SetShowIcon(false);
        FTray->SetShowInTaskBar(true);
    }
    FTray->AttachToOwner();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FClosed = true;
    RunHandler([this] { FormCloseQuery(); });
    event->accept();
    QCoreApplication::quit();
}

void TForm1::FormCloseQuery() {
    KeepSnapshots();
    FreeAllWatches();
    FTray.reset();
    SaveSettingsAtClose();
    FlushHistory();
}

void TForm1::sbExitClick() {
    close();
}

void TForm1::GeneralOptions1Click() {
    PlaceDialogOver(*GeneralOptionsForm, *this);
    GeneralOptionsForm->exec();
    UpdateStatusBar();
}

// The figures are read when the window opens; a limit raised there makes
// the watches that reached it watch what they left out.
void TForm1::WatchLimit1Click() {
    TWatchLimitForm form(this);
    form.exec();
}

void TForm1::SearchHistory1Click() {
    TSearchHistoryForm form(this);
    form.exec();
}

void TForm1::lbResultsClick() {
    UpdateStatusBar();
}

void TForm1::MnuAboutClick() {
    (new TAboutForm)->show(); // no owner: it frees itself when closed
}
