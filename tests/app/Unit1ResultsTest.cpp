#include "AppTesting.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "platform/desktop/ProcessStart.h"
#include "platform/desktop/ShellOpen.h"
#include "records/PathText.h"
#include "records/ResultLines.h"
#include "settings/UtilObj.h"

#include <QApplication>
#include <QCheckBox>
#include <QDate>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QStatusBar>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

namespace fs = std::filesystem;

namespace {
using TWords = std::vector<std::string>;

std::string StatusMessage() {
    return Form1->statusBar()->currentMessage().toStdString();
}

QAction* MenuItem(QMenu* menu, const char* caption) {
    for (QAction* action : menu->actions())
        if (action->text() == QLatin1String(caption))
            return action;
    return nullptr;
}

// A double-click as the mouse makes it: press, release, press again.
void DoubleClickLine(int line) {
    QWidget* viewport = Form1->lbResults->viewport();
    const QPointF at = Form1->lbResults->visualRect(Form1->lbResults->model()->index(line, 0)).center();
    const QPointF global = viewport->mapToGlobal(at);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                              QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, at, global, Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &event);
    }
}

// Records what would be opened or started in place of the desktop and the
// system; puts the tests' standing answers back afterwards.
class TResultCommands : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
        SetShellOpenAnswer([this](const std::string& target) {
            Opened.push_back(target);
            return true;
        });
        SetProcessStartAnswer([this](const TWords& command) {
            Started.push_back(command);
            return StartSucceeds;
        });
    }
    void TearDown() override {
        SetShellOpenAnswer([](const std::string&) { return true; });
        SetProcessStartAnswer([](const TWords&) { return true; });
        TProgramTest::TearDown();
    }

    // One change line per name, in the order given, from a watch on folder.
    void List(const std::string& folder, const TWords& names, int action = 3) {
        auto sender = SenderOn(folder);
        for (const std::string& name : names)
            Form1->BriskoDirWatch1Notify(sender.get(), action, name);
    }
    void Select(std::initializer_list<int> lines) {
        for (int line : lines)
            Form1->lbResults->SetSelected(line, true);
    }

    std::vector<std::string> Opened;
    std::vector<TWords> Started;
    bool StartSucceeds = true;
};
using ResultCommands = TResultCommands;
} // namespace

// A folder on another file system, which its tree's watch leaves out, is
// watched on its own when asked; what is no folder is not.
TEST_F(ResultCommands, WatchItTooWatchesTheFolderOfALine) {
    TTempDir dir;
    dir.MakeDir("media/usb");
    dir.WriteFile("a.txt");
    auto sender = SenderOn(dir.Path());
    TDirWatchStatus mount;
    mount.Kind = TDirWatchStatus::TKind::NotCovered;
    mount.Folder = "media/usb";
    mount.Reason = "another file system";
    Form1->BriskoDirWatch1Status(sender.get(), mount);
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "a.txt");
    for (int line : {0, 1}) {
        Form1->lbResults->SetSelected(line, true);
        Form1->lbResults->SetItemIndex(line);
        MenuItem(Form1->PopupMenu1, "Watch It Too")->trigger();
        Form1->lbResults->SetSelected(line, false);
    }
    EXPECT_EQ(Form1->lbWatches->Lines(), std::vector<std::string>{dir / "media/usb"});
    EXPECT_EQ(TakeErrorBoxes(),
              std::vector<std::string>{"Cannot watch " + dir / "a.txt" + ": it is not a folder, or no longer there."});
}

