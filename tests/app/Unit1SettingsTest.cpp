#include "AppTesting.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/OptionsUnit.h"
#include "tray/TrayCompRunTime.h"

#include <QCheckBox>
#include <QLineEdit>
#include <fstream>
#include <sstream>

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

    EXPECT_EQ(SectionNames(SettingsFile), (std::vector<std::string>{"[Layout]", "[WatchProperties]", "[Misc]"}));
    const auto layout = Section("Layout");
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout[0].rfind("Top=", 0), 0u);
    EXPECT_EQ(layout[1].rfind("Left=", 0), 0u);
    EXPECT_EQ(layout[2].rfind("Width=", 0), 0u);
    EXPECT_EQ(layout[3].rfind("Height=", 0), 0u);
    EXPECT_EQ(Section("WatchProperties"),
              (std::vector<std::string>{"0=file_name", "1=file_write_date", "2=file_creation_date"}));
    EXPECT_EQ(Section("Misc"), (std::vector<std::string>{"Minimize=F", "HexEditor="}));
    EXPECT_TRUE(TakeErrorBoxes().empty());
}

TEST_F(MainWindowSettings, OnlyACapitalTChecksMinimiseToTray) {
    for (const char* value : {"t", "True", "1", "", " T"}) {
        GeneralOptionsForm->cbMinToTray->setChecked(true);
        Form1->ApplySection("Misc", {std::string("Minimize=") + value});
        EXPECT_FALSE(GeneralOptionsForm->cbMinToTray->isChecked()) << '"' << value << '"';
    }
    Form1->ApplySection("Misc", {"minimize=T", "hexeditor=/opt/hex"});
    EXPECT_TRUE(GeneralOptionsForm->cbMinToTray->isChecked()) << "keys ignore case";
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/hex");
    Form1->ApplySection("Misc", {});
    EXPECT_FALSE(GeneralOptionsForm->cbMinToTray->isChecked()) << "a missing section unchecks it";
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
    Form1->setGeometry(40, 50, 520, 410);
    Form1->sbExitClick();
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
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(),
              (std::vector<std::string>{"/var/tmp/", "/home/ann/a - b.txt"}));
    EXPECT_EQ(GeneralOptionsForm->lbExcludedTypes->Lines(), std::vector<std::string>{"*.tmp"});
    EXPECT_EQ(GeneralOptionsForm->lbIncludedTypes->Lines(), std::vector<std::string>{"*.txt"});
    EXPECT_EQ(OptionsForm->ListBox1->Lines(), std::vector<std::string>{"dir_name"});
    EXPECT_TRUE(GeneralOptionsForm->cbMinToTray->isChecked());
    EXPECT_TRUE(Form1->FTray->ShowIcon());
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/hex ed --mode=x");
    EXPECT_EQ(Form1->geometry(), QRect(40, 50, 520, 410));
    EXPECT_EQ(Form1->StatusPanelText(0), "Monitoring enabled");
    EXPECT_TRUE(TakeErrorBoxes().empty());
}

TEST_F(MainWindowSettings, ListSectionsReadTheNumbersBelowTheirKeyCount) {
    WriteSettings("[ExcludedFileTypes]\n1=*.b\nother=*.x\n0=*.a\n"
                  "[IncludedFileTypes]\n0=*.c\n5=*.never\n");
    Form1->show();
    EXPECT_EQ(GeneralOptionsForm->lbExcludedTypes->Lines(), (std::vector<std::string>{"*.a", "*.b", ""}));
    EXPECT_EQ(GeneralOptionsForm->lbIncludedTypes->Lines(), (std::vector<std::string>{"*.c", ""}));
}

TEST_F(MainWindowSettings, ASavedFolderThatIsGoneStaysListedAndLoadingGoesOn) {
    TTempDir there;
    const std::string gone = there / "gone";
    WriteSettings("[WatchDirs]\n0=" + gone + "\n1=" + there.Path() +
                  "\n[WatchProperties]\n0=file_name\n[Misc]\nMinimize=T\nHexEditor=/opt/hex\n"
                  "[IncludedFileTypes]\n0=*.txt\n");
    Form1->show();
    const auto boxes = TakeErrorBoxes();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(ErrorsContaining(boxes, gone).size(), 1u) << "the error is shown once";
    EXPECT_EQ(Form1->lbWatches->Lines(), (std::vector<std::string>{gone, there.Path()}));
    ASSERT_NE(Form1->WatchOfLine(0), nullptr);
    EXPECT_FALSE(Form1->WatchOfLine(0)->Enabled());
    ASSERT_NE(Form1->WatchOfLine(1), nullptr);
    EXPECT_TRUE(Form1->WatchOfLine(1)->Enabled()) << "a later folder is still watched";
    EXPECT_EQ(GeneralOptionsForm->lbIncludedTypes->Lines(), std::vector<std::string>{"*.txt"});
    EXPECT_EQ(GeneralOptionsForm->ebHexEditor->text().toStdString(), "/opt/hex");
    EXPECT_TRUE(Form1->FTray->ShowIcon()) << "the tray is set up";

    Form1->sbExitClick();
    EXPECT_TRUE(TakeErrorBoxes().empty());
    EXPECT_EQ(Section("WatchDirs"), (std::vector<std::string>{"0=" + gone, "1=" + there.Path()}));
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
        EXPECT_EQ(boxes, std::vector<std::string>{"Unable to write to " + SettingsFile + "."});
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
