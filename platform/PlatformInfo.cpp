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
    return std::filesystem::is_directory(path, error);
}
