#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#ifdef _WIN32
// The system's own platform family identifiers.
#include <windows.h>
#else
// Platform family identifiers, as the operating system's version query gives them.
constexpr int VER_PLATFORM_WIN32s = 0;
constexpr int VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr int VER_PLATFORM_WIN32_NT = 2;
#endif

// The family of the running system. Every system this program is built for
// offers per-folder change notification, so it reports the NT family.
int PlatformId();

// Makes PlatformId() report another family (or the real one again, with
// nullopt), so that a caller's refusal can be seen on any machine.
void OverridePlatformId(std::optional<int> id);

// True when two paths name the same folder as far as their text tells: ASCII
// letter case ignored where the system ignores it (Windows), exact elsewhere.
bool SamePath(std::string_view a, std::string_view b);

// True when path names an existing folder (following symbolic links).
bool DirectoryExists(const std::string& path);

// The program's paths are 8-bit text: the bytes of the name on Linux,
// UTF-8 on Windows, whose file names are 16-bit (converted as names from
// the change reader are: see TextConversion.h). These cross between them
// and the standard library's paths.
std::filesystem::path FileSystemPath(const std::string& path);
std::string PathText(const std::filesystem::path& path);

// The running program's file, absolute; empty where the system does not tell.
std::string ProgramFilePath();

// The machine's name on its network; empty where the system does not tell.
std::string HostName();

// The ID of the system's current boot, 32 hexadecimal digits as the
// system journal writes it; empty where the system has none.
std::string BootId();

// The current folder; empty when it is gone (only relative paths need it,
// and those then fail to be found).
std::string CurrentFolder();

// Whether the user may make files in folder, as far as the system tells
// without trying.
bool FolderWritable(const std::string& folder);

// Where the user's programs keep their settings: $XDG_CONFIG_HOME (when
// absolute) or ~/.config on Linux, the local application data folder on
// Windows.
std::string UserConfigFolder();

// The separator between the parts of a path.
#ifdef _WIN32
inline constexpr char PathDelim = '\\';
#else
inline constexpr char PathDelim = '/';
#endif
