// `./dev bench`: the micro-benchmarks (Google Benchmark), then the performance targets as a
// table. --targets-only skips the former, --benchmarks-only the latter, and --targets=TEXT runs
// the targets whose name holds TEXT.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/Targets.h"

int main(int argc, char** argv) {
    bool targets = true, benchmarks = true;
    std::string filter;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--targets-only") == 0)
            benchmarks = false;
        else if (std::strcmp(argv[i], "--benchmarks-only") == 0)
            targets = false;
        else if (std::strncmp(argv[i], "--targets=", 10) == 0)
            filter = argv[i] + 10, benchmarks = false;
        else
            rest.push_back(argv[i]);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data()))
        return 2;
    if (benchmarks)
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (targets)
        bench::runTargets(filter);
    return 0;
}
