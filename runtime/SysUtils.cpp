#include "runtime/SysUtils.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The first character of part is looked for with memchr, in both cases: a
// filter goes through a million lines at one go.
bool ContainsText(std::string_view text, std::string_view part) {
    if (part.empty())
        return true;
    if (part.size() > text.size())
        return false;
    const char upper = UpperChar(part[0]);
    const char lower = upper >= 'A' && upper <= 'Z' ? static_cast<char>(upper - 'A' + 'a') : upper;
    const char* const end = text.data() + (text.size() - part.size()) + 1; // past the last place part may begin
    const auto next = [end](const char* from, char c) {
        const void* found = std::memchr(from, c, static_cast<size_t>(end - from));
        return found ? static_cast<const char*>(found) : end;
    };
    for (const char* at = text.data(); at < end; ++at) {
        at = std::min(next(at, upper), lower == upper ? end : next(at, lower));
        if (at == end)
            return false;
        size_t i = 1;
        while (i < part.size() && UpperChar(at[i]) == UpperChar(part[i]))
            ++i;
        if (i == part.size())
            return true;
    }
    return false;
}

size_t Utf8SequenceLength(std::string_view text, size_t at, char32_t& code) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(at);
    size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + k) & 0x3F);
    }
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (code < minimum || code > 0x10FFFF || surrogate)
        return 0;
    return length;
}

bool IsUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const size_t length = Utf8SequenceLength(text, at, code);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
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

std::string GroupedNumber(uint64_t number) {
    std::string digits = std::to_string(number);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), 1, ',');
    return digits;
}

std::string Base64(std::string_view bytes) {
    static constexpr char Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t left = bytes.size() - at;
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 16;
        if (left > 1)
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
        if (left > 2)
            group |= static_cast<unsigned char>(bytes[at + 2]);
        text += Digits[group >> 18];
        text += Digits[(group >> 12) & 63];
        text += left > 1 ? Digits[(group >> 6) & 63] : '=';
        text += left > 2 ? Digits[group & 63] : '=';
    }
    return text;
}

std::string TimesText(uint64_t count) {
    return count == 1 ? "once" : count == 2 ? "twice" : std::to_string(count) + " times";
}

long LocalTime(time_t second, tm& local) {
#ifdef _WIN32
    localtime_s(&local, &second);
    tm copy = local;
    return static_cast<long>((_mkgmtime(&copy) - second) / 60);
#else
    localtime_r(&second, &local);
    return local.tm_gmtoff / 60;
#endif
}

namespace {
struct TSecondText {
    time_t Second = -1;
    std::string Clock, Date, Offset;
};

void MakeSecondText(TSecondText& text, time_t second) {
    tm local{};
    const long offset = LocalTime(second, local);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
    text.Clock = buffer;
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
    text.Date = buffer;
    text.Offset = Format("%c%02ld:%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    text.Second = second;
}

const TSecondText& SecondText(const timespec& now) {
    thread_local TSecondText text;
    if (now.tv_sec != text.Second)
        MakeSecondText(text, now.tv_sec);
    return text;
}

timespec RealTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}
} // namespace

std::string LocalClockNow() {
    return SecondText(RealTimeNow()).Clock;
}

std::string LocalStampNow() {
    const timespec now = RealTimeNow();
    const TSecondText& text = SecondText(now);
    return Format("%s.%03ld%s", text.Date.c_str(), now.tv_nsec / 1000000, text.Offset.c_str());
}

std::optional<TLocalDay> LocalDayOfRecentClock(std::string_view clock) {
    constexpr time_t Recent = 60;
    const timespec now = RealTimeNow();
    const TSecondText& current = SecondText(now);
    auto dayOf = [](const TSecondText& text) { return TLocalDay{text.Date.substr(0, 10), text.Offset}; };
    if (current.Clock == clock)
        return dayOf(current);
    TSecondText earlier;
    for (time_t back = 1; back <= Recent; ++back) {
        MakeSecondText(earlier, now.tv_sec - back);
        if (earlier.Clock == clock)
            return dayOf(earlier);
    }
    return std::nullopt;
}

std::string LocalStampOf(int64_t nanoseconds) {
    TSecondText text;
    const time_t second = static_cast<time_t>(nanoseconds / 1000000000);
    MakeSecondText(text, second);
    return Format("%s.%03ld%s", text.Date.c_str(), static_cast<long>(nanoseconds % 1000000000 / 1000000),
                  text.Offset.c_str());
}

std::string LocalDateClockOf(int64_t nanoseconds) {
    TSecondText text;
    MakeSecondText(text, static_cast<time_t>(nanoseconds / 1000000000));
    std::string date = text.Date;
    date[10] = ' ';
    return date;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
