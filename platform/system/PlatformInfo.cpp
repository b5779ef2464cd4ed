#include "platform/system/PlatformInfo.h"

#include "platform/system/TextConversion.h"
#include "runtime/SysUtils.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace {
std::atomic<int> overriddenId{-1};
}

int PlatformId() {
    int id = overriddenId.load();
    return id >= 0 ? id : VER_PLATFORM_WIN32_NT;
}

void OverridePlatformId(std::optional<int> id) {
    overriddenId.store(id ? *id : -1);
}

bool SamePath(std::string_view a, std::string_view b) {
#ifdef _WIN32
    return SameText(a, b);
#else
    return a == b;
#endif
}

bool DirectoryExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(FileSystemPath(path), error);
}

std::filesystem::path FileSystemPath(const std::string& path) {
#ifdef _WIN32
    const std::u16string wide = Local8ToWide(path);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
#else
    return path;
#endif
}

std::string PathText(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::wstring& wide = path.native();
    return WideToLocal8(std::u16string(wide.begin(), wide.end()));
#else
    return path.string();
#endif
}

std::string ProgramFilePath() {
#ifdef _WIN32
    std::wstring name(32768, L'\0');
    name.resize(GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size())));
    return name.empty() ? std::string() : PathText(std::filesystem::path(name));
#else
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : program.string();
#endif
}

std::string HostName() {
#ifdef _WIN32
    wchar_t name[256] = {};
    DWORD size = static_cast<DWORD>(std::size(name));
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size))
        return {};
    return WideToLocal8(std::u16string_view(reinterpret_cast<const char16_t*>(name), size));
#else
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
#endif
}

std::string BootId() {
#ifdef _WIN32
    return {};
#else
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    std::erase(id, '-');
    return id.size() == 32 ? id : std::string();
#endif
}

std::string CurrentFolder() {
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    return error ? std::string() : PathText(current);
}

bool FolderWritable(const std::string& folder) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(FileSystemPath(folder).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_READONLY);
#else
    return access(folder.c_str(), W_OK) == 0;
#endif
}

namespace {
#ifdef _WIN32
std::string EnvironmentPath(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return PathText(std::filesystem::path(value));
}
#else
std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    const passwd* user = getpwuid(getuid());
    return user && user->pw_dir ? user->pw_dir : "";
}
#endif
} // namespace

std::string UserConfigFolder() {
#ifdef _WIN32
    std::string folder = EnvironmentPath(L"LOCALAPPDATA");
    return folder.empty() ? EnvironmentPath(L"USERPROFILE") + "\\AppData\\Local" : folder;
#else
    const char* config = std::getenv("XDG_CONFIG_HOME");
    return config && config[0] == '/' ? std::string(config) : HomeFolder() + "/.config";
#endif
}
