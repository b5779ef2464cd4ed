#include "AppTesting.h"
#include "../toolkit/QtLog.h"

#include "app/CommandLine.h"
#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/OptionsUnit.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QToolButton>
#include <QTimer>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

using WatchList = TProgramTest;

// "sentrel --verbose A B" with A among the saved folders: A keeps its
// place, B follows, both watched; a folder that cannot be watched shows
// its error and the rest still come.
TEST_F(WatchList, TheCommandLineAddsItsFoldersAfterTheSavedOnes) {
    TTempDir saved, added, gone;
    std::ofstream(SettingsFile) << "[WatchDirs]\n0=" << saved.Path() << "\n";
    TCommandLine commandLine;
    commandLine.Verbose = true;
    commandLine.Folders = {added.Path(), saved.Path(), gone / "removed", added.Path()};
    Forms->Show(commandLine);
    EXPECT_EQ(Form1->lbWatches->Lines(), (std::vector<std::string>{saved.Path(), added.Path()}));
    EXPECT_TRUE(Form1->WatchOfLine(0)->Enabled());
    EXPECT_TRUE(Form1->WatchOfLine(1)->Enabled());
    EXPECT_TRUE(GeneralOptionsForm->cbVerboseDisplay->isChecked());
    EXPECT_EQ(TakeErrorBoxes().size(), 1u);
}

TEST_F(WatchList, TheStatusBarIsBlankUntilTheFirstCommand) {
    Forms->Show(TCommandLine{});
    for (int panel = 0; panel < 3; ++panel)
        EXPECT_EQ(Form1->StatusPanelText(panel), "") << panel;
}

TEST_F(WatchList, AddingToAnEmptyListStartsOneWatch) {
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    ASSERT_EQ(Form1->lbWatches->Lines(), std::vector<std::string>{dir.Path()});
    ASSERT_TRUE(Form1->WatchOfLine(0)->Enabled());
    EXPECT_EQ(Form1->WatchOfLine(0)->Directory(), dir.Path());
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring enabled");
}

TEST_F(WatchList, AddingAfterAPauseResumesEveryWatch) {
    TTempDir first, second;
    Form1->AddWatch(first.Path());
    Form1->sbStopClick();
    EXPECT_FALSE(Form1->WatchOfLine(0)->Enabled());
    Form1->AddWatch(second.Path());
    EXPECT_TRUE(Form1->WatchOfLine(0)->Enabled());
    EXPECT_TRUE(Form1->WatchOfLine(1)->Enabled());
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring enabled");
}

TEST_F(WatchList, AFolderListedAlreadyKeepsItsLineAndItsWatch) {
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    TBriskoDirWatch* original = Form1->WatchOfLine(0);
    TDirWatchOptions names;
    names.Include(dw_file_name);
    original->SetOptions(names);
    Form1->sbStopClick();
    Form1->AddWatch(dir.Path());
    ASSERT_EQ(Form1->lbWatches->Count(), 1);
    EXPECT_EQ(Form1->WatchOfLine(0), original);
    EXPECT_EQ(original->Options(), names);
    EXPECT_TRUE(original->Enabled()) << "adding starts all watches all the same";
}

TEST_F(WatchList, DeletingRemovesOnlyTheCurrentLine) {
    TTempDir first, second;
    Form1->AddWatch(first.Path());
    Form1->AddWatch(second.Path());
    TBriskoDirWatch* kept = Form1->WatchOfLine(1);
    kept->SetEnabled(false);
    Form1->sbDeleteClick();
    EXPECT_EQ(Form1->lbWatches->Count(), 2) << "nothing selected, nothing deleted";
    Form1->lbWatches->SetItemIndex(0);
    Form1->sbDeleteClick();
    ASSERT_EQ(Form1->lbWatches->Lines(), std::vector<std::string>{second.Path()});
    EXPECT_EQ(Form1->WatchOfLine(0), kept);
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring not enabled") << "the former second watch now stands for all";
}

