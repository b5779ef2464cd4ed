#pragma once

#include <QObject>
#include <functional>
#include <string>

class QWidget;
class TFileDialog;

// The dialogs the program asks the user through. Each is a service that a
// test can answer in place of the user; an unset answer shows the real dialog.
struct TDialogAnswers {
    std::function<void(const std::string& caption, const std::string& text)> ErrorBox;
    std::function<bool(std::string& folder)> BrowseForFolder;
    std::function<bool(TFileDialog& dialog)> FileDialog;
    std::function<bool(const std::string& caption, const std::string& question)> Confirm;
};

void SetDialogAnswers(TDialogAnswers answers);

// The text of the error box: the message with a full stop appended when its
// last character sorts after the full stop (a letter or digit does).
std::string ErrorBoxText(const std::string& message);

// The standard error box: error icon, the application title as caption.
void ShowErrorBox(const std::string& message);

// A question the user answers Yes or No (the default), the application
// title as caption: true for Yes.
bool ConfirmBox(const std::string& question);

// The folder picker, modal to the application. A folder text that names no
// existing folder is emptied first; otherwise it is preselected. On
// confirmation the chosen folder's full path replaces it: the root is "/",
// any other folder has no trailing separator.
bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder);

// An open or save dialog owned by a form and found there by its name.
class TFileDialog : public QObject {
public:
    enum class TKind { Open, Save };

    TFileDialog(QObject* owner, const char* name, TKind kind);

    TKind Kind() const { return FKind; }
    std::string FileName;
    std::string Filter;     // "Text Files|*.txt"
    int FilterIndex = 1;    // the type chosen in Filter, from 1; set by Execute
    std::string InitialDir;
    bool OverwritePrompt = false;

    // Runs the dialog; true when the user confirmed a file, now in FileName.
    bool Execute();

private:
    TKind FKind;
};
