#include "AppTesting.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/InputFormUnit.h"
#include "dialogs/OptionsUnit.h"
#include "records/ResultLines.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QStatusBar>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
std::vector<std::string> Captions(const QList<QAction*>& actions) {
    std::vector<std::string> captions;
    for (QAction* action : actions)
        captions.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    return captions;
}

// The caption the desktop shows for a window: Qt appends the application's
// display name, once one is set, to every title that does not end in it.
std::string ShownCaption(const QWidget& window) {
    const QString title = window.windowTitle();
    const QString name = QGuiApplication::applicationDisplayName();
    if (name == QCoreApplication::applicationName() || title.endsWith(name))
        return title.toStdString();
    return (title + QStringLiteral(" \u2014 ") + name).toStdString();
}
} // namespace

using MainWindow = TProgramTest;
using ChangeLines = TProgramTest;
using ChangeFilter = TProgramTest;

TEST_F(MainWindow, StartsWithItsWindowsControlsAndMenus) {
    ASSERT_TRUE(Form1 && OptionsForm && GeneralOptionsForm && InputForm);
    EXPECT_EQ(OptionsForm->windowTitle(), "Watch Options");
    EXPECT_EQ(GeneralOptionsForm->windowTitle(), "General Options");
    EXPECT_EQ(InputForm->windowTitle(), "File Type");
    EXPECT_TRUE(GeneralOptionsForm->cbMinToTray->isChecked());
    EXPECT_FALSE(GeneralOptionsForm->cbVerboseDisplay->isChecked());
    Form1->show();
    EXPECT_EQ(Form1->windowTitle(), "Sentrel");
    for (int panel = 0; panel < 3; ++panel)
        EXPECT_EQ(Form1->StatusPanelText(panel), "") << "blank until the first command";

    auto menus = Form1->menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(Captions(menus[0]->menu()->actions()), (std::vector<std::string>{"General Options", "Exit", "Edit INI file"}));
    EXPECT_EQ(Captions(menus[1]->menu()->actions()),
              (std::vector<std::string>{"Add Watch", "Add All Drives", "Watch Options", "Watch Limit…",
                                        "Use the Privileged Helper…", "Search History…", "-", "Clear Output List",
                                        "Pause All Watches", "Start All Watches", "-", "Go", "Stop", "-", "About"}));
    EXPECT_EQ(Captions(Form1->PopupMenu1->actions()),
              (std::vector<std::string>{"Exclude File", "Exclude Path", "Exclude Program", "Watch It Too", "-",
                                        "Open This File", "Hex Edit This File", "-", "Save List", "Clear", "-",
                                        "Watch Limit…"}));
    EXPECT_EQ(Captions(Form1->PopupMenu2->actions()), std::vector<std::string>{"Add All Drives"});
    EXPECT_EQ(Captions(Form1->PopupMenu3->actions()), (std::vector<std::string>{"Delete", "Add All Drives"}));
    EXPECT_EQ(Form1->sbAddDirectory->toolTip(), "Add Folder to Watch");
    EXPECT_EQ(Form1->sbDelete->toolTip(), "Remove Folder From Watch");
    EXPECT_EQ(Form1->sbOptions->toolTip(), "Watch Properties");
    EXPECT_EQ(Form1->sbClear->toolTip(), "Clear List");
    EXPECT_EQ(Form1->sbStop->toolTip(), "Pause All Watches");
    EXPECT_EQ(Form1->sbGo->toolTip(), "Start All Watches");
    EXPECT_EQ(Form1->SpeedButton1->toolTip(), "Watch Properties");
    EXPECT_EQ(Form1->sbExit->toolTip(), "Close the Application");
}

TEST_F(MainWindow, EveryWindowShowsItsOwnCaptionAlone) {
    Form1->show();
    EXPECT_EQ(ShownCaption(*Form1), "Sentrel");
    EXPECT_EQ(ShownCaption(*OptionsForm), "Watch Options");
    EXPECT_EQ(ShownCaption(*GeneralOptionsForm), "General Options");
    EXPECT_EQ(ShownCaption(*InputForm), "File Type");
}

