#include "util/UtilListBox.h"

#include "platform/files/FileReplace.h"
#include "runtime/Exception.h"
#include "runtime/SysUtils.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"

#include <QFile>

namespace {
TFileDialog* FormDialog(const TListBox& listBox, const char* name) {
    return listBox.window()->findChild<TFileDialog*>(QString::fromLatin1(name));
}

// The dialog's file name is cleared after every use, confirmed or not.
struct TClearFileName {
    TFileDialog& Dialog;
    ~TClearFileName() { Dialog.FileName.clear(); }
};

std::vector<std::string> ReadTextListFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(Format("Cannot open file %s", path.c_str()));
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EFOpenError(Format("Cannot open file %s", path.c_str()));
    return ParseTextList(content.toStdString());
}

// A save that fails, a full disk included, leaves the file that was there
// and says why.
void WriteListFile(const std::string& path, const std::string& content) {
    std::string reason;
    if (!ReplaceFileContents(path, content, TInPlace::WhenFolderIsShut, reason))
        throw EFCreateError(Format("Cannot write file %s\r\n%s", path.c_str(), reason.c_str()));
}
} // namespace

int ListBoxFindText(const std::string& text, const TListBox& listBox) {
    return listBox.FindText(text);
}

void ListBoxDeleteCurrent(TListBox& listBox) {
    if (listBox.Count() == 0 || listBox.ItemIndex() < 0)
        return;
    listBox.Delete(listBox.ItemIndex());
}

bool ListBoxHasSelection(const TListBox& listBox) {
    for (int i = 0; i < listBox.Count(); ++i)
        if (listBox.Selected(i))
            return true;
    return false;
}

bool ListBoxLoadFromFile(TListBox& listBox) {
    TFileDialog* dialog = FormDialog(listBox, "OpenDialog1");
    if (!dialog)
        return false;
    TClearFileName clear{*dialog};
    if (!dialog->Execute())
        return false;
    std::vector<std::string> lines = ReadTextListFile(dialog->FileName);
    listBox.Clear();
    for (auto& line : lines)
        listBox.Add(std::move(line));
    return true;
}

void ListBoxSaveToFile(const TListBox& listBox, TFileDialog* dialog, const TListFormat& format) {
    if (!dialog)
        dialog = FormDialog(listBox, "SaveDialog1");
    if (!dialog)
        return;
    TClearFileName clear{*dialog};
    if (dialog->Execute())
        WriteListFile(dialog->FileName, format ? format(listBox.Lines(), *dialog) : FormatTextList(listBox.Lines()));
}
