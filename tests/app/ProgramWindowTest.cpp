// The window run as the program it is, ended as a desktop ends it.
#include "Testing.h"
#include "ProgramProcess.h"
#include "XDesktop.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>

// A session that logs out ends the window with SIGTERM: it closes as "Exit"
// closes it, and the settings are written.
TEST(ProgramWindow, EndsOnSigtermAndKeepsTheSettings) {
    TTempDir dir;
    TTempDir settingsFolder;
    const std::string settings = settingsFolder / "sentrel.ini";
    std::ofstream(settings).flush();
    TProgram window({"--settings", settings, dir.Path()}, nullptr, "offscreen");
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
    TProgram one({"--settings", settings, first.Path()}, nullptr, "offscreen");
    ASSERT_TRUE(one.WaitCatching(SIGTERM)) << one.Error();
    TProgram two({"--settings", settings, second.Path()}, nullptr, "offscreen");
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

namespace {
// The "Layout" section the window saved, as Left, Top, Width, Height.
std::vector<int> SavedLayout(const std::string& settings) {
    const std::string text = ReadAll(settings);
    std::vector<int> values;
    for (const char* key : {"Left", "Top", "Width", "Height"}) {
        std::smatch found;
        const std::regex line(std::string("\n") + key + "=(-?[0-9]+)");
        values.push_back(std::regex_search(text, found, line) ? std::stoi(found[1]) : -99999);
    }
    return values;
}

// Starts the window on the desktop, waits until the window manager has
// framed and placed it, and closes it as a session end does.
void StartAndClose(const TXDesktop& desktop, const std::string& settings) {
    TProgram window({"--settings", settings}, nullptr, desktop.Display());
    const std::string pid = std::to_string(window.Pid());
    ASSERT_TRUE(ProcessEventsUntil([&] {
        return !desktop.Run({"xdotool", "search", "--onlyvisible", "--pid", pid, "--name", "Sentrel"}).empty();
    })) << window.Error();
    ASSERT_TRUE(window.WaitCatching(SIGTERM));
    ProcessEventsFor(std::chrono::milliseconds(500));
    window.Signal(SIGTERM);
    ASSERT_EQ(window.Finish(), 0) << window.Error();
}
} // namespace

// Each start puts the window's frame where the last one left it: it neither
// creeps nor grows by the frame, and a place on a monitor that is gone is
// brought back onto the screen.
TEST(ProgramWindow, UnderAWindowManagerTheWindowComesBackWhereItWas) {
    TXDesktop desktop;
    if (!desktop.Installed())
        GTEST_SKIP() << "needs Xvfb, openbox, xdotool and xprop (the test command installs them)";
    ASSERT_TRUE(desktop.Running()) << "the X server or its window manager did not start: " << desktop.Said();
    TTempDir settingsFolder;
    const std::string settings = settingsFolder / "sentrel.ini";
    std::ofstream(settings) << "[Layout]\nTop=200\nLeft=300\nWidth=520\nHeight=410\n";
    for (int start = 1; start <= 10; ++start) {
        StartAndClose(desktop, settings);
        EXPECT_EQ(SavedLayout(settings), (std::vector<int>{300, 200, 520, 410})) << "start " << start;
    }
    std::ofstream(settings) << "[Layout]\nTop=-3000\nLeft=5000\nWidth=520\nHeight=410\n";
    StartAndClose(desktop, settings);
    const std::vector<int> layout = SavedLayout(settings);
    EXPECT_TRUE(layout[0] >= 0 && layout[1] >= 0 && layout[0] + layout[2] <= 1280 && layout[1] + layout[3] <= 1024)
        << layout[0] << "," << layout[1] << " " << layout[2] << "x" << layout[3];
}