TEST_F(MainWindow, StatusBarInEveryCase) {
    TTempDir dir;
    auto sender = SenderOn(dir.Path());
    Form1->UpdateStatusBar();
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring not enabled");
    EXPECT_EQ(Form1->StatusPanelText(1), "");
    EXPECT_EQ(Form1->StatusPanelText(2), "");

    Form1->AddWatch(dir.Path());
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring enabled");
    EXPECT_EQ(Form1->StatusPanelText(1), "Brief Mode");
    for (const char* name : {"a", "b", "c"})
        Form1->BriskoDirWatch1Notify(sender.get(), 1, name);
    EXPECT_TRUE(ProcessEventsUntil([] { return Form1->StatusPanelText(2) == "1/3"; }))
        << "change lines refresh the count soon; the focus frame is on the first line: " << Form1->StatusPanelText(2);
    Form1->lbResults->SetItemIndex(2);
    EXPECT_EQ(Form1->StatusPanelText(2), "3/3") << "a selection change refreshes it";
    for (const auto& [filter, count] : std::vector<std::pair<std::string, std::string>>{
             {dir / "c", "1 of 1 shown, 3 in all"},
             {dir.Path(), "3 of 3 shown, 3 in all"},
             {"", "3/3"},
             {dir / "d", ""}}) {
        Form1->edFilter->setText(QString::fromStdString(filter));
        EXPECT_TRUE(ProcessEventsUntil([&] { return Form1->StatusPanelText(2) == count; }))
            << filter << ": " << Form1->StatusPanelText(2);
    }

    GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    Form1->sbStopClick();
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring not enabled");
    EXPECT_EQ(Form1->StatusPanelText(1), "Verbose Mode");
    Form1->sbClearClick();
    EXPECT_EQ(Form1->StatusPanelText(2), "");

    Form1->lbWatches->SetItemIndex(0);
    Form1->sbDeleteClick();
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring not enabled");
    EXPECT_EQ(Form1->StatusPanelText(1), "Verbose Mode") << "panel 1 keeps its text with no watches";
}

// However narrow the window, the panels cut their own text short rather than
// paint over each other; a wide window gives the room left to the process.
TEST_F(MainWindow, StatusPanelsNeverPaintOverEachOther) {
    TTempDir dir;
    Form1->show();
    Form1->AddWatch(dir.Path());
    Form1->UpdateStatusBar();
    Form1->StatusBar1[3]->setText(QString::fromStdString("Process: " + std::string(300, 'p')));
    for (const int width : {150, 320, 1200}) {
        Form1->resize(width, Form1->height());
        QCoreApplication::processEvents();
        std::vector<QRect> panels;
        for (QLabel* panel : Form1->StatusBar1)
            panels.push_back(panel->geometry());
        for (size_t i = 0; i + 1 < panels.size(); ++i)
            EXPECT_LT(panels[i].right(), panels[i + 1].left()) << width << " px, panels " << i << " and " << i + 1;
        EXPECT_LE(panels.back().right(), Form1->statusBar()->width()) << width << " px";
        if (width == 1200) {
            EXPECT_GT(panels.back().width(), 500) << "the process takes the room left";
        }
    }
}

TEST_F(MainWindow, ClosingFreesTheWatchesAndKeepsTheLines) {
    TTempDir dir;
    Form1->show();
    Form1->AddWatch(dir.Path());
    ASSERT_TRUE(Form1->WatchOfLine(0));
    Form1->sbExitClick();
    EXPECT_FALSE(Form1->isVisible());
    EXPECT_EQ(Form1->WatchOfLine(0), nullptr);
    EXPECT_EQ(Form1->lbWatches->Lines(), std::vector<std::string>{dir.Path()});
    Form1->FormCloseQuery();
    EXPECT_EQ(Form1->lbWatches->Count(), 1) << "a second close request frees nothing twice";
}

TEST_F(MainWindow, AfterTheSessionEndingIsCalledOffTheWatchesComeBack) {
    TTempDir first, second;
    Form1->show();
    Form1->AddWatch(first.Path());
    TDirWatchOptions names;
    names.Include(dw_file_name);
    Form1->WatchOfLine(0)->SetOptions(names);
    Form1->SessionEnding();
    EXPECT_EQ(Form1->WatchOfLine(0), nullptr) << "released before the desktop gets its answer";
    ASSERT_TRUE(ProcessEventsUntil([] { return Form1->WatchOfLine(0) != nullptr; }));
    EXPECT_TRUE(Form1->WatchOfLine(0)->Enabled());
    EXPECT_EQ(Form1->WatchOfLine(0)->Options(), names);
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring enabled");
    Form1->AddWatch(second.Path());
    Form1->sbExitClick();
    EXPECT_EQ(Form1->WatchOfLine(0), nullptr);
    EXPECT_EQ(Form1->WatchOfLine(1), nullptr);
    Form1->SessionEnding();
    ProcessEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(Form1->WatchOfLine(0), nullptr) << "a closed window watches nothing again";
}

