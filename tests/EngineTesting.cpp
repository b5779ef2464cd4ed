#include "EngineTesting.h"

#include "platform/loop/MessageLoop.h"
#include "platform/system/PlatformInfo.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifdef __linux__
#include "platform/changes/fanotify/FanotifySource.h"

#include <cstdlib>
#endif
#ifdef _WIN32
#include <windows.h>
#endif

// As mkdtemp makes one: a name nobody has yet, open to its owner only.
TTempDir::TTempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "sentrel-test-%08x", static_cast<unsigned>(random()));
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) {
            std::filesystem::permissions(base / name, std::filesystem::perms::owner_all, error);
            FPath = PathText(base / name);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::permissions(FileSystemPath(FPath), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(FileSystemPath(FPath), ignored);
}

void TTempDir::MakeDir(const std::string& relative) const {
    std::filesystem::create_directories(FileSystemPath(*this / relative));
}

void TTempDir::WriteFile(const std::string& relative, const std::string& content) const {
    std::ofstream(FileSystemPath(*this / relative), std::ios::binary) << content;
}

std::string SystemName(std::string name) {
    std::replace(name.begin(), name.end(), '/', PathDelim);
    return name;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(FileSystemPath(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ProcessEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        MainMessageLoop().ProcessFor(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ProcessEventsFor(std::chrono::milliseconds duration) {
    ProcessEventsUntil([] { return false; }, duration);
}

bool FanotifyServes([[maybe_unused]] const std::string& folder) {
#ifdef __linux__
    const char* chosen = std::getenv("SENTREL_CHANGE_BACKEND");
    return !(chosen && std::string(chosen) == "inotify") && inotify::ChooseFanotify(folder).Maker != nullptr;
#else
    return false;
#endif
}

bool RunsUnderWine() {
#ifdef _WIN32
    const HMODULE system = GetModuleHandleW(L"ntdll.dll");
    return system && GetProcAddress(system, "wine_get_version");
#else
    return false;
#endif
}

std::string TPartsNotRun::Said() const {
    std::string said;
    for (const std::string& part : FParts)
        said += (said.empty() ? "" : "; ") + part;
    return said;
}
