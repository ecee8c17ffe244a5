// Watching files, side by side with a bare stat loop and libuv's uv_fs_poll.
//
// All rows use the first 100, 1,000 or 10,000 of bench::WatchedFileSet's real,
// unchanged files; the three implementations of a row run one after the other.
//
// One polling pass ("Watch/Pass<N>"), CPU time per pass, the median of three
// runs (CPU time, because wall time on a shared machine also counts the
// moments the thread was not running):
// - Ours: FileWatcher::RunPassForTesting on the benchmark thread, the pass the
//   polling thread makes.
// - FloorStat: stat() of every file's absolute UTF-8 path in a loop, which is
//   the least any polling watcher has to do. Ours' row also measures the two
//   in alternation (counter `floor_ratio`).
// - UvFsPoll: libuv's uv_fs_poll with its default thread pool, CPU time of the
//   whole process. A pass is uv_fs_poll_start on every file (which stats it
//   at once, on the pool) until every stat has completed and its result has
//   been compared and stored; the handles are stopped again outside the
//   timing. Starting allocates libuv's per-handle state, which a steady-state
//   libuv pass would not do.
//
// CPU share at the 2,000 ms period ("Watch/CpuShare<N>", counter cpu_percent,
// percent of one core): the watcher runs for real, and the process's CPU time
// is divided by the wall time over one polling period: one 2,000 ms wait and
// one pass.
// - Ours (bench/WatchCpuShare.h, shared with FileChangeLatencyBench.cpp):
//   FileWatcher whose polling thread is brought to the 2,000 ms interval
//   after its first pass; the window runs from the end of a pass that is
//   followed by a 2,000 ms wait to the end of the next pass. The benchmark
//   thread only checks the pass count every few milliseconds; its own CPU
//   time is subtracted. The kernel's help is on (the default), so a pass
//   looks at one file in FileWatcher::kSlowSweepPasses here (a local file
//   system, every directory watched), where uv_fs_poll stats every file.
// - UvFsPoll: every file under uv_fs_poll with a 2,000 ms interval, the loop
//   run by the benchmark thread for 2,000 ms after the first stat of every
//   file (libuv schedules each handle's next stat from the start of its last
//   one, so the window holds one pass).

#include "BenchSupport.h"
#include "WatchCpuShare.h"

#include <BrimSubscriber/filewatch/FileWatcher.h>

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <uv.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kPeriodMs = bench::kWatchPeriodMs;
constexpr int kSizes[] = {100, 1'000, 10'000};

std::vector<std::string> Utf8Paths(std::int64_t count) {
    const auto& all = bench::WatchedFileSet::Paths();
    return {all.begin(), all.begin() + count};
}

std::vector<CString> Paths(std::int64_t count) {
    std::vector<CString> paths;
    for (const std::string& p : Utf8Paths(count)) paths.emplace_back(p);
    return paths;
}

// --- One pass ----------------------------------------------------------------------

// FloorStat's pass: stat() of every path.
void StatAll(const std::vector<std::string>& paths) {
    struct stat st {};
    for (const std::string& path : paths) benchmark::DoNotOptimize(::stat(path.c_str(), &st));
}