// Brief mode keeps one line per path: a change replaces the line of exactly
// its own path, never the line of a path that merely contains it.
TEST_F(ChangeLines, BriefModeReplacesTheLineOfTheSamePathOnly) {
    auto sender = SenderOn("/w");
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "a/new.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "a.txt.bak");
    Form1->BriskoDirWatch1Notify(sender.get(), 3, "a");
    Form1->BriskoDirWatch1Notify(sender.get(), 3, "a.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 2, "a.txt.bak");
    Form1->BriskoDirWatch1Notify(sender.get(), 3, "A");
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "x - y");
    EXPECT_EQ(ResultsWithoutTime(),
              (std::vector<std::string>{"Added - /w/a/new.txt", "Removed - /w/a.txt.bak", "Modified - /w/a",
                                        "Modified - /w/a.txt", "Modified - /w/A", "Added - /w/x - y"}))
        << "a folder's change keeps the line of the file created in it; names differing in case are two files";
    Form1->BriskoDirWatch1Notify(sender.get(), 2, "a");
    Form1->BriskoDirWatch1Notify(sender.get(), 3, "x - y");
    EXPECT_EQ(ResultsWithoutTime(),
              (std::vector<std::string>{"Added - /w/a/new.txt", "Removed - /w/a.txt.bak", "Removed - /w/a",
                                        "Modified - /w/a.txt", "Modified - /w/A", "Modified - /w/x - y"}))
        << "the line keeps its place";
    Form1->BriskoDirWatch1Notify(sender.get(), 4, "p");
    Form1->BriskoDirWatch1Notify(sender.get(), 5, "q");
    EXPECT_EQ(Form1->lbResults->Count(), 8);
}

TEST_F(ChangeLines, BriefModeAfterVerboseModeReplacesTheTopMostLineOfThePath) {
    auto sender = SenderOn("/w");
    GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    for (const char* name : {"f", "g", "f"})
        Form1->BriskoDirWatch1Notify(sender.get(), 3, name);
    GeneralOptionsForm->cbVerboseDisplay->setChecked(false);
    Form1->BriskoDirWatch1Notify(sender.get(), 2, "f");
    Form1->BriskoDirWatch1Notify(sender.get(), 2, "f");
    EXPECT_EQ(ResultsWithoutTime(), (std::vector<std::string>{"Removed - /w/f", "Modified - /w/g", "Modified - /w/f"}));
    Form1->lbResults->Delete(0);
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "f");
    EXPECT_EQ(ResultsWithoutTime(), (std::vector<std::string>{"Modified - /w/g", "Added - /w/f"}))
        << "once the top line is gone, the next line of the path is the one replaced";
}

TEST_F(ChangeLines, VerboseModeAppendsEveryChange) {
    GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    auto sender = SenderOn("/data/");
    Form1->BriskoDirWatch1Notify(sender.get(), 4, "old.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 5, "new.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 3, "new.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 3, "new.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 9, "x");
    EXPECT_EQ(ResultsWithoutTime(),
              (std::vector<std::string>{"Renamed_old_name - /data/old.txt", "Renamed_new_name - /data/new.txt",
                                        "Modified - /data/new.txt", "Modified - /data/new.txt", " - /data/x"}));
}

TEST_F(ChangeLines, FullPathJoinsTheFolderAndTheName) {
    GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    Form1->BriskoDirWatch1Notify(SenderOn("/tmp").get(), 1, "a.txt");
    Form1->BriskoDirWatch1Notify(SenderOn("/").get(), 1, "a.txt");
    Form1->BriskoDirWatch1Notify(SenderOn("").get(), 1, "a.txt");
    Form1->BriskoDirWatch1Notify(SenderOn("/tmp").get(), 1, "");
    EXPECT_EQ(ResultsWithoutTime(), (std::vector<std::string>{"Added - /tmp/a.txt", "Added - /a.txt",
                                                              "Added - ./a.txt", "Added - /tmp/"}));
}

