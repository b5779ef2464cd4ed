#pragma once

// The goals the benchmarks' figures are held to. A figure that misses its
// goal, or a run that lost changes, is written down with the benchmark's
// name as it happens and again at the end, and the benchmark program ends
// non-zero: a figure that fails its goal fails the run.
#include <benchmark/benchmark.h>

#include <string>

// The figure (named as its counter) of the running benchmark must be at
// most most; true when it is.
bool GoalAtMost(benchmark::State& state, const std::string& figure, double value, double most);
// The figure must be at least least.
bool GoalAtLeast(benchmark::State& state, const std::string& figure, double value, double least);

// Runs the benchmarks the command line names and reports the goals missed:
// the program's exit code (0: every goal met).
int RunBenchmarksWithGoals(int argc, char** argv);
