#include "util/TextList.h"

#include <algorithm>

std::vector<std::string> ParseTextList(const std::string& content) {
    std::vector<std::string> lines;
    const size_t end = std::min(content.find('\0'), content.size());
    size_t start = 0;
    while (start < end) {
        size_t stop = content.find_first_of("\r\n", start);
        if (stop == std::string::npos || stop > end)
            stop = end;
        lines.push_back(content.substr(start, stop - start));
        if (stop < end && content[stop] == '\r' && stop + 1 < end && content[stop + 1] == '\n')
            ++stop;
        start = stop + 1;
    }
    return lines;
}

std::string FormatTextList(const std::vector<std::string>& lines) {
    std::string content;
    for (const auto& line : lines) {
        content += line;
        content += "\r\n";
    }
    return content;
}
