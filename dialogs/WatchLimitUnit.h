#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QProcess;
class QPushButton;
class QSpinBox;

// "Watch Limit": the system's limit on inotify watches, which a watch of a
// large tree reaches: the watches this program and all the user's programs
// use, the limit and its cost in kernel memory; it raises the limit for
// this boot or for good through pkexec and the program's helper, and shows
// the commands that do the same for users who prefer to run them. The
// watches that left folders unwatched watch them once the limit is raised.
class TWatchLimitForm : public QDialog {
public:
    explicit TWatchLimitForm(QWidget* parent);
    // A raise still running is cancelled, and its end told to no one.
    ~TWatchLimitForm() override;

    // Reads the figures again.
    void Refresh();
    void RaiseForThisBootClick();
    void RaiseForGoodClick();

    // What runs the helper as root, before the helper's path: pkexec.
    std::vector<std::string> Elevation{"pkexec"};
    // The helper: installed beside the program's libexec folder, or in the
    // build tree beside the program.
    std::string Helper;

    QLabel* lbOwn;
    QLabel* lbUser;
    QLabel* lbLimit;
    QLabel* lbMemory;
    QSpinBox* seNewLimit;
    QPushButton* btRaiseForThisBoot;
    QPushButton* btRaiseForGood;
    QPlainTextEdit* meCommands;
    QLabel* lbResult;

private:
    void CreateControls();
    void ShowCommands();
    void Raise(bool forGood);
    void Raised(int exitCode, const std::string& errorOutput, bool started);

    QProcess* FRaising = nullptr;
};

// The limit offered: twice the present one, and room for 100,000 more
// watches than the user's programs use, within what the system allows.
uint64_t SuggestedWatchLimit(uint64_t limit, uint64_t userWatches);

// The helper's path for a program in folder: the installed one when there
// is one, else the build tree's.
std::string WatchLimitHelperFor(const std::string& programFolder);
