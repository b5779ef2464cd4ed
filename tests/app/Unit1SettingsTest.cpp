#include "AppTesting.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/OptionsUnit.h"
#include "history/Snapshot.h"
#include "platform/files/FileReplace.h"
#include "platform/journal/SystemJournal.h"
#include "tray/TrayCompRunTime.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QStatusBar>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <signal.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {
std::vector<std::string> Section(const std::string& name) {
    std::vector<std::string> lines;
    UtilObj.ReadSection(name, lines);
    return lines;
}

// The section headers of the file, in file order.
std::vector<std::string> SectionNames(const std::string& path) {
    std::vector<std::string> names;
    std::istringstream text(ReadAll(path));
    for (std::string line; std::getline(text, line);)
        if (!line.empty() && line.front() == '[')
            names.push_back(line);
    return names;
}

std::vector<std::string> ErrorsContaining(const std::vector<std::string>& boxes, const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& box : boxes)
        if (box.find(text) != std::string::npos)
            found.push_back(box);
    return found;
}
} // namespace

class MainWindowSettings : public TProgramTest {
protected:
    void WriteSettings(const std::string& text) { std::ofstream(SettingsFile) << text; }
    // The program again, as started anew, reading the file the last one left.
    void Restart() {
        Forms.reset();
        Forms = std::make_unique<TProgramForms>();
    }
};

TEST_F(MainWindowSettings, StartWithoutAFileThenCloseWritesTheDefaults) {
    Form1->show();
    EXPECT_FALSE(GeneralOptionsForm->cbMinToTray->isChecked());
    EXPECT_FALSE(Form1->FTray->ShowIcon());
    EXPECT_EQ(OptionsForm->ListBox1->Lines(),
              (std::vector<std::string>{"file_name", "file_write_date", "file_creation_date"}));
    EXPECT_EQ(Form1->StatusPanelText(0), "") << "no saved watches: the status bar stays blank";
    Form1->sbExitClick();

    EXPECT_EQ(SectionNames(SettingsFile),
              (std::vector<std::string>{"[Layout]", "[WatchProperties]", "[Misc]", "[History]"}));
    EXPECT_EQ(Section("History"),
              (std::vector<std::string>{"Keep=T", "Days=30", "Records=10000000", "ListLimit=1000000"}));
    const auto layout = Section("Layout");
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout[0].rfind("Top=", 0), 0u);
    EXPECT_EQ(layout[1].rfind("Left=", 0), 0u);
    EXPECT_EQ(layout[2].rfind("Width=", 0), 0u);
    EXPECT_EQ(layout[3].rfind("Height=", 0), 0u);
    EXPECT_EQ(Section("WatchProperties"),
              (std::vector<std::string>{"0=file_name", "1=file_write_date", "2=file_creation_date"}));
    EXPECT_EQ(Section("Misc"), (std::vector<std::string>{"Minimize=F", "HexEditor=", "Journal=F"}));
    EXPECT_TRUE(TakeErrorBoxes().empty());
}

TEST_F(MainWindowSettings, OnlyACapitalTChecksMinimiseToTray) {
    for (const char* value : {"t", "True", "1", "", " T"}) {
        GeneralOptionsForm->cbMinToTray->setChecked(true);
        Form1->ApplySection("Misc", {std::string("Minimize=") + value});
        EXPECT_FALSE(GeneralOptionsForm->cbMinToTray->isChecked()) << '"' << value << '"';
    }
    Form1->ApplySection("Misc", {"minimize=T", "hexeditor=/opt/hex", "journal=T"});
    EXPECT_TRUE(GeneralOptionsForm->cbMinToTray->isChecked()) << "keys ignore case";
    EXPECT_TRUE(GeneralOptionsForm->cbJournal->isChecked());
    // Where no journal runs (as in a test), the option is kept but greyed, and says why.
    const std::optional<std::string> unavailable = JournalUnavailable();
    EXPECT_EQ(GeneralOptionsForm->cbJournal->isEnabled(), !unavailable);
    EXPECT_EQ(GeneralOptionsForm->cbJournal->toolTip().toStdString(),
              unavailable ? "Not available: " + *unavailable : std::string());
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/hex");
    Form1->ApplySection("Misc", {});
    EXPECT_FALSE(GeneralOptionsForm->cbMinToTray->isChecked()) << "a missing section unchecks it";
    EXPECT_FALSE(GeneralOptionsForm->cbJournal->isChecked());
    EXPECT_TRUE(GeneralOptionsForm->ebHexEditor->text().isEmpty());

    WriteSettings("[Misc]\nMinimize=T\n");
    Form1->show();
    EXPECT_TRUE(GeneralOptionsForm->cbMinToTray->isChecked());
    EXPECT_TRUE(Form1->FTray->ShowIcon());
    EXPECT_FALSE(Form1->FTray->ShowInTaskBar());
}

