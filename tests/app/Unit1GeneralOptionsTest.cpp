#include "AppTesting.h"
#include "../dialogs/DialogTesting.h"

#include "dialogs/GeneralOptionsUnit.h"

#include "tray/TrayCompRunTime.h"

#include <QCheckBox>
#include <QToolButton>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using MainWindowOptions = TProgramTest;

TEST_F(MainWindowOptions, GeneralOptionsOpensModallyAndTheStatusBarFollows) {
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    EXPECT_EQ(Form1->StatusPanelText(1), "Brief Mode");
    QTimer::singleShot(0, [] {
        EXPECT_TRUE(GeneralOptionsForm->isModal() && GeneralOptionsForm->isVisible());
        GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
        GeneralOptionsForm->sbOkClick();
    });
    Form1->SpeedButton1->click();
    EXPECT_FALSE(GeneralOptionsForm->isVisible());
    EXPECT_EQ(Form1->StatusPanelText(1), "Verbose Mode");
}

TEST_F(MainWindowOptions, ShownWindowSetsUpTheTray) {
    std::ofstream(SettingsFile) << "[Misc]\nMinimize=T\n";
    Form1->show();
    EXPECT_TRUE(Form1->FTray->ShowIcon());
    EXPECT_FALSE(Form1->FTray->ShowInTaskBar());
    EXPECT_EQ(TrayLog.Adds, 2) << "the dialog's add, then the window's own, which fails";
    EXPECT_FALSE(HasTaskBarButton(TrayLog, *Form1));
    TrayLog.Live->Click(TTrayService::TClick::Left);
    EXPECT_FALSE(Form1->isVisible()) << "the icon's click reaches the hooked window";
    TrayLog.Live->Click(TTrayService::TClick::Left);
    EXPECT_TRUE(Form1->isVisible());
    Form1->sbExitClick();
    EXPECT_FALSE(TrayLog.IconShown) << "closing removes the icon";
    EXPECT_TRUE(HasTaskBarButton(TrayLog, *Form1));
}

// A real watch: a type excluded in the dialog hides the very next change of
// that type, while a change of another type is still listed.
TEST_F(MainWindowOptions, ATypeExcludedInTheDialogHidesTheNextChange) {
    TTempDir dir;
    GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    Form1->AddWatch(dir.Path());
    ProcessEventsFor(std::chrono::milliseconds(200));
    dir.WriteFile("before.tmp");
    const std::string before = "Added - " + dir / "before.tmp";
    ASSERT_TRUE(ProcessEventsUntil([&] {
        auto lines = ResultsWithoutTime();
        return std::find(lines.begin(), lines.end(), before) != lines.end();
    }));

    QTimer::singleShot(0, [] {
        AnswerFileType("TMP", true);
        GeneralOptionsForm->AddExcClick();
        GeneralOptionsForm->sbOkClick();
    });
    Form1->GeneralOptions1Click();
    ASSERT_EQ(GeneralOptionsForm->lbExcludedTypes->Lines(), std::vector<std::string>{"*.TMP"});

    Form1->sbClearClick();
    dir.WriteFile("after.tmp");
    dir.WriteFile("after.txt");
    const std::string listed = "Added - " + dir / "after.txt";
    ASSERT_TRUE(ProcessEventsUntil([&] {
        auto lines = ResultsWithoutTime();
        return std::find(lines.begin(), lines.end(), listed) != lines.end();
    }));
    for (const std::string& line : ResultsWithoutTime())
        EXPECT_EQ(line.find(".tmp"), std::string::npos) << line;
}

// The session's end, called off, must not leave the window without its icon.
// A session save asks the same as a session end; the program goes on, and
// the icon, with the window hidden in the tray, is left as it was.
TEST_F(MainWindowOptions, TheTrayIsLeftAloneWhenTheSessionIsOnlySaved) {
    std::ofstream(SettingsFile) << "[Misc]\nMinimize=T\n";
    Form1->show();
    TrayLog.Live->Click(TTrayService::TClick::Left);
    ASSERT_FALSE(Form1->isVisible());
    const int adds = TrayLog.Adds;
    Form1->SessionEnding();
    ProcessEventsFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(TrayLog.IconShown);
    EXPECT_EQ(TrayLog.Adds, adds) << "the icon was made again";
    TrayLog.Live->Click(TTrayService::TClick::Left);
    EXPECT_TRUE(Form1->isVisible()) << "the tray no longer knew the window was hidden";
}

