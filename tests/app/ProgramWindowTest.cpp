// The window run as the program it is, ended as a desktop ends it.
#include "Testing.h"
#include "ProgramProcess.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>

// A session that logs out ends the window with SIGTERM: it closes as "Exit"
// closes it, and the settings are written.
TEST(ProgramWindow, EndsOnSigtermAndKeepsTheSettings) {
    TTempDir dir;
    TTempDir settingsFolder;
    const std::string settings = settingsFolder / "sentrel.ini";
    std::ofstream(settings).flush();
    TProgram window({"--settings", settings, dir.Path()}, nullptr, true);
    ASSERT_TRUE(window.WaitCatching(SIGTERM)) << window.Error();
    window.Signal(SIGTERM);
    EXPECT_EQ(window.Finish(), 0) << window.Error();
    EXPECT_NE(ReadAll(settings).find(dir.Path()), std::string::npos) << "the watched folder is saved";
}

// Two windows on one settings file, each given a folder of its own: the
// one closed last keeps what the other saved.
TEST(ProgramWindow, TwoWindowsOnOneSettingsFileKeepEachOthersChanges) {
    TTempDir first, second, settingsFolder;
    const std::string settings = settingsFolder / "sentrel.ini";
    std::ofstream(settings).flush();
    TProgram one({"--settings", settings, first.Path()}, nullptr, true);
    ASSERT_TRUE(one.WaitCatching(SIGTERM)) << one.Error();
    TProgram two({"--settings", settings, second.Path()}, nullptr, true);
    ASSERT_TRUE(two.WaitCatching(SIGTERM)) << two.Error();
    ProcessEventsFor(std::chrono::milliseconds(300)); // both have read the file
    one.Signal(SIGTERM);
    ASSERT_EQ(one.Finish(), 0) << one.Error();
    two.Signal(SIGTERM);
    ASSERT_EQ(two.Finish(), 0) << two.Error();
    const std::string saved = ReadAll(settings);
    EXPECT_NE(saved.find(first.Path()), std::string::npos) << saved;
    EXPECT_NE(saved.find(second.Path()), std::string::npos) << saved;
}
