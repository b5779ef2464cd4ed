#pragma once

#include "runtime/Exception.h"
#include "runtime/Object.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

// The settings file refused a write or the erasing of a section:
// "Unable to write to <path>", followed on a line of its own by the
// system's reason where there is one.
class EIniFileError : public TExceptionOf<EIniFileError> {
public:
    using TExceptionOf::TExceptionOf;
};

// Sections by name, letter case ignored, each as its key=value lines in
// file order.
struct TSameTextLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using TIniSections = std::map<std::string, std::vector<std::string>, TSameTextLess>;

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
    // Whether the file in use is the one beside the executable, a portable
    // copy's, which keeps its other files beside it too.
    bool IsPortable() const;
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
    // The key=value lines that a write gives its section, as ReadSection
    // would read them back (numbered lines keyed "0", "1", ...).
    static std::vector<std::string> SectionLines(const TSectionWrite& write);
    // Every section of the file in one read, creating the file as
    // ReadSection does.
    TIniSections ReadSections() const;
    // Reads the file, hands its sections to update and writes the sections
    // that update gives, as WriteSections does, in one save; other programs
    // saving the same file wait meanwhile, so no change of theirs falls
    // between the read and the write.
    void UpdateSections(const std::function<std::vector<TSectionWrite>(const TIniSections& onDisk)>& update) const;
    // Removes what a save that never finished (the program was killed
    // during it) left beside the file.
    void RemoveUnfinishedSaves() const;
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
    // As ValueOfKey, but nothing when no line has the key.
    static std::optional<std::string> FindValueOfKey(const std::vector<std::string>& lines, std::string_view key);
    // The values of a list section read by ReadSection: the values of the
    // keys that are numbers in decimal ("0", "1", ...), in the order of their
    // numbers whatever the gaps between them. Keys of other names are never read.
    static std::vector<std::string> ListValues(const std::vector<std::string>& lines);

    // How a value is stored: as it is when it is printable text (valid
    // UTF-8 without control characters) that does not begin or end with a
    // blank, begin with a quotation mark or with "<<<"; otherwise between
    // quotation marks, with \\ \" \n \r \t and \xHH (any other byte)
    // escaped. Either form is one line, and DecodeIniValue gives back every
    // value byte for byte. A stored value between quotation marks with an
    // unescaped one inside is taken as it stands, quotes and all, as a user
    // editing the file by hand would mean it.
    static std::string EncodeIniValue(std::string_view value);
    static std::string DecodeIniValue(std::string_view stored);

    // Points every operation at this file instead of the computed one; empty
    // goes back to the computed one. Tests point it at a temporary file.
    void SetIniFileName(std::string path) { FIniFileName = std::move(path); }
    // The program whose settings these are, and beside which a portable
    // copy keeps them: the running one unless set (the console of a build
    // whose window is another program reads the window's settings).
    void SetProgramFile(std::string path) { FProgramFile = std::move(path); }

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
    std::string ProgramFile() const;

    std::string FIniFileName;
    std::string FProgramFile;
};

// The one instance, alive from start-up to the end of the program.
extern TUtilObj UtilObj;