// The menu key and Shift+F10 open the line's menu at the current line, as
// list views do; Watch It Too is offered on a folder's line only.
TEST_F(ResultCommands, TheKeyboardOpensTheLinesMenuWhichOffersWatchItTooOnAFoldersLineOnly) {
    TTempDir dir;
    dir.MakeDir("sub");
    dir.WriteFile("a.txt");
    auto sender = SenderOn(dir.Path());
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "sub");
    Form1->BriskoDirWatch1Notify(sender.get(), 1, "a.txt");
    const struct {
        int Line;
        Qt::Key Key;
        Qt::KeyboardModifiers Modifiers;
        bool Folder;
    } cases[] = {{0, Qt::Key_Menu, Qt::NoModifier, true}, {1, Qt::Key_F10, Qt::ShiftModifier, false}};
    for (const auto& [line, key, modifiers, folder] : cases) {
        Form1->lbResults->SetSelected(line, true);
        Form1->lbResults->SetItemIndex(line);
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(Form1->lbResults, &press);
        EXPECT_TRUE(Form1->PopupMenu1->isVisible()) << Form1->lbResults->Line(line);
        EXPECT_EQ(MenuItem(Form1->PopupMenu1, "Watch It Too")->isEnabled(), folder) << Form1->lbResults->Line(line);
        Form1->PopupMenu1->hide();
        Form1->lbResults->SetSelected(line, false);
    }
}

TEST_F(ResultCommands, ExcludingTakesEverySelectedLineAndNoOther) {
    List("/w", {"a", "b", "c", "d", "e"});
    Select({0, 2, 3});
    Form1->ExcludeFile1Click();
    EXPECT_EQ(ResultsWithoutTime(), (TWords{"Modified - /w/b", "Modified - /w/e"})) << "adjacent lines both leave";
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), (TWords{"/w/a", "/w/c", "/w/d"}));
    EXPECT_EQ(Form1->StatusPanelText(2), "1/2") << "the status bar follows";

    Form1->lbResults->Clear();
    List("/w", {"f", "g", "f", "f"});
    Select({0, 2});
    MenuItem(Form1->PopupMenu1, "Exclude File")->trigger();
    EXPECT_EQ(ResultsWithoutTime(), (TWords{"Modified - /w/g", "Modified - /w/f"}))
        << "an unselected line of the same file stays";
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), (TWords{"/w/a", "/w/c", "/w/d", "/w/f", "/w/f"}))
        << "file entries are not checked for duplicates";
}

// Exclude Path on a line of a folder right below a watched folder would
// hide the whole watch: the user is asked first, and the watch line says so
// for as long as it holds.
TEST_F(ResultCommands, AnExclusionThatHidesAWholeWatchIsAskedForAndShown) {
    TTempDir dir;
    dir.MakeDir("sub/deeper");
    Form1->AddWatch(dir.Path());
    const auto watchLine = [] { return Form1->lbWatches->model()->index(0, 0).data().toString().toStdString(); };
    ASSERT_TRUE(ProcessEventsUntil([&] { return watchLine().find("watched") != std::string::npos; })) << watchLine();
    const std::string question = "This hides every change in " + dir.Path() + ": exclude it anyway?";
    struct TCase {
        std::string Line; // listed in dir
        bool Yes;
        std::vector<std::string> Asked, Excluded;
    };
    const std::vector<TCase> cases = {
        {"sub/deeper/x", true, {}, {dir / "sub/deeper/"}},
        {"sub", false, {question}, {dir / "sub/deeper/"}},
        {"sub", true, {question}, {dir / "sub/deeper/", dir / ""}},
    };
    for (const TCase& test : cases) {
        Form1->sbClearClick();
        List(dir.Path(), {test.Line});
        Select({0});
        TDialogAnswers answers = TestDialogAnswers();
        answers.Confirm = [&](const std::string&, const std::string& asked) {
            Questions().push_back(asked);
            return test.Yes;
        };
        SetDialogAnswers(answers);
        Questions().clear();
        Form1->ExcludePath1Click();
        SetDialogAnswers(TestDialogAnswers());
        EXPECT_EQ(Questions(), test.Asked) << test.Line;
        EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), test.Excluded) << test.Line;
        EXPECT_EQ(Form1->lbResults->Count(), test.Yes ? 0 : 1) << "a refused exclusion keeps its line";
    }
    EXPECT_TRUE(ProcessEventsUntil([&] { return watchLine().ends_with("(everything excluded)"); })) << watchLine();
    GeneralOptionsForm->Clear1Click();
    EXPECT_TRUE(ProcessEventsUntil([&] { return watchLine().find("excluded") == std::string::npos; })) << watchLine();
}

