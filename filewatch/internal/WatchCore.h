#pragma once

// WatchCore: what a FileWatcher does, around its one lock.
//
// It holds the three parts (WatchedFiles: the records and the change rule;
// KernelWatches: the kernel's directory watches; Debounce: files being
// written) and the work queued for the polling thread, and runs the looks:
// a look at a file (its look-up and trial opening) or at its way (tracing it
// and asking the kernel to watch each directory on it).
//
// Concurrency, in one argument: a single lock guards the parts and the work,
// and no file-system call is ever made while it is held. Every look works
// from a snapshot taken under the lock, is made without it, and is applied
// under the lock only if the record is still the one looked at: a record's id
// is never reused, and its version moves with every decision, so a stale look
// is dropped and the file looked at again. Hence a slow disk delays only the
// looks at its own paths (and, through AddFileWatch, the caller adding one of
// them), and once Remove has erased a record under the lock nothing can be
// posted for it. Posting happens under the lock; it only queues. The polling
// thread alone waits on the change source; whoever reads the reports that
// arrived does so under the lock, so they are sorted into work in the order
// they came, and a look decides only after reading those that came while it
// looked.

#include "filewatch/internal/KernelWatches.h"
#include "filewatch/internal/PollingThread.h"

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/FileAccess.h>
#include <BrimSubscriber/platform/FileChangeSource.h>
#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/Thread.h>
#include <BrimSubscriber/platform/TickCount.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brim {

namespace filewatch_detail {

class Debounce;
class WatchedFiles;
struct Record;
struct Work;

class WatchCore {
public:
    WatchCore(platform::FileAccess& files, platform::ThreadStarter& threads, const platform::TickClock& clock,
              platform::FileChangeSource& source, std::uint32_t pollIntervalMs);
    WatchCore(const WatchCore&) = delete;
    WatchCore& operator=(const WatchCore&) = delete;
    // Stops and joins the polling thread, if one runs.
    ~WatchCore();

    // FileWatcher's operations, with its contracts.
    bool Add(const CString& path) BRIM_EXCLUDES(m_lock);
    void Remove(const CString& path) BRIM_EXCLUDES(m_lock);
    void RunPass() BRIM_EXCLUDES(m_lock);
    [[nodiscard]] std::vector<std::pair<CString, int>> WatchedPaths() const BRIM_EXCLUDES(m_lock);
    [[nodiscard]] bool HasKernelHelp(const CString& path) const BRIM_EXCLUDES(m_lock);
    [[nodiscard]] std::size_t KernelWatchCount() const BRIM_EXCLUDES(m_lock);
    [[nodiscard]] bool IsPolling() const BRIM_EXCLUDES(m_lock);
    void SetPollInterval(std::uint32_t pollIntervalMs) noexcept { m_pollIntervalMs.store(pollIntervalMs, std::memory_order_relaxed); }
    void SetSlowSweepPasses(std::uint32_t passes) noexcept {
        m_slowSweepPasses.store(passes > 1 ? passes : 1, std::memory_order_relaxed);
    }
    [[nodiscard]] std::uint64_t PassCount() const noexcept { return m_passCount.load(std::memory_order_acquire); }

    // The polling thread's round. MsToWait: how long it may wait on Source()
    // before its next round (none: it is to stop). RunRound: reads what the
    // kernel reported, looks at the files and ways that need it, and makes a
    // pass when `nextPass` has come; false when the thread is to stop.
    [[nodiscard]] platform::FileChangeSource& Source() const noexcept { return m_source; }
    [[nodiscard]] std::optional<std::uint32_t> MsToWait(const PollingThread& thread, std::uint32_t nextPass) BRIM_EXCLUDES(m_lock);
    bool RunRound(PollingThread& thread, std::uint32_t& nextPass) BRIM_EXCLUDES(m_lock);

private:
    using Id = std::uint64_t;
    struct Look;
    // The files a look takes.
    enum class Scope {
        Listed,  // those asked for
        Net,     // a polling pass's: those the kernel cannot vouch for, and this pass's share of the others
        Every,   // every one
    };

    // Asks the running polling thread, if any, to stop and hands it over, to
    // be joined without the lock.
    [[nodiscard]] std::shared_ptr<PollingThread> TakeThread() BRIM_REQUIRES(m_lock);
    // Ends the polling thread's wait, so that it finds the work queued.
    void WakePoller() BRIM_REQUIRES(m_lock);
    // Sorts what the kernel reported into work.
    void ReadKernel() BRIM_REQUIRES(m_lock);
    // Looks at the files of `scope` and reports their changes.
    void Examine(const std::vector<Id>& ids, Scope scope, const std::atomic<bool>& stop) BRIM_EXCLUDES(m_lock);
    // Traces and watches again the ways of these records.
    void Rebuild(std::vector<Id> ids) BRIM_EXCLUDES(m_lock);
    // Drops every kernel watch, or asks again for those missing, as the switch says.
    void FollowKernelSwitch() BRIM_REQUIRES(m_lock);
    // Gives a record the way acquired for it; notes a loss of the kernel's help.
    void Attach(Record& record, const Chain& chain, std::uint64_t begun, std::vector<std::string>& lost) BRIM_REQUIRES(m_lock);
    void Forget(Id id) BRIM_REQUIRES(m_lock);

    platform::FileAccess& m_fileAccess;
    platform::ThreadStarter& m_threadStarter;
    const platform::TickClock& m_clock;
    platform::FileChangeSource& m_source;
    mutable platform::CriticalSection m_lock;
    const std::unique_ptr<WatchedFiles> m_files BRIM_PT_GUARDED_BY(m_lock);
    const std::unique_ptr<KernelWatches> m_kernel BRIM_PT_GUARDED_BY(m_lock);
    const std::unique_ptr<Debounce> m_debounce BRIM_PT_GUARDED_BY(m_lock);
    const std::unique_ptr<Work> m_work BRIM_PT_GUARDED_BY(m_lock);
    std::shared_ptr<PollingThread> m_watchThread BRIM_GUARDED_BY(m_lock);  // set iff there are records
    std::weak_ptr<PollingThread> m_lastStopped BRIM_GUARDED_BY(m_lock);    // may still be ending
    std::atomic<std::uint32_t> m_pollIntervalMs;
    std::atomic<std::uint32_t> m_slowSweepPasses;  // at least 1
    std::atomic<std::uint64_t> m_passCount{0};
};

}  // namespace filewatch_detail

}  // namespace brim
