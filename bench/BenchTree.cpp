#include "BenchTree.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
// A memory file system where there is one: a disk file system slows down
// after many files were deleted on it, which would favour whichever watcher
// runs first.
std::filesystem::path BenchRoot() {
    if (const char* chosen = std::getenv("SENTREL_BENCH_DIR"))
        return chosen;
    std::error_code ignored;
    if (std::filesystem::is_directory("/dev/shm", ignored))
        return "/dev/shm";
    return std::filesystem::temp_directory_path();
}
} // namespace

TBenchTree::TBenchTree() {
    std::string pattern = (BenchRoot() / "sentrel-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch folder");
    FPath = pattern;
}

// The tests' own way to make a file system on a loop device serves here too.
TBenchDisk::TBenchDisk() : FPath((std::filesystem::temp_directory_path() / "sentrel-bench-disk/ext4").string()) {
    if (::geteuid() != 0) {
        FWhyNot = "a disk file system of the benchmark's own needs root, to mount it";
        return;
    }
    const std::string mount =
        std::string("bash '") + SENTREL_SOURCE_DIR + "/tests/mount-test-filesystem.sh' mount ext4 '" + FPath + "'";
    FMounted = std::system((mount + " >/dev/null").c_str()) == 0 && std::filesystem::exists(FPath + "/lost+found");
    if (!FMounted)
        FWhyNot = "an ext4 file system could not be made on a loop device (" + mount + ")";
}

TBenchDisk::~TBenchDisk() {
    if (FMounted)
        std::system((std::string("bash '") + SENTREL_SOURCE_DIR + "/tests/mount-test-filesystem.sh' unmount ext4 '" +
                     FPath + "'")
                        .c_str());
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TBenchTree::~TBenchTree() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
}

void TBenchTree::MakeFolders(int count, const std::string& below) {
    std::vector<std::string> level{below.empty() ? FPath : FPath + "/" + below};
    ::mkdir(level.front().c_str(), 0755);
    int made = 0;
    while (made < count) {
        std::vector<std::string> next;
        for (const auto& parent : level)
            for (int i = 0; i < 20 && made < count; ++i, ++made) {
                next.push_back(parent + "/d" + std::to_string(i));
                ::mkdir(next.back().c_str(), 0755);
            }
        level = std::move(next);
    }
}

namespace {
// A figure in KiB of a file of /proc/PID ("status", "VmRSS:"), in bytes.
long ProcBytes(int pid, const std::string& file, const std::string& field) {
    std::ifstream figures("/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/" + file);
    for (std::string line; std::getline(figures, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(field.size())) * 1024;
    return 0;
}
} // namespace

long ResidentBytes(int pid) {
    return ProcBytes(pid, "status", "VmRSS:");
}

long PeakResidentBytes(int pid) {
    return ProcBytes(pid, "status", "VmHWM:");
}

long ProportionalBytes(int pid) {
    return ProcBytes(pid, "smaps_rollup", "Pss:");
}

TBenchTree& TreeWith(int folders) {
    static std::map<int, std::unique_ptr<TBenchTree>> trees;
    auto& tree = trees[folders];
    if (!tree) {
        tree = std::make_unique<TBenchTree>();
        tree->MakeFolders(folders);
    }
    return *tree;
}
