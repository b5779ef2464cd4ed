#pragma once

#include <functional>
#include <string>
#include <vector>

// The machine's fixed drives, each once, in ascending order: what "Add All
// Drives" watches. On Windows the drives of GetLogicalDrives the system
// calls fixed ("C:\"); on Linux FixedDrives of the mount table.
std::vector<std::string> SystemFixedDrives();

#ifndef _WIN32
// One line of the system's mount table.
struct TMount {
    std::string Device;
    std::string MountPoint;
    std::string FileSystem;
};

// What the drive list asks of the machine about a mount.
struct TDriveProbe {
    std::function<bool(const std::string& device)> IsRemovable;
    std::function<bool(const std::string& path)> IsFolder;
};

// The running system's mount table and probe.
std::vector<TMount> ReadMountTable();
TDriveProbe SystemDriveProbe();

// Parses mount-table text ("device mount-point type options ..." per line,
// blanks inside fields written as \040).
std::vector<TMount> ParseMountTable(const std::string& text);

// The mount points strictly below folder (an absolute path without symbolic
// links), relative to it, top-most only: what is mounted inside another of
// them lies beyond it anyway.
std::vector<std::string> MountPointsBelow(const std::vector<TMount>& mounts, const std::string& folder);

// The fixed drives: mount points of local, disk-backed file systems on
// devices that are neither removable nor loop devices, each once, in
// ascending order. Pseudo, memory, network and image file systems are left out.
std::vector<std::string> FixedDrives(const std::vector<TMount>& mounts, const TDriveProbe& probe);
#endif
