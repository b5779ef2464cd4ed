#include "platform/files/Drives.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {
const std::set<std::string> DiskFileSystems = {
    "ext2", "ext3", "ext4", "xfs", "btrfs", "f2fs", "jfs", "reiserfs", "nilfs2", "bcachefs",
    "vfat", "exfat", "ntfs", "ntfs3", "hfsplus", "udf",
};

bool IsOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

std::string Unescape(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const bool escaped = field[i] == '\\' && i + 3 < field.size() && IsOctalDigit(field[i + 1]) &&
                             IsOctalDigit(field[i + 2]) && IsOctalDigit(field[i + 3]);
        if (escaped) {
            text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

std::string ReadFirstLine(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}
} // namespace

std::vector<TMount> ParseMountTable(const std::string& text) {
    std::vector<TMount> mounts;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        TMount mount;
        if (fields >> mount.Device >> mount.MountPoint >> mount.FileSystem)
            mounts.push_back({Unescape(mount.Device), Unescape(mount.MountPoint), mount.FileSystem});
    }
    return mounts;
}

std::vector<TMount> ReadMountTable() {
    std::ifstream table("/proc/self/mounts");
    std::stringstream text;
    text << table.rdbuf();
    return ParseMountTable(text.str());
}

TDriveProbe SystemDriveProbe() {
    TDriveProbe probe;
    // A partition has no "removable" of its own; its disk's answers for it.
    probe.IsRemovable = [](const std::string& device) {
        std::error_code error;
        auto name = std::filesystem::canonical(device, error).filename();
        if (error)
            return false;
        auto block = std::filesystem::path("/sys/class/block") / name;
        std::string removable = ReadFirstLine(block / "removable");
        if (removable.empty())
            removable = ReadFirstLine(block / ".." / "removable");
        return removable == "1";
    };
    probe.IsFolder = [](const std::string& path) {
        std::error_code error;
        return std::filesystem::is_directory(path, error);
    };
    return probe;
}

std::vector<std::string> FixedDrives(const std::vector<TMount>& mounts, const TDriveProbe& probe) {
    std::set<std::string> drives;
    for (const TMount& mount : mounts) {
        const bool diskBacked = DiskFileSystems.count(mount.FileSystem) && mount.Device.rfind("/dev/", 0) == 0 &&
                                mount.Device.rfind("/dev/loop", 0) != 0;
        if (diskBacked && !probe.IsRemovable(mount.Device) && probe.IsFolder(mount.MountPoint))
            drives.insert(mount.MountPoint);
    }
    return {drives.begin(), drives.end()};
}

std::vector<std::string> MountPointsBelow(const std::vector<TMount>& mounts, const std::string& folder) {
    const std::string prefix = folder.empty() || folder.back() != '/' ? folder + '/' : folder;
    std::set<std::string> below;
    for (const TMount& mount : mounts)
        if (mount.MountPoint.size() > prefix.size() && mount.MountPoint.compare(0, prefix.size(), prefix) == 0)
            below.insert(mount.MountPoint.substr(prefix.size()));
    std::vector<std::string> topMost;
    for (const std::string& point : below) {
        bool inside = false;
        for (size_t slash = point.find('/'); slash != std::string::npos && !inside; slash = point.find('/', slash + 1))
            inside = below.count(point.substr(0, slash)) != 0;
        if (!inside)
            topMost.push_back(point);
    }
    return topMost;
}

std::vector<std::string> SystemFixedDrives() {
    return FixedDrives(ReadMountTable(), SystemDriveProbe());
}
