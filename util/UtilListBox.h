#pragma once

#include "util/TextList.h"

#include <functional>
#include <string>
#include <vector>

class TListBox;
class TFileDialog;

// The first line, from the top, that contains text anywhere (ASCII letters
// compared upper-cased); -1 when none does or text is empty.
int ListBoxFindText(const std::string& text, const TListBox& listBox);

// Removes the current line and frees what it carries; nothing without one.
void ListBoxDeleteCurrent(TListBox& listBox);

// True when any line is selected.
bool ListBoxHasSelection(const TListBox& listBox);

// Replaces the lines by those of a text list file the user picks in the
// form's "OpenDialog1"; true when it did, false when the user cancelled. A
// file that cannot be read leaves the lines as they were and raises
// "Cannot open file %s".
bool ListBoxLoadFromFile(TListBox& listBox);

// Writes the lines to a text list file the user picks in dialog, or in the
// form's "SaveDialog1" when none is given. The file is replaced only once the
// new text is completely written.
// format, when given, makes the file's text from the lines and the type
// chosen in the dialog's filter.
using TListFormat = std::function<std::string(const std::vector<std::string>& lines, const TFileDialog& dialog)>;
void ListBoxSaveToFile(const TListBox& listBox, TFileDialog* dialog = nullptr, const TListFormat& format = {});