TEST_F(MainWindowSettings, EverythingComesBackAfterARestart) {
    TTempDir one, two;
    WriteSettings("[Mine]\nkept=yes\n");
    Form1->show();
    Form1->AddWatch(one.Path());
    Form1->AddWatch(two.Path());
    GeneralOptionsForm->lbExcluded->Add("/var/tmp/");
    GeneralOptionsForm->lbExcluded->Add("/home/ann/a - b.txt");
    GeneralOptionsForm->lbExcludedTypes->Add("*.tmp");
    GeneralOptionsForm->lbIncludedTypes->Add("*.txt");
    OptionsForm->ListBox1->Clear();
    OptionsForm->ListBox1->Add("dir_name");
    GeneralOptionsForm->cbMinToTray->setChecked(true);
    GeneralOptionsForm->ebHexEditor->setText("/opt/hex ed --mode=x");
    GeneralOptionsForm->seHistoryDays->setValue(7);
    GeneralOptionsForm->seHistoryRecords->setValue(5000);
    GeneralOptionsForm->seListLimit->setValue(2000);
    Form1->setGeometry(40, 50, 520, 410);
    Form1->sbExitClick();
    EXPECT_EQ(Section("History"), (std::vector<std::string>{"Keep=T", "Days=7", "Records=5000", "ListLimit=2000"}));
    EXPECT_EQ(Section("Mine"), (std::vector<std::string>{"kept=yes"})) << "sections of other names stay";

    Restart();
    Form1->show();
    EXPECT_EQ(Form1->lbWatches->Lines(), (std::vector<std::string>{one.Path(), two.Path()}));
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(Form1->WatchOfLine(i), nullptr);
        EXPECT_TRUE(Form1->WatchOfLine(i)->Enabled());
        TDirWatchOptions names;
        names.Include(dw_dir_name);
        EXPECT_EQ(Form1->WatchOfLine(i)->Options(), names) << "options applied to the loaded watches";
    }
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), (std::vector<std::string>{"/var/tmp/", "/home/ann/a - b.txt"}));
    EXPECT_EQ(GeneralOptionsForm->lbExcludedTypes->Lines(), std::vector<std::string>{"*.tmp"});
    EXPECT_EQ(GeneralOptionsForm->lbIncludedTypes->Lines(), std::vector<std::string>{"*.txt"});
    EXPECT_EQ(OptionsForm->ListBox1->Lines(), std::vector<std::string>{"dir_name"});
    EXPECT_TRUE(GeneralOptionsForm->cbMinToTray->isChecked());
    EXPECT_TRUE(Form1->FTray->ShowIcon());
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/hex ed --mode=x");
    EXPECT_EQ(GeneralOptionsForm->HistorySettings().Retention.Days, 7);
    EXPECT_EQ(GeneralOptionsForm->HistorySettings().Retention.Records, 5000);
    EXPECT_EQ(GeneralOptionsForm->HistorySettings().ListLimit, 2000);
    EXPECT_EQ(Form1->geometry(), QRect(40, 50, 520, 410));
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring enabled");
    EXPECT_TRUE(TakeErrorBoxes().empty());
}

TEST_F(MainWindowSettings, GapsInAListSectionLoseNothingAndTheNextSaveRenumbers) {
    TTempDir one, two, current;
    const fs::path before = fs::current_path();
    fs::current_path(current.Path());
    WriteSettings("[WatchDirs]\n0=" + one.Path() + "\n1=\n2=" + two.Path() +
                  "\n5=   \n"
                  "[ExcludedFileTypes]\n3=*.b\nother=*.x\n0=*.a\n");
    Form1->show();
    fs::current_path(before);
    EXPECT_EQ(Form1->lbWatches->Lines(), (std::vector<std::string>{one.Path(), two.Path()}))
        << "every numbered key whatever the gaps; no watch of an empty or blank entry";
    EXPECT_EQ(GeneralOptionsForm->lbExcludedTypes->Lines(), (std::vector<std::string>{"*.a", "*.b"}));
    EXPECT_TRUE(TakeErrorBoxes().empty());
    Form1->sbExitClick();
    EXPECT_EQ(Section("WatchDirs"), (std::vector<std::string>{"0=" + one.Path(), "1=" + two.Path()}));
    EXPECT_EQ(Section("ExcludedFileTypes"), (std::vector<std::string>{"0=*.a", "1=*.b"}));
}

