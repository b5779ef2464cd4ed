#include "platform/system/TextConversion.h"

#include "runtime/SysUtils.h"

namespace {
constexpr char16_t EscapeBase = 0xDC00;

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

#ifdef _WIN32
// The three bytes of generalized UTF-8 that stand for a lone surrogate
// (ED A0 80 to ED BF BF); 0 where text holds none at i.
size_t LoneSurrogateLength(std::string_view text, size_t i, char32_t& code) {
    if (i + 2 >= text.size() || static_cast<unsigned char>(text[i]) != 0xED)
        return 0;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    const auto third = static_cast<unsigned char>(text[i + 2]);
    if (second < 0xA0 || second > 0xBF || (third & 0xC0) != 0x80)
        return 0;
    code = 0xD000 | ((second & 0x3F) << 6) | (third & 0x3F);
    // Those of the bytes' range are never written so: they stand for bytes.
    return code >= EscapeBase + 0x80 && code <= EscapeBase + 0xFF ? 0 : 3;
}
#endif
} // namespace

std::u16string Local8ToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t code;
        size_t length = Utf8SequenceLength(text, i, code);
#ifdef _WIN32
        if (length == 0)
            length = LoneSurrogateLength(text, i, code);
#endif
        if (length == 0) {
            out += static_cast<char16_t>(EscapeBase + static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += length;
    }
    return out;
}

namespace {
// A lone surrogate of the range that stands for a byte becomes the byte
// again. Any other: on Windows, whose names may hold any 16-bit units, its
// three bytes, which Local8ToWide turns back into it; on Linux, where no
// name holds one, '?'.
void AppendLoneSurrogate(std::string& out, char16_t unit) {
    if (unit >= EscapeBase + 0x80 && unit <= EscapeBase + 0xFF) {
        out += static_cast<char>(unit - EscapeBase);
        return;
    }
#ifdef _WIN32
    AppendUtf8(out, unit);
#else
    out += '?';
#endif
}
} // namespace

std::string WideToLocal8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (high || low) {
            AppendLoneSurrogate(out, unit);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}
