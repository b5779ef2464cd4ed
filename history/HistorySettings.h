#pragma once

// The history as the window and the console use it: where it is kept and
// its settings (the [History] section: Keep=T|F, Days=30, Records=10000000,
// ListLimit=1000000).
#include "history/HistoryStore.h"

#include <string>
#include <vector>

struct THistorySettings {
    bool Keep = true;
    THistoryRetention Retention;
    // While the history is kept, the results list keeps this many of the
    // newest lines; the older ones are found in the history.
    int ListLimit = 1000000;
};

// The least and most each number may be (ListLimit: lines).
inline constexpr int LeastDays = 1, MostDays = 36500;
inline constexpr int64_t LeastRecords = 1000, MostRecords = 2000000000;
inline constexpr int LeastListLimit = 2, MostListLimit = 100000000;

// The settings in the section's key=value lines. A missing value keeps its
// default; one beyond its bounds (0 and negative ones below them) is taken
// as the nearest bound, and one that is no number keeps the default: each
// such is said in warnings, when given.
THistorySettings HistorySettingsOf(const std::vector<std::string>& lines,
                                   std::vector<std::string>* warnings = nullptr);
std::vector<std::string> HistorySectionOf(const THistorySettings& settings);

// The database of the settings file in use: beside a portable copy's
// settings, else in the user's state folder.
std::string HistoryFileName();
// The files the history writes: the database and its journals. No change
// to them is ever listed.
bool IsHistoryFile(const std::string& path, const std::string& database);
