#include "platform/PlatformInfo.h"

#include <atomic>

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
