// Loading the largest image (about 11,000 lines) with its listing and dump. Target: under 5 ms.
#include <benchmark/benchmark.h>

#include "big_hex.h"
#include "hex_loader.h"

static void BM_LoadLargestImage(benchmark::State& state) {
    const auto lines = qdfu::bench::BigHexLines();
    qdfu::HexLoadResult result;  // kept across loads, as the window keeps its own
    for (auto _ : state) {
        qdfu::LoadHexImage(lines, qdfu::MemoryImage(), result);
        benchmark::DoNotOptimize(result.Dump[0].data());
        if (!result.Valid || result.Dump.size() != 2752) state.SkipWithError("load failed");
    }
    state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_LoadLargestImage)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
