#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Text operations of the run-time library the program's units share.

// Removes every leading and trailing character of code 32 or less.
std::string Trim(std::string_view text);

// Upper-cases the ASCII letters a to z; every other byte stays as it is.
std::string UpperCase(std::string_view text);

// Equal when ASCII letters are compared without regard to case and every
// other byte exactly.
bool SameText(std::string_view a, std::string_view b);

// True when text contains part anywhere, ASCII letter case ignored.
bool ContainsText(std::string_view text, std::string_view part);

// The length of the valid UTF-8 sequence that starts at text[at], with the
// character it stands for in code; 0 when the bytes there are not one
// (overlong forms and surrogates are not).
size_t Utf8SequenceLength(std::string_view text, size_t at, char32_t& code);
// True when every byte of text is part of a valid UTF-8 sequence.
bool IsUtf8(std::string_view text);

// The value of a hexadecimal digit of either case; -1 for any other byte.
int HexDigitValue(char c);

// bytes in Base64 (RFC 4648, with padding).
std::string Base64(std::string_view bytes);

// How often something happened, for the user: "once", "twice", "3 times".
std::string TimesText(uint64_t count);

// The local time of second, and its distance from UTC in minutes.
long LocalTime(std::time_t second, std::tm& local);

// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A count with its thousands grouped by commas ("1,234"), as messages show it.
std::string GroupedNumber(uint64_t number);

// The local time now, as "hh:mm:ss" and as RFC 3339 with milliseconds and
// the offset ("2026-12-07T14:05:09.123+01:00"). The text of the second is
// made once a second per thread: a burst of changes asks for it often.
std::string LocalClockNow();
std::string LocalStampNow();
// A moment given in nanoseconds since 1970 as LocalStampNow gives now, and
// as the local date and time to the second ("2026-12-07 14:05:09").
std::string LocalStampOf(int64_t nanoseconds);
std::string LocalDateClockOf(int64_t nanoseconds);

// The local date and offset ("2026-12-07", "+01:00") of the latest moment
// of the last minute whose clock read clock ("hh:mm:ss"): the day of a line
// stamped with the clock a moment ago, midnight or a change of the offset
// in between. None when no moment of that minute did.
struct TLocalDay {
    std::string Date;
    std::string Offset;
};
std::optional<TLocalDay> LocalDayOfRecentClock(std::string_view clock);
