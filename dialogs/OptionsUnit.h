#pragma once

#include "watch/BrkDirWatch.h"

#include <QDialog>
#include <array>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QToolButton;
class TListBox;

// An option's name as the Watch Options dialog and the settings file write it.
struct TOptionName {
    const char* Name;
    TDirWatchOption Option;
};

// The seven options the dialog offers, in its order; the file size is not one.
extern const std::array<TOptionName, 7> OptionNames;

// "Watch Options": the names of the kinds of change every watch reports.
// OK gives the set the list names to every watch of the main window.
class TOptionsForm : public QDialog {
public:
    explicit TOptionsForm(QWidget* parent);

    void FormShow();
    void sbAddMouseUp(int x, int y);
    void filename1Click(QAction* item);
    void sbDeleteClick();
    void sbOkClick();

    QLabel* Label1;
    QToolButton* sbAdd;
    QToolButton* sbDelete;
    TListBox* ListBox1;
    QPushButton* sbOk;
    QMenu* PopupMenu1;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

extern TOptionsForm* OptionsForm;
