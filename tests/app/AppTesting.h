#pragma once

#include "Testing.h"
#include "tray/FakeTrayService.h"

#include "app/Program.h"
#include "app/Unit1.h"
#include "settings/UtilObj.h"
#include "toolkit/ListBox.h"

#include <gtest/gtest.h>
#include <memory>
#include <regex>

// A watch used only as the sender of a change, on the given folder.
inline std::unique_ptr<TBriskoDirWatch> SenderOn(const std::string& folder) {
    auto watch = std::make_unique<TBriskoDirWatch>();
    watch->SetDirectory(folder);
    return watch;
}

// The program's four windows, made afresh for each test, with a fake
// notification area that is there unless a test takes it away, and a
// settings file of the test's own (SettingsFile), absent at the start.
class TProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        FSettingsBefore = UtilObj.GetIniFileName();
        UtilObj.SetIniFileName(SettingsFile);
        Forms = std::make_unique<TProgramForms>();
        TakeErrorBoxes();
    }
    void TearDown() override {
        Forms.reset();
        SetDialogAnswers(TestDialogAnswers());
        UtilObj.SetIniFileName(FSettingsBefore);
    }

    TTempDir SettingsDir;
    const std::string SettingsFile = SettingsDir / "sentrel.ini";
    std::string FSettingsBefore;

    // The results lines without their times, which are checked on the way.
    static std::vector<std::string> ResultsWithoutTime() {
        static const std::regex time("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9] - ");
        std::vector<std::string> lines;
        for (const std::string& line : Form1->lbResults->Lines()) {
            EXPECT_TRUE(std::regex_search(line, time)) << line;
            lines.push_back(line.substr(11));
        }
        return lines;
    }

    TFakeTrayService::TLog TrayLog;
    TFakeTrayScope TrayScope{TrayLog};
    std::unique_ptr<TProgramForms> Forms;
};