namespace {
TDirWatchStatus NotCovered(const std::string& folder, const std::string& reason) {
    TDirWatchStatus status;
    status.Kind = TDirWatchStatus::TKind::NotCovered;
    status.Folder = folder;
    status.Reason = reason;
    return status;
}

std::string HintOfResult(int line) {
    return Form1->lbResults->model()->index(line, 0).data(Qt::ToolTipRole).toString().toStdString();
}
} // namespace

// A long path can be read: the list scrolls to the end of the longest line
// (and no further once cleared, or short lines hide off to the left), and
// the line's hint holds the whole path in lines of at most 100 characters.
TEST_F(ChangeLines, ALongPathCanBeScrolledToAndReadInTheHint) {
    const std::string folder = "/" + std::string(2200, 'a');
    auto sender = SenderOn(folder);
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "x");
    const auto extent = [] { return Form1->lbResults->model()->index(0, 0).data(Qt::SizeHintRole).toSize().width(); };
    const int longWidth =
        Form1->lbResults->fontMetrics().horizontalAdvance(QString::fromStdString(std::string(Form1->lbResults->Line(0))));
    EXPECT_GE(extent(), longWidth);
    std::string joined;
    size_t longest = 0;
    std::istringstream hint(HintOfResult(0));
    for (std::string part; std::getline(hint, part);) {
        joined += part;
        longest = std::max(longest, part.size());
    }
    EXPECT_EQ(joined, folder + "/x");
    EXPECT_EQ(longest, 100u);

    Form1->lbResults->Clear();
    auto near = SenderOn("/b");
    Form1->BriskoDirWatch1Notify(near.get(), 1, "y");
    EXPECT_LT(extent(), longWidth);
}

// A gap line names its folder where every change line names its path, so
// that the commands on the list find the folder there; the system's reason
// is the line's hint.
TEST_F(ChangeLines, GapsInWhatAWatchCoversAreListed) {
    auto sender = SenderOn("/data");
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "x");
    TDirWatchStatus lost;
    lost.Kind = TDirWatchStatus::TKind::ChangesLost;
    Form1->BriskoDirWatch1Status(sender.get(), lost);
    Form1->BriskoDirWatch1Status(sender.get(), NotCovered("secret", "Permission denied"));
    Form1->BriskoDirWatch1Status(sender.get(), NotCovered("odd", "Input/output error - device gone"));
    Form1->BriskoDirWatch1Status(sender.get(), NotCovered("", "Permission denied"));
    TDirWatchStatus merged;
    merged.Kind = TDirWatchStatus::TKind::ChangesMerged;
    Form1->BriskoDirWatch1Status(sender.get(), merged);
    EXPECT_EQ(ResultsWithoutTime(),
              (std::vector<std::string>{"Added - /data/x", "Changes_lost - /data", "Not_watched - /data/secret",
                                        "Not_watched - /data/odd", "Not_watched - /data", "Changes_merged - /data"}));
    EXPECT_NE(HintOfResult(5).find("merged"), std::string::npos) << "the line says what was merged";
    EXPECT_EQ(HintOfResult(2), "Permission denied");
    EXPECT_EQ(HintOfResult(3), "Input/output error - device gone");
    EXPECT_EQ(ResultFilePath(Form1->lbResults->Line(3)), "/data/odd");
    EXPECT_EQ(HintOfResult(0), "/data/x") << "a change line's hint is its path";

    Form1->BriskoDirWatch1Notify(sender.get(), 3, "secret");
    Form1->BriskoDirWatch1Notify(sender.get(), 3, "x");
    EXPECT_EQ(ResultsWithoutTime(),
              (std::vector<std::string>{"Modified - /data/x", "Changes_lost - /data", "Not_watched - /data/secret",
                                        "Not_watched - /data/odd", "Not_watched - /data", "Changes_merged - /data",
                                        "Modified - /data/secret"}))
        << "brief mode never overwrites these lines";
    Form1->lbResults->Delete(2);
    EXPECT_EQ(HintOfResult(2), "Input/output error - device gone") << "a hint moves with its line";
}

TEST_F(ChangeLines, FoldersTheUserExcludedAreNoGap) {
    GeneralOptionsForm->lbExcluded->Add("/data/private/");
    auto sender = SenderOn("/data");
    for (const char* folder : {"private", "private/deeper", "privateer"})
        Form1->BriskoDirWatch1Status(sender.get(), NotCovered(folder, "Permission denied"));
    EXPECT_EQ(ResultsWithoutTime(), std::vector<std::string>{"Not_watched - /data/privateer"});
}

