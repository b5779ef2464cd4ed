#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Starting another program as a program, never as a shell command line: no
// shell reads the words, so blanks, quotes, ";" or "$(...)" in a word stay
// part of that word and run nothing.
//
// Main thread only.

// The words of a command text, split as a POSIX shell splits a simple
// command, without any expansion: unquoted blanks (space, tab, line break)
// separate words; inside single quotes every character stands for itself;
// inside double quotes a backslash keeps only $ ` " \ or a line break from
// their meaning; elsewhere a backslash keeps the next character as it is.
// Nothing (no words) for a quote that is never closed.
std::optional<std::vector<std::string>> SplitCommandWords(const std::string& text);

// The program and arguments a command setting stands for: the whole text as
// the program when it names an existing file (a program picked in a file
// dialog is stored as it is, blanks and all, without quotes); otherwise its
// words. Nothing for a quote that is never closed.
std::optional<std::vector<std::string>> CommandWords(const std::string& text);

// Starts command[0] with the other words as its arguments, each word handed
// over byte for byte. A program name without "/" is looked up in PATH. The
// program runs on its own, in a session of its own: it is not waited for
// and outlives this one. Returns false, with the system's reason in reason
// when one is given, when it could not be started (an empty command, a
// program not found or not executable).
bool StartProcess(const std::vector<std::string>& command, std::string* reason = nullptr);

// Tests answer in place of the system: while an answer is set, StartProcess
// hands it the command, unchanged, starts nothing and returns its result.
// An empty answer puts the system back.
using TProcessStartAnswer = std::function<bool(const std::vector<std::string>& command)>;
void SetProcessStartAnswer(TProcessStartAnswer answer);
