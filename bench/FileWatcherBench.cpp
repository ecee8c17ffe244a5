// The cost of registering and withdrawing n watches, for n = 100, 1,000 and
// 10,000 real files (one polling pass stands beside its peers in
// PeerFileWatchBench.cpp). Adding a new path looks its file up; the first add
// starts the polling thread and the last removal stops and joins it, so those
// costs are included once per iteration.

#include "BenchSupport.h"
#include <BrimSubscriber/filewatch/FileWatcher.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::uint32_t kNoPollDuringMeasurement = 3'600'000;

// The paths of the first `count` files of the shared set.
std::vector<CString> Paths(std::int64_t count) {
    const auto& all = bench::WatchedFileSet::Paths();
    std::vector<CString> paths;
    for (std::int64_t i = 0; i < count; ++i) paths.emplace_back(all[static_cast<std::size_t>(i)]);
    return paths;
}

void BM_FileWatcherAddWatches(benchmark::State& state) {
    const std::vector<CString> paths = Paths(state.range(0));
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = kNoPollDuringMeasurement});
    for (auto _ : state) {
        for (const CString& path : paths) watcher.AddFileWatch(path);
        state.PauseTiming();
        for (const CString& path : paths) watcher.RemoveFileWatch(path);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FileWatcherAddWatches)->Arg(100)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void BM_FileWatcherRemoveWatches(benchmark::State& state) {
    const std::vector<CString> paths = Paths(state.range(0));
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = kNoPollDuringMeasurement});
    for (auto _ : state) {
        state.PauseTiming();
        for (const CString& path : paths) watcher.AddFileWatch(path);
        state.ResumeTiming();
        for (const CString& path : paths) watcher.RemoveFileWatch(path);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FileWatcherRemoveWatches)->Arg(100)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

}  // namespace
