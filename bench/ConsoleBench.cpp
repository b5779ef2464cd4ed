// The console against inotifywait, each a process of its own writing its
// lines to a pipe that a reader empties, in the same run: a burst of
// creations and removals, the time until the last line is out and the
// processor time each used for it; and the resident memory of each once a
// tree is watched.
#include "BenchGoals.h"
#include "BenchTree.h"
#include "LineProcess.h"

#include "history/HistoryStore.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#if !defined(SENTREL_PROGRAM) || !defined(SENTREL_CONSOLE_PROGRAM)
#error "SENTREL_PROGRAM and SENTREL_CONSOLE_PROGRAM name the programs measured"
#endif

namespace {
using TClock = std::chrono::steady_clock;
constexpr int BurstFiles = 100000;
// A million changes: the burst the history is measured with.
constexpr int LargeBurstFiles = 500000;

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// What the runs of a burst measured, averaged over them in the counters.
struct TBurstFigures {
    double Writer = 0, LastLinePerWriter = 0, Cpu = 0, Lines = 0;

    void Report(benchmark::State& state) const {
        const auto average = benchmark::Counter::kAvgIterations;
        state.counters["writer_ms"] = benchmark::Counter(Writer * 1000, average);
        state.counters["last_line_per_writer"] = benchmark::Counter(LastLinePerWriter, average);
        state.counters["cpu_ms"] = benchmark::Counter(Cpu * 1000, average);
        state.counters["lines"] = benchmark::Counter(Lines, average);
    }
};

// One run of the burst against a watcher.
void MeasureBurst(benchmark::State& state, TLineProcess& watcher, const std::string& folder, TBurstFigures& figures,
                  int files = BurstFiles) {
    if (!watcher.WaitReady()) {
        state.SkipWithError("the watcher did not start");
        return;
    }
    const double cpuBefore = watcher.CpuSeconds();
    const auto start = TClock::now();
    WriteBurst(folder, files);
    const double writer = SecondsSince(start);
    const double lastLine = watcher.WaitForLines(2L * files, start);
    state.SetIterationTime(lastLine);
    figures.Writer += writer;
    figures.LastLinePerWriter += lastLine / writer;
    figures.Cpu += watcher.CpuSeconds() - cpuBefore;
    figures.Lines += static_cast<double>(watcher.Lines);
    GoalAtLeast(state, "lines", static_cast<double>(watcher.Lines), 2.0 * files);
}

// Argument fanotify:0 is inotify, 1 fanotify (as root); json:1 the JSON
// Lines format; history:1 keeps the history (in a folder of the
// benchmark's own: its bytes per record are counted), history:0 turns it
// off in the settings file, which is otherwise empty; files: how many
// files the burst makes and removes; process:2 names the process of each
// change as the program does by default (kept in the history, not printed),
// process:1 names it and prints it (--process), process:0 turns the naming
// off; helper:1 watches through the privileged
// helper (--helper: pkexec asks no one of root), which checks each
// change's folder with the user's identity.
void BM_ConsoleBurst_Sentrel(benchmark::State& state) {
    TBenchTree tree, settings, state_folder;
    const std::string settingsFile = settings.Path() + "/settings.ini";
    std::ofstream(settingsFile) << (state.range(2) ? "" : "[History]\nKeep=F\n");
    ::setenv("XDG_STATE_HOME", state_folder.Path().c_str(), 1);
    ::setenv("SENTREL_CHANGE_BACKEND", state.range(0) ? "fanotify" : "inotify", 1);
    ::setenv("SENTREL_PROCESS_NAMES", state.range(4) ? "on" : "off", 1);
    std::vector<std::string> command = {SENTREL_CONSOLE_PROGRAM, "--settings", settingsFile};
    if (state.range(4) == 1)
        command.push_back("--process");
    if (state.range(1))
        command.insert(command.end(), {"--format", "json"});
    if (state.range(5))
        command.push_back("--helper");
    command.push_back(tree.Path());
    TBurstFigures figures;
    for (auto _ : state) {
        TLineProcess console(command, "watching ");
        MeasureBurst(state, console, tree.Path(), figures, static_cast<int>(state.range(3)));
    }
    figures.Report(state);
    GoalAtMost(state, "last_line_per_writer", figures.LastLinePerWriter / static_cast<double>(state.iterations()),
               1.10);
    const std::string database = state_folder.Path() + "/sentrel/history.db";
    std::error_code error;
    const auto bytes = std::filesystem::file_size(database, error);
    const double lines = 2.0 * static_cast<double>(state.range(3)) * static_cast<double>(state.iterations());
    if (!error)
        state.counters["history_bytes_per_record"] = static_cast<double>(bytes) / lines;
    if (state.range(2)) {
        // Every line of every run is a record, or the figure shows what was not kept.
        size_t kept = 0;
        ForEachHistoryRecord(database, {}, [&](const THistoryRecord&) { return ++kept, true; });
        state.counters["history_kept_per_line"] = static_cast<double>(kept) / lines;
        GoalAtLeast(state, "history_kept_per_line", static_cast<double>(kept) / lines, 1.0);
        GoalAtMost(state, "history_bytes_per_record", static_cast<double>(bytes) / lines, 80);
    }
}

void BM_ConsoleBurst_Inotifywait(benchmark::State& state) {
    TBenchTree tree;
    TBurstFigures figures;
    for (auto _ : state) {
        TLineProcess waiter(InotifyWaitCommand(tree.Path()), InotifyWaitReady);
        MeasureBurst(state, waiter, tree.Path(), figures);
    }
    figures.Report(state);
}
// The resident memory of a console once every folder of a tree of N
// folders is watched (inotify), as shipped (history and catch-up on, the
// first catch-up of the tree given a moment to take its snapshot), and of
// inotifywait on the same tree in the same iteration; and the proportional
// share of each, which counts the pages of shared libraries by how many
// processes share them. program:0 is the console program, program:1 the
// window's program with --console. The goal is held where the folders'
// share counts: at a few thousand folders what a C++ program with SQLite
// maps of its shared libraries is more than inotifywait needs in all.
void BM_ConsoleMemory(benchmark::State& state) {
    const TBenchTree& tree = TreeWith(static_cast<int>(state.range(0)));
    ::setenv("SENTREL_CHANGE_BACKEND", "inotify", 1);
    double resident = 0, peak = 0, share = 0, waiterResident = 0, waiterShare = 0;
    for (auto _ : state) {
        TBenchTree settings, stateFolder;
        const std::string settingsFile = settings.Path() + "/settings.ini";
        std::ofstream(settingsFile).flush();
        ::setenv("XDG_STATE_HOME", stateFolder.Path().c_str(), 1);
        std::vector<std::string> command = {SENTREL_CONSOLE_PROGRAM};
        if (state.range(1))
            command = {SENTREL_PROGRAM, "--console"};
        command.insert(command.end(), {"--settings", settingsFile, tree.Path()});
        const auto start = TClock::now();
        TLineProcess console(command, "watching ");
        TLineProcess waiter(InotifyWaitCommand(tree.Path()), InotifyWaitReady);
        if (!console.WaitReady() || !waiter.WaitReady()) {
            state.SkipWithError("a watcher did not start (the system's limit on inotify watches?)");
            break;
        }
        state.SetIterationTime(SecondsSince(start));
        std::this_thread::sleep_for(std::chrono::seconds(2));
        resident += static_cast<double>(ResidentBytes(console.Pid()));
        peak += static_cast<double>(PeakResidentBytes(console.Pid()));
        share += static_cast<double>(ProportionalBytes(console.Pid()));
        waiterResident += static_cast<double>(ResidentBytes(waiter.Pid()));
        waiterShare += static_cast<double>(ProportionalBytes(waiter.Pid()));
    }
    const double runs = static_cast<double>(std::max<int64_t>(state.iterations(), 1)) * 1024;
    state.counters["resident_KiB"] = resident / runs;
    state.counters["peak_KiB"] = peak / runs;
    state.counters["share_KiB"] = share / runs;
    state.counters["inotifywait_resident_KiB"] = waiterResident / runs;
    state.counters["inotifywait_share_KiB"] = waiterShare / runs;
    const double perInotifywait = resident / std::max(waiterResident, 1.0);
    state.counters["resident_per_inotifywait"] = perInotifywait;
    if (state.range(1) == 0 && state.range(0) >= 10000)
        GoalAtMost(state, "resident_per_inotifywait", perInotifywait, 1.0);
}
} // namespace

