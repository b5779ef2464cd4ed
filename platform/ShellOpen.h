#pragma once

#include <QUrl>
#include <functional>
#include <string>

// Opening a document, a folder or a web link with the program the user's
// desktop associates with it, as the desktop's file manager would. The
// desktop starts that program itself; no shell ever reads the text.
//
// Main thread only. The result is not reported: the program makes the call
// and goes on whether or not anything opened.

// Opens target: text that begins with a scheme of two or more characters and
// a colon ("http://...", "mailto:...", "file:///...") is opened as that link,
// any other text as a local path (a relative path from the current folder).
// The bytes of a path are kept exactly, also where they are not valid UTF-8.
void ShellOpen(const std::string& target);

// The link the desktop is handed for target.
QUrl ShellOpenUrl(const std::string& target);

// Tests answer in place of the desktop: while an answer is set, ShellOpen
// hands it the target text, unchanged, and opens nothing. An empty answer
// puts the desktop back.
using TShellOpenAnswer = std::function<void(const std::string& target)>;
void SetShellOpenAnswer(TShellOpenAnswer answer);
