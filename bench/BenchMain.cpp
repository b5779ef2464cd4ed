// The benchmarks' entry: an application object (lists and watches need one),
// no display.
#include "toolkit/Application.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
