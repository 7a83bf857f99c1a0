// Classification throughput on realistic interface paths: a receiver that matches early, one
// that matches the last row, and the common case of a path that matches nothing.
#include "device_rules.h"

#include <benchmark/benchmark.h>

namespace
{

const wchar_t* const kPaths[] = {
    L"\\\\?\\hid#vid_7c2f&pid_2000&mi_00#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
    L"\\\\?\\hid#vid_7c2f&pid_1100&col02#7&2b1c3d4e&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}",
    L"\\\\?\\hid#vid_046d&pid_c52b&mi_02&col01#7&3c4d5e6f&0&0000#{4d1e55b2-f16f-11cf-88cb-"
    L"001111000030}",
};

void ClassifyOne(benchmark::State& state)
{
    const wchar_t* path = kPaths[state.range(0)];
    for (auto _ : state)
    {
        ClassifyDevicePath(path);
        benchmark::DoNotOptimize(g_dwEntryDevice);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(ClassifyOne)->ArgName("first_row_match")->Arg(0);
BENCHMARK(ClassifyOne)->ArgName("last_row_match")->Arg(1);
BENCHMARK(ClassifyOne)->ArgName("no_match")->Arg(2);
BENCHMARK_MAIN();
