#include "Testing.h"

#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TReadOnlyFolder::TReadOnlyFolder(std::string path) : FPath(std::move(path)) {
    if (::mount(FPath.c_str(), FPath.c_str(), nullptr, MS_BIND, nullptr) == 0) {
        FMounted = true;
        if (::mount(nullptr, FPath.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            ::umount(FPath.c_str());
            FMounted = false;
        }
    }
    if (!FMounted)
        ::chmod(FPath.c_str(), 0555);
}

TReadOnlyFolder::~TReadOnlyFolder() {
    if (FMounted)
        ::umount(FPath.c_str());
    ::chmod(FPath.c_str(), 0755);
}

bool TReadOnlyFolder::Effective() const {
    return FMounted || ::access(FPath.c_str(), W_OK) != 0;
}

TSmallFileSystem::TSmallFileSystem(std::string path, int kibibytes) : FPath(std::move(path)) {
    std::filesystem::create_directories(FPath);
    const std::string options = "size=" + std::to_string(kibibytes) + "k,mode=0755";
    FMounted = ::mount("tmpfs", FPath.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TSmallFileSystem::~TSmallFileSystem() {
    if (FMounted)
        ::umount2(FPath.c_str(), MNT_DETACH);
}

void TSmallFileSystem::Fill() const {
    const int fd = ::open((FPath + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string block(4096, '\0');
    while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
    }
    // The last partial block too.
    while (fd >= 0 && ::write(fd, block.data(), 1) > 0) {
    }
    ::close(fd);
}

namespace {
// Runs a command of the system's tools; its output, or none when it failed.
std::optional<std::string> Output(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return std::nullopt;
    std::string output;
    char chunk[4096];
    while (const size_t read = std::fread(chunk, 1, sizeof chunk, pipe))
        output.append(chunk, read);
    return ::pclose(pipe) == 0 ? std::optional(output) : std::nullopt;
}
} // namespace

TLoopFileSystem::TLoopFileSystem() : FImage(FPlace / "ext4.img"), FMount(FPlace / "mount") {
    std::filesystem::create_directories(FMount);
    FMounted = ::geteuid() == 0 && Output("truncate -s 64M '" + FImage + "' && mkfs.ext4 -q -F -b 4096 '" + FImage + "'") &&
               Attach();
}

TLoopFileSystem::~TLoopFileSystem() {
    if (FMounted)
        ::umount2(FMount.c_str(), MNT_DETACH);
}

bool TLoopFileSystem::Attach() {
    return Output("mount -o loop '" + FImage + "' '" + FMount + "'").has_value();
}

bool TLoopFileSystem::Damage(const std::string& folder) {
    if (!FMounted || ::umount(FMount.c_str()) != 0)
        return false;
    FMounted = false;
    const std::optional<std::string> blocks = Output("debugfs -R 'blocks /" + folder + "' '" + FImage + "'");
    const std::string first = blocks ? blocks->substr(0, blocks->find(' ')) : "";
    const bool damaged = !first.empty() && Output("dd if=/dev/urandom of='" + FImage + "' bs=4096 count=1 conv=notrunc "
                                                  "status=none seek=" + first).has_value();
    FMounted = Attach();
    return damaged && FMounted;
}

TEnvironmentScope::TEnvironmentScope(std::string name, const std::optional<std::string>& value)
    : FName(std::move(name)) {
    if (const char* before = std::getenv(FName.c_str()))
        FBefore = before;
    if (value)
        ::setenv(FName.c_str(), value->c_str(), 1);
    else
        ::unsetenv(FName.c_str());
}

TEnvironmentScope::~TEnvironmentScope() {
    if (FBefore)
        ::setenv(FName.c_str(), FBefore->c_str(), 1);
    else
        ::unsetenv(FName.c_str());
}

int RunAsOrdinaryUser(const std::function<bool()>& check) {
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(dropped ? (check() ? 0 : 1) : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
