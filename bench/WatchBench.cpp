// The watch against inotifywait on the same folder trees, in the same run:
// set-up time, a burst of changes, stop time and memory per watched folder,
// with each of the kernel's interfaces (argument fanotify:0 or 1).
#include "BenchGoals.h"
#include "BenchTree.h"
#include "LineProcess.h"

#include "platform/changes/fanotify/FanotifySource.h"
#include "watch/BrkDirWatch.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <malloc.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;
constexpr int BurstFiles = 100000;
// fanotify's burst: a million changes.
constexpr int LargeBurstFiles = 500000;
constexpr int ChurnFolders = 10000;
constexpr auto PatienceLimit = std::chrono::seconds(120);

size_t HeapInUse() {
    return mallinfo2().uordblks;
}

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// Runs the event loop, sleeping while there is nothing to do, so that the
// main thread takes no processor time from the writer and the worker.
template <class Condition>
bool RunEventsUntil(Condition condition) {
    const auto deadline = TClock::now() + PatienceLimit;
    QTimer tick;
    tick.start(2);
    while (!condition() && TClock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return condition();
}

// Makes the watches of the benchmark use fanotify or inotify; false (with
// the reason given to the benchmark) when fanotify cannot serve here.
bool UseBackend(benchmark::State& state, bool fanotify, const std::string& folder) {
    ::setenv("SENTREL_CHANGE_BACKEND", fanotify ? "fanotify" : "inotify", 1);
    const std::string whyNot = fanotify ? inotify::ChooseFanotify(folder).WhyNot : std::string();
    if (!whyNot.empty())
        state.SkipWithError(whyNot.c_str());
    return whyNot.empty();
}

// A watch on a folder with its notifications counted.
struct TCountingWatch {
    explicit TCountingWatch(const std::string& folder, TDirWatchOptions options = TDirWatchOptions::All()) {
        Watch.SetDirectory(folder);
        Watch.SetOptions(options);
        Watch.SetOnNotify([this](TBriskoDirWatch*, int action, const std::string&) {
            if (action == 1 || action == 2)
                ++NameChanges;
            ++Notified;
        });
        Watch.SetOnStatus([this](TBriskoDirWatch*, const TDirWatchStatus& status) {
            Ready = Ready || status.Kind == TDirWatchStatus::TKind::Ready;
            FolderCount = std::max(FolderCount, status.FolderCount);
            // fanotify covers the whole tree from its first status on.
            Covered = Covered || Ready || status.Mechanism == "fanotify";
            Lost += status.Kind == TDirWatchStatus::TKind::ChangesLost;
            Uncovered += status.Kind == TDirWatchStatus::TKind::NotCovered;
        });
    }
    bool EnableAndWaitReady() {
        Watch.SetEnabled(true);
        return RunEventsUntil([&] { return Ready; });
    }
    bool EnableAndWaitCovered() {
        Watch.SetEnabled(true);
        return RunEventsUntil([&] { return Covered; });
    }

    TBriskoDirWatch Watch;
    bool Ready = false;
    bool Covered = false;
    uint64_t FolderCount = 0;
    int Uncovered = 0;
    long Notified = 0;
    long NameChanges = 0;
    int Lost = 0;
};

TDirWatchOptions NameOptions() {
    TDirWatchOptions names;
    names.Include(dw_file_name);
    names.Include(dw_dir_name);
    return names;
}

// Second argument 0: names only, the events inotifywait is given here;
// 1: every kind of change, the watch's default. The time is until every
// change in the tree is reported; ready_ms until the watch is Ready (with
// fanotify: its cache of folder names is filled too). not_covered counts
// the folders the watch had to give up (the system's limit on inotify watches).
void BM_Setup_Sentrel(benchmark::State& state) {
    TBenchTree& tree = TreeWith(static_cast<int>(state.range(0)));
    const TDirWatchOptions options = state.range(1) ? TDirWatchOptions::All() : NameOptions();
    if (!UseBackend(state, state.range(2) != 0, tree.Path()))
        return;
    for (auto _ : state) {
        size_t before = HeapInUse();
        auto start = TClock::now();
        TCountingWatch counting(tree.Path(), options);
        if (!counting.EnableAndWaitCovered())
            state.SkipWithError("never covered");
        state.SetIterationTime(SecondsSince(start));
        if (!RunEventsUntil([&] { return counting.Ready; }))
            state.SkipWithError("never ready");
        state.counters["ready_ms"] = SecondsSince(start) * 1000;
        state.counters["not_covered"] = counting.Uncovered;
        state.counters["bytes_per_folder"] =
            static_cast<double>(HeapInUse() - before) / static_cast<double>(state.range(0));
    }
}

// A tree of `folders`, half of them below a folder named node_modules.
TBenchTree& HalfExcludedTree(int folders) {
    static std::map<int, std::unique_ptr<TBenchTree>> trees;
    auto& tree = trees[folders];
    if (!tree) {
        tree = std::make_unique<TBenchTree>();
        tree->MakeFolders(folders / 2 - 1, "src");
        tree->MakeFolders(folders / 2 - 1, "node_modules");
    }
    return *tree;
}

// The rules that leave out every folder named node_modules.
class TNodeModules final : public TFolderExclusion {
public:
    bool Excludes(const std::string& folderPath) const override {
        return folderPath.find("/node_modules/") != std::string::npos;
    }
};

// The set-up of a tree half of which lies below an excluded folder, with the
// exclusion (second argument 1) and without it: the time until Ready.
void BM_Setup_Excluded(benchmark::State& state) {
    TBenchTree& tree = HalfExcludedTree(static_cast<int>(state.range(0)));
    const bool excluding = state.range(1) != 0;
    if (!UseBackend(state, state.range(2) != 0, tree.Path()))
        return;
    double total = 0;
    for (auto _ : state) {
        auto start = TClock::now();
        TCountingWatch counting(tree.Path(), NameOptions());
        if (excluding)
            counting.Watch.SetExcludedFolders(std::make_shared<TNodeModules>());
        if (!counting.EnableAndWaitReady())
            state.SkipWithError("never ready");
        total += SecondsSince(start);
        state.SetIterationTime(SecondsSince(start));
        state.counters["folders_watched"] = static_cast<double>(counting.FolderCount);
    }
    // The run without the exclusion comes first; the one with it is held
    // to a share of its time.
    static std::map<std::pair<int64_t, int64_t>, double> whole;
    const double mean = total / static_cast<double>(state.iterations());
    const auto key = std::make_pair(state.range(0), state.range(2));
    if (!excluding)
        whole[key] = mean;
    else if (whole.count(key))
        GoalAtMost(state, "excluded / whole", mean / whole[key], 0.55);
}

// The processor time of a process, in seconds (0: this one).
double CpuSeconds(int pid = 0) {
    std::ifstream stat(pid ? "/proc/" + std::to_string(pid) + "/stat" : "/proc/self/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index)
        if (index == 14 || index == 15)
            ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A FUSE file system (bindfs over a tree of 100,000 entries: 5,000 folders
// of 19 files each) polled for `seconds`, and three polling intervals at
// least: the program's processor time as a share of one core, the FUSE
// server's beside it, and how many polling intervals a change made behind
// the mount took to be seen.
void BM_Poll_Fuse(benchmark::State& state) {
    if (::geteuid() != 0 || std::system("command -v bindfs >/dev/null") != 0) {
        state.SkipWithError("needs root and bindfs");
        return;
    }
    TBenchTree source, mount;
    source.MakeFolders(5000);
    for (const auto& folder : std::filesystem::recursive_directory_iterator(source.Path()))
        if (folder.is_directory())
            for (int i = 0; i < 19; ++i)
                ::close(::open((folder.path().string() + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    if (std::system(("bindfs --no-allow-other " + source.Path() + " " + mount.Path()).c_str()) != 0) {
        state.SkipWithError("bindfs failed");
        return;
    }
    const std::string pidof = "pgrep -f -n '^bindfs --no-allow-other " + source.Path() + "'";
    FILE* pipe = ::popen(pidof.c_str(), "r");
    int server = 0;
    if (pipe && std::fscanf(pipe, "%d", &server) != 1)
        server = 0;
    if (pipe)
        ::pclose(pipe);
    const double seconds = static_cast<double>(state.range(0));
    for (auto _ : state) {
        TCountingWatch counting(mount.Path(), NameOptions());
        std::string mechanism;
        counting.Watch.SetOnStatus([&](TBriskoDirWatch*, const TDirWatchStatus& status) {
            counting.Ready = counting.Ready || status.Kind == TDirWatchStatus::TKind::Ready;
            if (!status.Mechanism.empty())
                mechanism = status.Mechanism;
        });
        if (!counting.EnableAndWaitReady())
            state.SkipWithError("never ready");
        // Over three intervals at least, with the main thread looking for
        // news only every 20 ms, so that its own ticking does not count.
        const double interval = std::stod(mechanism.substr(std::string(PolledMechanism).size()));
        const double span = std::max(seconds, 3 * interval);
        const auto start = TClock::now();
        const double ownBefore = CpuSeconds(), serverBefore = server ? CpuSeconds(server) : 0;
        while (SecondsSince(start) < span) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const double wall = SecondsSince(start);
        state.counters["cpu_share_pct"] = (CpuSeconds() - ownBefore) / wall * 100;
        state.counters["server_cpu_share_pct"] = server ? (CpuSeconds(server) - serverBefore) / wall * 100 : -1;
        state.counters["interval_s"] = interval;
        const auto made = TClock::now();
        ::close(::open((source.Path() + "/d0/new").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        RunEventsUntil([&] { return counting.Notified > 0; });
        state.counters["seen_after_intervals"] = SecondsSince(made) / interval;
        GoalAtMost(state, "cpu_share_pct", (CpuSeconds() - ownBefore) / wall * 100, 10);
        GoalAtMost(state, "seen_after_intervals", SecondsSince(made) / interval, 2);
        state.SetIterationTime(wall);
        ::unlink((source.Path() + "/d0/new").c_str());
    }
    std::system(("fusermount -u -z " + mount.Path()).c_str());
}

void BM_Setup_Inotifywait(benchmark::State& state) {
    TBenchTree& tree = TreeWith(static_cast<int>(state.range(0)));
    TBenchTree empty;
    TLineProcess idle(InotifyWaitCommand(empty.Path()), InotifyWaitReady);
    idle.WaitReady();
    const long baseline = ResidentBytes(idle.Pid());
    for (auto _ : state) {
        auto start = TClock::now();
        TLineProcess waiter(InotifyWaitCommand(tree.Path()), InotifyWaitReady);
        if (!waiter.WaitReady()) {
            state.SkipWithError("inotifywait failed (the system's limit on inotify watches?)");
            break;
        }
        state.SetIterationTime(SecondsSince(start));
        state.counters["bytes_per_folder"] =
            static_cast<double>(ResidentBytes(waiter.Pid()) - baseline) / static_cast<double>(state.range(0));
    }
}

// Second argument: the files made and removed.
void BM_Burst_Sentrel(benchmark::State& state) {
    TBenchTree tree;
    const int files = static_cast<int>(state.range(1));
    if (!UseBackend(state, state.range(0) != 0, tree.Path()))
        return;
    for (auto _ : state) {
        TCountingWatch counting(tree.Path(), NameOptions());
        counting.EnableAndWaitReady();
        auto start = TClock::now();
        std::atomic<double> writerSeconds{0};
        std::thread writer([&] {
            WriteBurst(tree.Path(), files);
            writerSeconds = SecondsSince(start);
        });
        long behind = -1; // changes not yet delivered when the writer was done
        RunEventsUntil([&] {
            if (behind < 0 && writerSeconds > 0)
                behind = 2L * files - counting.NameChanges;
            return counting.NameChanges >= 2L * files || counting.Lost > 0;
        });
        writer.join();
        state.SetIterationTime(SecondsSince(start));
        state.counters["writer_ms"] = writerSeconds * 1000;
        state.counters["behind_at_end"] = static_cast<double>(behind);
        state.counters["delivered"] = static_cast<double>(counting.NameChanges);
        // Summed over the runs: a single overflow in any of them counts.
        state.counters["lost"] = state.counters["lost"] + static_cast<double>(2L * files - counting.NameChanges);
        state.counters["overflows"] = state.counters["overflows"] + counting.Lost;
        GoalAtMost(state, "lost", static_cast<double>(2L * files - counting.NameChanges), 0);
        GoalAtMost(state, "overflows", static_cast<double>(counting.Lost), 0);
    }
}

void BM_Burst_Inotifywait(benchmark::State& state) {
    TBenchTree tree;
    for (auto _ : state) {
        TLineProcess waiter(InotifyWaitCommand(tree.Path()), InotifyWaitReady);
        waiter.WaitReady();
        auto start = TClock::now();
        WriteBurst(tree.Path(), BurstFiles);
        state.counters["writer_ms"] = SecondsSince(start) * 1000;
        state.SetIterationTime(waiter.WaitForLines(2L * BurstFiles, start));
        state.counters["delivered"] = static_cast<double>(waiter.Lines);
        state.counters["lost"] = static_cast<double>(2L * BurstFiles - waiter.Lines);
        GoalAtMost(state, "lost", static_cast<double>(2L * BurstFiles - waiter.Lines), 0);
    }
}

// The writer alone, with nothing watching: the floor for both.
void BM_Burst_Unwatched(benchmark::State& state) {
    TBenchTree tree;
    for (auto _ : state) {
        auto start = TClock::now();
        WriteBurst(tree.Path(), static_cast<int>(state.range(0)));
        state.SetIterationTime(SecondsSince(start));
    }
}

// A folder of `siblings` sub-folders, made once for each size.
TBenchTree& SiblingTree(int siblings) {
    static std::map<int, std::unique_ptr<TBenchTree>> trees;
    auto& tree = trees[siblings];
    if (!tree) {
        tree = std::make_unique<TBenchTree>();
        for (int i = 0; i < siblings; ++i)
            ::mkdir((tree->Path() + "/s" + std::to_string(i)).c_str(), 0755);
    }
    return *tree;
}

// Removes a batch of sibling folders, makes them again, renames them away
// and back: six change records a folder.
void ChurnBatch(const std::string& folder, int from, int to, int siblings) {
    auto name = [&](const char* prefix, int i) { return folder + prefix + std::to_string(i % siblings); };
    for (int i = from; i < to; ++i)
        ::rmdir(name("/s", i).c_str());
    for (int i = from; i < to; ++i)
        ::mkdir(name("/s", i).c_str(), 0755);
    for (int i = from; i < to; ++i)
        ::rename(name("/s", i).c_str(), name("/r", i).c_str());
    for (int i = from; i < to; ++i)
        ::rename(name("/r", i).c_str(), name("/s", i).c_str());
}

// The same removals, re-creations and renames of folders among few or many
// siblings, in batches the kernel's queue holds: the time per change stays
// the same however many siblings a folder has when every update and look-up
// of the watch's folder tree takes constant time.
void BM_Churn_Sentrel(benchmark::State& state) {
    const int siblings = static_cast<int>(state.range(0));
    TBenchTree& tree = SiblingTree(siblings);
    if (!UseBackend(state, state.range(1) != 0, tree.Path()))
        return;
    // Each folder at most once a batch, and no more changes than the
    // kernel's queue holds.
    const int batch = std::min(2000, siblings);
    double total = 0;
    for (auto _ : state) {
        TCountingWatch counting(tree.Path(), NameOptions());
        if (!counting.EnableAndWaitReady())
            state.SkipWithError("never ready");
        auto start = TClock::now();
        for (int done = 0; done < ChurnFolders; done += batch) {
            ChurnBatch(tree.Path(), done, done + batch, siblings);
            RunEventsUntil([&] { return counting.Notified >= 6L * (done + batch) || counting.Lost > 0; });
        }
        const double seconds = SecondsSince(start);
        total += seconds;
        state.SetIterationTime(seconds);
        state.counters["ns_per_change"] = seconds * 1e9 / (6.0 * ChurnFolders);
        state.counters["lost"] = static_cast<double>(6L * ChurnFolders - counting.Notified);
        GoalAtMost(state, "lost", static_cast<double>(6L * ChurnFolders - counting.Notified), 0);
    }
    // The time a change takes must not grow with the siblings: the fewest
    // run first and the most are held to it, with room for the noise.
    static std::map<int64_t, double> fewest;
    const double mean = total / static_cast<double>(state.iterations());
    if (!fewest.count(state.range(1)))
        fewest[state.range(1)] = mean;
    else
        GoalAtMost(state, "churn / churn among the fewest siblings", mean / fewest[state.range(1)], 1.5);
}

void BM_Stop_Sentrel(benchmark::State& state) {
    TBenchTree& tree = TreeWith(static_cast<int>(state.range(0)));
    const bool busy = state.range(1) != 0;
    if (!UseBackend(state, state.range(2) != 0, tree.Path()))
        return;
    for (auto _ : state) {
        TCountingWatch counting(tree.Path());
        counting.EnableAndWaitReady();
        std::atomic<bool> writing{busy};
        std::thread writer([&] {
            for (int i = 0; writing; ++i) {
                std::string name = tree.Path() + "/d0/busy" + std::to_string(i % 100);
                ::close(::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
                ::unlink(name.c_str());
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto start = TClock::now();
        counting.Watch.SetEnabled(false);
        state.SetIterationTime(SecondsSince(start));
        writing = false;
        writer.join();
        QCoreApplication::processEvents();
    }
}

} // namespace

BENCHMARK(BM_Setup_Sentrel)->ArgNames({"folders", "all", "fanotify"})->ArgsProduct({{10000, 50000, 500000}, {0, 1}, {0, 1}})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Setup_Excluded)->ArgNames({"folders", "excluding", "fanotify"})->ArgsProduct({{50000}, {0, 1}, {0, 1}})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Poll_Fuse)->ArgName("seconds")->Arg(30)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Setup_Inotifywait)->ArgName("folders")->Arg(10000)->Arg(50000)->Arg(500000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Burst_Sentrel)->ArgNames({"fanotify", "files"})->Args({0, BurstFiles})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Burst_Sentrel)->ArgNames({"fanotify", "files"})->Args({1, BurstFiles})->Args({1, LargeBurstFiles})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Burst_Inotifywait)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Burst_Unwatched)->ArgName("files")->Arg(BurstFiles)->Arg(LargeBurstFiles)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Churn_Sentrel)->ArgNames({"siblings", "fanotify"})->ArgsProduct({{1000, 100000}, {0, 1}})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Stop_Sentrel)->ArgNames({"folders", "busy", "fanotify"})->ArgsProduct({{10000, 50000}, {0, 1}, {0, 1}})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