TEST_F(ResultCommands, ExcludingAPathTakesTheLinesFolder) {
    List("/w", {"sub/a.txt", "sub/deeper/b.txt", "other - x/c.txt", "d.txt"});
    Select({0});
    MenuItem(Form1->PopupMenu1, "Exclude Path")->trigger();
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), TWords{"/w/sub/"});
    Select({0, 1});
    Form1->ExcludePath1Click();
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), (TWords{"/w/sub/", "/w/other - x/"}))
        << "a folder already covered is not added again, yet its line leaves";
    EXPECT_EQ(ResultsWithoutTime(), TWords{"Modified - /w/d.txt"});

    List("/w", {"sub/new.txt", "other - x/new.txt", "d.txt"}, 1);
    EXPECT_EQ(ResultsWithoutTime(), (TWords{"Modified - /w/d.txt", "Added - /w/d.txt"}))
        << "changes below an excluded folder are listed no more";
}

TEST_F(ResultCommands, DoubleClickExcludesTheLinesFile) {
    Form1->show();
    List("/w", {"a", "b", "c"});
    DoubleClickLine(1);
    EXPECT_EQ(ResultsWithoutTime(), (TWords{"Modified - /w/a", "Modified - /w/c"}));
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), TWords{"/w/b"});
}

// Linux names may hold " - ", begin or end with blanks, hold bytes that are
// not UTF-8, line breaks or terminal controls: each is one line, quoted
// where needed, and every command gets the path exactly as it is on disk.
TEST_F(ResultCommands, EveryCommandTakesThePathWhole) {
    TTempDir dir;
    const TWords names = {"a - b.txt", " lead", "trail ", "caf\xe9 - \xff.txt", "x-y -z",
                          "x\n12:00:00 - Removed - /etc/passwd", "\x1b[2J\x1b]0;t\x07", "$'q'"};
    for (const std::string& name : names) {
        fs::create_directories(fs::path(dir / name).parent_path());
        dir.WriteFile(name);
    }
    GeneralOptionsForm->ebHexEditor->setText("hexedit");
    List(dir.Path(), names);
    ASSERT_EQ(Form1->lbResults->Count(), static_cast<int>(names.size()));
    for (int line = 0; line < Form1->lbResults->Count(); ++line) {
        const std::string text(Form1->lbResults->Line(line));
        EXPECT_EQ(PathOfShown(ResultFilePath(text)), dir / names[static_cast<size_t>(line)]);
        EXPECT_EQ(std::count_if(text.begin(), text.end(), [](unsigned char c) { return c < 0x20; }), 0) << text;
        Form1->lbResults->SetSelected(line, true);
        Form1->lbResults->SetItemIndex(line);
        Form1->Openthisfile1Click();
        Form1->Hexeditthisfile1Click();
        Form1->lbResults->SetSelected(line, false);
    }
    TWords paths, editorPaths;
    for (const std::string& name : names)
        paths.push_back(dir / name);
    EXPECT_EQ(Opened, paths);
    for (const TWords& command : Started)
        editorPaths.push_back(command.back());
    EXPECT_EQ(editorPaths, paths);

    Select({0, 3, 4, 5, 6});
    Form1->ExcludeFile1Click();
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), (TWords{paths[0], paths[3], paths[4], paths[5], paths[6]}));
    List(dir.Path(), {"x\n12:00:00 - Removed - /etc/passwd", "x", "$'q'"});
    EXPECT_EQ(Form1->lbResults->Count(), 5) << "only the excluded file is hidden, not a look-alike";
}

TEST_F(ResultCommands, OpenAndHexEditActOnTheCurrentLineOfASelection) {
    TTempDir dir;
    for (const char* name : {"a", "b", "c"})
        dir.WriteFile(name);
    GeneralOptionsForm->ebHexEditor->setText("hexedit");
    List(dir.Path(), {"a", "b", "c"});
    Form1->Openthisfile1Click();
    Form1->Hexeditthisfile1Click();
    EXPECT_TRUE(Opened.empty() && Started.empty()) << "nothing without a selected line";

    Select({0, 2});
    Form1->lbResults->SetItemIndex(1);
    MenuItem(Form1->PopupMenu1, "Open This File")->trigger();
    MenuItem(Form1->PopupMenu1, "Hex Edit This File")->trigger();
    EXPECT_EQ(Opened, TWords{dir / "b"});
    EXPECT_EQ(Started, std::vector<TWords>{TWords({"hexedit", dir / "b"})});
    EXPECT_EQ(StatusMessage(), "");
}

