#pragma once

#include "runtime/Exception.h"
#include "runtime/Object.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

// The settings file refused a write or the erasing of a section:
// "Unable to write to <path>".
class EIniFileError : public TExceptionOf<EIniFileError> {
public:
    using TExceptionOf::TExceptionOf;
};

// The program's only access to its settings file: where it lies,
// making sure it exists, reading and rewriting one section at a time, and the
// main window's geometry in section "Layout".
//
// Every operation opens the file, does its work and releases it, so each one
// sees the file as it is on disk at that moment. Keys and section names are
// matched without regard to case. A write replaces the file only once the
// new contents are completely written (temporary file, then rename), so an
// interrupted save leaves the previous file whole; sections it does not
// touch stay as they were.
//
// Main thread only.
class TUtilObj : public TObject {
public:
    // The file in use: the name set by SetIniFileName when there is one;
    // otherwise beside the executable when its folder is writable, else in
    // the user's configuration folder (see IniFileNameFor).
    std::string GetIniFileName() const;
    // Creates an empty file (and its folder) when none exists; always true
    // when it returns. A file that cannot be created raises EFCreateError
    // naming the path and the system's reason.
    bool EnsureIniFile() const;
    // Replaces list by the section's key=value lines, keys in file order; a
    // missing section gives an empty list. An unreadable file raises
    // EFOpenError naming the path.
    void ReadSection(const std::string& section, std::vector<std::string>& list) const;
    // As ReadSection, but nothing is created: a missing file reads as empty.
    void ReadExistingSection(const std::string& section, std::vector<std::string>& list) const;
    // Erases the section and writes the lines: numbered, as keys "0", "1",
    // ... with the whole line as value; otherwise each line split at its
    // first "=" into key and value, the value cut to 1000 characters.
    // A refused write raises EIniFileError "Unable to write to <path>".
    void WriteSection(const std::string& section, const std::vector<std::string>& lines, bool numbered) const;
    // Several sections written as WriteSection writes each, in one save:
    // all of them reach the file, or none does.
    struct TSectionWrite {
        std::string Section;
        std::vector<std::string> Lines;
        bool Numbered;
    };
    void WriteSections(const std::vector<TSectionWrite>& writes) const;
    // The section "Layout" that SaveLayout writes for window.
    static TSectionWrite LayoutOf(const QWidget& window);
    // Writes the window's Top, Left, Width and Height (outer size) to "Layout".
    void SaveLayout(const QWidget& window) const;
    // Sets the window's Top, Left, Width and Height from "Layout"; a missing,
    // empty or non-numeric value keeps the current one.
    void RestoreLayout(QWidget& window) const;

    // The value of the first of the key=value lines whose key is key, letter
    // case ignored; empty when no line has it.
    static std::string ValueOfKey(const std::vector<std::string>& lines, std::string_view key);
    // The values of a list section read by ReadSection: for i from 0 to the
    // number of lines less one, the value of key i in decimal (empty when no
    // line has that key). Keys of other names are never read.
    static std::vector<std::string> ListValues(const std::vector<std::string>& lines);

    // Points every operation at this file instead of the computed one; empty
    // goes back to the computed one. Tests point it at a temporary file.
    void SetIniFileName(std::string path) { FIniFileName = std::move(path); }

    // The location rules, as pure computation: beside the executable, named
    // after it up to and including its first "." followed by "ini" (the
    // whole name followed by ".ini" when it has no "."), when exeFolderWritable;
    // otherwise the same name in configFolder.
    static std::string IniFileNameFor(const std::string& exePath, bool exeFolderWritable,
                                      const std::string& configFolder);
    // True for the folders a system's package manager fills with programs
    // (/usr and everything below it, /bin, /sbin): a copy installed there
    // keeps its settings in the user's folder even when it may write there,
    // as root may.
    static bool IsSystemProgramFolder(std::string_view folder);

    // Tests only: called with the settings file's path once the new contents
    // are complete in the temporary file and before that file replaces it;
    // an exception thrown there stands for a crash at that moment.
    static void SetBeforeReplace(std::function<void(const std::string& path)> hook);

private:
    std::string FIniFileName;
};

// The one instance, alive from start-up to the end of the program.
extern TUtilObj UtilObj;
