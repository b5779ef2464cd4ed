#pragma once

#include <QDialog>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

struct THistoryRecord;

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class TListBox;

// "Search History": the changes kept in the history that a part of a path
// and a time range select, newest first, with the commands of the results
// list on them.
class TSearchHistoryForm : public QDialog {
public:
    // Records shown at most; a line at the end says when there are more.
    static constexpr size_t ShownLimit = 10000;

    explicit TSearchHistoryForm(QWidget* parent);
    ~TSearchHistoryForm() override;

    // The question is asked on a thread of its own, so that a long one
    // leaves the window free; a new question replaces one still running.
    void SearchClick();
    // The path of the current line, if a line is selected.
    std::string CurrentPath() const;

    QLineEdit* edPattern;
    QLineEdit* edSince;
    QLineEdit* edUntil;
    QPushButton* btSearch;
    TListBox* lbFound;
    QLabel* lbResult;
    QMenu* pmFound;

private:
    void CreateMenu();
    void OnCurrentPath(void (*command)(const std::string& path));
    void StopSearch();
    void ShowFound(std::vector<THistoryRecord> found, const std::string& failure);

    std::thread FSearching;
    std::atomic<bool> FStop{false};
    uint64_t FAsked = 0; // the number of the question whose answer is awaited
};
