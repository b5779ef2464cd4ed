#include "Testing.h"

#include "toolkit/Dialogs.h"
#include "runtime/Exception.h"
#include "toolkit/ListBox.h"
#include "util/UtilListBox.h"
#include "util/Utilstrings.h"

#include <QWidget>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

TEST(Utilstrings, ReplaceAllLastCharExtension) {
    std::string caption = "&file_&name";
    ReplaceAll(caption, "&", "");
    EXPECT_EQ(caption, "file_name");
    std::string unchanged = "abc";
    ReplaceAll(unchanged, "", "x");
    EXPECT_EQ(unchanged, "abc");
    std::string rescanned = "aaab";
    ReplaceAll(rescanned, "ab", "b");
    EXPECT_EQ(rescanned, "b") << "every pass searches from the start again";
    EXPECT_EQ(LastChar("/home/"), "/");
    EXPECT_EQ(LastChar(""), "");
    EXPECT_EQ(ExtractFileExt("/a/b.txt"), ".txt");
    EXPECT_EQ(ExtractFileExt("/a.dir/file"), "");
    EXPECT_EQ(ExtractFileExt("/a/archive.tar.gz"), ".gz");
    EXPECT_EQ(ExtractFileExt("/a/.hidden"), ".hidden");
}

TEST(TextListFile, LineBreaksOfEveryKindAndAZeroByte) {
    EXPECT_EQ(ParseTextList(""), std::vector<std::string>{});
    EXPECT_EQ(ParseTextList("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(ParseTextList("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(ParseTextList(std::string("a\nb\0c\nd", 7)), (std::vector<std::string>{"a", "b"}));
    const std::vector<std::string> lines = {"first", "", "third", " spaced "};
    EXPECT_EQ(FormatTextList(lines), "first\r\n\r\nthird\r\n spaced \r\n");
    EXPECT_EQ(ParseTextList(FormatTextList(lines)), lines);
    EXPECT_EQ(ParseTextList("x\r\n"), std::vector<std::string>{"x"}) << "the final line break adds no line";
    EXPECT_EQ(ParseTextList(FormatTextList({"x", ""})), (std::vector<std::string>{"x", ""}))
        << "a last line that is empty still ends in its own line break";
}

namespace {
// A form with the two file dialogs the list helpers look for.
struct TFormWithDialogs {
    TFormWithDialogs() {
        List = new TListBox(&Form);
        Open = new TFileDialog(&Form, "OpenDialog1", TFileDialog::TKind::Open);
        Save = new TFileDialog(&Form, "SaveDialog1", TFileDialog::TKind::Save);
    }
    ~TFormWithDialogs() { SetDialogAnswers(TestDialogAnswers()); }

    // The user picks this file in whichever dialog opens (or cancels, for "").
    void AnswerWith(const std::string& path) {
        TDialogAnswers answers = TestDialogAnswers();
        answers.FileDialog = [path](TFileDialog& dialog) {
            dialog.FileName = path;
            return !path.empty();
        };
        SetDialogAnswers(answers);
    }

    QWidget Form;
    TListBox* List;
    TFileDialog* Open;
    TFileDialog* Save;
};
} // namespace

TEST(UtilListBox, SaveAndLoadRoundTrip) {
    TTempDir dir;
    TFormWithDialogs form;
    for (const char* line : {"one", "", "three"})
        form.List->Add(line);
    form.AnswerWith(dir / "list.txt");
    ListBoxSaveToFile(*form.List);
    EXPECT_EQ(form.Save->FileName, "") << "the file name is cleared after use";
    std::ifstream file(dir / "list.txt", std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_EQ(content.str(), "one\r\n\r\nthree\r\n");

    TListBox& list = *form.List;
    list.Clear();
    list.Add("old");
    ListBoxLoadFromFile(list);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"one", "", "three"}));
    EXPECT_EQ(form.Open->FileName, "");
}

TEST(UtilListBox, FailuresKeepTheListAndNameTheFile) {
    TTempDir dir;
    TFormWithDialogs form;
    form.List->Add("keep me");
    const std::string missing = dir / "missing.txt";
    form.AnswerWith(missing);
    try {
        ListBoxLoadFromFile(*form.List);
        ADD_FAILURE() << "no error";
    } catch (const EFOpenError& error) {
        EXPECT_EQ(error.Message(), "Cannot open file " + missing);
    }
    EXPECT_EQ(form.List->Lines(), std::vector<std::string>{"keep me"});
    EXPECT_EQ(form.Open->FileName, "");

    const std::string unwritable = dir / "no/such/folder/list.txt";
    form.AnswerWith(unwritable);
    EXPECT_THROW(ListBoxSaveToFile(*form.List), EFCreateError);

    form.AnswerWith("");
    ListBoxLoadFromFile(*form.List);
    EXPECT_EQ(form.List->Lines(), std::vector<std::string>{"keep me"}) << "a cancelled load changes nothing";
}

TEST(UtilListBox, DeleteCurrentAndSelection) {
    TListBox list(nullptr);
    EXPECT_FALSE(ListBoxHasSelection(list));
    ListBoxDeleteCurrent(list);
    list.Add("a");
    list.Add("b");
    ListBoxDeleteCurrent(list);
    EXPECT_EQ(list.Count(), 2) << "no current line, nothing deleted";
    EXPECT_FALSE(ListBoxHasSelection(list));
    list.SetItemIndex(1);
    EXPECT_TRUE(ListBoxHasSelection(list));
    ListBoxDeleteCurrent(list);
    EXPECT_EQ(list.Lines(), std::vector<std::string>{"a"});
    EXPECT_EQ(ListBoxFindText("A", list), 0);
    EXPECT_EQ(ListBoxFindText("", list), -1);
}

TEST(UtilListBox, ASecondDeleteRemovesNothing) {
    TListBox list(nullptr);
    for (const char* line : {"a", "b", "c"})
        list.Add(line);
    list.SetItemIndex(1);
    ListBoxDeleteCurrent(list);
    EXPECT_EQ(list.ItemIndex(), -1) << "no line takes the deleted line's place as the current one";
    EXPECT_FALSE(ListBoxHasSelection(list));
    ListBoxDeleteCurrent(list);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"a", "c"}));
    list.SetItemIndex(1);
    ListBoxDeleteCurrent(list);
    ListBoxDeleteCurrent(list);
    EXPECT_EQ(list.Lines(), std::vector<std::string>{"a"}) << "nor does the line before a deleted last line";
}
