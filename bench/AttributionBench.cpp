// Naming the process behind each change: 500 short-lived processes, each
// making one file, started and reaped one after another as a shell does,
// while a reader takes the changes at once or only every 20 ms. Counted:
// changes whose process could not be named, and changes named wrongly:
// each writer runs under a name of its own, so that a change pinned on
// another writer counts as wrong.
#include "BenchGoals.h"
#include "platform/changes/DirChanges.h"
#include "platform/changes/fanotify/FanotifySource.h"
#include "platform/system/TextConversion.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr int Processes = 500;
// The writer that makes file f<i> runs as bench-w<i> (a link to one copy of
// touch: a process is named by the file it runs).
std::string WriterName(int writer) {
    return "bench-w" + std::to_string(writer);
}

struct TTally {
    int Named = 0;
    int Unnamed = 0;
    int Wrong = 0;
};

// Takes the records of one completed read, tallying the additions.
void Tally(TDirChangeReader& reader, const char* buffer, TTally& tally, int& added) {
    uint32_t bytes = 0;
    if (!reader.GetResult(bytes))
        return;
    std::vector<TProcessRef> processes;
    reader.TakeProcesses(processes);
    for (uint32_t offset = 0, index = 0; bytes > 0; ++index) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
        if ((record->Action & ~FileActionFolderFlag) == FILE_ACTION_ADDED) {
            ++added;
            const TProcessRef process = index < processes.size() ? processes[index] : nullptr;
            const std::string file =
                WideToLocal8(std::u16string_view(reinterpret_cast<const char16_t*>(record->FileName),
                                          record->FileNameLength / sizeof(char16_t)));
            if (!process || !process->Named)
                ++tally.Unnamed;
            else if (file.size() > 1 && process->Command == WriterName(std::stoi(file.substr(1))))
                ++tally.Named;
            else
                ++tally.Wrong;
        }
        if (record->NextEntryOffset == 0)
            break;
        offset += record->NextEntryOffset;
    }
}

// Starts the writers one after another, each reaped as soon as it ends.
void StartWriters(const std::string& writers, const std::string& folder) {
    for (int i = 0; i < Processes; ++i) {
        const std::string file = folder + "/f" + std::to_string(i);
        const std::string writer = writers + "/" + WriterName(i);
        const pid_t child = ::fork();
        if (child == 0) {
            ::execl(writer.c_str(), WriterName(i).c_str(), file.c_str(), nullptr);
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
    }
}

// Argument: how long the reader waits between reads, in ms (0: it reads at once).
void BM_NameShortLivedProcesses(benchmark::State& state) {
    const auto holdBack = std::chrono::milliseconds(state.range(0));
    const std::string base = fs::temp_directory_path() / ("sentrel-attribution-" + std::to_string(::getpid()));
    const std::string folder = base + "/watched", writers = base + "/writers";
    fs::create_directories(folder);
    fs::create_directories(writers);
    fs::copy_file("/usr/bin/touch", writers + "/touch", fs::copy_options::overwrite_existing);
    for (int i = 0; i < Processes; ++i)
        if (!fs::exists(writers + "/" + WriterName(i)))
            fs::create_hard_link(writers + "/touch", writers + "/" + WriterName(i));
    ::setenv("SENTREL_CHANGE_BACKEND", "fanotify", 1);
    if (const std::string whyNot = inotify::ChooseFanotify(folder).WhyNot; !whyNot.empty()) {
        state.SkipWithError(whyNot.c_str());
        return;
    }
    TTally total;
    for (auto _ : state) {
        for (const auto& entry : fs::directory_iterator(folder))
            fs::remove(entry.path());
        TOpenFailure failure;
        std::unique_ptr<TDirChangeReader> reader = TDirChangeReader::OpenNative(folder, failure);
        alignas(4) static char buffer[17024];
        int added = 0;
        TTally tally;
        reader->ReadChanges(buffer, sizeof buffer, true, FILE_NOTIFY_CHANGE_FILE_NAME);
        std::thread started(StartWriters, writers, folder);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (added < Processes && std::chrono::steady_clock::now() < deadline) {
            if (holdBack.count() > 0)
                std::this_thread::sleep_for(holdBack);
            const TWaitResult result = reader->Wait(holdBack.count() > 0 ? 0 : 50);
            for (TWatchNotice notice; reader->TakeNotice(notice);) {
            }
            if (result != TWaitResult::Signalled)
                continue;
            Tally(*reader, buffer, tally, added);
            reader->ReadChanges(buffer, sizeof buffer, true, FILE_NOTIFY_CHANGE_FILE_NAME);
        }
        started.join();
        total.Named += tally.Named;
        total.Unnamed += tally.Unnamed;
        total.Wrong += tally.Wrong;
    }
    const double changes = total.Named + total.Unnamed + total.Wrong;
    state.counters["unnamed_share"] = changes > 0 ? total.Unnamed / changes : 0;
    state.counters["wrong_names"] = total.Wrong;
    state.counters["changes"] = changes;
    GoalAtMost(state, "unnamed_share", changes > 0 ? total.Unnamed / changes : 1, 0.02);
    GoalAtMost(state, "wrong_names", total.Wrong, 0);
    fs::remove_all(base);
}
BENCHMARK(BM_NameShortLivedProcesses)->Arg(0)->Arg(20)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
