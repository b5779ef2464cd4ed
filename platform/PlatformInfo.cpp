#include "platform/PlatformInfo.h"

#include "runtime/SysUtils.h"

#include <atomic>
#include <filesystem>

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
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
#else
    return path;
#endif
}

std::string PathText(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
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
