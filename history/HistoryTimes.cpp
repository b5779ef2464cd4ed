#include "history/HistoryTimes.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace {
constexpr int64_t Second = 1000000000;

struct TMoment {
    int64_t Start;   // nanoseconds since 1970
    int64_t Length;  // of the second, minute or day named
};

std::optional<int64_t> LocalMoment(int year, int month, int day, int hour, int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::tm asked = local;
    const std::time_t moment = std::mktime(&local);
    // mktime carries 31 November into December: such a date names nothing.
    if (moment == -1 || local.tm_mday != asked.tm_mday || local.tm_mon != asked.tm_mon || local.tm_hour != asked.tm_hour)
        return std::nullopt;
    return static_cast<int64_t>(moment) * Second;
}

std::optional<TMoment> Parse(const std::string& text, int64_t now) {
    if (text == "today" || text == "yesterday") {
        const std::time_t seconds = static_cast<std::time_t>(now / Second);
        std::tm local{};
        localtime_r(&seconds, &local);
        auto start = LocalMoment(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday - (text == "yesterday"), 0, 0, 0);
        return start ? std::optional<TMoment>({*start, 86400 * Second}) : std::nullopt;
    }
    if (text.size() >= 2 && std::isdigit(static_cast<unsigned char>(text.front()))) {
        size_t digits = 0;
        while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
            ++digits;
        const std::string unit = text.substr(digits);
        const int64_t per = unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
        if (per != 0 && digits <= 6)
            return TMoment{now - std::stoll(text.substr(0, digits)) * per * Second, Second};
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 0, end = 0;
    const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c", &year, &month, &day, &separator, &hour,
                                   &minute, &second, &end);
    const bool dateOnly = fields == 3 && text.size() == 10;
    const bool withTime = (fields == 6 || fields == 7) && (separator == ' ' || separator == 'T');
    if (!dateOnly && !withTime)
        return std::nullopt;
    const auto start = LocalMoment(year, month, day, hour, minute, second);
    if (!start)
        return std::nullopt;
    return TMoment{*start, dateOnly ? 86400 * Second : fields == 6 ? 60 * Second : Second};
}
} // namespace

std::optional<int64_t> ParseWhen(const std::string& text, int64_t now) {
    const auto moment = Parse(text, now);
    return moment ? std::optional<int64_t>(moment->Start) : std::nullopt;
}

std::optional<int64_t> ParseUntil(const std::string& text, int64_t now) {
    const auto moment = Parse(text, now);
    return moment ? std::optional<int64_t>(moment->Start + moment->Length - 1) : std::nullopt;
}
