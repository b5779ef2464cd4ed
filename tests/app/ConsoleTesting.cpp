#include "ConsoleTesting.h"

#include "EngineTesting.h"

#include <gtest/gtest.h>
#include <regex>

std::string Watching(const std::string& folder, const std::string& folders) {
    const std::string how = FanotifyServes(folder) ? "watched by fanotify"
                                                   : folders + " watched by inotify: chosen by SENTREL_CHANGE_BACKEND; "
                                                               "processes unknown: inotify does not tell them";
    return "watching " + folder + " (" + how + ")";
}

std::vector<std::string> WithoutTime(const std::vector<std::string>& lines) {
    static const std::regex time("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9] - ");
    std::vector<std::string> result;
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_search(line, time)) << line;
        result.push_back(line.substr(11));
    }
    return result;
}