struct TFilterCase {
    std::vector<std::string> Included, Excluded, ExcludedTypes;
    std::string Path;
    bool FilteredOut;
    std::vector<std::string> ExcludedNames = {};
};

TEST_F(ChangeFilter, EveryBranchInItsOrder) {
    const std::vector<TFilterCase> cases = {
        {{}, {}, {}, "/a/b.txt", false},
        {{"*.txt"}, {"/a/"}, {}, "/a/b.txt", false},            // the included types alone decide
        {{"*.txt"}, {}, {}, "/a/b.doc", true},
        {{"*.TXT"}, {}, {}, "/a/b.txt", false},
        {{"*"}, {}, {}, "/a/README", false},                    // the star alone: no extension
        {{"*"}, {}, {}, "/a/b.txt", true},
        {{}, {"/a/"}, {}, "/a/sub/b.txt", true},                // an excluded folder
        {{}, {"/A/"}, {}, "/a/b.txt", false},                   // folders compare letter case
        {{}, {"/a"}, {}, "/a/b.txt", false},                    // no trailing separator: not a folder
        {{}, {"/tmp/"}, {}, "/home/x/tmp/b.txt", false},        // from the root: that folder only
        {{}, {"/tmp/"}, {}, "/tmp/x/b.txt", true},
        {{}, {"tmp/"}, {}, "/home/x/tmp/b.txt", true},          // not from the root: anywhere
        {{}, {"/a/b.txt"}, {}, "/a/b.txt", true},               // an excluded file
        {{}, {"/a/B.txt"}, {}, "/a/b.txt", false},              // letter case significant: another file
        {{}, {"/a/b.txt"}, {}, "/a/b.txt.bak", false},
        {{}, {}, {"*.TMP"}, "/a/x.tmp", true},                  // types, case ignored
        {{}, {}, {"*"}, "/a/Makefile", true},
        {{}, {}, {"*"}, "/a.d/file.c", false},
        {{}, {}, {"*..txt"}, "/a/b.txt", false},
        {{}, {}, {}, "/a/node_modules/x/y.js", true, {"node_modules"}}, // a folder name, at any depth
        {{}, {}, {}, "/node_modules/y.js", true, {"node_modules"}},
        {{}, {}, {}, "/a/node_modules", false, {"node_modules"}},       // the folder's own entry is listed
        {{}, {}, {}, "/a/my_node_modules/y.js", false, {"node_modules"}}, // a whole name, not a part
        {{}, {}, {}, "/a/Node_modules/y.js", false, {"node_modules"}},
        {{"*.js"}, {}, {}, "/a/node_modules/y.js", false, {"node_modules"}},
    };
    for (const TFilterCase& test : cases) {
        for (TListBox* list : {GeneralOptionsForm->lbIncludedTypes, GeneralOptionsForm->lbExcluded,
                               GeneralOptionsForm->lbExcludedTypes, GeneralOptionsForm->lbExcludedNames})
            list->Clear();
        for (const auto& name : test.ExcludedNames)
            GeneralOptionsForm->lbExcludedNames->Add(name);
        for (const auto& type : test.Included)
            GeneralOptionsForm->lbIncludedTypes->Add(type);
        for (const auto& entry : test.Excluded)
            GeneralOptionsForm->lbExcluded->Add(entry);
        for (const auto& type : test.ExcludedTypes)
            GeneralOptionsForm->lbExcludedTypes->Add(type);
        EXPECT_EQ(Form1->IsFilteredOut(test.Path), test.FilteredOut) << test.Path;
    }
}

// What a watch is given to leave out: the folder entries and names as they
// were, untouched by later edits; nothing when no folder is excluded.
TEST_F(ChangeFilter, FolderRulesAreACopyOfTheFolderEntries) {
    GeneralOptionsForm->lbExcluded->Add("/a/b.txt");
    EXPECT_EQ(GeneralOptionsForm->ChangeFilter().FolderRules(), nullptr) << "a file entry excludes no folder";
    GeneralOptionsForm->lbExcluded->Add("/w/tmp/");
    GeneralOptionsForm->lbExcludedNames->Add(".git");
    const TFolderExclusionRules rules = GeneralOptionsForm->ChangeFilter().FolderRules();
    GeneralOptionsForm->lbExcluded->Clear();
    GeneralOptionsForm->lbExcludedNames->Clear();
    ASSERT_NE(rules, nullptr);
    for (const auto& [folder, excluded] : std::vector<std::pair<std::string, bool>>{
             {"/w/tmp/", true}, {"/w/tmp/x/", true}, {"/w/", false}, {"/w/x/.git/", true}, {"/w/.github/", false}})
        EXPECT_EQ(rules->Excludes(folder), excluded) << folder;
}

