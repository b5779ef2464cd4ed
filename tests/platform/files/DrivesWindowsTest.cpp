#include "platform/files/Drives.h"
#include "platform/system/PlatformInfo.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

namespace {
// The drive the system runs from is fixed; every drive listed is a folder,
// named as the watch list names a drive's root, once and in order.
TEST(SystemFixedDrives, HoldTheSystemDriveAndOnlyFoldersInOrder) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemWindowsDirectoryW(system, MAX_PATH), 2u);
    const std::string systemDrive = std::string(1, char(system[0])) + ":\\";
    const std::vector<std::string> drives = SystemFixedDrives();
    EXPECT_NE(std::find(drives.begin(), drives.end(), systemDrive), drives.end()) << systemDrive;
    EXPECT_TRUE(std::is_sorted(drives.begin(), drives.end()));
    EXPECT_EQ(std::adjacent_find(drives.begin(), drives.end()), drives.end());
    for (const std::string& drive : drives) {
        EXPECT_EQ(drive.size(), 3u) << drive;
        EXPECT_TRUE(DirectoryExists(drive)) << drive;
    }
}
} // namespace
