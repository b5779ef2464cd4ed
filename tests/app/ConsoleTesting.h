#pragma once

// What the console tests share: the console's words as a run of this
// interface gives them, and its lines as a script reads them.
#include <string>
#include <vector>

// What the console tells once a folder is watched, with this run's interface.
std::string Watching(const std::string& folder, const std::string& folders);

// The lines without their times, each checked to begin with one.
std::vector<std::string> WithoutTime(const std::vector<std::string>& lines);
