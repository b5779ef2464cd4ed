#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The gradient fill control's own about dialog. The program never shows it;
// it travels with the control for whoever places one on a form.
class TGFAboutBox : public QDialog {
public:
    explicit TGFAboutBox(QWidget* parent = nullptr);

    // Swaps the two pictures: a double click on either shows the other.
    void ProgramIconDblClick();
    void Button1Click();

    QWidget* Panel1;
    QLabel* ProgramIcon;
    QLabel* ProgramIcon2;
    QLabel* ProductName;
    QLabel* Bits;
    QLabel* Version;
    QLabel* Copyright;
    QLabel* Comments;
    QWidget* Panel2;
    QPushButton* BitBtn1;
};