// A name is any bytes but "/" and NUL: one that holds a line break and the
// text of a section must come back as the same name, and set nothing else.
TEST_F(MainWindowSettings, ANameCannotPlantASetting) {
    enum class TRoute { ExcludeFile, ExcludePath, WatchedFolder };
    for (const char* lineBreak : {"\n", "\r", "\r\n"}) {
        for (TRoute route : {TRoute::ExcludeFile, TRoute::ExcludePath, TRoute::WatchedFolder}) {
            SCOPED_TRACE(testing::Message() << "route " << static_cast<int>(route) << ", break "
                                            << (lineBreak[0] == '\n' ? "LF"
                                                : lineBreak[1]       ? "CR LF"
                                                                     : "CR"));
            const std::string br = lineBreak;
            const std::string name = "a" + br + "END_OF_TEXT" + br + "[Misc]" + br +
                                     "HexEditor=sh -c 'touch /tmp/owned' x" + br + "zz=<<<NEVER";
            TTempDir dir;
            dir.MakeDir(name);
            fs::remove(SettingsFile);
            Restart();
            Form1->show();
            GeneralOptionsForm->ebHexEditor->setText("/opt/real-hex");
            std::string expected;
            auto sender = SenderOn(dir.Path());
            if (route == TRoute::ExcludeFile) {
                Form1->BriskoDirWatch1Notify(sender.get(), 3, name);
                Form1->lbResults->SetSelected(0, true);
                Form1->ExcludeFile1Click();
                expected = dir / name;

            } else if (route == TRoute::ExcludePath) {
                Form1->BriskoDirWatch1Notify(sender.get(), 3, name + "/f.txt");
                Form1->lbResults->SetSelected(0, true);
                Form1->ExcludePath1Click();
                expected = dir / name + "/";
            } else {
                Form1->AddWatch(dir / name);
            }
            GeneralOptionsForm->lbIncludedTypes->Add("*.txt");
            Form1->sbExitClick();
            Restart();
            Form1->show();
            EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/real-hex");
            EXPECT_EQ(GeneralOptionsForm->lbIncludedTypes->Lines(), std::vector<std::string>{"*.txt"})
                << "every later section is read";
            if (route == TRoute::WatchedFolder) {
                EXPECT_EQ(Form1->lbWatches->Lines(), std::vector<std::string>{dir / name});
            } else {
                EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), std::vector<std::string>{expected});
            }
            EXPECT_TRUE(TakeErrorBoxes().empty());
            Form1->sbExitClick();
        }
    }
}

TEST_F(MainWindowSettings, ASavedFolderThatIsGoneStaysListedSaysWhyAndLoadingGoesOn) {
    TTempDir there;
    const std::string gone = there / "gone";
    const std::string file = there / "a file";
    std::ofstream(file) << "x";
    WriteSettings("[WatchDirs]\n0=" + gone + "\n1=" + file + "\n2=" + there.Path() +
                  "\n[WatchProperties]\n0=file_name\n[Misc]\nMinimize=T\nHexEditor=/opt/hex\n"
                  "[IncludedFileTypes]\n0=*.txt\n");
    Form1->show();
    const auto boxes = TakeErrorBoxes();
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(ErrorsContaining(boxes, gone).size(), 1u) << "each error is shown once";
    EXPECT_EQ(Form1->lbWatches->Lines(), (std::vector<std::string>{gone, file, there.Path()}));
    const auto shown = [](int line) {
        return Form1->lbWatches->model()->index(line, 0).data().toString().toStdString();
    };
    EXPECT_EQ(shown(0), gone + "    (stopped: not found)");
    EXPECT_EQ(shown(1), file + "    (stopped: not a folder)");
    ASSERT_NE(Form1->WatchOfLine(0), nullptr);
    EXPECT_FALSE(Form1->WatchOfLine(0)->Enabled());
    ASSERT_NE(Form1->WatchOfLine(2), nullptr);
    EXPECT_TRUE(Form1->WatchOfLine(2)->Enabled()) << "a later folder is still watched";
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring enabled") << "one watch runs";
    EXPECT_EQ(GeneralOptionsForm->lbIncludedTypes->Lines(), std::vector<std::string>{"*.txt"});
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/hex");
    EXPECT_TRUE(Form1->FTray->ShowIcon()) << "the tray is set up";

    Form1->sbExitClick();
    EXPECT_TRUE(TakeErrorBoxes().empty());
    EXPECT_EQ(Section("WatchDirs"), (std::vector<std::string>{"0=" + gone, "1=" + file, "2=" + there.Path()}));
    EXPECT_EQ(Section("IncludedFileTypes"), std::vector<std::string>{"0=*.txt"});
}

