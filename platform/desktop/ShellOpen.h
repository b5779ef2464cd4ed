#pragma once

#include <QUrl>
#include <functional>
#include <string>

// Opening a document, a folder or a web link with the program the user's
// desktop associates with it, as the desktop's file manager would. The
// desktop starts that program itself; no shell ever reads the text.
//
// Main thread only.

// Opens target: text that begins with a scheme of two or more characters and
// a colon ("http://...", "mailto:...", "file:///...") is opened as that link,
// any other text as a local path (a relative path from the current folder).
// The bytes of a path are kept exactly, also where they are not valid UTF-8.
// Returns false, with the reason in reason when one is given, when nothing
// was handed to the desktop: a path that names nothing, or a desktop that
// has no program to open links with. Whether the program the desktop picks
// then opens the target is not known here.
bool ShellOpen(const std::string& target, std::string* reason = nullptr);

// The link the desktop is handed for target.
QUrl ShellOpenUrl(const std::string& target);

// Tests answer in place of the desktop: while an answer is set, ShellOpen
// hands it the target text, unchanged, once the target has passed the check
// that a path names something, opens nothing and returns the answer's
// result. An empty answer puts the desktop back.
using TShellOpenAnswer = std::function<bool(const std::string& target)>;
void SetShellOpenAnswer(TShellOpenAnswer answer);
