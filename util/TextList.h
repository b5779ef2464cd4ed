#pragma once

#include <string>
#include <vector>

// The text list file format: one line per list line, each ended by CR LF.
// Reading accepts CR LF, LF or CR; a final line break adds no empty line; a
// zero byte ends the text.
std::vector<std::string> ParseTextList(const std::string& content);
std::string FormatTextList(const std::vector<std::string>& lines);