TEST_F(WatchList, ASecondDeleteRemovesNothing) {
    TTempDir first, second, third;
    for (const TTempDir* dir : {&first, &second, &third})
        Form1->AddWatch(dir->Path());
    Form1->lbWatches->SetItemIndex(1);
    Form1->sbDeleteClick();
    Form1->sbDeleteClick();
    EXPECT_EQ(Form1->lbWatches->Lines(), (std::vector<std::string>{first.Path(), third.Path()}));
    EXPECT_TRUE(Form1->WatchOfLine(1) && Form1->WatchOfLine(1)->Enabled());
}

TEST_F(WatchList, TheRemarkCountsFoldersAndCopyingTakesTheFolderAlone) {
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    TBriskoDirWatch* watch = Form1->WatchOfLine(0);
    auto shown = [&](TDirWatchStatus::TKind kind, uint64_t folders, const std::string& mechanism = {}) {
        TDirWatchStatus status;
        status.Kind = kind;
        status.FolderCount = folders;
        status.Mechanism = mechanism;
        Form1->BriskoDirWatch1Status(watch, status);
        return Form1->lbWatches->model()->index(0, 0).data().toString().toStdString();
    };
    const std::string line = dir.Path() + "    ";
    EXPECT_EQ(shown(TDirWatchStatus::TKind::SettingUp, 1), line + "(setting up: 1 folder so far)");
    EXPECT_EQ(shown(TDirWatchStatus::TKind::SettingUp, 2), line + "(setting up: 2 folders so far)");
    EXPECT_EQ(shown(TDirWatchStatus::TKind::Ready, 1), line + "(1 folder watched)");
    EXPECT_EQ(shown(TDirWatchStatus::TKind::Ready, 12), line + "(12 folders watched)") << "every new count shows";
    EXPECT_EQ(shown(TDirWatchStatus::TKind::Ready, 3, "inotify: fanotify needs the CAP_SYS_ADMIN capability"),
              line + "(3 folders watched by inotify: fanotify needs the CAP_SYS_ADMIN capability)")
        << "how the system watches, and why not the other way";
    EXPECT_EQ(shown(TDirWatchStatus::TKind::Ready, 0, "fanotify"), line + "(watched by fanotify)")
        << "one mark for a whole file system counts no folders";

    Form1->lbWatches->SetItemIndex(0);
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
    QApplication::sendEvent(Form1->lbWatches, &copy);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), dir.Path());
}

TEST_F(WatchList, AFolderThatCannotBeOpened) {
    TTempDir dir;
    const std::string missing = dir / "missing";
    EXPECT_THROW(Form1->AddWatch(missing), EDirWatchError);
    EXPECT_EQ(Form1->lbWatches->Count(), 1) << "a first folder is listed before the start fails";
    EXPECT_FALSE(Form1->WatchOfLine(0)->Enabled());
    Form1->lbWatches->Delete(0);

    Form1->AddWatch(dir.Path());
    EXPECT_THROW(Form1->AddWatch(missing), EDirWatchError);
    EXPECT_EQ(Form1->lbWatches->Count(), 1) << "with watches running, the new one fails before it is listed";

    fs::create_directory(dir / "gone");
    Form1->AddWatch(dir / "gone");
    TTempDir last;
    Form1->AddWatch(last.Path());
    Form1->sbStopClick();
    fs::remove(dir / "gone");
    EXPECT_THROW(Form1->sbGoClick(), EDirWatchError);
    EXPECT_TRUE(Form1->WatchOfLine(0)->Enabled()) << "watches before the failing one run";
    EXPECT_FALSE(Form1->WatchOfLine(1)->Enabled());
    EXPECT_FALSE(Form1->WatchOfLine(2)->Enabled()) << "the ones after it keep their state";
}

