#include "records/PathText.h"

#include "runtime/SysUtils.h"

#include <algorithm>
#include <optional>

namespace {
constexpr std::string_view QuoteStart = "$'";

// Characters that would break a line, drive a terminal, reorder what a
// reader sees around them or hide in a name that looks like another.
bool IsShownQuoted(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x061C || code == 0x200B || code == 0x200E ||
           code == 0x200F || (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
           code == 0xFEFF;
}

// The length of the printable character at text[at]; 0 for a byte that is
// not one.
std::size_t PrintableLength(std::string_view text, std::size_t at) {
    if (const auto byte = static_cast<unsigned char>(text[at]); byte >= 0x20 && byte < 0x7F)
        return 1;
    char32_t code = 0;
    const std::size_t length = Utf8SequenceLength(text, at, code);
    return length == 0 || IsShownQuoted(code) ? 0 : length;
}

bool IsPrintable(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = PrintableLength(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

void AppendHexByte(std::string& out, char c) {
    static constexpr char Hex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += Hex[byte >> 4];
    out += Hex[byte & 0xF];
}

// The letters of the named escapes and the bytes they stand for.
constexpr std::string_view NamedLetters = "abtnvfre\\'";
constexpr std::string_view NamedBytes = "\a\b\t\n\v\f\r\x1b\\'";

// The bytes a quoting's inside stands for; none when it is not one that
// ShownPath makes (a bare quotation mark, an unknown escape).
std::optional<std::string> Unquoted(std::string_view inside) {
    std::string path;
    for (std::size_t at = 0; at < inside.size(); ++at) {
        const char c = inside[at];
        if (c == '\'')
            return std::nullopt;
        if (c != '\\') {
            path += c;
            continue;
        }
        if (++at == inside.size())
            return std::nullopt;
        if (const std::size_t named = NamedLetters.find(inside[at]); named != std::string_view::npos) {
            path += NamedBytes[named];
            continue;
        }
        if (inside[at] != 'x' || at + 2 >= inside.size() || HexDigitValue(inside[at + 1]) < 0 ||
            HexDigitValue(inside[at + 2]) < 0)
            return std::nullopt;
        path += static_cast<char>(HexDigitValue(inside[at + 1]) * 16 + HexDigitValue(inside[at + 2]));
        at += 2;
    }
    return path;
}
} // namespace

std::string ShownPath(std::string_view path) {
    if (!path.starts_with(QuoteStart) && IsPrintable(path))
        return std::string(path);
    std::string shown(QuoteStart);
    for (std::size_t at = 0; at < path.size();) {
        if (const std::size_t named = NamedBytes.find(path[at]); named != std::string_view::npos) {
            shown += '\\';
            shown += NamedLetters[named];
            ++at;
        } else if (const std::size_t length = PrintableLength(path, at); length > 0) {
            shown.append(path.substr(at, length));
            at += length;
        } else {
            // Every byte of a character that is quoted, so that no part of
            // it is left to a terminal.
            char32_t code = 0;
            const std::size_t bytes = std::max<std::size_t>(Utf8SequenceLength(path, at, code), 1);
            for (std::size_t i = 0; i < bytes; ++i)
                AppendHexByte(shown, path[at + i]);
            at += bytes;
        }
    }
    shown += '\'';
    return shown;
}

std::string PathOfShown(std::string_view shown) {
    if (shown.size() >= QuoteStart.size() + 1 && shown.starts_with(QuoteStart) && shown.ends_with('\''))
        if (std::optional<std::string> path = Unquoted(shown.substr(QuoteStart.size(), shown.size() - 3)))
            return *path;
    return std::string(shown);
}

std::string ShownMessage(std::string_view message) {
    std::string shown;
    for (std::size_t at = 0; at < message.size();) {
        if (const std::size_t length = PrintableLength(message, at); length > 0 || message[at] == '\n') {
            shown.append(message.substr(at, std::max<std::size_t>(length, 1)));
            at += std::max<std::size_t>(length, 1);
        } else {
            AppendHexByte(shown, message[at++]);
        }
    }
    return shown;
}

std::string WrappedPath(std::string_view shown, size_t width) {
    std::string wrapped;
    size_t characters = 0;
    for (const char byte : shown) {
        const bool starts = (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
        if (starts && characters == width) {
            wrapped += '\n';
            characters = 0;
        }
        characters += starts;
        wrapped += byte;
    }
    return wrapped;
}
