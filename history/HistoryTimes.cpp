#include "history/HistoryTimes.h"

#include "runtime/SysUtils.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>

namespace {
constexpr int64_t Second = 1000000000;
// The most a time ago may be: a hundred years.
constexpr int64_t MostAgo = 100LL * 366 * 86400;

struct TMoment {
    int64_t Start; // nanoseconds since 1970
    int64_t Next;  // the start of the next second, minute or day named
};

// The moment of a local date and time; mktime carries what lies beyond a
// field on (the 0th of a month is the last of the one before, a midnight
// a change of clock skips is the moment after it).
std::optional<int64_t> LocalMoment(int year, int month, int day, int hour, int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t moment = std::mktime(&local);
    // Times are kept as nanoseconds in 64 bits: 2262-04-11 is the last day
    // that holds.
    if (moment == -1 || moment > std::numeric_limits<int64_t>::max() / Second)
        return std::nullopt;
    return static_cast<int64_t>(moment) * Second;
}

std::optional<TMoment> Day(int year, int month, int day) {
    const auto start = LocalMoment(year, month, day, 0, 0, 0);
    const auto next = LocalMoment(year, month, day + 1, 0, 0, 0);
    return start && next ? std::optional<TMoment>({*start, *next}) : std::nullopt;
}

bool ValidDate(int year, int month, int day) {
    static constexpr int Days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return year >= 1970 && month >= 1 && month <= 12 && day >= 1 &&
           day <= (month == 2 && !leap ? 28 : Days[month - 1]);
}

std::optional<TMoment> Parse(const std::string& text, int64_t now) {
    if (text == "today" || text == "yesterday") {
        const std::time_t seconds = static_cast<std::time_t>(now / Second);
        std::tm local{};
        LocalTime(seconds, local);
        return Day(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday - (text == "yesterday" ? 1 : 0));
    }
    if (text.size() >= 2 && std::isdigit(static_cast<unsigned char>(text.front()))) {
        size_t digits = 0;
        while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
            ++digits;
        const std::string unit = text.substr(digits);
        const int64_t per = unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
        if (per != 0 && digits <= 9) {
            const int64_t ago = std::stoll(text.substr(0, digits)) * per;
            if (ago <= MostAgo)
                return TMoment{now - ago * Second, now - ago * Second + Second};
        }
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 0, end = 0;
    const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c", &year, &month, &day, &separator, &hour,
                                   &minute, &second, &end);
    const bool dateOnly = fields == 3 && text.size() == 10;
    const bool withTime = (separator == ' ' || separator == 'T') &&
                          ((fields == 6 && text.size() == 16) || (fields == 7 && text.size() == 19));
    if ((!dateOnly && !withTime) || !ValidDate(year, month, day) || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    if (dateOnly)
        return Day(year, month, day);
    const auto start = LocalMoment(year, month, day, hour, minute, second);
    if (!start)
        return std::nullopt;
    return TMoment{*start, *start + (fields == 6 ? 60 : 1) * Second};
}
} // namespace

std::optional<int64_t> ParseWhen(const std::string& text, int64_t now) {
    const auto moment = Parse(text, now);
    return moment ? std::optional<int64_t>(moment->Start) : std::nullopt;
}

std::optional<int64_t> ParseUntil(const std::string& text, int64_t now) {
    const auto moment = Parse(text, now);
    return moment ? std::optional<int64_t>(moment->Next - 1) : std::nullopt;
}

namespace {
std::mutex ClockLock;
std::function<int64_t()> Clock;
} // namespace

int64_t HistoryTimeNow() {
    {
        std::lock_guard lock(ClockLock);
        if (Clock)
            return Clock();
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SetHistoryClock(std::function<int64_t()> clock) {
    std::lock_guard lock(ClockLock);
    Clock = std::move(clock);
}
