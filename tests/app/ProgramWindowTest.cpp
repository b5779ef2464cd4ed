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
