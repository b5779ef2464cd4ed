#include "BenchGoals.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace {
// The goals missed by the benchmark running now, given its name when it is
// reported; then every goal missed so far.
std::vector<std::string> Pending;
std::string Missed;

bool Check(benchmark::State& state, const std::string& figure, double value, bool met, const char* goal,
           double bound) {
    if (met)
        return true;
    std::ostringstream line;
    line << figure << " = " << value << ", goal " << goal << " " << bound;
    std::fprintf(stderr, "goal missed: %s\n", line.str().c_str());
    Pending.push_back(line.str());
    state.counters["goals_missed"] = static_cast<double>(Pending.size());
    return false;
}

// The console's report, which also names the benchmark that missed each goal.
class TGoalReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const std::string& line : Pending)
            Missed += (runs.empty() ? std::string("?") : runs.front().benchmark_name()) + ": " + line + "\n";
        Pending.clear();
        ConsoleReporter::ReportRuns(runs);
    }
};
} // namespace

bool GoalAtMost(benchmark::State& state, const std::string& figure, double value, double most) {
    return Check(state, figure, value, value <= most, "at most", most);
}

bool GoalAtLeast(benchmark::State& state, const std::string& figure, double value, double least) {
    return Check(state, figure, value, value >= least, "at least", least);
}

int RunBenchmarksWithGoals(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TGoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (Missed.empty())
        return 0;
    std::fprintf(stderr, "\nGoals missed:\n%s", Missed.c_str());
    return 1;
}
