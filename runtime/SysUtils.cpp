#include "runtime/SysUtils.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) <= 32;
}
} // namespace

std::string Trim(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsTrimmed(text[first]))
        ++first;
    while (last > first && IsTrimmed(text[last - 1]))
        --last;
    return std::string(text.substr(first, last - first));
}

std::string UpperCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = UpperChar(c);
    return result;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i]))
            return false;
    return true;
}

bool ContainsText(std::string_view text, std::string_view part) {
    if (part.size() > text.size())
        return false;
    for (size_t start = 0; start + part.size() <= text.size(); ++start) {
        size_t i = 0;
        while (i < part.size() && UpperChar(text[start + i]) == UpperChar(part[i]))
            ++i;
        if (i == part.size())
            return true;
    }
    return false;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> text(length > 0 ? length + 1 : 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    return std::string(text.data(), length > 0 ? length : 0);
}
