#include "../app/AppTesting.h"

#include "dialogs/OptionsUnit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

namespace fs = std::filesystem;

using WatchOptions = TProgramTest;

namespace {
QAction* MenuItem(const std::string& caption) {
    for (QAction* item : OptionsForm->PopupMenu1->actions())
        if (item->text().toStdString() == caption)
            return item;
    return nullptr;
}

TDirWatchOptions OptionsOf(std::initializer_list<TDirWatchOption> options) {
    TDirWatchOptions set;
    for (TDirWatchOption option : options)
        set.Include(option);
    return set;
}
} // namespace

TEST_F(WatchOptions, ShowsTheFirstWatchsOptionsWithoutTheFileSize) {
    TTempDir first, second;
    Form1->AddWatch(first.Path());
    Form1->AddWatch(second.Path());
    Form1->WatchOfLine(1)->SetOptions(OptionsOf({dw_file_name}));
    Form1->lbWatches->SetItemIndex(1);
    OptionsForm->ListBox1->Add("left over from last time");
    OptionsForm->FormShow();
    EXPECT_EQ(OptionsForm->ListBox1->Lines(),
              (std::vector<std::string>{"file_name", "dir_name", "file_attr", "file_write_date", "file_access_date",
                                        "file_creation_date", "file_security"}));
    std::vector<std::string> captions;
    for (QAction* item : OptionsForm->PopupMenu1->actions())
        captions.push_back(item->text().toStdString());
    EXPECT_EQ(captions, OptionsForm->ListBox1->Lines());
}

TEST_F(WatchOptions, MenuAddsEachNameOnce) {
    MenuItem("file_name")->setText("&file_name");
    OptionsForm->filename1Click(MenuItem("&file_name"));
    OptionsForm->filename1Click(MenuItem("&file_name"));
    OptionsForm->filename1Click(MenuItem("dir_name"));
    EXPECT_EQ(OptionsForm->ListBox1->Lines(), (std::vector<std::string>{"file_name", "dir_name"}));
    OptionsForm->sbDeleteClick();
    EXPECT_EQ(OptionsForm->ListBox1->Count(), 2) << "no current line, nothing removed";
    OptionsForm->ListBox1->SetItemIndex(0);
    OptionsForm->sbDeleteClick();
    EXPECT_EQ(OptionsForm->ListBox1->Lines(), std::vector<std::string>{"dir_name"});
}

TEST_F(WatchOptions, ASecondRemoveRemovesNothing) {
    for (const char* name : {"file_name", "dir_name", "file_attr"})
        OptionsForm->ListBox1->Add(name);
    OptionsForm->ListBox1->SetItemIndex(0);
    OptionsForm->sbDeleteClick();
    OptionsForm->sbDeleteClick();
    EXPECT_EQ(OptionsForm->ListBox1->Lines(), (std::vector<std::string>{"dir_name", "file_attr"}));
}

// Only the dialog's own OK applies the list: Enter, wherever the focus is,
// must not give every watch the set of a half-edited list.
TEST_F(WatchOptions, EnterDoesNotConfirm) {
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    bool checked = false;
    QTimer::singleShot(0, OptionsForm, [&] {
        OptionsForm->ListBox1->Clear();
        for (QWidget* target : {static_cast<QWidget*>(OptionsForm->ListBox1), static_cast<QWidget*>(OptionsForm->sbOk),
                                static_cast<QWidget*>(OptionsForm)}) {
            target->setFocus();
            for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
                QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
                QApplication::sendEvent(target, &press);
            }
        }
        checked = true;
        EXPECT_TRUE(OptionsForm->isVisible());
        OptionsForm->sbOk->click();
    });
    Form1->sbOptionsClick();
    EXPECT_TRUE(checked);
    EXPECT_EQ(OptionsForm->result(), QDialog::Accepted) << "the OK button still confirms";
    EXPECT_EQ(Form1->WatchOfLine(0)->Options(), TDirWatchOptions{});
}

TEST_F(WatchOptions, OkGivesEveryWatchTheNamedSet) {
    TTempDir first, second;
    Form1->AddWatch(first.Path());
    Form1->AddWatch(second.Path());
    for (const char* line : {"FILE_NAME", "file_write_date", "not an option"})
        OptionsForm->ListBox1->Add(line);
    OptionsForm->sbOkClick();
    const auto expected = OptionsOf({dw_file_name, dw_file_write_date});
    EXPECT_EQ(Form1->WatchOfLine(0)->Options(), expected);
    EXPECT_EQ(Form1->WatchOfLine(1)->Options(), expected) << "file size is dropped too";
    EXPECT_TRUE(Form1->WatchOfLine(0)->Enabled());
    EXPECT_EQ(OptionsForm->result(), QDialog::Accepted);

    TTempDir later;
    Form1->AddWatch(later.Path());
    EXPECT_EQ(Form1->WatchOfLine(2)->Options(), TDirWatchOptions::All()) << "until the next OK";
}

TEST_F(WatchOptions, OkWithNoWatchesOrNoNames) {
    OptionsForm->sbOkClick();
    EXPECT_EQ(OptionsForm->result(), QDialog::Accepted);
    TTempDir dir;
    Form1->AddWatch(dir.Path());
    OptionsForm->sbOkClick();
    EXPECT_EQ(Form1->WatchOfLine(0)->Options(), TDirWatchOptions{});
    ASSERT_TRUE(ProcessEventsUntil([] { return !Form1->WatchOfLine(0)->Enabled(); }))
        << "the system refuses a watch with nothing to report";
    const std::vector<std::string> boxes = TakeErrorBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("ReadDirectoryChanges call failed.", 0), 0u) << boxes[0];
    EXPECT_NE(boxes[0].find(dir.Path()), std::string::npos) << "the box names the folder";
}

TEST_F(WatchOptions, AFailedRestartStopsTheCommandWithTheDialogOpen) {
    TTempDir dir;
    fs::create_directory(dir / "first");
    Form1->AddWatch(dir / "first");
    TTempDir third;
    Form1->AddWatch(third.Path());
    fs::remove(dir / "first");
    OptionsForm->setResult(QDialog::Rejected);
    OptionsForm->ListBox1->Add("file_name");
    EXPECT_THROW(OptionsForm->sbOkClick(), EDirWatchError);
    EXPECT_EQ(Form1->WatchOfLine(1)->Options(), TDirWatchOptions::All()) << "watches after it keep their options";
    EXPECT_EQ(OptionsForm->result(), QDialog::Rejected);
}

TEST_F(WatchOptions, AFailedRestartFromTheOkButtonShowsItsErrorAndKeepsTheDialogOpen) {
    TTempDir dir;
    fs::create_directory(dir / "first");
    Form1->AddWatch(dir / "first");
    bool clicked = false;
    QTimer::singleShot(0, OptionsForm, [&] {
        OptionsForm->ListBox1->Clear();
        OptionsForm->ListBox1->Add("file_name");
        fs::remove(dir / "first"); // before the watch can tell, so that its restart fails
        EXPECT_NO_THROW(OptionsForm->sbOk->click());
        clicked = true;
        EXPECT_EQ(TakeErrorBoxes().size(), 1u);
        EXPECT_TRUE(OptionsForm->isVisible());
        OptionsForm->reject();
    });
    Form1->sbOptionsClick();
    EXPECT_TRUE(clicked);
    EXPECT_EQ(OptionsForm->result(), QDialog::Rejected);
}