TEST_F(MainWindowSettings, AReadOnlySettingsFolderAtCloseIsReportedOnceAndTheProgramEnds) {
    TTempDir watched;
    WriteSettings("[Misc]\nMinimize=F\n[IncludedFileTypes]\n0=*.txt\n");
    Form1->show();
    Form1->AddWatch(watched.Path());
    const std::string before = ReadAll(SettingsFile);
    {
        TReadOnlyFolder readOnly(SettingsDir.Path());
        if (!readOnly.Effective())
            GTEST_SKIP() << "no way to make a read-only folder here";
        Form1->sbExitClick();
        const auto boxes = TakeErrorBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_THAT(boxes[0], ::testing::StartsWith("Unable to write to " + SettingsFile + "\r\n"))
            << "the path, then the system's reason";
        EXPECT_FALSE(Form1->isVisible());
        EXPECT_EQ(Form1->WatchOfLine(0), nullptr) << "the watches are released";
        EXPECT_EQ(Form1->FTray, nullptr);
        Form1->FormCloseQuery(); // a second close request: nothing freed twice, nothing shown again
        EXPECT_TRUE(TakeErrorBoxes().empty());
    }
    EXPECT_EQ(ReadAll(SettingsFile), before) << "the old file is whole";
}

TEST_F(MainWindowSettings, ASettingsFileThatCannotBeCreatedIsReportedOnceAndLeftAlone) {
    TReadOnlyFolder readOnly(SettingsDir.Path());
    if (!readOnly.Effective())
        GTEST_SKIP() << "no way to make a read-only folder here";
    Form1->show();
    const auto boxes = TakeErrorBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find(SettingsFile), std::string::npos) << boxes[0];
    EXPECT_EQ(OptionsForm->ListBox1->Count(), 3) << "every section took its default";
    EXPECT_FALSE(Form1->FTray->ShowIcon()) << "the tray is set up";
    Form1->sbExitClick();
    EXPECT_TRUE(TakeErrorBoxes().empty());
    EXPECT_FALSE(Form1->isVisible());
}

TEST_F(MainWindowSettings, AFullDiskAtCloseKeepsTheOldFileAndSaysSo) {
    TSmallFileSystem small(SettingsDir / "small");
    if (!small.Mounted())
        GTEST_SKIP() << "a full disk needs a file system of the test's own, which only root may mount";
    const std::string settings = SettingsDir / "small/sentrel.ini";
    UtilObj.SetIniFileName(settings);
    std::ofstream(settings) << "[ExcludedDirs]\n0=/var/tmp/\n[Misc]\nMinimize=F\nHexEditor=/opt/hex\n";
    const std::string before = ReadAll(settings);
    Form1->show();
    GeneralOptionsForm->lbExcluded->Add("/home/ann/new/");
    small.Fill();
    Form1->sbExitClick();
    const auto boxes = TakeErrorBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Unable to write to " + settings + "\r\nNo space left on device.");
    EXPECT_EQ(ReadAll(settings), before);
    EXPECT_FALSE(Form1->isVisible()) << "the program still ends";
}

namespace {
// What a save is left as when its process dies halfway through writing:
// another process saves a large file under a file size limit, which the
// system enforces by killing it with SIGXFSZ.
std::vector<std::string> LeftByASaveKilledHalfway(const std::string& settingsFile) {
    const pid_t saver = ::fork();
    if (saver == 0) {
        const rlimit noCore{0, 0}, small{16 << 10, 16 << 10};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_FSIZE, &small);
        ::signal(SIGXFSZ, SIG_DFL);
        std::string reason;
        ReplaceFileContents(settingsFile, "[Misc]\nHexEditor=/opt/other\n" + std::string(1 << 20, ';'),
                            TInPlace::Never, reason);
        ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(saver, &status, 0), saver);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "the save was not killed halfway";
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(fs::path(settingsFile).parent_path()))
        if (entry.path().filename().string().find(".saving-") != std::string::npos)
            left.push_back(entry.path());
    return left;
}
} // namespace

