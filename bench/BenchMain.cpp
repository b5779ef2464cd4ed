// The benchmarks' entry: an application object (lists and watches need one),
// no display; the exit code says whether every goal was met.
#include "BenchGoals.h"
#include "toolkit/Application.h"

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication application(argc, argv);
    return RunBenchmarksWithGoals(argc, argv);
}
