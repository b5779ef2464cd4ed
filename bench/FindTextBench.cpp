// Brief mode looks up the changed path among the results lines before every
// new line: the search index against reading every line, at three list sizes.
#include "toolkit/ListBox.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <malloc.h>
#include <map>
#include <memory>
#include <string>

namespace {

std::string PathOf(int i) {
    return "/home/ann/projects/p" + std::to_string(i % 97) + "/src/module" + std::to_string(i / 97) + "/file" +
           std::to_string(i) + ".cpp";
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
        const size_t before = mallinfo2().uordblks;
        list = std::make_unique<TListBox>(nullptr, TListBox::TSelection::Multiple);
        if (indexed)
            list->EnableSearchIndex();
        for (int i = 0; i < lines; ++i)
            list->Add("14:05:09 - Modified - " + PathOf(i));
        // As in the program, where the first change under a folder is looked
        // up before its lines exist (see BM_FindText_FirstOfANewRoot).
        list->FindText("/home/ann/warm-up");
        BytesPerLine()[{lines, indexed}] = static_cast<double>(mallinfo2().uordblks - before) / lines;
    }
    return *list;
}

// Second argument: 1 with the index, 0 reading every line.
void BM_FindText_Miss(benchmark::State& state) {
    TListBox& list = ListOf(static_cast<int>(state.range(0)), state.range(1) != 0);
    const std::string absent = "/home/ann/projects/p3/src/module0/new-file.cpp";
    for (auto _ : state)
        benchmark::DoNotOptimize(list.FindText(absent));
    state.counters["bytes_per_line"] = BytesPerLine()[{static_cast<int>(state.range(0)), state.range(1) != 0}];
}

void BM_FindText_LastLine(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    TListBox& list = ListOf(lines, state.range(1) != 0);
    const std::string last = PathOf(lines - 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(list.FindText(last));
}

// A folder's own change: every line below the folder contains its path.
void BM_FindText_Folder(benchmark::State& state) {
    TListBox& list = ListOf(static_cast<int>(state.range(0)), state.range(1) != 0);
    const std::string folder = "/home/ann/projects/p96";
    for (auto _ : state)
        benchmark::DoNotOptimize(list.FindText(folder));
}

// The first path under a top folder never asked for reads every line once.
void BM_FindText_FirstOfANewRoot(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        TListBox list(nullptr, TListBox::TSelection::Multiple);
        list.EnableSearchIndex();
        for (int i = 0; i < lines; ++i)
            list.Add("14:05:09 - Modified - " + PathOf(i));
        state.ResumeTiming();
        benchmark::DoNotOptimize(list.FindText("/home/ann/x"));
    }
}

// The whole brief-mode step for a new path: look it up, then add its line.
void BM_BriefModeAppend(benchmark::State& state) {
    TListBox& list = ListOf(static_cast<int>(state.range(0)), state.range(1) != 0);
    int next = 0;
    for (auto _ : state) {
        const std::string path = "/home/ann/new/f" + std::to_string(next++) + ".txt";
        if (list.FindText(path) < 0)
            list.Add("14:05:10 - Added - " + path);
    }
    while (next-- > 0)
        list.Delete(list.Count() - 1);
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"lines", "indexed"});
    for (int lines : {10000, 100000, 1000000})
        for (int indexed : {1, 0})
            benchmark->Args({lines, indexed});
}

} // namespace

BENCHMARK(BM_FindText_Miss)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindText_LastLine)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindText_Folder)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindText_FirstOfANewRoot)->ArgName("lines")->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BriefModeAppend)->Apply(Sizes)->Unit(benchmark::kMicrosecond)->Iterations(2000);