TEST_F(MainWindowSettings, WhatASaveKilledHalfwayLeftIsRemovedAtTheNextStart) {
    WriteSettings("[Misc]\nHexEditor=/opt/hex\n");
    const std::vector<std::string> left = LeftByASaveKilledHalfway(SettingsFile);
    ASSERT_EQ(left.size(), 1u) << "the killed save left its unfinished file";
    Form1->show();
    EXPECT_FALSE(fs::exists(left[0]));
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/hex") << "the old file stands";
}

// What the user writes into the file while the window runs is taken in at
// once, and the save at exit keeps it beside what was changed in the window.
TEST_F(MainWindowSettings, EditsMadeInTheFileWhileTheWindowRunsAreAppliedAndKept) {
    TTempDir first, added;
    WriteSettings("[WatchDirs]\n0=" + first.Path() + "\n[ExcludedDirs]\n0=/var/tmp/\n[Misc]\nHexEditor=/opt/hex\n");
    Form1->show();
    GeneralOptionsForm->lbExcludedTypes->Add("*.log"); // changed in the window, not yet saved
    // An editor saves through a new file and a rename.
    std::ofstream(SettingsFile + ".new") << "[WatchDirs]\n0=" + first.Path() + "\n1=" + added.Path() +
                                                "\n[ExcludedDirs]\n0=/var/tmp/\n1=/srv/cache/\n"
                                                "[Misc]\nHexEditor=\"/opt/hex tool/hexed\" --ro\n";
    fs::rename(SettingsFile + ".new", SettingsFile);
    ASSERT_TRUE(ProcessEventsUntil([] { return Form1->lbWatches->Count() == 2; }));
    EXPECT_EQ(Form1->lbWatches->Lines(), (std::vector<std::string>{first.Path(), added.Path()}));
    ASSERT_NE(Form1->WatchOfLine(1), nullptr);
    EXPECT_TRUE(Form1->WatchOfLine(1)->Enabled()) << "a folder added in the file is watched";
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), (std::vector<std::string>{"/var/tmp/", "/srv/cache/"}));
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "\"/opt/hex tool/hexed\" --ro");
    EXPECT_EQ(GeneralOptionsForm->lbExcludedTypes->Lines(), std::vector<std::string>{"*.log"});
    EXPECT_NE(Form1->statusBar()->currentMessage().toStdString().find("settings file was changed"), std::string::npos);

    // The user removes the first folder in the file; the window adds an exclusion.
    WriteSettings("[WatchDirs]\n0=" + added.Path() +
                  "\n[ExcludedDirs]\n0=/var/tmp/\n1=/srv/cache/\n"
                  "[Misc]\nHexEditor=\"/opt/hex tool/hexed\" --ro\n");
    ASSERT_TRUE(ProcessEventsUntil([] { return Form1->lbWatches->Count() == 1; }));
    GeneralOptionsForm->lbExcluded->Add("/home/ann/x/");
    Form1->sbExitClick();
    EXPECT_EQ(Section("WatchDirs"), std::vector<std::string>{"0=" + added.Path()});
    EXPECT_EQ(Section("ExcludedDirs"), (std::vector<std::string>{"0=/var/tmp/", "1=/srv/cache/", "2=/home/ann/x/"}));
    EXPECT_EQ(Section("ExcludedFileTypes"), std::vector<std::string>{"0=*.log"});
    EXPECT_EQ(TUtilObj::ValueOfKey(Section("Misc"), "HexEditor"), "\"/opt/hex tool/hexed\" --ro");
    EXPECT_TRUE(TakeErrorBoxes().empty());
}

// Another copy of the program saved the file since this one read it, and
// this one did not see it happen: the save at exit still keeps both.
TEST_F(MainWindowSettings, ASaveKeepsWhatAnotherCopyOfTheProgramSavedMeanwhile) {
    WriteSettings("[ExcludedDirs]\n0=/var/tmp/\n[Misc]\nHexEditor=/opt/hex\n");
    Form1->show();
    GeneralOptionsForm->lbExcluded->Add("/mine/");
    GeneralOptionsForm->lbExcluded->Delete(0);
    WriteSettings("[ExcludedDirs]\n0=/var/tmp/\n1=/theirs/\n[Misc]\nHexEditor=/opt/their-hex\n");
    Form1->SaveSettings(); // before the window hears of the change
    EXPECT_EQ(Section("ExcludedDirs"), (std::vector<std::string>{"0=/theirs/", "1=/mine/"}));
    EXPECT_EQ(TUtilObj::ValueOfKey(Section("Misc"), "HexEditor"), "/opt/their-hex");
}

