// Brief mode looks up the changed path among the results lines before every
// new line: the key index against reading every line, at three list sizes.
#include "BenchGoals.h"
#include "app/Unit1.h"
#include "records/ResultLines.h"
#include "toolkit/ListBox.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <map>
#include <memory>
#include <string>

namespace {

std::string PathOf(int i) {
    return "/home/ann/projects/p" + std::to_string(i % 97) + "/src/module" + std::to_string(i / 97) + "/file" +
           std::to_string(i) + ".cpp";
}

std::string LineOf(const std::string& path) {
    return "14:05:09 - Modified - " + path;
}

std::unique_ptr<TListBox> NewList(bool indexed) {
    auto list = std::make_unique<TListBox>(nullptr, TListBox::TSelection::Multiple);
    if (indexed)
        list->EnableKeyIndex(&ResultFilePath);
    return list;
}

// What brief mode did before the index: read every line until one has the path.
int ReadFor(const TListBox& list, const std::string& path) {
    for (int i = 0; i < list.Count(); ++i)
        if (ResultFilePath(list.Line(i)) == path)
            return i;
    return -1;
}

int Find(const TListBox& list, bool indexed, const std::string& path) {
    return indexed ? list.FindKey(path) : ReadFor(list, path);
}

// Heap in use, large blocks (which the allocator maps on their own) included.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Heap bytes per line of each list, lines and index together.
std::map<std::pair<int, bool>, double>& BytesPerLine() {
    static std::map<std::pair<int, bool>, double> bytes;
    return bytes;
}

// One list per size and kind, filled once: results lines for N paths.
TListBox& ListOf(int lines, bool indexed) {
    static std::map<std::pair<int, bool>, std::unique_ptr<TListBox>> lists;
    auto& list = lists[{lines, indexed}];
    if (!list) {
        const size_t before = HeapInUse();
        list = NewList(indexed);
        for (int i = 0; i < lines; ++i)
            list->Add(LineOf(PathOf(i)));
        BytesPerLine()[{lines, indexed}] = static_cast<double>(HeapInUse() - before) / lines;
    }
    return *list;
}

int Lines(const benchmark::State& state) {
    return static_cast<int>(state.range(0));
}

bool Indexed(const benchmark::State& state) {
    return state.range(1) != 0;
}

// Second argument: 1 with the index, 0 reading every line.
void BM_FindPath_Miss(benchmark::State& state) {
    TListBox& list = ListOf(Lines(state), Indexed(state));
    const std::string absent = "/home/ann/projects/p3/src/module0/new-file.cpp";
    for (auto _ : state)
        benchmark::DoNotOptimize(Find(list, Indexed(state), absent));
    state.counters["bytes_per_line"] = BytesPerLine()[{Lines(state), Indexed(state)}];
}

void BM_FindPath_LastLine(benchmark::State& state) {
    TListBox& list = ListOf(Lines(state), Indexed(state));
    const std::string last = PathOf(Lines(state) - 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(Find(list, Indexed(state), last));
}

// The first change under a top folder no line has named yet. Indexing once
// read every line for it; now it is a lookup like any other.
void BM_FindPath_FirstOfANewRoot(benchmark::State& state) {
    std::unique_ptr<TListBox> list;
    for (auto _ : state) {
        state.PauseTiming();
        list = NewList(true);
        for (int i = 0; i < Lines(state); ++i)
            list->Add(LineOf(PathOf(i)));
        state.ResumeTiming();
        benchmark::DoNotOptimize(list->FindKey("/srv/x"));
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
    }
}

// The whole brief-mode step for a new path: look it up, then add its line.
void BM_BriefModeAppend(benchmark::State& state) {
    TListBox& list = ListOf(Lines(state), Indexed(state));
    int next = 0;
    for (auto _ : state) {
        const std::string path = "/home/ann/new/f" + std::to_string(next++) + ".txt";
        if (Find(list, Indexed(state), path) < 0)
            list.Add(LineOf(path));
    }
    while (next-- > 0)
        list.Delete(list.Count() - 1);
}

// The whole step for a path listed in the middle: look it up, replace its line.
void BM_BriefModeReplace(benchmark::State& state) {
    TListBox& list = ListOf(Lines(state), Indexed(state));
    const std::string path = PathOf(Lines(state) / 2);
    for (auto _ : state)
        if (int found = Find(list, Indexed(state), path); found >= 0)
            list.SetLine(found, LineOf(path));
}

// The heap of a results list with its key index, per line: what a list of
// a million or two million lines costs the window.
void BM_ListMemory(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(ListOf(Lines(state), true).Count());
    state.counters["bytes_per_line"] = BytesPerLine()[{Lines(state), true}];
    GoalAtMost(state, "bytes_per_line", BytesPerLine()[{Lines(state), true}], 150);
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"lines", "indexed"});
    for (int lines : {10000, 100000, 1000000})
        for (int indexed : {1, 0})
            benchmark->Args({lines, indexed});
}

} // namespace

BENCHMARK(BM_FindPath_Miss)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindPath_LastLine)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BriefModeAppend)->Apply(Sizes)->Unit(benchmark::kMicrosecond)->Iterations(2000);
BENCHMARK(BM_BriefModeReplace)->Apply(Sizes)->Unit(benchmark::kMicrosecond)->Iterations(2000);
BENCHMARK(BM_ListMemory)->ArgName("lines")->Arg(1000000)->Arg(2000000)->Iterations(1)->Unit(benchmark::kMillisecond);
// Last: freeing its large lists leaves the allocator busy for a while.
BENCHMARK(BM_FindPath_FirstOfANewRoot)->ArgName("lines")->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->Iterations(5);