BENCHMARK(BM_ConsoleMemory)
    ->ArgNames({"folders", "program"})
    ->ArgsProduct({{1000, 50000}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_ConsoleBurst_Sentrel)
    ->ArgNames({"fanotify", "json", "history", "files", "process", "helper"})
    ->ArgsProduct({{0, 1}, {0, 1}, {0, 1}, {BurstFiles}, {0}, {0}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_ConsoleBurst_Sentrel)
    ->ArgNames({"fanotify", "json", "history", "files", "process", "helper"})
    ->ArgsProduct({{0, 1}, {0}, {0, 1}, {LargeBurstFiles}, {0}, {0}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_ConsoleBurst_Sentrel)
    ->ArgNames({"fanotify", "json", "history", "files", "process", "helper"})
    ->ArgsProduct({{1}, {0, 1}, {0}, {LargeBurstFiles}, {0, 1}, {0}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_ConsoleBurst_Sentrel)
    ->ArgNames({"fanotify", "json", "history", "files", "process", "helper"})
    ->ArgsProduct({{1}, {0}, {0}, {LargeBurstFiles}, {1}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
// The program as shipped (history and naming on) beside each turned off,
// measured against inotifywait in the same run (bench/README.md).
BENCHMARK(BM_ConsoleBurst_Sentrel)
    ->ArgNames({"fanotify", "json", "history", "files", "process", "helper"})
    ->ArgsProduct({{0, 1}, {0}, {1, 0}, {BurstFiles}, {2, 0}, {0}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_ConsoleBurst_Inotifywait)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
