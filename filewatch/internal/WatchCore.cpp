#include "filewatch/internal/WatchCore.h"

#include "filewatch/internal/Debounce.h"
#include "filewatch/internal/WatchedFiles.h"

#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace brim {

namespace filewatch_detail {

// What the polling thread is to do at its next round, beside its passes.
struct Work {
    std::vector<Id> examine;  // look at these files now
    std::vector<Id> rebuild;  // trace and watch these ways again
    bool overflow = false;    // reports were lost: everything, now
    std::size_t unhelped = 0;  // records with a way the kernel watches not at all, or not all of (LacksHelp)
    Id refusedAskedUpTo = 0;  // the last record whose refused way was asked for again
    std::vector<platform::FileChange> changes;  // ReadKernel's scratch
    std::vector<KernelWatches::Hit> hits;
};

// One file as a look found it, against what its record said when the look began.
struct WatchCore::Look {
    Id id;
    std::shared_ptr<const std::string> lookupPath;
    std::uint64_t version;
    std::optional<platform::FileInfo> last;
    std::optional<platform::FileInfo> seen;
    bool report = false;
};

namespace {

const std::atomic<bool> kNeverStop{false};

// A record whose way is to be asked of the kernel (again) while its help is switched on.
bool LacksHelp(const Record& record) { return !record.lookupPath->empty() && (!record.attached || !record.kernelHelp); }

// Milliseconds from `now` to `due` on the wrapping clock, 0 when reached.
std::uint32_t MsUntil(std::uint32_t now, std::uint32_t due) {
    return static_cast<std::uint32_t>(std::max<std::int32_t>(static_cast<std::int32_t>(due - now), 0));
}

std::unique_ptr<WatchedFiles> MakeRecords() {
    // Reached here, the hub and the dispatcher finish their construction
    // before the watcher's, so at unload they are destroyed after it has
    // stopped its thread (the dispatcher before the hub, discarding calls
    // that would reach its map).
    SubscriptionMap& map = *SubscriptionManager::Instance().GetSubscriptionMap(FILE_SUBSCRIPTION_TYPE);
    return std::make_unique<WatchedFiles>(MainThreadDispatcher::Instance(), map);
}

void SortUnique(std::vector<std::uint64_t>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

void ReportHelpLost(const std::vector<std::string>& lost) {
    for (const std::string& message : lost) {
        ReportDiagnostic(DiagnosticKind::KernelHelpLost, FILE_SUBSCRIPTION_TYPE, "%s", message.c_str());
    }
}

}  // namespace

WatchCore::WatchCore(platform::FileAccess& files, platform::ThreadStarter& threads, const platform::TickClock& clock,
                     platform::FileChangeSource& source, std::uint32_t pollIntervalMs)
    : m_fileAccess(files), m_threadStarter(threads), m_clock(clock), m_source(source), m_files(MakeRecords()),
      m_kernel(std::make_unique<KernelWatches>(source)),
      m_debounce(std::make_unique<Debounce>(clock, FileWatcher::kQuietIntervalMs)), m_work(std::make_unique<Work>()),
      m_pollIntervalMs(pollIntervalMs), m_slowSweepPasses(FileWatcher::kSlowSweepPasses) {}

WatchCore::~WatchCore() {
    std::shared_ptr<PollingThread> ending;
    {
        const platform::LockGuard lock(m_lock);
        ending = TakeThread();
    }
    if (ending) ending->Join();
}

bool WatchCore::Add(const CString& path) {
    Id existing = 0;
    {
        const platform::LockGuard lock(m_lock);
        if (Record* record = m_files->Find(path)) {
            ++record->refCount;
            existing = record->id;
        }
    }
    if (existing != 0) {
        Examine({existing}, Scope::Listed, kNeverStop);  // a change since the last look is posted now
        return true;
    }

    // The new path's file and its way, looked at on the caller's thread
    // without the lock.
    std::string lookupPath = LookupPathOf(path);
    const std::optional<platform::FileInfo> state = lookupPath.empty() ? std::nullopt : m_fileAccess.Find(lookupPath);
    const bool kernel = !lookupPath.empty() && FileWatcher::IsKernelNotificationEnabled();
    Acquisition acquisition(m_lock, m_kernel.get(), kernel ? 1 : 0);
    if (kernel) acquisition.Acquire(0, m_fileAccess, m_source, lookupPath);
    std::vector<std::string> lost;
    bool registered = true;
    {
        const platform::LockGuard lock(m_lock);
        if (Record* raced = m_files->Find(path)) {
            ++raced->refCount;  // another thread added it meanwhile
        } else {
            Record& record = m_files->Add(path, std::move(lookupPath), state);
            m_work->unhelped += LacksHelp(record);
            try {
                if (kernel) Attach(record, acquisition.ChainOf(0), acquisition.Begun(), lost);
                // A record is only ever kept while a polling thread runs for it.
                if (!m_watchThread) {
                    m_watchThread = PollingThread::Start(*this, m_threadStarter, m_lastStopped.lock(),
                                                         m_clock.Now() + m_pollIntervalMs.load(std::memory_order_relaxed));
                    registered = m_watchThread != nullptr;
                }
            } catch (...) {
                Forget(record.id);
                throw;
            }
            if (!registered) Forget(record.id);
        }
        acquisition.End();
    }
    ReportHelpLost(lost);
    return registered;
}

void WatchCore::Remove(const CString& path) {
    std::shared_ptr<PollingThread> ending;
    {
        const platform::LockGuard lock(m_lock);
        Record* record = m_files->Find(path);
        if (record == nullptr || --record->refCount > 0) return;
        Forget(record->id);
        if (m_files->IsEmpty()) ending = TakeThread();
    }
    // Without the lock: the thread may be waiting for it to begin a round.
    if (ending) ending->Join();
}

void WatchCore::Forget(Id id) {
    if (const Record* record = m_files->Get(id)) m_work->unhelped -= LacksHelp(*record);
    m_kernel->Detach(id);
    m_debounce->Forget(id);
    m_files->Erase(id);
}

void WatchCore::Attach(Record& record, const Chain& chain, std::uint64_t begun, std::vector<std::string>& lost) {
    std::string refused;
    int error = 0;
    const KernelWatches::Attached attached = m_kernel->Attach(record.id, chain, begun, refused, error);
    const bool helped = attached != KernelWatches::Attached::Refused;
    if (!helped && record.kernelHelp) {
        lost.push_back(record.path.ToUtf8() + " is watched by polling alone: the kernel refused to watch " + refused + " (" +
                       std::strerror(error) + "); the watcher asks again at each pass");
    }
    m_work->unhelped -= LacksHelp(record);
    record.attached = true;
    record.covered = attached == KernelWatches::Attached::Helped;
    record.kernelHelp = helped;
    m_work->unhelped += LacksHelp(record);
    if (attached == KernelWatches::Attached::Stale) {
        m_work->rebuild.push_back(record.id);
        WakePoller();
    }
}

std::shared_ptr<PollingThread> WatchCore::TakeThread() {
    // Taking the thread out under the lock is what makes start and stop safe
    // against each other: from here on an Add sees no thread and starts a new
    // one, and only this caller can stop, and wait for, the old.
    std::shared_ptr<PollingThread> ending = std::move(m_watchThread);
    if (ending) {
        ending->RequestStop();
        m_lastStopped = ending;
        m_source.Interrupt();
    }
    return ending;
}

void WatchCore::WakePoller() {
    // From the polling thread itself there is no wait to end: its next round
    // finds the work.
    if (m_watchThread && !m_watchThread->IsCurrent()) m_source.Interrupt();
}

std::optional<std::uint32_t> WatchCore::MsToWait(const PollingThread& thread, std::uint32_t nextPass) {
    const platform::LockGuard lock(m_lock);
    if (thread.StopRequest()) return std::nullopt;
    if (!m_work->examine.empty() || !m_work->rebuild.empty() || m_work->overflow) return 0;
    return std::min(MsUntil(m_clock.Now(), nextPass), m_debounce->MsUntilNextDue().value_or(UINT32_MAX));
}

bool WatchCore::RunRound(PollingThread& thread, std::uint32_t& nextPass) {
    std::vector<Id> examine;
    std::vector<Id> rebuild;
    bool pass = false;
    bool every = false;
    try {
        {
            const platform::LockGuard lock(m_lock);
            if (thread.StopRequest()) return false;
            ReadKernel();
            if (std::exchange(m_work->overflow, false)) {
                // Lost reports: every way traced again, and every file examined now.
                nextPass = m_clock.Now();
                every = true;
                for (const auto& [id, record] : m_files->All()) m_work->rebuild.push_back(id);
            }
            m_debounce->TakeDue(m_work->examine);
            if (MsUntil(m_clock.Now(), nextPass) == 0) {
                pass = true;
                FollowKernelSwitch();
            }
            examine = std::exchange(m_work->examine, {});
            rebuild = std::exchange(m_work->rebuild, {});
        }
        // Files first: a save reported complete is posted before any way is
        // traced again. A file reported many times is looked at once.
        SortUnique(examine);
        Examine(examine, Scope::Listed, thread.StopRequest());
        Rebuild(std::move(rebuild));
        if (pass) {
            Examine({}, every ? Scope::Every : Scope::Net, thread.StopRequest());
            nextPass = m_clock.Now() + m_pollIntervalMs.load(std::memory_order_relaxed);
            m_passCount.fetch_add(1, std::memory_order_release);  // after: whoever saw it may move the clock on
        }
    } catch (const std::exception&) {
        // Out of memory: the records keep their old state, so a later look
        // finds their changes again. Nobody could receive the exception.
    }
    return true;
}

void WatchCore::ReadKernel() {
    using Kind = platform::FileChange::Kind;
    std::vector<platform::FileChange>& changes = m_work->changes;
    changes.clear();
    m_source.ReadPending(changes);
    if (changes.empty()) return;
    for (const platform::FileChange& change : changes) {
        if (change.kind == Kind::Overflow) {
            m_work->overflow = true;
            continue;
        }
        m_work->hits.clear();
        m_kernel->Route(change, m_work->hits);
        for (const KernelWatches::Hit& hit : m_work->hits) {
            if (!hit.leaf) {
                // The way to the file changed: traced again, and the file, which
                // may have been written meanwhile, examined once quiet.
                if (change.kind == Kind::Created || change.kind == Kind::MovedIn || change.kind == Kind::Removed ||
                    change.kind == Kind::DirectoryGone) {
                    m_work->rebuild.push_back(hit.record);
                    m_debounce->Touch(hit.record);
                }
                continue;
            }
            switch (change.kind) {
                case Kind::MovedIn:  // complete under its name; a link renamed there leads elsewhere
                    m_work->rebuild.push_back(hit.record);
                    [[fallthrough]];
                case Kind::Written:  // the save is complete
                case Kind::Attributes:
                    m_debounce->Settle(hit.record);
                    m_work->examine.push_back(hit.record);
                    break;
                case Kind::Created:  // perhaps a link: traced again
                    m_work->rebuild.push_back(hit.record);
                    [[fallthrough]];
                case Kind::Modified:  // perhaps still being written: left to its close, or its quiet interval
                    m_debounce->Touch(hit.record);
                    break;
                default:
                    break;  // removed: a missing file is not a change
            }
        }
    }
    WakePoller();
}

void WatchCore::FollowKernelSwitch() {
    if (!FileWatcher::IsKernelNotificationEnabled()) {
        if (!m_kernel->HasChains()) return;
        m_kernel->DetachAll();
        for (const auto& entry : m_files->All()) {
            Record& record = *m_files->Get(entry.first);
            m_work->unhelped -= LacksHelp(record);
            record.attached = false;
            record.covered = false;
            m_work->unhelped += LacksHelp(record);
        }
        return;
    }
    if (m_work->unhelped == 0) return;  // the usual case: no walk over every record at each pass
    // Ways never asked for (added while the switch was off) are asked for
    // now; ways the kernel refused, a few at each pass, in turn, so that a
    // refusal that lasts (the watch limit) costs little.
    constexpr std::size_t kRefusedAskedPerPass = 64;
    const auto& all = m_files->All();
    std::size_t asked = 0;
    auto next = all.upper_bound(m_work->refusedAskedUpTo);
    for (std::size_t seen = 0; seen < all.size(); ++seen, ++next) {
        if (next == all.end()) next = all.begin();
        const Record& record = next->second;
        if (record.lookupPath->empty()) continue;
        if (!record.attached) {
            m_work->rebuild.push_back(record.id);
        } else if (!record.kernelHelp && asked < kRefusedAskedPerPass) {
            m_work->rebuild.push_back(record.id);
            m_work->refusedAskedUpTo = record.id;
            ++asked;
        }
    }
}

void WatchCore::Rebuild(std::vector<Id> ids) {
    SortUnique(ids);
    std::vector<std::pair<Id, std::shared_ptr<const std::string>>> ways;
    {
        const platform::LockGuard lock(m_lock);
        if (!FileWatcher::IsKernelNotificationEnabled()) return;
        for (const Id id : ids) {
            if (const Record* record = m_files->Get(id); record != nullptr && !record->lookupPath->empty()) {
                ways.emplace_back(id, record->lookupPath);
            }
        }
    }
    if (ways.empty()) return;
    Acquisition acquisition(m_lock, m_kernel.get(), ways.size());
    for (std::size_t i = 0; i < ways.size(); ++i) acquisition.Acquire(i, m_fileAccess, m_source, *ways[i].second);
    std::vector<std::string> lost;
    {
        const platform::LockGuard lock(m_lock);
        for (std::size_t i = 0; i < ways.size(); ++i) {
            if (Record* record = m_files->Get(ways[i].first)) Attach(*record, acquisition.ChainOf(i), acquisition.Begun(), lost);
        }
        acquisition.End();
    }
    ReportHelpLost(lost);
}

void WatchCore::Examine(const std::vector<Id>& ids, Scope scope, const std::atomic<bool>& stop) {
    // What each record said, for the files not being written (a pass still
    // looks at one written without pause for a whole period).
    const std::uint32_t period = m_pollIntervalMs.load(std::memory_order_relaxed);
    // Each thread keeps its buffer from one look to the next: a pass over
    // many files then allocates nothing. Looks never nest on a thread.
    thread_local std::vector<Look> t_looks;
    std::vector<Look>& looks = t_looks;
    looks.clear();
    const struct Release {
        std::vector<Look>& looks;
        ~Release() { looks.clear(); }  // the paths' shared ownership goes with the look
    } release{looks};
    std::uint64_t epoch = 0;  // the debounce's, when the looks began
    {
        const platform::LockGuard lock(m_lock);
        epoch = m_debounce->Epoch();
        const auto take = [&](const Record& record) BRIM_REQUIRES(m_lock) {
            if (record.lookupPath->empty()) return;  // never handed to the file system
            if (m_debounce->IsBeingWritten(record.id) && !m_debounce->IsBusyLongerThan(record.id, period)) return;
            looks.push_back(Look{record.id, record.lookupPath, record.version, record.last, {}});
        };
        if (scope != Scope::Listed) {
            // The files the kernel tells about, on a local file system all the
            // way, are left to their turn in the slow sweep; one it says is
            // being written is taken, for the busy-log rule above.
            const std::uint32_t passes = m_slowSweepPasses.load(std::memory_order_relaxed);
            const bool kernel = scope == Scope::Net && passes > 1 && FileWatcher::IsKernelNotificationEnabled();
            const std::uint64_t turn = m_passCount.load(std::memory_order_relaxed) % passes;
            looks.reserve(m_files->Size());
            for (const auto& [id, record] : m_files->All()) {
                if (kernel && record.covered && id % passes != turn &&
                    !m_debounce->IsBeingWritten(id)) {
                    continue;
                }
                take(record);
            }
        } else {
            for (const Id id : ids) {
                if (const Record* record = m_files->Get(id)) take(*record);
            }
        }
    }
    if (looks.empty()) return;

    for (Look& look : looks) {
        if (stop) return;
        look.seen = m_fileAccess.Find(*look.lookupPath);
    }
    // What the kernel reported while the files were looked at: a write seen
    // since a look began may have been under way during it, so that look
    // decides nothing (the write's close, or its quiet interval, brings the
    // file back).
    bool changed = false;
    {
        const platform::LockGuard lock(m_lock);
        ReadKernel();
        for (Look& look : looks) {
            look.report = IsChange(look.last, look.seen) &&
                          (!m_debounce->TouchedSince(look.id, epoch) || m_debounce->IsBusyLongerThan(look.id, period));
            changed = changed || look.report;
        }
    }
    if (!changed) return;
    for (Look& look : looks) {
        // Left for the next look when it cannot be opened now.
        if (look.report) look.report = m_fileAccess.CanOpenForReading(*look.lookupPath);
    }
    const platform::LockGuard lock(m_lock);
    for (const Look& look : looks) {
        Record* record = look.report ? m_files->Get(look.id) : nullptr;
        if (record == nullptr) continue;  // unchanged, or withdrawn meanwhile: nothing is posted for it
        if (record->version != look.version) {
            m_work->examine.push_back(look.id);  // decided meanwhile from another look: looked at again
            WakePoller();
            continue;
        }
        m_files->Report(*record, *look.seen);
    }
}

void WatchCore::RunPass() { Examine({}, Scope::Every, kNeverStop); }

std::vector<std::pair<CString, int>> WatchCore::WatchedPaths() const {
    const platform::LockGuard lock(m_lock);
    std::vector<std::pair<CString, int>> paths;
    paths.reserve(m_files->Size());
    for (const auto& [id, record] : m_files->All()) paths.emplace_back(record.path, record.refCount);
    return paths;
}

bool WatchCore::HasKernelHelp(const CString& path) const {
    const platform::LockGuard lock(m_lock);
    const Record* record = m_files->Find(path);
    return record != nullptr && record->kernelHelp && record->attached && FileWatcher::IsKernelNotificationEnabled();
}

std::size_t WatchCore::KernelWatchCount() const {
    const platform::LockGuard lock(m_lock);
    return m_kernel->WatchCount();
}

bool WatchCore::IsPolling() const {
    const platform::LockGuard lock(m_lock);
    return m_watchThread != nullptr && !m_watchThread->StopRequest();
}

}  // namespace filewatch_detail

}  // namespace brim