TEST_F(ChangeFilter, FilteredChangesLeaveNoLine) {
    GeneralOptionsForm->lbExcludedTypes->Add("*.tmp");
    auto sender = SenderOn("/data");
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "x.tmp");
    EXPECT_EQ(Form1->lbResults->Count(), 0);
}

// A real watch on a real folder, through the whole program.
TEST_F(ChangeLines, ChangesInAWatchedFolderBecomeLines) {
    TTempDir dir;
    GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    Form1->AddWatch(dir.Path());
    ASSERT_TRUE(ProcessEventsUntil([&] { return Form1->lbWatches->Count() == 1; }));
    ProcessEventsFor(std::chrono::milliseconds(200));
    dir.WriteFile("a.txt");
    fs::rename(dir / "a.txt", dir / "b.txt");
    fs::remove(dir / "b.txt");
    const std::string removed = "Removed - " + dir.Path() + "/b.txt";
    ASSERT_TRUE(ProcessEventsUntil([&] {
        auto lines = ResultsWithoutTime();
        return std::find(lines.begin(), lines.end(), removed) != lines.end();
    }));
    std::vector<std::string> names;
    for (const auto& line : ResultsWithoutTime())
        if (line.rfind("Modified", 0) != 0)
            names.push_back(line);
    EXPECT_EQ(names, (std::vector<std::string>{"Added - " + dir.Path() + "/a.txt",
                                               "Renamed_old_name - " + dir.Path() + "/a.txt",
                                               "Renamed_new_name - " + dir.Path() + "/b.txt", removed}));
}

TEST_F(ChangeLines, ABurstArrivesWholeWhileTheWindowStaysResponsive) {
    TTempDir dir;
    GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    Form1->AddWatch(dir.Path());
    ProcessEventsFor(std::chrono::milliseconds(200));
    TDirWatchOptions names;
    names.Include(dw_file_name);
    Form1->WatchOfLine(0)->SetOptions(names);
    ProcessEventsFor(std::chrono::milliseconds(200));
    constexpr int Files = 20000;
    for (int i = 0; i < Files; ++i)
        std::ofstream(dir / ("f" + std::to_string(i)));
    // The longest the loop went without a turn for anything else while
    // the lines came in: the burst is taken in slices, never in one go.
    auto lastTick = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestGap{};
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });
    ticker.start(1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return Form1->lbResults->Count() >= Files; }));
    ProcessEventsFor(std::chrono::milliseconds(100));
    EXPECT_EQ(Form1->lbResults->Count(), Files);
    EXPECT_LT(longestGap, std::chrono::milliseconds(250))
        << "the window stood still for "
        << std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count() << " ms";
}

// With the main window in the tray an error box can be the last visible
// window; closing it must not end the program. Closing the main window does.
TEST_F(MainWindow, ProgramEndsWithItsMainWindowOnly) {
    QTimer giveUp; // a timer of the test's own, gone with it
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(7); });

    Form1->hide();
    QTimer::singleShot(0, [] {
        QDialog box;
        box.show();
        box.close();
    });
    giveUp.start(300);
    EXPECT_EQ(QCoreApplication::exec(), 7) << "the program ended with the box";

    Form1->show();
    QTimer::singleShot(0, [] { Form1->close(); });
    giveUp.start(5000);
    EXPECT_EQ(QCoreApplication::exec(), 0) << "closing the main window did not end the program";
}

