#pragma once

// The moments a question to the history names, as a user writes them.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Nanoseconds since 1970 now, by the system's clock.
int64_t HistoryTimeNow();
// Tests only: the clock HistoryTimeNow reads from now on, moved by the
// test instead of the machine's; none gives the system's back.
void SetHistoryClock(std::function<int64_t()> clock);

// The moment text names, in nanoseconds since 1970: "today" and
// "yesterday" (their first moment, local time), a time ago ("90s", "30m",
// "2h", "7d"), or a local date and time ("2026-12-07", "2026-12-07 14:05",
// "2026-12-07T14:05:09") up to 2262-04-10, the last day the history's times
// (nanoseconds in 64 bits) hold. None for anything else. now: the moment
// "ago" counts from, in nanoseconds since 1970.
std::optional<int64_t> ParseWhen(const std::string& text, int64_t now);

// The last moment of the second, minute or day text names, for an upper
// bound: "--until 2026-12-07" takes in the whole day.
std::optional<int64_t> ParseUntil(const std::string& text, int64_t now);
