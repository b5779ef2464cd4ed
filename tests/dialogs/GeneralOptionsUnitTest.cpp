#include "../app/AppTesting.h"
#include "DialogTesting.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "toolkit/InputQuery.h"
#include "tray/TrayCompRunTime.h"
#include "util/UtilListBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QInputDialog>
#include <QTimer>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QSpinBox>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

using GeneralOptions = TProgramTest;

namespace {
std::vector<std::string> Captions(const QMenu& menu) {
    std::vector<std::string> captions;
    for (QAction* action : menu.actions())
        captions.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    return captions;
}

std::vector<std::string> Lines(const TListBox& list) {
    return list.Lines();
}

void Fill(TListBox& list, std::initializer_list<const char*> lines) {
    list.Clear();
    for (const char* line : lines)
        list.Add(line);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

// Answers every file dialog with path, recording what each was asked.
struct TFileAnswers {
    explicit TFileAnswers(std::string path) : Path(std::move(path)) {}

    std::string Path;
    std::vector<std::string> AskedNames, Filters, Folders;
    bool Confirm = true;

    void Install() {
        TDialogAnswers answers = TestDialogAnswers();
        answers.FileDialog = [this](TFileDialog& dialog) {
            AskedNames.push_back(dialog.FileName);
            Filters.push_back(dialog.Filter);
            Folders.push_back(dialog.InitialDir);
            if (Confirm)
                dialog.FileName = Path;
            return Confirm;
        };
        SetDialogAnswers(answers);
    }
};
} // namespace

TEST_F(GeneralOptions, ControlsMenusAndTabOrder) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    EXPECT_EQ(form.Label4->text(), "Hex editor");
    EXPECT_EQ(form.Label1->text(), "Excluded Files / Folders");
    EXPECT_EQ(form.Label2->text(), "Excluded File types");
    EXPECT_EQ(form.Label3->text(), "Included File types");
    EXPECT_EQ(form.SpeedButton1->text(), "...");
    EXPECT_EQ(form.sbOk->text(), "OK");
    EXPECT_EQ(form.ebHexEditor->text(), "");
    EXPECT_EQ(Captions(*form.PopupMenu1), (std::vector<std::string>{"Clear", "Remove this item", "Edit this item",
                                                                    "Save to File", "Load From File"}));
    const std::vector<std::string> typeMenu{"Add", "Remove", "Clear", "-", "Save to file", "Load from file"};
    EXPECT_EQ(Captions(*form.pmExc), typeMenu);
    EXPECT_EQ(Captions(*form.pmInc), typeMenu);
    EXPECT_EQ(Captions(*form.pmNames), typeMenu);
    EXPECT_EQ(form.Label5->text(), "Excluded folder names");

    std::vector<QWidget*> order;
    QWidget* control = form.cbVerboseDisplay;
    do {
        if (control->focusPolicy() & Qt::TabFocus && control->parentWidget() == &form) // not a spin box's edit
            order.push_back(control);
        control = control->nextInFocusChain();
    } while (control != form.cbVerboseDisplay && order.size() < 13);
    EXPECT_EQ(order, (std::vector<QWidget*>{form.cbVerboseDisplay, form.lbExcluded, form.lbExcludedNames,
                                            form.lbExcludedPrograms, form.cbMinToTray, form.cbKeepHistory,
                                            form.seHistoryDays, form.seHistoryRecords, form.seListLimit, form.cbJournal,
                                            form.lbExcludedTypes, form.lbIncludedTypes, form.ebHexEditor}));
}