// A watched folder removed while watched: its line says why it stopped, as
// at a start, and the status bar no longer claims monitoring.
TEST_F(WatchList, AFolderRemovedWhileWatchedSaysSoOnItsLineAndInTheStatusBar) {
    TTempDir dir;
    fs::create_directory(dir / "gone");
    Form1->AddWatch(dir / "gone");
    ASSERT_EQ(Form1->StatusPanelText(0), "Monitoring enabled");
    const auto shown = [] { return Form1->lbWatches->model()->index(0, 0).data().toString().toStdString(); };
    ASSERT_TRUE(ProcessEventsUntil([&] { return shown().find("(watched") != std::string::npos; })) << shown();
    TakeErrorBoxes();
    fs::remove(dir / "gone");
    ASSERT_TRUE(ProcessEventsUntil([] { return !Form1->WatchOfLine(0)->Enabled(); }));
    EXPECT_EQ(shown(), dir / "gone" + "    (stopped: removed)");
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring not enabled");
    EXPECT_EQ(TakeErrorBoxes().size(), 1u);
}

// The error of a command started by a button or a menu item is shown where
// Qt calls the command, and the window goes on.
TEST_F(WatchList, AFailingGoShowsItsErrorFromTheButtonAndTheMenu) {
    TQtLog log;
    TTempDir dir;
    fs::create_directory(dir / "gone");
    Form1->AddWatch(dir / "gone");
    Form1->sbStopClick();
    fs::remove(dir / "gone");
    QAction* go = nullptr;
    for (QAction* item : Form1->menuBar()->actions()[1]->menu()->actions())
        if (item->text() == "Go")
            go = item;
    ASSERT_TRUE(go);
    EXPECT_NO_THROW(Form1->sbGo->click());
    EXPECT_NO_THROW(go->trigger());
    const std::vector<std::string> boxes = TakeErrorBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].rfind("Could not open directory", 0), 0u) << boxes[0];
    EXPECT_EQ(boxes[1], boxes[0]);
    EXPECT_FALSE(Form1->WatchOfLine(0)->Enabled());
    EXPECT_TRUE(log.TakeCritical().empty());
}

TEST_F(WatchList, WatchOptionsNeedAWatchAndMakeTheFirstLineCurrent) {
    Form1->sbOptionsClick();
    EXPECT_FALSE(OptionsForm->isVisible());
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    Form1->lbWatches->SetItemIndex(-1);
    QTimer::singleShot(0, OptionsForm, [] {
        EXPECT_TRUE(OptionsForm->isVisible());
        OptionsForm->reject();
    });
    Form1->sbOptionsClick();
    EXPECT_EQ(Form1->lbWatches->ItemIndex(), 0);
}

TEST_F(WatchList, FolderChosenInThePickerIsWatchedUntilPaused) {
    TTempDir dir;
    TDialogAnswers answers = TestDialogAnswers();
    answers.BrowseForFolder = [&](std::string& folder) {
        folder = dir.Path();
        return true;
    };
    SetDialogAnswers(answers);
    Form1->sbAddDirectoryClick();
    EXPECT_EQ(Form1->FLastFolder, dir.Path());
    ASSERT_EQ(Form1->lbWatches->Lines(), std::vector<std::string>{dir.Path()});
    ProcessEventsFor(std::chrono::milliseconds(200));
    dir.WriteFile("seen.txt");
    ASSERT_TRUE(ProcessEventsUntil([&] { return Form1->lbResults->FindText(dir.Path() + "/seen.txt") >= 0; }));
    Form1->sbStopClick();
    ProcessEventsFor(std::chrono::milliseconds(100));
    const int before = Form1->lbResults->Count();
    dir.WriteFile("unseen.txt");
    ProcessEventsFor(std::chrono::milliseconds(400));
    EXPECT_EQ(Form1->lbResults->Count(), before);

    answers.BrowseForFolder = [](std::string&) { return false; };
    SetDialogAnswers(answers);
    Form1->sbAddDirectoryClick();
    EXPECT_EQ(Form1->lbWatches->Count(), 1) << "a cancelled picker adds nothing";
}