TEST_F(ResultCommands, HexEditorSettingIsAProgramAndItsArguments) {
    TTempDir dir;
    dir.WriteFile("hex editor");
    List("/w", {"a"});
    Select({0});
    const std::vector<std::pair<std::string, TWords>> cases = {
        {"  '/opt/my hex/hx' --readonly \"two words\" ", {"/opt/my hex/hx", "--readonly", "two words", "/w/a"}},
        {dir / "hex editor", {dir / "hex editor", "/w/a"}},
    };
    for (const auto& [setting, command] : cases) {
        Started.clear();
        GeneralOptionsForm->ebHexEditor->setText(QString::fromStdString(setting));
        Form1->Hexeditthisfile1Click();
        EXPECT_EQ(Started, std::vector<TWords>{command}) << setting;
    }
}

// Where the desktop or the system could not act, the user learns it in the
// status bar instead of seeing nothing happen.
TEST_F(ResultCommands, WhatCannotBeOpenedOrStartedIsToldInTheStatusBar) {
    TTempDir dir;
    dir.WriteFile("here");
    List(dir.Path(), {"here", "gone"});
    Select({1});
    Form1->lbResults->SetItemIndex(1);
    Form1->Openthisfile1Click();
    EXPECT_EQ(StatusMessage(), "Cannot open " + (dir / "gone") + ": No such file or directory");
    EXPECT_TRUE(Opened.empty());
    Form1->lbResultsClick();
    EXPECT_EQ(StatusMessage(), "") << "the next command clears it";

    GeneralOptionsForm->ebHexEditor->setText(" ");
    Form1->Hexeditthisfile1Click();
    EXPECT_EQ(StatusMessage(), "No hex editor is set: choose one in General Options");
    GeneralOptionsForm->ebHexEditor->setText("'hx");
    Form1->Hexeditthisfile1Click();
    EXPECT_EQ(StatusMessage(), "The hex editor setting has a quotation mark that is not closed");
    EXPECT_TRUE(Started.empty());

    StartSucceeds = false;
    GeneralOptionsForm->ebHexEditor->setText("hx -r");
    Form1->Hexeditthisfile1Click();
    EXPECT_EQ(StatusMessage(), "Cannot start the hex editor hx: ");
    EXPECT_EQ(Started, std::vector<TWords>{TWords({"hx", "-r", dir / "gone"})})
        << "an editor may create the file it is given";

    SetProcessStartAnswer({});
    GeneralOptionsForm->ebHexEditor->setText("sentrel-no-such-editor");
    Form1->Hexeditthisfile1Click();
    EXPECT_EQ(StatusMessage(), "Cannot start the hex editor sentrel-no-such-editor: No such file or directory");
    EXPECT_TRUE(TakeErrorBoxes().empty());
}

// A real start: a script records the arguments it receives, one per NUL.
TEST_F(ResultCommands, TheHexEditorReceivesTheFileNameAsOneArgument) {
    TTempDir dir;
    const std::string record = dir / "args";
    const std::string script = dir / "record args";
    dir.WriteFile("record args", "#!/bin/sh\nprintf '%s\\0' \"$@\" > '" + record + ".part' && mv '" + record +
                                     ".part' '" + record + "'\n");
    fs::permissions(script, fs::perms::owner_all);
    const std::string name = "a b'c\"d;e $(touch pwned) `touch pwned2` \xff.bin";
    List(dir.Path(), {name});
    Select({0});
    SetProcessStartAnswer({});
    GeneralOptionsForm->ebHexEditor->setText(QString::fromStdString("'" + script + "' --from \"the list\""));
    Form1->Hexeditthisfile1Click();
    EXPECT_EQ(StatusMessage(), "");
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(record) && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadAll(record), std::string("--from\0the list\0", 16) + dir / name + '\0');
    EXPECT_FALSE(fs::exists(dir / "pwned") || fs::exists(dir / "pwned2") || fs::exists("pwned"));
}