TEST_F(GeneralOptions, AddingToOneTypeListEmptiesTheOtherButACancelChangesNothing) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    Fill(*form.lbExcludedTypes, {"*.tmp", "*.bak"});
    AnswerFileType("txt", true);
    form.AddIncClick();
    EXPECT_EQ(Lines(*form.lbExcludedTypes), std::vector<std::string>{});
    EXPECT_EQ(Lines(*form.lbIncludedTypes), std::vector<std::string>{"*.txt"});

    AnswerFileType("doc", false);
    form.AddExcClick();
    EXPECT_EQ(Lines(*form.lbIncludedTypes), std::vector<std::string>{"*.txt"}) << "a cancel leaves the other list";
    EXPECT_EQ(form.lbExcludedTypes->Count(), 0) << "and adds nothing";
    AnswerFileType("", true);
    form.AddExcClick();
    EXPECT_EQ(Lines(*form.lbIncludedTypes), std::vector<std::string>{"*.txt"}) << "so does an empty answer";

    AnswerFileType("*", true);
    form.AddExcClick();
    AnswerFileType(".txt", true);
    form.AddExcClick();
    AnswerFileType("", true);
    form.AddExcClick();
    AnswerFileType("*", true);
    form.AddExcClick();
    EXPECT_EQ(Lines(*form.lbExcludedTypes), (std::vector<std::string>{"*.*", "*..txt", "*.*"}))
        << "taken as typed, no duplicate check, an empty answer adds nothing";
}

TEST_F(GeneralOptions, RemoveActsOnlyOnTheFocusedTypeList) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    form.show();
    Fill(*form.lbExcludedTypes, {"*.a", "*.b"});
    Fill(*form.lbIncludedTypes, {"*.c"});
    form.lbExcludedTypes->SetItemIndex(1);
    form.lbIncludedTypes->SetItemIndex(0);
    form.cbVerboseDisplay->setFocus();
    form.RemoveExcClick();
    form.RemoveIncClick();
    EXPECT_EQ(form.lbExcludedTypes->Count(), 2);
    EXPECT_EQ(form.lbIncludedTypes->Count(), 1);
    form.lbExcludedTypes->setFocus();
    form.RemoveIncClick();
    EXPECT_EQ(form.lbIncludedTypes->Count(), 1) << "the other list's menu removes nothing";
    form.RemoveExcClick();
    EXPECT_EQ(Lines(*form.lbExcludedTypes), std::vector<std::string>{"*.a"});
    form.RemoveExcClick();
    EXPECT_EQ(form.lbExcludedTypes->Count(), 1) << "no current line left, nothing removed";
    form.ClearExcClick();
    form.ClearIncClick();
    EXPECT_EQ(form.lbExcludedTypes->Count() + form.lbIncludedTypes->Count(), 0);
}

TEST_F(GeneralOptions, ExcludedFolderRules) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    Fill(*form.lbExcluded, {"/data", "/Data/", "/home/ann/a.txt", "cache/"});
    EXPECT_FALSE(form.IsExcludedPath("/data/x.txt")) << "no trailing separator: not a folder; case counts";
    EXPECT_TRUE(form.IsExcludedPath("/Data/x.txt"));
    EXPECT_FALSE(form.IsExcludedPath("/mnt/Data/x.txt")) << "a folder from the root is that folder only";
    EXPECT_FALSE(form.IsExcludedPath("/Database/x.txt")) << "at a folder boundary";
    EXPECT_TRUE(form.IsExcludedPath("/home/ann/cache/x.txt")) << "an entry not from the root: anywhere";
    EXPECT_FALSE(form.IsExcludedPath("/home/ann/a.txt")) << "a file entry is no folder";
    Fill(*form.lbExcluded, {});
    EXPECT_FALSE(form.IsExcludedPath("/x"));
}

