#include "util/Utilstrings.h"

#include "platform/system/PlatformInfo.h"

void ReplaceAll(std::string& text, std::string_view oldText, std::string_view newText) {
    if (oldText.empty())
        return;
    for (size_t at = text.find(oldText); at != std::string::npos; at = text.find(oldText))
        text.replace(at, oldText.size(), newText);
}

std::string LastChar(std::string_view text) {
    return text.empty() ? std::string() : std::string(1, text.back());
}

std::string ExtractFileExt(std::string_view path) {
#ifdef _WIN32
    constexpr std::string_view Delimiters = "\\:.";
#else
    constexpr std::string_view Delimiters = "/.";
#endif
    size_t at = path.find_last_of(Delimiters);
    if (at == std::string_view::npos || path[at] != '.')
        return {};
    return std::string(path.substr(at));
}
