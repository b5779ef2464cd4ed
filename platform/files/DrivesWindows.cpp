#include "platform/files/Drives.h"

#include <windows.h>

// Removable, network, optical and RAM drives are left out, as on Linux.
std::vector<std::string> SystemFixedDrives() {
    std::vector<std::string> drives;
    const DWORD present = GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if (!(present & (DWORD(1) << letter)))
            continue;
        const std::string root = std::string(1, char('A' + letter)) + ":\\";
        const wchar_t wideRoot[] = {wchar_t(L'A' + letter), L':', L'\\', 0};
        if (GetDriveTypeW(wideRoot) == DRIVE_FIXED)
            drives.push_back(root);
    }
    return drives;
}