// A folder name is one whole name, kept once; edits made at one go reach
// the watches once, and the watches of the window leave the folders out.
TEST_F(GeneralOptions, ExcludedFolderNamesReachTheWatches) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    const auto answer = [](std::string name) {
        SetInputQueryAnswer([name](const std::string&, const std::string&, std::string& value) {
            value = name;
            return true;
        });
    };
    for (const char* name : {"node_modules", "node_modules", "", "a/b", "..", ".git"}) {
        answer(name);
        form.pmNames->actions().front()->trigger();
    }
    SetInputQueryAnswer({});
    EXPECT_EQ(Lines(*form.lbExcludedNames), (std::vector<std::string>{"node_modules", ".git"}));
    const std::string why = "\" cannot be excluded as a folder name: a name holds no \"/\" and is neither \".\" nor "
                            "\"..\"";
    EXPECT_EQ(TakeErrorBoxes(), (std::vector<std::string>{"\"a/b" + why, "\".." + why}));
    int told = 0;
    const auto tell = form.OnFolderRulesChanged;
    form.OnFolderRulesChanged = [&] {
        ++told;
        tell();
    };
    Fill(*form.lbExcluded, {"/x/", "/y/"});
    ProcessEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(told, 1);
    const TFolderExclusionRules& rules = Form1->WatchOfLine(0)->ExcludedFolders();
    ASSERT_NE(rules, nullptr);
    EXPECT_TRUE(rules->Excludes(dir / "node_modules/"));
    EXPECT_TRUE(rules->Excludes("/y/"));
    form.ClearNamesClick();
    Fill(*form.lbExcluded, {});
    ProcessEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(Form1->WatchOfLine(0)->ExcludedFolders(), nullptr);
}

TEST_F(GeneralOptions, AddExclusionTakesThePathAndSkipsWhatAFolderCovers) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    Fill(*form.lbExcluded, {"/data"});
    form.AddExclusion("12:00:01 - Modified - /data/a.txt");
    form.AddExclusion("12:00:01 - Modified - /data/a.txt");
    form.AddExclusion("12:00:02 - Added - /data/");
    form.AddExclusion("12:00:03 - Added - /data/sub/");
    form.AddExclusion("12:00:03 - Added - /data/b.txt");
    form.AddExclusion("12:00:04 - Added - /data/");
    form.AddExclusion("no separator at all");
    const std::string longPath = "/" + std::string(1500, 'n');
    form.AddExclusion("12:00:05 - Added - " + longPath);
    EXPECT_EQ(Lines(*form.lbExcluded), (std::vector<std::string>{"/data", "/data/a.txt", "/data/a.txt", "/data/",
                                                                 "no separator at all", longPath}))
        << "files may repeat; a covered folder or file is not added; a long path stays whole";
}

// The real box: as wide as its caption needs, and a long path reads whole.
TEST_F(GeneralOptions, TheEditBoxIsWideEnoughForItsCaptionAndItsPath) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    const std::vector<std::string> lines = {"/a/", "/home/ann/projects/" + std::string(60, 'x') + "/"};
    for (const std::string& line : lines)
        form.lbExcluded->Add(line);
    SetInputQueryAnswer({});
    for (int line : {0, 1}) {
        int width = 0, captionWidth = 0, pathWidth = 0;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            ASSERT_TRUE(box);
            width = box->width();
            captionWidth = box->fontMetrics().horizontalAdvance(box->windowTitle());
            pathWidth = box->fontMetrics().horizontalAdvance(box->textValue());
            box->reject();
        });
        form.lbExcluded->SetItemIndex(line);
        form.Edit1Click();
        EXPECT_GT(width, captionWidth + 100) << "room for the caption beside the title bar's buttons";
        EXPECT_GT(width, pathWidth) << lines[static_cast<size_t>(line)] << " reads whole";
    }
    EXPECT_EQ(Lines(*form.lbExcluded), lines) << "Cancel changes nothing";
}