void PassFloorStat(benchmark::State& state) {
    const std::vector<std::string> paths = Utf8Paths(state.range(0));
    for (auto _ : state) StatAll(paths);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void OnUvChange(uv_fs_poll_t* /*handle*/, int /*status*/, const uv_stat_t* /*prev*/, const uv_stat_t* /*curr*/) {}

// Runs the loop until every stat request in flight has completed.
void RunUntilStatsDone(uv_loop_t& loop) {
    while (loop.active_reqs.count != 0) uv_run(&loop, UV_RUN_ONCE);
}

void StopAll(uv_loop_t& loop, std::vector<uv_fs_poll_t>& handles) {
    for (auto& h : handles) uv_fs_poll_stop(&h);
    uv_run(&loop, UV_RUN_DEFAULT);  // finishes closing the internal timers
}

void CloseAll(uv_loop_t& loop, std::vector<uv_fs_poll_t>& handles) {
    for (auto& h : handles) uv_close(reinterpret_cast<uv_handle_t*>(&h), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
}

void PassUvFsPoll(benchmark::State& state) {
    const std::vector<std::string> paths = Utf8Paths(state.range(0));
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::vector<uv_fs_poll_t> handles(paths.size());
    for (auto& h : handles) uv_fs_poll_init(&loop, &h);
    constexpr unsigned kNoSecondPass = 3'600'000;
    for (auto _ : state) {
        for (std::size_t i = 0; i < paths.size(); ++i) uv_fs_poll_start(&handles[i], OnUvChange, paths[i].c_str(), kNoSecondPass);
        RunUntilStatsDone(loop);
        state.PauseTiming();
        StopAll(loop, handles);
        state.ResumeTiming();
    }
    CloseAll(loop, handles);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// --- CPU share at the 2,000 ms period ----------------------------------------------

void PassOurs(benchmark::State& state) {
    const std::vector<CString> paths = Paths(state.range(0));
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = 3'600'000});  // its own thread never polls meanwhile
    for (const CString& path : paths) watcher.AddFileWatch(path);
    for (auto _ : state) watcher.RunPassForTesting();
    // Ours against FloorStat in alternation (bench::AlternatedThreadCpuRatio):
    // the two rows run minutes apart in a whole run, over which this host's
    // speed drifts. Turns of at least 10,000 files each; `floor_ratio` is
    // ours' total over the stat loop's.
    const std::vector<std::string> utf8 = Utf8Paths(state.range(0));
    const int passes = std::max<int>(1, static_cast<int>(10'000 / state.range(0)));
    state.counters["floor_ratio"] = bench::AlternatedThreadCpuRatio(
        20, passes, [&] { watcher.RunPassForTesting(); }, [&] { StatAll(utf8); });
    for (const CString& path : paths) watcher.RemoveFileWatch(path);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void CpuShareOurs(benchmark::State& state) {
    const std::vector<CString> paths = Paths(state.range(0));
    double share = 0;
    for (auto _ : state) share = bench::MeasureOurWatchCpuShare(paths, 1).percent;
    state.counters["cpu_percent"] = share;
}

void CpuShareUvFsPoll(benchmark::State& state) {
    const std::vector<std::string> paths = Utf8Paths(state.range(0));
    double share = 0;
    for (auto _ : state) {
        uv_loop_t loop;
        uv_loop_init(&loop);
        std::vector<uv_fs_poll_t> handles(paths.size());
        for (std::size_t i = 0; i < paths.size(); ++i) {
            uv_fs_poll_init(&loop, &handles[i]);
            uv_fs_poll_start(&handles[i], OnUvChange, paths[i].c_str(), kPeriodMs);
        }
        RunUntilStatsDone(loop);
        uv_timer_t end;
        uv_timer_init(&loop, &end);
        const double wall0 = bench::WallSeconds();
        const double cpu0 = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        uv_timer_start(&end, [](uv_timer_t* t) { uv_stop(t->loop); }, kPeriodMs, 0);
        uv_run(&loop, UV_RUN_DEFAULT);
        const double wall1 = bench::WallSeconds();
        const double cpu1 = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        share = 100.0 * (cpu1 - cpu0) / (wall1 - wall0);
        uv_close(reinterpret_cast<uv_handle_t*>(&end), nullptr);
        StopAll(loop, handles);
        CloseAll(loop, handles);
    }
    state.counters["cpu_percent"] = share;
}

// --- Registration -------------------------------------------------------------------

const bool kRegistered = [] {
    for (int n : kSizes) {
        const std::string pass = "Watch/Pass" + std::to_string(n) + "/";
        const auto configure = [n](benchmark::internal::Benchmark* b) {
            b->Arg(n)->MinTime(0.1)->Repetitions(3)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
            return b;
        };
        configure(benchmark::RegisterBenchmark((pass + "Ours").c_str(), PassOurs));
        configure(benchmark::RegisterBenchmark((pass + "FloorStat").c_str(), PassFloorStat));
        configure(benchmark::RegisterBenchmark((pass + "UvFsPoll").c_str(), PassUvFsPoll))->MeasureProcessCPUTime();
    }
    for (int n : kSizes) {
        const std::string share = "Watch/CpuShare" + std::to_string(n) + "/";
        benchmark::RegisterBenchmark((share + "Ours").c_str(), CpuShareOurs)
            ->Arg(n)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((share + "UvFsPoll").c_str(), CpuShareUvFsPoll)
            ->Arg(n)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace
