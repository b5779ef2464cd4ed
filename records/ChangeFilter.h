#pragma once

#include "platform/changes/DirChanges.h"
#include "platform/processes/ProcessNames.h"

#include <string>
#include <string_view>
#include <vector>

// Lines of text as some list holds them, read in place at every question,
// so that an edit of the list counts from the next change on.
class TLineList {
public:
    virtual ~TLineList() = default;
    virtual int Count() const = 0;
    virtual std::string_view Line(int index) const = 0;
};

// A list of its own, for lists that no window shows.
class TLineVector : public TLineList {
public:
    TLineVector() = default;
    explicit TLineVector(std::vector<std::string> lines) : FLines(std::move(lines)) {}
    int Count() const override { return static_cast<int>(FLines.size()); }
    std::string_view Line(int index) const override { return FLines[static_cast<size_t>(index)]; }

private:
    std::vector<std::string> FLines;
};

// Which changes are listed: the one rule of the main window and of the
// console, over five lists that the filter reads but does not own:
// excluded folders (entries ending in the separator) and files, excluded
// folder names, excluded file types, included file types, and the programs
// whose changes are not listed (their paths).
class TChangeFilter {
public:
    TChangeFilter(const TLineList& excluded, const TLineList& excludedNames, const TLineList& excludedTypes,
                  const TLineList& includedTypes, const TLineList& excludedPrograms)
        : FExcluded(excluded), FExcludedNames(excludedNames), FExcludedTypes(excludedTypes),
          FIncludedTypes(includedTypes), FExcludedPrograms(excludedPrograms) {}

    // True when the change of path is not to be listed. Included types, when
    // there are any, decide alone; otherwise an excluded folder, an excluded
    // file or an excluded type hides it. Types compare ignoring ASCII case.
    bool IsFilteredOut(const std::string& path) const;
    // True when path lies in an excluded folder: some entry that ends in the
    // separator begins path (an entry that begins with the separator) or
    // occurs in it (any other entry), letter case significant; or a folder
    // on its way has an excluded name, whole.
    bool IsExcludedPath(const std::string& path) const;
    // True when path is listed as a file of its own, compared as the system
    // compares paths.
    bool IsExcludedFile(const std::string& path) const;
    // True when the change was made by a program the user excluded: one
    // whose path is listed, byte for byte.
    bool IsExcludedProgram(const TChangeProcess* process) const;
    // The folder rules as they stand now, for a watch to leave those folders
    // out: a copy that later edits of the lists do not touch; nullptr when
    // no folder is excluded.
    TFolderExclusionRules FolderRules() const;

private:
    const TLineList& FExcluded;
    const TLineList& FExcludedNames;
    const TLineList& FExcludedTypes;
    const TLineList& FIncludedTypes;
    const TLineList& FExcludedPrograms;
};

// Whether name may stand in the list of excluded folder names: a whole
// name, neither empty nor "." nor "..", without a separator.
bool IsFolderName(const std::string& name);

// The file type of a path as the type lists hold it: "*" and the extension
// with its dot; "*" alone for a name without one.
std::string FileTypeOf(const std::string& path);
