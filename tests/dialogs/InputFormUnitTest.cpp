#include "../app/AppTesting.h"
#include "DialogTesting.h"

using FileTypeDialog = TProgramTest;

TEST_F(FileTypeDialog, KeepsTheLastTextAndClosesOnlyByOkEnterOrTheCloseBox) {
    EXPECT_EQ(InputForm->Edit1->text(), "*");
    EXPECT_EQ(ResultOfKey(*InputForm, *InputForm->Edit1, Qt::Key_Escape), -1) << "Escape does not close it";
    EXPECT_EQ(ResultOfKey(*InputForm, *InputForm->Edit1, Qt::Key_Return), QDialog::Accepted);
    EXPECT_EQ(ResultOfKey(*InputForm, *InputForm->Edit1, Qt::Key_Enter), QDialog::Accepted);

    AnswerFileType("doc", false);
    EXPECT_EQ(InputForm->exec(), QDialog::Rejected);
    EXPECT_EQ(InputForm->Edit1->text(), "doc") << "kept after a cancel for the next question";
    QTimer::singleShot(0, [] {
        EXPECT_EQ(InputForm->focusWidget(), InputForm->Edit1) << "the edit box has the focus on opening";
        InputForm->sbOkClick();
    });
    EXPECT_EQ(InputForm->exec(), QDialog::Accepted);
    EXPECT_EQ(InputForm->Edit1->text(), "doc");
    EXPECT_EQ(InputForm->size(), QSize(261, 90)) << "a fixed size";
}

// Menu key, Down and Enter on "Add": the Enter chose the menu item, and its
// release reaches the dialog that the item opened.
TEST_F(FileTypeDialog, AnEnterReleasedWithoutItsPressTakesNothing) {
    bool stillOpen = false;
    QTimer::singleShot(0, [&] {
        SendKey(*InputForm->Edit1, QEvent::KeyRelease, Qt::Key_Return);
        stillOpen = InputForm->isVisible();
        InputForm->close();
    });
    EXPECT_EQ(InputForm->exec(), QDialog::Rejected);
    EXPECT_TRUE(stillOpen);
}