TEST_F(ResultCommands, SaveListWritesEveryLineFromTheHomeFolder) {
    TTempDir dir;
    List("/w", {"a - b", "caf\xe9"});
    Select({0});
    std::string offered, startedIn;
    TDialogAnswers answers = TestDialogAnswers();
    answers.FileDialog = [&](TFileDialog& dialog) {
        offered = dialog.FileName;
        startedIn = dialog.InitialDir;
        dialog.FileName = dir / "saved.txt";
        return true;
    };
    SetDialogAnswers(answers);
    MenuItem(Form1->PopupMenu1, "Save List")->trigger();
    EXPECT_EQ(offered, "WatchListing.txt");
    EXPECT_EQ(startedIn, QDir::homePath().toStdString());
    const TWords lines = Form1->lbResults->Lines();
    EXPECT_EQ(ReadAll(dir / "saved.txt"), lines[0] + "\r\n" + lines[1] + "\r\n");
    EXPECT_EQ(Form1->lbResults->Count(), 2);
}

// Other programs read a saved CSV or JSON Lines file on other days: the time
// there is whole, as the line was made, though the line shows the clock only.
TEST_F(ResultCommands, SaveListForOtherProgramsGivesTheWholeTimeOfEachLine) {
    TTempDir dir;
    List("/w", {"a"});
    const std::string clock(Form1->lbResults->Line(0).substr(0, 8));
    const std::string today = QDate::currentDate().toString(Qt::ISODate).toStdString();
    const std::regex whole(R"(\d{4}-\d\d-\d\dT)" + clock + R"([+-]\d\d:\d\d)");
    for (const std::string name : {"saved.csv", "saved.jsonl"}) {
        TDialogAnswers answers = TestDialogAnswers();
        answers.FileDialog = [&](TFileDialog& dialog) {
            dialog.FileName = dir / name;
            return true;
        };
        SetDialogAnswers(answers);
        MenuItem(Form1->PopupMenu1, "Save List")->trigger();
        const std::string saved = ReadAll(dir / name);
        std::smatch time;
        ASSERT_TRUE(std::regex_search(saved, time, whole)) << saved;
        EXPECT_LE(std::abs(QDate::fromString(QString::fromStdString(time.str().substr(0, 10)), Qt::ISODate)
                               .daysTo(QDate::fromString(QString::fromStdString(today), Qt::ISODate))),
                  1)
            << saved;
    }
}

TEST_F(ResultCommands, SaveListOnAFullDiskKeepsTheOldListAndSaysSo) {
    TTempDir dir;
    TSmallFileSystem small(dir / "small");
    if (!small.Mounted())
        GTEST_SKIP() << "a full disk needs a file system of the test's own, which only root may mount";
    const std::string saved = dir / "small/WatchListing.txt";
    std::ofstream(saved) << "12:00:00 - Added - /old\r\n";
    List("/w", TWords(200, "a rather long name of a changed file.txt"));
    small.Fill();
    TDialogAnswers answers = TestDialogAnswers();
    answers.FileDialog = [&](TFileDialog& dialog) {
        dialog.FileName = saved;
        return true;
    };
    SetDialogAnswers(answers);
    MenuItem(Form1->PopupMenu1, "Save List")->trigger();
    EXPECT_EQ(TakeErrorBoxes(), TWords{"Cannot write file " + saved + "\r\nNo space left on device."});
    EXPECT_EQ(ReadAll(saved), "12:00:00 - Added - /old\r\n");
}

TEST_F(ResultCommands, EditIniFileOpensTheSettingsFileInUse) {
    const std::string settings = UtilObj.GetIniFileName();
    fs::remove(settings);
    QMenu* file = Form1->menuBar()->actions()[0]->menu();
    MenuItem(file, "Edit INI file")->trigger();
    EXPECT_EQ(Opened, TWords{settings});
    EXPECT_TRUE(fs::exists(settings)) << "an absent file is created first, so there is something to open";
}
