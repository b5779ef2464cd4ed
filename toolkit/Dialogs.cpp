#include "toolkit/Dialogs.h"

#include "toolkit/Application.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {
TDialogAnswers& Answers() {
    static TDialogAnswers answers;
    return answers;
}

QWidget* ActiveParent() {
    return QApplication::activeWindow();
}

// "Text Files|*.txt|All|*" becomes "Text Files (*.txt);;All (*)".
QString QtFilter(const std::string& filter) {
    QStringList parts = QString::fromStdString(filter).split('|');
    QStringList entries;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        entries << QStringLiteral("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(';', ' '));
    return entries.join(QStringLiteral(";;"));
}
} // namespace

void SetDialogAnswers(TDialogAnswers answers) {
    Answers() = std::move(answers);
}

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

void ShowErrorBox(const std::string& message) {
    const std::string text = ErrorBoxText(message);
    if (Answers().ErrorBox) {
        Answers().ErrorBox(TApplication::Title(), text);
        return;
    }
    QMessageBox::critical(ActiveParent(), QString::fromStdString(TApplication::Title()),
                          QString::fromStdString(text));
}

bool ConfirmBox(const std::string& question) {
    if (Answers().Confirm)
        return Answers().Confirm(TApplication::Title(), question);
    return QMessageBox::question(ActiveParent(), QString::fromStdString(TApplication::Title()),
                                 QString::fromStdString(question), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder) {
    if (!QFileInfo(QString::fromStdString(folder)).isDir())
        folder.clear();
    if (Answers().BrowseForFolder)
        return Answers().BrowseForFolder(folder);
    QString start = QString::fromStdString(folder.empty() ? root : folder);
    QString chosen = QFileDialog::getExistingDirectory(
        ActiveParent(), QString::fromStdString(title), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (chosen.isEmpty())
        return false;
    folder = QDir::cleanPath(chosen).toStdString();
    return true;
}

TFileDialog::TFileDialog(QObject* owner, const char* name, TKind kind)
    : QObject(owner), FKind(kind) {
    setObjectName(QString::fromLatin1(name));
}

bool TFileDialog::Execute() {
    if (Answers().FileDialog)
        return Answers().FileDialog(*this);
    QString start = QDir(QString::fromStdString(InitialDir)).filePath(QString::fromStdString(FileName));
    const QStringList types = QtFilter(Filter).split(QStringLiteral(";;"));
    QString type = types.value(FilterIndex - 1);
    QString chosen;
    if (FKind == TKind::Open) {
        chosen = QFileDialog::getOpenFileName(ActiveParent(), QString(), start, types.join(QStringLiteral(";;")),
                                              &type);
    } else {
        QFileDialog::Options options;
        if (!OverwritePrompt)
            options |= QFileDialog::DontConfirmOverwrite;
        chosen = QFileDialog::getSaveFileName(ActiveParent(), QString(), start, types.join(QStringLiteral(";;")),
                                              &type, options);
    }
    if (chosen.isEmpty())
        return false;
    FileName = chosen.toStdString();
    FilterIndex = static_cast<int>(types.indexOf(type)) + 1;
    return true;
}
