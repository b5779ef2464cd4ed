#pragma once

#include <QDialog>

class QLineEdit;

// "File Type": asks for one file extension.
class TInputForm : public QDialog {
public:
    explicit TInputForm(QWidget* parent);

    QLineEdit* Edit1;
};

extern TInputForm* InputForm;
