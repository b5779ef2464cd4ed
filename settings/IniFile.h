#pragma once

// The settings file as SimpleIni holds it, for the units of TUtilObj alone.
#include "settings/UtilObj.h"

// Only the 8-bit interface is used: no wide-character conversion is needed.
#define SI_NO_CONVERSION
#include <SimpleIni.h>
#include <string>
#include <vector>

// Bytes are kept as they are (no UTF-8 conversion) and keys and sections
// are matched ignoring case. The library's own quoting and multi-line values
// are off: a value is always one line, encoded by EncodeIniValue, so that
// nothing a value holds can end it early or start a key or a section.
struct TIniFile {
    CSimpleIniA Ini{/*isUtf8=*/false, /*multiKey=*/false, /*multiLine=*/false};

    // Reads the file; a missing one reads as empty, an unreadable one
    // raises EFOpenError naming the path.
    explicit TIniFile(const std::string& path);

    TIniSections AllSections() const;
    std::vector<std::string> SectionLines(const std::string& section) const;
};
