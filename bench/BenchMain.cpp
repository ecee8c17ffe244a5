#include "BenchSupport.h"

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    // Before any benchmark can reach the hub off a user-interface thread.
    bench::HubUiThread::Instance();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
