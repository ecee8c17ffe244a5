// The cost of watching files: one polling pass over n unchanged files, and
// registering and withdrawing n watches, for n = 100, 1,000 and 10,000.
//
// Real files in a temporary directory. A pass looks every file up (one stat
// each) and opens none, since nothing changes. Adding a new path also looks
// its file up; the first add starts the polling thread and the last removal
// stops and joins it, so those costs are included once per iteration.

#include "filewatch/FileWatcher.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kNoPollDuringMeasurement = 3'600'000;

// 10,000 small files, created on first use and removed at exit.
class FileSet {
public:
    // The paths of the first `count` files.
    static std::vector<CString> Paths(std::int64_t count) {
        static const FileSet set;
        return {set.m_paths.begin(), set.m_paths.begin() + count};
    }

    FileSet(const FileSet&) = delete;
    FileSet& operator=(const FileSet&) = delete;
    ~FileSet() {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

private:
    FileSet() {
        std::random_device random;
        m_dir = fs::temp_directory_path() / ("brim-filewatch-bench-" + std::to_string(random()));
        fs::create_directories(m_dir);
        for (int i = 0; i < 10'000; ++i) {
            const fs::path file = m_dir / ("survey-line-" + std::to_string(i) + ".xyz");
            std::ofstream(file) << i;
            m_paths.emplace_back(file.string());
        }
    }

    fs::path m_dir;
    std::vector<CString> m_paths;
};

void BM_FileWatcherPollingPass(benchmark::State& state) {
    const std::vector<CString> paths = FileSet::Paths(state.range(0));
    FileWatcher watcher(kNoPollDuringMeasurement);
    for (const CString& path : paths) watcher.AddFileWatch(path);
    for (auto _ : state) watcher.RunPassForTesting();
    state.SetItemsProcessed(state.iterations() * state.range(0));
    for (const CString& path : paths) watcher.RemoveFileWatch(path);
}
BENCHMARK(BM_FileWatcherPollingPass)->Arg(100)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void BM_FileWatcherAddWatches(benchmark::State& state) {
    const std::vector<CString> paths = FileSet::Paths(state.range(0));
    FileWatcher watcher(kNoPollDuringMeasurement);
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
    const std::vector<CString> paths = FileSet::Paths(state.range(0));
    FileWatcher watcher(kNoPollDuringMeasurement);
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
