// The history: the cost of keeping a record on the caller's thread and on
// disk, and a search for a part of a path among ten million kept records.
#include "BenchGoals.h"
#include "BenchTree.h"

#include "history/HistoryDatabase.h"
#include "history/HistoryStore.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {
using TClock = std::chrono::steady_clock;
constexpr int64_t Second = 1000000000;

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// Records as a burst in a build tree gives them: a file in one of 100 folders.
THistoryRecord BurstRecord(const std::string& root, int64_t i, int64_t time) {
    return {time,
            i % 2 ? "Removed" : "Added",
            root + "/src/module" + std::to_string(i % 100) + "/file" + std::to_string(i) + ".o",
            std::nullopt,
            root,
            false,
            ""};
}

constexpr THistoryRetention KeepAll = {3650, 100000000};

// Keeps a store open on the history at file until its writer, with nothing
// else to write, has put every record into the index of paths, as a
// program that goes on running after a burst does.
void WaitUntilIndexed(const std::string& file) {
    THistoryStore store(file, KeepAll, [](const std::string&) {});
    THistoryDatabase database;
    database.Open(file, SQLITE_OPEN_READONLY);
    for (;;) {
        THistoryStatement newest(database.Handle(), "SELECT coalesce(max(id), 0) FROM changes");
        if (newest && sqlite3_step(newest.Get()) == SQLITE_ROW &&
            database.Mark("indexed").value_or(0) >= sqlite3_column_int64(newest.Get(), 0))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Ten million records, kept once for the searches, all in the index.
const std::string& TenMillion() {
    static TBenchTree folder;
    static const std::string file = folder.Path() + "/history.db";
    static bool made = false;
    if (!made) {
        {
            THistoryStore store(file, KeepAll, [](const std::string&) {});
            const int64_t start = HistoryTimeNow() - 10000000LL * 1000; // a record a microsecond up to now
            for (int64_t i = 0; i < 10000000; ++i)
                store.Add(BurstRecord("/home/ann/project", i, start + i * 1000));
        }
        WaitUntilIndexed(file);
        made = true;
    }
    return file;
}

// A million records added as fast as a burst lists them, kept on an ext4
// file system: the time on the caller's thread per record, until all are
// on disk (the store's end commits the last batch and checkpoints), the
// processor time of every thread per record over the same span, and the
// bytes per record; then the processor time per record of putting them
// into the index of paths, which the writer does once the burst is over.
void BM_History_Keep(benchmark::State& state) {
    static TBenchDisk disk;
    if (!disk.Mounted()) {
        state.SkipWithError(disk.WhyNot().c_str());
        return;
    }
    for (auto _ : state) {
        const std::string file = disk.Path() + "/history.db";
        std::filesystem::remove(file);
        std::filesystem::remove(file + "-wal");
        const int64_t now = HistoryTimeNow();
        double adding = 0;
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = TClock::now();
        {
            THistoryStore store(file, {}, [](const std::string&) {});
            for (int64_t i = 0; i < 1000000; ++i)
                store.Add(BurstRecord("/home/ann/project", i, now + i));
            adding = SecondsSince(start);
        }
        state.SetIterationTime(SecondsSince(start));
        state.counters["add_ns_per_record"] = adding * 1e9 / 1e6;
        state.counters["cpu_ns_per_record"] = (ProcessCpuSeconds() - cpuBefore) * 1e9 / 1e6;
        const double indexBefore = ProcessCpuSeconds();
        WaitUntilIndexed(file);
        state.counters["index_cpu_ns_per_record"] = (ProcessCpuSeconds() - indexBefore) * 1e9 / 1e6;
        state.counters["bytes_per_record"] = static_cast<double>(std::filesystem::file_size(file)) / 1e6;
    }
}

// The first page (100 records, newest first) of a search among ten million:
// argument 0 a part of a path in recent records, 1 one in a single old record
// (every record is looked at).
void BM_History_Search(benchmark::State& state) {
    const std::string& file = TenMillion();
    THistoryQuery query;
    query.Fragment = state.range(0) ? "/file12345.o" : "module42/";
    query.Limit = 100;
    size_t found = 0;
    double slowest = 0;
    for (auto _ : state) {
        const auto start = TClock::now();
        found = ReadHistory(file, query).size();
        slowest = std::max(slowest, SecondsSince(start));
        state.SetIterationTime(SecondsSince(start));
    }
    GoalAtMost(state, "slowest first page, ms", slowest * 1000, 100);
    GoalAtLeast(state, "found", static_cast<double>(found), 1);
    state.counters["found"] = static_cast<double>(found);
    state.counters["db_bytes_per_record"] = static_cast<double>(std::filesystem::file_size(file)) / 1e7;
}
} // namespace

BENCHMARK(BM_History_Keep)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_History_Search)
    ->ArgName("rare")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
