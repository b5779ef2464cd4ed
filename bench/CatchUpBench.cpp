// The catch-up at start: comparing a tree of a million entries with its
// snapshot, against a bare walk of the same tree that reads the same fields
// (find -printf), in the same run; the snapshot's size and the memory the
// comparison takes.
#include "BenchGoals.h"
#include "BenchTree.h"

#include "history/CatchUp.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// 1,000 folders of 999 files: a million entries with the folders.
constexpr int Folders = 1000, FilesPerFolder = 999;

const std::string& Tree() {
    static TBenchTree tree;
    static bool made = false;
    if (!made) {
        for (int folder = 0; folder < Folders; ++folder) {
            const std::string path = tree.Path() + "/tree/module" + std::to_string(folder);
            std::filesystem::create_directories(path);
            for (int file = 0; file < FilesPerFolder; ++file)
                std::ofstream(path + "/file" + std::to_string(file) + ".c") << file;
        }
        made = true;
    }
    return tree.Path();
}

// The peak resident memory of a child that runs work, in bytes.
long PeakOfChild(const std::function<void()>& work) {
    const pid_t child = ::fork();
    if (child == 0) {
        work();
        ::_exit(0);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    return usage.ru_maxrss * 1024L;
}

void BM_CatchUp_Tree(benchmark::State& state) {
    const std::string root = Tree() + "/tree", snapshot = Tree() + "/snapshot";
    CatchUpTree(root, snapshot, {}); // the snapshot compared with
    const std::string find = "find '" + root + "' -printf '%D %i %m %s %T@ %C@ %B@\\n' > /dev/null";
    double walk = 0, catchUp = 0;
    uint64_t entries = 0;
    for (auto _ : state) {
        auto start = TClock::now();
        if (std::system(find.c_str()) != 0)
            state.SkipWithError("find failed");
        walk += SecondsSince(start);
        start = TClock::now();
        const TCatchUp found = CatchUpTree(root, snapshot, {});
        catchUp += SecondsSince(start);
        entries = found.Entries;
        if (found.Outcome != TCatchUp::TOutcome::Compared || !found.Changes.empty())
            state.SkipWithError("the tree did not compare as unchanged");
        state.SetIterationTime(SecondsSince(start));
    }
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["find_ms"] = benchmark::Counter(walk * 1000, benchmark::Counter::kAvgIterations);
    state.counters["catch_up_per_find"] = catchUp / walk;
    state.counters["snapshot_bytes_per_entry"] =
        static_cast<double>(std::filesystem::file_size(snapshot)) / static_cast<double>(entries);
    GoalAtMost(state, "catch_up_per_find", catchUp / walk, 1.5);
    GoalAtMost(state, "snapshot_bytes_per_entry",
               static_cast<double>(std::filesystem::file_size(snapshot)) / static_cast<double>(entries), 64);
    const long bare = PeakOfChild([] {});
    const long peak = PeakOfChild([&] { CatchUpTree(root, snapshot, {}); });
    state.counters["catch_up_peak_mib"] = static_cast<double>(peak - bare) / (1024.0 * 1024.0);
}
} // namespace

BENCHMARK(BM_CatchUp_Tree)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