// What the list shows is kept in the history, a rename as one record; with
// "Keep a history" off nothing more is written.
TEST_F(ChangeLines, WhatIsListedIsKeptInTheHistory) {
    TTempDir dir;
    Form1->OpenHistory(); // as the settings, once read, open it
    auto sender = SenderOn(dir.Path());
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "a.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 4, "a.txt");
    Form1->BriskoDirWatch1Notify(sender.get(), 5, "b.txt");
    Form1->BriskoDirWatch1Status(sender.get(), NotCovered("secret", "Permission denied"));
    GeneralOptionsForm->cbKeepHistory->setChecked(false); // the store closes, writing what it holds
    Form1->BriskoDirWatch1Notify(sender.get(), 2, "b.txt");
    THistoryQuery query;
    query.Fragment = dir.Path();
    std::vector<std::string> kept;
    for (const THistoryRecord& record : ReadHistory(HistoryFileName(), query))
        kept.push_back(record.Action + " " + record.Path + (record.OldPath ? " from " + *record.OldPath : ""));
    EXPECT_EQ(kept, (std::vector<std::string>{"Not_watched " + dir / "secret", "Renamed " + dir / "b.txt" + " from " +
                                                  dir / "a.txt", "Added " + dir / "a.txt"}));
    GeneralOptionsForm->cbKeepHistory->setChecked(true);
}

// While the history is kept the list holds its newest lines, brief mode's
// one line a path among them; a note at the top counts the lines gone.
TEST_F(ChangeLines, TheListKeepsItsNewestLinesWhileTheHistoryIsKept) {
    auto sender = SenderOn("/w");
    const auto listed = [] {
        std::vector<std::string> lines;
        for (const std::string& line : Form1->lbResults->Lines())
            lines.push_back(line.substr(line.find(" - ") == 8 ? 11 : 0));
        return lines;
    };
    Form1->ApplySection("History", {"Keep=F", "ListLimit=3"});
    for (const char* name : {"a", "b", "c", "d"})
        Form1->BriskoDirWatch1Notify(sender.get(), 1, name);
    EXPECT_EQ(Form1->lbResults->Count(), 4) << "without a history nothing gives way";
    Form1->sbClearClick();
    Form1->ApplySection("History", {"Keep=T", "ListLimit=3"});
    for (const char* name : {"a", "b", "c", "d", "b", "e"})
        Form1->BriskoDirWatch1Notify(sender.get(), name[0] == 'b' ? 3 : 1, name);
    EXPECT_EQ(listed(), (std::vector<std::string>{"4 older changes are in the history: Action > Search History…",
                                                  "Modified - /w/b", "Added - /w/e"}))
        << "b had given way when it changed again: a new line";
    Form1->BriskoDirWatch1Status(sender.get(), NotCovered("f", "Permission denied"));
    EXPECT_EQ(listed(), (std::vector<std::string>{"5 older changes are in the history: Action > Search History…",
                                                  "Added - /w/e", "Not_watched - /w/f"}));
    Form1->sbClearClick();
    Form1->ApplySection("History", {});
}

// The filter over the list shows the lines a part of a line or a time range
// lets through, as the user types and as lines come.
TEST_F(ChangeLines, TheFilterShowsWhatTheUserTyped) {
    for (const char* line : {"14:00:05 - Added - /w/src/a.c", "14:10:00 - Removed - /w/doc/B.txt",
                             "15:30:59 - Modified - /w/src/b.c", "15:31:00 - Added - /w/x"})
        Form1->lbResults->Add(line);
    const auto shown = [] {
        std::vector<int> lines;
        for (int i = 0; i < Form1->lbResults->Count(); ++i)
            if (Form1->lbResults->LineShown(i))
                lines.push_back(i);
        return lines;
    };
    struct TCase {
        const char* Text;
        std::vector<int> Shown;
    };
    const std::vector<TCase> cases = {
        {"/src/", {0, 2}},        {"removed", {1}},       {"b.TXT", {1}},          {"14:00-15:30", {0, 1, 2}},
        {"14:00:06-15:31", {1, 2, 3}}, {"  ", {0, 1, 2, 3}}, {"25:00-26:00", {}},   {"", {0, 1, 2, 3}},
    };
    for (const TCase& test : cases) {
        Form1->edFilter->setText(QString::fromUtf8(test.Text));
        ASSERT_TRUE(ProcessEventsUntil([&] { return shown() == test.Shown; })) << "\"" << test.Text << "\"";
    }
    Form1->edFilter->setText(QStringLiteral("src"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return shown() == std::vector<int>{0, 2}; }));
    Form1->lbResults->Add("15:40:00 - Added - /w/src/c.c");
    Form1->lbResults->Add("15:40:00 - Added - /w/other");
    EXPECT_EQ(shown(), (std::vector<int>{0, 2, 4})) << "lines that come are filtered too";
    EXPECT_EQ(Form1->lbResults->Count(), 6) << "hidden lines stay in the list";
}
