#pragma once

#include "toolkit/EnterKey.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QToolButton;

// "File Type": asks for one file extension. The edit box keeps its last
// text, also after a cancel, so the next question offers the last answer.
class TInputForm : public QDialog {
public:
    explicit TInputForm(QWidget* parent);

    void sbOkClick();

    QLabel* Label2;
    QLabel* Label1;
    QLineEdit* Edit1;
    QToolButton* sbOk;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TEnterKey FEnter;
};

extern TInputForm* InputForm;
