#pragma once

// The CPU share of our file watcher at its 2,000 ms period, measured the same
// way by every row that shows it (PeerFileWatchBench.cpp,
// FileChangeLatencyBench.cpp).
//
// A FileWatcher of its own watches `paths` and polls back to back until its
// first pass is done, then every 2,000 ms. The window runs from the end of a
// pass that is followed by a 2,000 ms wait to the end of the `periods`-th
// pass after it, so it holds `periods` waits and as many passes. The process's
// CPU time over the window, less the measuring thread's own (it only checks
// the pass count every few milliseconds), is divided by the wall time: the
// share of one core, in percent. Whatever else the watcher's thread does
// during the window (waiting on the kernel's notifications, when they are on)
// is counted with the passes.
//
// Threading: call from the benchmark thread; nothing else may change the
// files meanwhile.

#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/platform/CString.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <thread>
#include <vector>

namespace bench {

inline constexpr std::uint32_t kWatchPeriodMs = 2000;

struct WatchCpuShare {
    double percent = 0;              // of one core, over the window
    double windowSeconds = 0;        // wall time of the window
    std::size_t kernelWatches = 0;   // directories the watcher watched through the kernel
};

inline double CpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline WatchCpuShare MeasureOurWatchCpuShare(const std::vector<CString>& paths, int periods) {
    // Polls back to back until the first pass is done, then every 2,000 ms.
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = 1});
    for (const CString& path : paths) watcher.AddFileWatch(path);
    const auto waitForPass = [&](std::uint64_t count) {
        while (watcher.GetPassCountForTesting() < count) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    waitForPass(1);
    watcher.SetPollIntervalForTesting(kWatchPeriodMs);
    // The pass in progress or next to come is the last one followed by a
    // short wait; every later pass is followed by the 2,000 ms wait.
    const std::uint64_t afterSetting = watcher.GetPassCountForTesting() + 1;
    waitForPass(afterSetting);
    const double wall0 = WallSeconds();
    const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    waitForPass(afterSetting + static_cast<std::uint64_t>(periods));
    const double wall1 = WallSeconds();
    const double cpu1 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    WatchCpuShare result;
    result.percent = 100.0 * (cpu1 - cpu0) / (wall1 - wall0);
    result.windowSeconds = wall1 - wall0;
    result.kernelWatches = watcher.GetKernelWatchCount();
    for (const CString& path : paths) watcher.RemoveFileWatch(path);
    return result;
}

}  // namespace bench