TEST_F(GeneralOptions, ExcludedListCommands) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    Fill(*form.lbExcluded, {"/a/", "/b/", "/c.txt"});
    std::vector<std::string> asked;
    SetInputQueryAnswer([&](const std::string& caption, const std::string& prompt, std::string& value) {
        asked = {caption, prompt, value};
        value = "";
        return true;
    });
    form.Edit1Click();
    EXPECT_TRUE(asked.empty()) << "no current line, no question";
    form.lbExcluded->SetItemIndex(1);
    form.Edit1Click();
    SetInputQueryAnswer({});
    EXPECT_EQ(asked, (std::vector<std::string>{"Edit File / Path", "prompt", "/b/"}));
    EXPECT_EQ(Lines(*form.lbExcluded), (std::vector<std::string>{"/a/", "", "/c.txt"})) << "empty taken as typed";
    form.lbExcluded->SetItemIndex(0);
    form.lbExcluded->OnDblClick();
    EXPECT_EQ(Lines(*form.lbExcluded), (std::vector<std::string>{"", "/c.txt"}));
    form.Delete1Click();
    EXPECT_EQ(form.lbExcluded->Count(), 2) << "the removed line left no current line";
    form.Clear1Click();
    EXPECT_EQ(form.lbExcluded->Count(), 0);
}

TEST_F(GeneralOptions, ListsGoToFilesAndBack) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    TTempDir dir;
    TFileAnswers files(dir / "types.txt");
    files.Install();
    Fill(*form.lbExcludedTypes, {"*.tmp", "*.bak"});
    form.SaveExcludedTypesClick();
    EXPECT_EQ(ReadFile(dir / "types.txt"), "*.tmp\r\n*.bak\r\n");
    Fill(*form.lbExcluded, {"/x/"});
    files.Path = dir / "excluded.txt";
    form.SaveExcludedFilesClick();
    EXPECT_EQ(ReadFile(dir / "excluded.txt"), "/x/\r\n");
    files.Path = dir / "included.txt";
    form.SaveIncludedTypesClick();
    EXPECT_TRUE(fs::exists(dir / "included.txt"));
    EXPECT_EQ(files.AskedNames,
              (std::vector<std::string>{"Excluded_types.txt", "Excluded_files.txt", "Included_types.txt"}));
    EXPECT_EQ(files.Folders[0], QDir::homePath().toStdString());

    files.Path = dir / "types.txt";
    form.LoadIncludedTypesClick();
    EXPECT_EQ(form.lbExcludedTypes->Count(), 0) << "loading one type list empties the other";
    EXPECT_EQ(Lines(*form.lbIncludedTypes), (std::vector<std::string>{"*.tmp", "*.bak"}));
    Fill(*form.lbExcluded, {"/y/", "/z/"});
    files.Path = dir / "excluded.txt";
    form.LoadExcludedFilesClick();
    EXPECT_EQ(Lines(*form.lbExcluded), std::vector<std::string>{"/x/"}) << "the loaded lines replace the list";

    files.Path = dir / "missing.txt";
    form.pmExc->actions().back()->trigger();
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"Cannot open file " + dir / "missing.txt" + "."});
    files.Confirm = false;
    form.LoadExcludedTypesClick();
    EXPECT_EQ(Lines(*form.lbIncludedTypes), (std::vector<std::string>{"*.tmp", "*.bak"}))
        << "a load that failed or was cancelled leaves the other list";
}

TEST_F(GeneralOptions, HexEditorPickerOffersAnyFileThenTextFilesAgain) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    TFileAnswers files("/usr/bin/hexedit");
    files.Install();
    form.OpenDialog1->FileName = "old.txt";
    form.SpeedButton1Click();
    EXPECT_EQ(form.ebHexEditor->text(), "/usr/bin/hexedit");
    EXPECT_EQ(files.AskedNames, std::vector<std::string>{""});
    EXPECT_EQ(files.Filters, std::vector<std::string>{"All Files|*"});
    EXPECT_EQ(form.OpenDialog1->Filter, "Text Files|*.txt");
    files.Confirm = false;
    form.SpeedButton1Click();
    EXPECT_EQ(form.ebHexEditor->text(), "/usr/bin/hexedit") << "a cancel changes nothing";
    EXPECT_EQ(form.OpenDialog1->Filter, "Text Files|*.txt");
}

