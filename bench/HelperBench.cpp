// The privileged helper's cost to the machine: its processor time for each
// change made on a file system it watches, with one and with eight watched
// folders there, and its memory at its bound, while a client that stopped
// reading sees a flood. Run as root: the helper serves root here.
#include "BenchTree.h"

#include "platform/changes/DirChanges.h"
#include "platform/changes/fanotify/FanotifySource.h"
#include "platform/helper/HelperClient.h"
#include "platform/system/FileDescriptor.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The processor time a process used so far, in seconds.
double ProcessorSeconds(pid_t process) {
    std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
    std::string field;
    for (int at = 1; at < 14 && stat >> field;)
        ++at;
    long user = 0, system = 0;
    stat >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

pid_t HelperOf(pid_t parent) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream status(entry.path() / "status");
        std::string key, name;
        pid_t ppid = 0;
        while (status >> key) {
            if (key == "Name:")
                status >> name;
            else if (key == "PPid:")
                status >> ppid;
            status.ignore(256, '\n');
        }
        if (name == "sentrel-helper" && ppid == parent)
            return std::stoi(entry.path().filename());
    }
    return 0;
}

struct THelper {
    std::shared_ptr<THelperConnection> Connection;
    pid_t Process = 0;
    std::string Why;
    THelper() {
        Connection = THelperConnection::Start({SENTREL_HELPER, "--for-user", "0"}, Why);
        Process = Connection ? HelperOf(::getpid()) : 0;
    }
};

// Makes and removes files in folder until changes changes are made.
void MakeChanges(const std::string& folder, int changes) {
    for (int i = 0; i < changes / 2; ++i) {
        const std::string file = folder + "/" + std::to_string(i);
        inotify::TFd(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::unlink(file.c_str());
    }
}

// Argument: watched folders on the file system (the changes are made in one).
void BM_HelperProcessorPerChange(benchmark::State& state) {
    const int watches = static_cast<int>(state.range(0));
    constexpr int Changes = 100000;
    TBenchTree tree;
    for (int i = 0; i < watches; ++i)
        fs::create_directory(tree.Path() + "/w" + std::to_string(i));
    if (const std::string whyNot = inotify::ChooseFanotify(tree.Path()).WhyNot; !whyNot.empty()) {
        state.SkipWithError(whyNot.c_str());
        return;
    }
    THelper helper;
    if (!helper.Process) {
        state.SkipWithError(("the helper does not start: " + helper.Why).c_str());
        return;
    }
    std::vector<std::unique_ptr<TDirChangeReader>> readers;
    alignas(4) static char buffers[8][17024];
    for (int i = 0; i < watches; ++i) {
        TOpenFailure failure;
        std::string refusal;
        readers.push_back(helper.Connection->Open(tree.Path() + "/w" + std::to_string(i), failure, refusal));
        readers.back()->ReadChanges(buffers[i], sizeof buffers[i], true, FILE_NOTIFY_CHANGE_FILE_NAME);
    }
    double seconds = 0;
    for (auto _ : state) {
        const double before = ProcessorSeconds(helper.Process);
        std::thread writer(MakeChanges, tree.Path() + "/w0", Changes);
        // The watched folder's client takes what comes; the others see nothing of it.
        for (auto quiet = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - quiet < std::chrono::seconds(1);)
            if (readers[0]->Wait(50) == TWaitResult::Signalled) {
                uint32_t bytes = 0;
                readers[0]->GetResult(bytes);
                readers[0]->ReadChanges(buffers[0], sizeof buffers[0], true, FILE_NOTIFY_CHANGE_FILE_NAME);
                quiet = std::chrono::steady_clock::now();
            }
        writer.join();
        seconds += ProcessorSeconds(helper.Process) - before;
    }
    state.counters["us_per_change"] = seconds * 1e6 / (static_cast<double>(Changes) * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_HelperProcessorPerChange)->Arg(1)->Arg(8)->Iterations(3)->Unit(benchmark::kMillisecond);

// The helper's memory with as many watches as one program may have, whose
// client stopped reading, while a million changes are made.
void BM_HelperMemoryAtItsBound(benchmark::State& state) {
    constexpr int Watches = 16, Changes = 1000000;
    TBenchTree tree;
    if (const std::string whyNot = inotify::ChooseFanotify(tree.Path()).WhyNot; !whyNot.empty()) {
        state.SkipWithError(whyNot.c_str());
        return;
    }
    THelper helper;
    if (!helper.Process) {
        state.SkipWithError(("the helper does not start: " + helper.Why).c_str());
        return;
    }
    // Each watch starts with one read, whose answer its client never takes.
    std::vector<std::unique_ptr<TDirChangeReader>> readers;
    alignas(4) static char buffer[17024];
    for (int i = 0; i < Watches; ++i) {
        TOpenFailure failure;
        std::string refusal;
        readers.push_back(helper.Connection->Open(tree.Path(), failure, refusal));
        readers.back()->ReadChanges(buffer, sizeof buffer, true, FILE_NOTIFY_CHANGE_FILE_NAME);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (auto _ : state)
        MakeChanges(tree.Path(), Changes);
    state.counters["helper_resident_MiB"] = static_cast<double>(ResidentBytes(helper.Process)) / (1 << 20);
    state.counters["pipes_at_most_MiB"] = Watches * 1.0;
}
BENCHMARK(BM_HelperMemoryAtItsBound)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
