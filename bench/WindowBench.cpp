// The window under a long list: the longest the main thread goes without
// handling events while a command on the results list runs, from the
// command until the list is shown again. A stall is what a person feels as
// a frozen window.
#include "BenchGoals.h"
#include "BenchTree.h"
#include "app/Program.h"
#include "app/Unit1.h"
#include "dialogs/GeneralOptionsUnit.h"
#include "history/HistorySettings.h"
#include "history/Snapshot.h"
#include "settings/UtilObj.h"
#include "toolkit/ListBox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace {
// What the window must never take longer than on the main thread.
constexpr double StallGoalMs = 100;
// Shows about 11 lines in 97: the filter the commands run under.
constexpr const char* WideFilter = "/p1";
// Shows about 1 line in 97.
constexpr const char* NarrowFilter = "/p7/";
constexpr int SelectedLines = 10000;

enum class TCommand { FilterSet, FilterCleared, ExcludeFile, ExcludePath, Clear };

std::string LineOf(int i) {
    return "14:05:09 - Modified - /home/ann/projects/p" + std::to_string(i % 97) + "/src/module" +
           std::to_string(i / 97) + "/file" + std::to_string(i) + ".cpp";
}

// The program's windows, with a settings file and a history of their own, shown.
struct TWindow {
    TWindow() {
        static const std::string folder = [] {
            char made[] = "/tmp/sentrel-window-bench-XXXXXX";
            return std::string(mkdtemp(made));
        }();
        setenv("XDG_STATE_HOME", folder.c_str(), 1);
        UtilObj.SetIniFileName(folder + "/sentrel.ini");
        Forms = std::make_unique<TProgramForms>();
        Form1->show();
    }
    std::unique_ptr<TProgramForms> Forms;
};

void ProcessEventsUntil(const std::function<bool()>& done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void SetFilter(TForm1& window, const std::string& text) {
    window.edFilter->setText(QString::fromStdString(text));
    ProcessEventsUntil([&] { return window.lbResults->Filtered() == !text.empty(); });
}

// The longest gap between two turns of the event loop from the command's
// start until done says it is over and the list was painted again.
double LongestStallMs(const std::function<void()>& command, const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer beat;
    beat.setInterval(0);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    beat.start();
    bool started = false;
    QTimer::singleShot(0, [&] {
        command();
        started = true;
    });
    ProcessEventsUntil([&] { return started && done(); });
    for (int turn = 0; turn < 5; ++turn)
        QCoreApplication::processEvents();
    longest = std::max(longest, clock.nsecsElapsed() - last);
    return static_cast<double>(longest) / 1e6;
}

// Every k-th shown line, SelectedLines of them, in one selection.
void SelectSpread(TListBox& list) {
    const int rows = list.model()->rowCount();
    const int step = std::max(1, rows / SelectedLines);
    QItemSelection selection;
    for (int row = 0, taken = 0; row < rows && taken < SelectedLines; row += step, ++taken)
        selection.select(list.model()->index(row, 0), list.model()->index(row, 0));
    list.selectionModel()->select(selection, QItemSelectionModel::Select);
}

void FillList(TForm1& window, int lines) {
    window.sbClearClick();
    for (int i = 0; i < lines; ++i)
        window.lbResults->Add(LineOf(i));
}

void Prepare(TForm1& window, int lines, TCommand command) {
    GeneralOptionsForm->lbExcluded->Clear();
    SetFilter(window, "");
    FillList(window, lines);
    if (command == TCommand::FilterCleared)
        SetFilter(window, NarrowFilter);
    if (command == TCommand::ExcludeFile || command == TCommand::ExcludePath) {
        SetFilter(window, WideFilter);
        SelectSpread(*window.lbResults);
    }
    QCoreApplication::processEvents();
}

double Run(TForm1& window, TCommand command) {
    const int before = window.lbResults->Count();
    switch (command) {
    case TCommand::FilterSet:
        return LongestStallMs([&] { window.edFilter->setText(NarrowFilter); },
                              [&] { return window.lbResults->Filtered(); });
    case TCommand::FilterCleared:
        return LongestStallMs([&] { window.edFilter->clear(); }, [&] { return !window.lbResults->Filtered(); });
    case TCommand::ExcludeFile:
        return LongestStallMs([&] { window.ExcludeFile1Click(); },
                              [&] { return window.lbResults->Count() < before; });
    case TCommand::ExcludePath:
        return LongestStallMs([&] { window.ExcludePath1Click(); },
                              [&] { return window.lbResults->Count() < before; });
    case TCommand::Clear:
        return LongestStallMs([&] { window.sbClearClick(); }, [&] { return window.lbResults->Count() == 0; });
    }
    return 0;
}

void BM_WindowCommand(benchmark::State& state) {
    const TWindow shown;
    TForm1& window = *Form1;
    const int lines = static_cast<int>(state.range(0));
    const auto command = static_cast<TCommand>(state.range(1));
    double longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(window, lines, command);
        state.ResumeTiming();
        longest = std::max(longest, Run(window, command));
    }
    state.counters["stall_ms"] = longest;
    GoalAtMost(state, "stall_ms", longest, StallGoalMs);
}

// Start All Watches after a pause in which `changes` files were made: the
// catch-up lists them below the line of the gap, the list holding `lines`
// lines already.
void BM_WindowRestart(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    const int changes = static_cast<int>(state.range(1));
    TBenchTree tree;
    const TWindow shown;
    TForm1& window = *Form1;
    // Room for the lines the catch-up adds: the list keeps at most a million by default.
    window.ApplySection("History", {"ListLimit=" + std::to_string(lines + 2 * changes)});
    window.AddWatch(tree.Path());
    const std::string snapshot = SnapshotPathFor(HistoryFileName(), tree.Path());
    ProcessEventsUntil([&] { return std::filesystem::exists(snapshot); });
    const auto settle = [] {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    };
    settle(); // the catch-up at start hands its result over
    double longest = 0;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FillList(window, lines);
        window.sbStopClick();
        ProcessEventsUntil([&] { return !window.WatchOfLine(0)->Enabled(); });
        const std::string folder = tree.Path() + "/round" + std::to_string(round++);
        std::filesystem::create_directory(folder);
        for (int i = 0; i < changes; ++i)
            std::ofstream(folder + "/f" + std::to_string(i));
        const int before = window.lbResults->Count();
        state.ResumeTiming();
        longest = std::max(longest, LongestStallMs([&] { window.sbGoClick(); },
                                                   [&] { return window.lbResults->Count() >= before + changes + 1; }));
        state.PauseTiming();
        settle();
        state.ResumeTiming();
    }
    state.counters["stall_ms"] = longest;
    GoalAtMost(state, "stall_ms", longest, StallGoalMs);
}

void Commands(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"lines", "command"});
    for (int lines : {100000, 1000000})
        for (TCommand command :
             {TCommand::FilterSet, TCommand::FilterCleared, TCommand::ExcludeFile, TCommand::ExcludePath, TCommand::Clear})
            benchmark->Args({lines, static_cast<int>(command)});
}

} // namespace

// command: 0 filter set, 1 filter cleared, 2 Exclude File and 3 Exclude Path
// on 10,000 selected lines under a filter, 4 Clear.
BENCHMARK(BM_WindowCommand)->Apply(Commands)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowRestart)
    ->ArgNames({"lines", "changes"})
    ->Args({100000, 50000})
    ->Args({1000000, 50000})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