TEST_F(GeneralOptions, EnterClosesWithOkEscapeDoesNot) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    EXPECT_EQ(ResultOfKey(form, *form.ebHexEditor, Qt::Key_Return), QDialog::Accepted);
    EXPECT_EQ(ResultOfKey(form, *form.lbExcluded, Qt::Key_Enter), QDialog::Accepted);
    EXPECT_EQ(ResultOfKey(form, *form.lbIncludedTypes, Qt::Key_Return), QDialog::Accepted);
    EXPECT_EQ(ResultOfKey(form, *form.lbExcludedTypes, Qt::Key_Escape), -1);
    EXPECT_EQ(ResultOfKey(form, *form.cbVerboseDisplay, Qt::Key_Return), -1) << "only the edit box and the lists";

    // Enter that closed a prompt opened from the dialog is released here.
    bool stillOpen = false;
    QTimer::singleShot(0, [&] {
        form.ebHexEditor->setFocus();
        SendKey(*form.ebHexEditor, QEvent::KeyRelease, Qt::Key_Return);
        stillOpen = form.isVisible();
        form.close();
    });
    form.exec();
    EXPECT_TRUE(stillOpen) << "a release without its press closed the dialog";
}

// A number typed in a box takes effect once it is whole, when the box is
// left, never at each key ("50000" on its way is 5, and a list bounded at 5
// lines would lose the rest); with "Keep a history" off, what tells how and
// where it is kept is greyed.
TEST_F(GeneralOptions, ANumberTakesEffectOnceTypedAndTheHistoryBoxesFollowKeep) {
    TGeneralOptionsForm& form = *GeneralOptionsForm;
    std::vector<int> applied;
    form.OnHistoryRetentionChanged = [&] { applied.push_back(form.HistorySettings().ListLimit); };
    form.seListLimit->selectAll();
    for (const char digit : std::string("50000")) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_0 + (digit - '0'), Qt::NoModifier, QString(QChar(digit)));
        QApplication::sendEvent(form.seListLimit, &press);
    }
    EXPECT_EQ(applied, std::vector<int>{}) << "not while typed";
    QFocusEvent left(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(form.seListLimit, &left);
    EXPECT_EQ(applied, std::vector<int>{50000});

    for (const bool keep : {false, true}) {
        form.cbKeepHistory->setChecked(keep);
        for (const QWidget* control : {static_cast<QWidget*>(form.seHistoryDays), static_cast<QWidget*>(form.seHistoryRecords),
                                       static_cast<QWidget*>(form.lbHistoryPlace)})
            EXPECT_EQ(control->isEnabled(), keep) << control->objectName().toStdString();
        EXPECT_TRUE(form.seListLimit->isEnabled()) << "the list's own bound holds either way";
    }
}

TEST_F(GeneralOptions, MinimiseToTraySwitchesTheTrayAtOnce) {
    EXPECT_EQ(TrayLog.Adds, 1) << "the checked default took effect when the dialog was made";
    EXPECT_TRUE(TrayLog.IconShown);
    EXPECT_FALSE(HasTaskBarButton(TrayLog, *Form1));

    GeneralOptionsForm->cbMinToTray->click();
    EXPECT_TRUE(Form1->FTray->ShowInTaskBar());
    EXPECT_FALSE(Form1->FTray->ShowIcon());
    EXPECT_FALSE(TrayLog.IconShown);
    EXPECT_TRUE(HasTaskBarButton(TrayLog, *Form1));

    GeneralOptionsForm->cbMinToTray->click();
    EXPECT_TRUE(TrayLog.IconShown);
    EXPECT_FALSE(HasTaskBarButton(TrayLog, *Form1));

    // The settings set the check without a click: the tray follows all the same.
    GeneralOptionsForm->cbMinToTray->setChecked(false);
    EXPECT_FALSE(TrayLog.IconShown);
    EXPECT_TRUE(HasTaskBarButton(TrayLog, *Form1));
}