// A real watch by fanotify: a change line names the program that made it in
// its hint and, once current, in the status bar; Exclude Program hides what
// that program does next, while another program's changes are still listed.
TEST_F(MainWindowOptions, ExcludeProgramHidesWhatThatProgramDoesNext) {
    TTempDir dir, programs;
    if (::geteuid() != 0 || !FanotifyServes(dir.Path()))
        GTEST_SKIP() << "only a watch by fanotify tells processes";
    const std::string writer = programs / "line-writer";
    std::filesystem::copy_file("/bin/sh", writer);
    // The writer waits before it writes: a process that ends a moment after
    // it starts may end before it can be named.
    auto write = [&](const std::string& program, const std::string& name) {
        return std::system(("'" + program + "' -c 'sleep 0.2; : > " + dir / name + "'").c_str()) == 0;
    };
    auto listed = [&](const std::string& name) {
        const auto lines = ResultsWithoutTime();
        return std::find(lines.begin(), lines.end(), "Added - " + dir / name) != lines.end();
    };
    Form1->AddWatch(dir.Path());
    ProcessEventsFor(std::chrono::milliseconds(200));
    ASSERT_TRUE(write(writer, "a.txt"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return listed("a.txt"); }));
    const std::string hint = Form1->lbResults->model()->index(0, 0).data(Qt::ToolTipRole).toString().toStdString();
    EXPECT_EQ(hint.rfind("Process: line-writer (pid ", 0), 0u) << hint;
    EXPECT_NE(hint.find(writer + ", user root)"), std::string::npos) << hint;
    Form1->lbResults->SetItemIndex(0);
    Form1->lbResults->SetSelected(0, true);
    Form1->UpdateStatusBar();
    EXPECT_EQ(Form1->StatusPanelText(3) + "\n" + dir / "a.txt", hint) << "the hint: the process, then the path";

    Form1->ExcludeProgram1Click();
    EXPECT_EQ(GeneralOptionsForm->lbExcludedPrograms->Lines(), std::vector<std::string>{writer});
    EXPECT_EQ(Form1->lbResults->Count(), 0);
    ASSERT_TRUE(write(writer, "b.txt"));
    ASSERT_TRUE(write("/bin/sh", "c.txt"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return listed("c.txt"); }));
    EXPECT_FALSE(listed("b.txt"));
}

// Where the helper is not allowed, the user is told and the watches go on
// as they were; once it serves, every watch reads through it, with the
// process behind each change, and only what the user may see.
TEST_F(MainWindowOptions, UseThePrivilegedHelperWatchesThroughItOrSaysWhyNot) {
    TTempDir dir;
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to start the helper for an ordinary user";
    const TEnvironmentScope ownWatchesByInotify("SENTREL_CHANGE_BACKEND", "inotify");
    ::chmod(dir.Path().c_str(), 0755);
    dir.MakeDir("secret");
    ::chmod((dir / "secret").c_str(), 0700);
    Form1->AddWatch(dir.Path());
    auto watchLine = [] { return Form1->lbWatches->model()->index(0, 0).data().toString().toStdString(); };
    ASSERT_TRUE(ProcessEventsUntil([&] { return watchLine().find("watched by inotify") != std::string::npos; }));

    // pkexec as it answers where polkit's service is not running.
    Form1->HelperCommand = {"sh", "-c", "echo 'Error getting authority: Could not connect' >&2; exit 127"};
    Form1->UsePrivilegedHelper1Click();
    std::vector<std::string> boxes;
    ASSERT_TRUE(ProcessEventsUntil([&] { return !(boxes = TakeErrorBoxes()).empty(); }));
    EXPECT_NE(watchLine().find("watched by inotify"), std::string::npos) << watchLine();
    EXPECT_NE(boxes[0].find("pkexec could not run it: Error getting authority: Could not connect"), std::string::npos)
        << "pkexec's own words: " << boxes[0];
    EXPECT_NE(boxes[0].find(dir.Path() + " (2 folders watched by inotify"), std::string::npos)
        << "how the folders are really watched: " << boxes[0];

    Form1->HelperCommand = {"env", "PKEXEC_UID=65534", SENTREL_HELPER};
    Form1->UsePrivilegedHelper1Click();
    ASSERT_TRUE(ProcessEventsUntil([&] {
        return watchLine().find("fanotify through the privileged helper") != std::string::npos;
    })) << watchLine();
    ASSERT_EQ(std::system(("touch " + dir / "secret/hidden " + dir / "seen").c_str()), 0);
    // Brief display: the file's newest change stands for it.
    auto ofSeen = [&](const std::string& line) { return line.ends_with(" - " + dir / "seen"); };
    ASSERT_TRUE(ProcessEventsUntil([&] {
        const auto lines = ResultsWithoutTime();
        return std::find_if(lines.begin(), lines.end(), ofSeen) != lines.end();
    }));
    ProcessEventsFor(std::chrono::milliseconds(300));
    const auto lines = ResultsWithoutTime();
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("secret/"), std::string::npos) << "only what the user may see: " << line;
    const int row = static_cast<int>(std::find_if(lines.begin(), lines.end(), ofSeen) - lines.begin());
    const std::string hint = Form1->lbResults->model()->index(row, 0).data(Qt::ToolTipRole).toString().toStdString();
    EXPECT_EQ(hint.rfind("Process: touch (pid ", 0), 0u) << hint;
}