// The window watches dir, which holds a.txt and b.txt, with the history
// kept, once the catch-up at start has kept what dir holds and handed its
// result over.
namespace {
void WatchWithItsSnapshot(const TTempDir& dir) {
    dir.WriteFile("a.txt", "x");
    dir.WriteFile("b.txt", "x");
    Form1->show();
    Form1->OpenHistory();
    Form1->AddWatch(dir.Path());
    const std::string snapshot = SnapshotPathFor(HistoryFileName(), dir.Path());
    ASSERT_TRUE(ProcessEventsUntil([&] { return fs::exists(snapshot); }));
    ProcessEventsFor(std::chrono::milliseconds(300));
}
} // namespace

// A pause leaves one line where the gap was, and what changed during it
// follows that line once the watches start again.
TEST_F(MainWindowSettings, WhatChangedWhilePausedIsListedAfterTheGap) {
    TTempDir dir;
    ASSERT_NO_FATAL_FAILURE(WatchWithItsSnapshot(dir));
    const auto watchLine = [] { return Form1->lbWatches->model()->index(0, 0).data().toString().toStdString(); };
    Form1->sbStopClick();
    ASSERT_TRUE(ProcessEventsUntil([&] { return watchLine().find("(paused since ") != std::string::npos; }))
        << watchLine();
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring not enabled");
    fs::remove(dir / "a.txt");
    dir.WriteFile("c.txt");
    Form1->sbGoClick();
    const auto sinceGap = [] {
        std::vector<std::string> lines;
        for (const std::string& line : Form1->lbResults->Lines())
            if (line.starts_with("Paused "))
                lines = {line.substr(0, 7)};
            else if (!lines.empty())
                lines.push_back(line.substr(11));
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    ASSERT_TRUE(ProcessEventsUntil([&] { return sinceGap().size() == 3; })) << ::testing::PrintToString(sinceGap());
    EXPECT_EQ(sinceGap(), (std::vector<std::string>{"Found_added - " + dir / "c.txt",
                                                    "Found_removed - " + dir / "a.txt", "Paused "}));
    EXPECT_TRUE(std::regex_search(std::string(Form1->lbResults->Line(Form1->lbResults->Count() - 3)),
                                  std::regex("^Paused \\d\\d:\\d\\d:\\d\\d\u2013\\d\\d:\\d\\d:\\d\\d$")))
        << "the gap line gives when the pause began and ended";

    // Started again before the pause took effect: the watch never stops, and
    // the pause's late answer stops nothing.
    ProcessEventsFor(std::chrono::milliseconds(300));
    const int lines = Form1->lbResults->Count();
    Form1->sbStopClick();
    Form1->sbGoClick();
    ProcessEventsFor(std::chrono::milliseconds(500));
    EXPECT_TRUE(Form1->WatchOfLine(0)->Enabled()) << watchLine();
    EXPECT_EQ(Form1->lbResults->Count(), lines) << "no gap, no line for it";
    EXPECT_TRUE(TakeErrorBoxes().empty());
}

// What changed while the window was closed is listed when it is next
// shown, after the saved watches are set up again.
TEST_F(MainWindowSettings, WhatChangedWhileClosedIsListedAtTheNextStart) {
    TTempDir dir;
    ASSERT_NO_FATAL_FAILURE(WatchWithItsSnapshot(dir));
    Form1->sbExitClick();
    fs::remove(dir / "a.txt");
    dir.WriteFile("c.txt");

    Restart();
    Form1->show();
    const auto found = [] {
        std::vector<std::string> lines;
        for (const std::string& line : Form1->lbResults->Lines())
            if (line.find(" - Found_") != std::string::npos)
                lines.push_back(line.substr(11));
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    ASSERT_TRUE(ProcessEventsUntil([&] { return found().size() == 2; })) << ::testing::PrintToString(found());
    EXPECT_EQ(found(),
              (std::vector<std::string>{"Found_added - " + dir / "c.txt", "Found_removed - " + dir / "a.txt"}));
    EXPECT_TRUE(TakeErrorBoxes().empty());
}
