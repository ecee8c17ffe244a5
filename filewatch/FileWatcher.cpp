#include <BrimSubscriber/filewatch/FileWatcher.h>

#include "filewatch/internal/Debounce.h"
#include "filewatch/internal/KernelWatches.h"
#include "filewatch/internal/WatchedFiles.h"

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

// The watcher's one concurrency argument. A single lock, m_lock, guards the
// bookkeeping of the three parts (records, kernel watches, debounce) and the
// work queued for the polling thread, and no file-system call is ever made
// while it is held. Every look at the disk (a look-up, a trial opening,
// tracing a path and asking the kernel to watch its way) works from a
// snapshot taken under the lock and is applied under the lock only if the
// record is still the one looked at: its id is never reused, and its version
// moves with every decision, so a stale look is dropped (and the file looked
// at again). Hence a slow disk delays only the looks at its own paths, and
// once RemoveFileWatch has erased a record under the lock nothing can be
// posted for it. Posting happens under the lock; it only queues. The polling
// thread alone waits on the change source; whoever reads the source's reports
// does so under the lock, so they are sorted into work in the order they came.

using brim::filewatch_detail::Chain;
using brim::filewatch_detail::Debounce;
using brim::filewatch_detail::KernelWatches;
using brim::filewatch_detail::Record;
using brim::filewatch_detail::WatchedFiles;

namespace brim::filewatch_detail {

// What the polling thread is to do at its next round, beside its passes.
struct Work {
    std::vector<Id> examine;  // look at these files now
    std::vector<Id> rebuild;  // trace and watch these ways again
    bool overflow = false;    // reports were lost: everything, now
    Id refusedAskedUpTo = 0;  // the last record whose refused way was asked for again
    std::vector<platform::FileChange> changes;  // ReadKernel's scratch
    std::vector<KernelWatches::Hit> hits;
};

}  // namespace brim::filewatch_detail

namespace {

// Set when Instance() is destroyed; constant-initialised, so it stays readable
// throughout exit, when handles that outlive the watcher are destroyed.
constinit std::atomic<bool> g_instanceGone{false};

// Whether watchers ask the kernel for help; on unless the application says.
constinit std::atomic<bool> g_kernelNotification{true};

const std::atomic<bool> kNeverStop{false};

// Milliseconds from `now` to `due` on the wrapping clock, 0 when reached.
std::uint32_t MsUntil(std::uint32_t now, std::uint32_t due) {
    return static_cast<std::uint32_t>(std::max<std::int32_t>(static_cast<std::int32_t>(due - now), 0));
}

std::unique_ptr<WatchedFiles> MakeRecords() {
    // Reached here, the hub and the dispatcher finish their construction
    // before this watcher's, so at unload they are destroyed after it has
    // stopped its thread (the dispatcher before the hub, discarding calls
    // that would reach its map).
    SubscriptionMap& map = *SubscriptionManager::Instance().GetSubscriptionMap(FILE_SUBSCRIPTION_TYPE);
    return std::make_unique<WatchedFiles>(MainThreadDispatcher::Instance(), map);
}

// Without the kernel's help (no inotify instance left) a watcher polls,
// waiting on a source that reports nothing.
std::unique_ptr<platform::FileChangeSource> MakeOwnSource() {
    std::unique_ptr<platform::FileChangeSource> source = platform::MakeKernelFileChangeSource();
    return source ? std::move(source) : platform::MakeSilentFileChangeSource();
}

void SortUnique(std::vector<std::uint64_t>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

void ReportHelpLost(const std::vector<std::string>& lost) {
    for (const std::string& message : lost) {
        brim::ReportDiagnostic(brim::DiagnosticKind::KernelHelpLost, FILE_SUBSCRIPTION_TYPE, "%s", message.c_str());
    }
}

}  // namespace

// A polling thread with its own stop request, so that a thread being stopped
// can never take a request meant for its successor. A successor waits for
// its predecessor to end before it waits on the change source, so one thread
// at a time waits there.
struct FileWatcher::Poller {
    std::atomic<bool> stopRequested{false};  // set under the watcher's m_lock
    platform::Event ended;                   // set by the thread as its last act
    std::shared_ptr<Poller> predecessor;     // ending when this one started; null once it has ended
    std::uint32_t firstPass = 0;             // a period after the start was asked for
    // Declared last so that it is destroyed (and joined) first.
    platform::Thread thread;
};

// One file as a look found it, against what its record said when the look began.
struct FileWatcher::Look {
    Id id;
    std::shared_ptr<const std::string> lookupPath;
    std::uint64_t version;
    std::uint64_t touches;
    std::optional<platform::FileInfo> last;
    std::optional<platform::FileInfo> seen;
    bool report = false;
};

// Ends an acquisition of kernel watches, under the lock, on every way out.
class FileWatcher::Acquisition {
public:
    Acquisition(FileWatcher& watcher, std::vector<Chain>& chains) BRIM_EXCLUDES(watcher.m_lock) : m_watcher(watcher), m_chains(chains) {
        const platform::LockGuard lock(watcher.m_lock);
        m_begun = watcher.m_kernel->BeginAcquire();
    }
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;
    ~Acquisition() {
        if (m_ended) return;
        const platform::LockGuard lock(m_watcher.m_lock);
        m_watcher.EndAcquisition(*this);
    }
    [[nodiscard]] std::uint64_t Begun() const noexcept { return m_begun; }

private:
    friend class FileWatcher;
    FileWatcher& m_watcher;
    std::vector<Chain>& m_chains;
    std::uint64_t m_begun = 0;
    bool m_ended = false;
};

void FileWatcher::EndAcquisition(Acquisition& acquisition) {
    for (const Chain& chain : acquisition.m_chains) m_kernel->EndAcquire(chain);
    acquisition.m_ended = true;
}

FileWatcher& FileWatcher::Instance() {
    static FileWatcher instance;
    return instance;
}

FileWatcher::FileWatcher() : FileWatcher(Options{}) { m_isInstance = true; }

bool FileWatcher::IsInstanceGone() noexcept { return g_instanceGone.load(std::memory_order_acquire); }

void FileWatcher::SetKernelNotification(bool enabled) noexcept { g_kernelNotification.store(enabled, std::memory_order_release); }

bool FileWatcher::IsKernelNotificationEnabled() noexcept { return g_kernelNotification.load(std::memory_order_acquire); }

FileWatcher::FileWatcher(const Options& options)
    : m_fileAccess(options.files != nullptr ? *options.files : platform::SystemFileAccess()),
      m_threadStarter(options.threads != nullptr ? *options.threads : platform::SystemThreadStarter()),
      m_clock(options.clock != nullptr ? *options.clock : platform::SystemTickClock()),
      m_ownSource(options.changes != nullptr ? nullptr : MakeOwnSource()),
      m_source(options.changes != nullptr ? options.changes : m_ownSource.get()),
      m_files(MakeRecords()),
      m_kernel(std::make_unique<KernelWatches>(*m_source)),
      m_debounce(std::make_unique<Debounce>(m_clock, kQuietIntervalMs)),
      m_work(std::make_unique<brim::filewatch_detail::Work>()),
      m_pollIntervalMs(options.pollIntervalMs) {}

FileWatcher::~FileWatcher() {
    std::shared_ptr<Poller> ending;
    {
        const platform::LockGuard lock(m_lock);
        ending = TakeThread();
    }
    JoinThread(ending);
    if (m_isInstance) g_instanceGone.store(true, std::memory_order_release);
}

bool FileWatcher::AddFileWatch(std::string_view utf8Path) {
    return brim::filewatch_detail::AcceptUtf8Path(utf8Path, "FileWatcher::AddFileWatch") && AddFileWatch(CString(utf8Path));
}

bool FileWatcher::RemoveFileWatch(std::string_view utf8Path) {
    if (!brim::filewatch_detail::AcceptUtf8Path(utf8Path, "FileWatcher::RemoveFileWatch")) return false;
    RemoveFileWatch(CString(utf8Path));
    return true;
}

bool FileWatcher::AddFileWatch(const CString& path) {
    Id existing = 0;
    {
        const platform::LockGuard lock(m_lock);
        if (Record* record = m_files->Find(path)) {
            ++record->refCount;
            existing = record->id;
        }
    }
    if (existing != 0) {
        Examine({existing}, false, kNeverStop);  // a change since the last look is posted now
        return true;
    }

    // The new path's file and its way, looked at on the caller's thread
    // without the lock.
    std::string lookupPath = brim::filewatch_detail::LookupPathOf(path);
    const std::optional<platform::FileInfo> state = lookupPath.empty() ? std::nullopt : m_fileAccess.Find(lookupPath);
    const bool kernel = !lookupPath.empty() && IsKernelNotificationEnabled();
    std::vector<Chain> chains(kernel ? 1 : 0);
    std::optional<Acquisition> acquisition;
    if (kernel) {
        acquisition.emplace(*this, chains);
        brim::filewatch_detail::AcquireChain(m_fileAccess, *m_source, lookupPath, chains[0]);
    }
    std::vector<std::string> lost;
    bool registered = true;
    {
        const platform::LockGuard lock(m_lock);
        if (Record* raced = m_files->Find(path)) {
            ++raced->refCount;  // another thread added it meanwhile
        } else {
            Record& record = m_files->Add(path, std::move(lookupPath), state);
            try {
                if (kernel) Attach(record, chains[0], acquisition->Begun(), lost);
                // A record is only ever kept while a polling thread runs for it.
                registered = m_watchThread != nullptr || StartThread();
            } catch (...) {
                Forget(record.id);
                throw;
            }
            if (!registered) Forget(record.id);
        }
        if (acquisition) EndAcquisition(*acquisition);
    }
    ReportHelpLost(lost);
    return registered;
}

void FileWatcher::RemoveFileWatch(const CString& path) {
    std::shared_ptr<Poller> ending;
    {
        const platform::LockGuard lock(m_lock);
        Record* record = m_files->Find(path);
        if (record == nullptr || --record->refCount > 0) return;
        Forget(record->id);
        if (m_files->IsEmpty()) ending = TakeThread();
    }
    // Without the lock: the thread may be waiting for it to begin a pass.
    JoinThread(ending);
}

void FileWatcher::Forget(Id id) {
    m_kernel->Detach(id);
    m_debounce->Forget(id);
    m_files->Erase(id);
}

void FileWatcher::Attach(Record& record, const Chain& chain, std::uint64_t begun, std::vector<std::string>& lost) {
    std::string refused;
    int error = 0;
    const KernelWatches::Attached attached = m_kernel->Attach(record.id, chain, begun, refused, error);
    const bool helped = attached != KernelWatches::Attached::Refused;
    if (!helped && record.kernelHelp) {
        lost.push_back(record.path.ToUtf8() + " is watched by polling alone: the kernel refused to watch " + refused + " (" +
                       std::strerror(error) + "); the watcher asks again at each pass");
    }
    record.kernelHelp = helped;
    if (attached == KernelWatches::Attached::Stale) {
        m_work->rebuild.push_back(record.id);
        WakePoller();
    }
}

bool FileWatcher::StartThread() {
    auto poller = std::make_shared<Poller>();
    poller->predecessor = m_lastStopped.lock();
    poller->firstPass = m_clock.Now() + m_pollIntervalMs.load(std::memory_order_relaxed);
    Poller& started = *poller;
    if (!m_threadStarter.Start(started.thread, [this, &started] { WatchThreadFunc(started); }, platform::ThreadPriority::Low,
                               "brim-filewatch")) {
        return false;
    }
    m_watchThread = std::move(poller);
    return true;
}

std::shared_ptr<FileWatcher::Poller> FileWatcher::TakeThread() {
    // Taking the poller out under the lock is what makes start and stop safe
    // against each other: from here on an AddFileWatch sees no thread and
    // starts a new one, and only this caller can stop, and wait for, the old.
    std::shared_ptr<Poller> ending = std::move(m_watchThread);
    if (ending) {
        ending->stopRequested = true;
        m_lastStopped = ending;
        m_source->Interrupt();
    }
    return ending;
}

void FileWatcher::JoinThread(const std::shared_ptr<Poller>& poller) {
    // A thread waiting for the lock to begin a pass ends as soon as it gets it.
    if (poller) poller->thread.Join();
}

void FileWatcher::WakePoller() {
    // From the polling thread itself there is no wait to end: its next round
    // finds the work.
    if (m_watchThread && !m_watchThread->thread.IsCurrent()) m_source->Interrupt();
}

void FileWatcher::WatchThreadFunc(Poller& poller) {
    if (poller.predecessor) {
        poller.predecessor->ended.Wait();
        poller.predecessor.reset();
    }
    std::uint32_t nextPass = poller.firstPass;
    for (;;) {
        // Taken before the stop request is looked at, so that a request made
        // after the look still ends the wait.
        const std::uint64_t since = m_source->InterruptCount();
        std::uint32_t wait = 0;
        {
            const platform::LockGuard lock(m_lock);
            if (poller.stopRequested) break;
            const bool work = !m_work->examine.empty() || !m_work->rebuild.empty() || m_work->overflow;
            wait = work ? 0 : std::min(MsUntil(m_clock.Now(), nextPass), m_debounce->MsUntilNextDue().value_or(UINT32_MAX));
        }
        m_source->Wait(static_cast<int>(std::min<std::uint32_t>(wait, 0x7FFFFFFF)), since);

        std::vector<Id> examine;
        std::vector<Id> rebuild;
        bool pass = false;
        try {
            {
                const platform::LockGuard lock(m_lock);
                if (poller.stopRequested) break;
                ReadKernel();
                if (std::exchange(m_work->overflow, false)) {
                    // Lost reports: every way traced again, and a full pass now.
                    nextPass = m_clock.Now();
                    for (const auto& [id, record] : m_files->All()) m_work->rebuild.push_back(id);
                }
                m_debounce->TakeDue(m_work->examine);
                if (MsUntil(m_clock.Now(), nextPass) == 0) {
                    pass = true;
                    FollowKernelSwitch();
                }
                examine = std::exchange(m_work->examine, {});
                rebuild = std::exchange(m_work->rebuild, {});
                SortUnique(examine);  // a file reported many times is looked at once
            }
            // Files first: a save reported complete is posted before any way
            // is traced again.
            Examine(examine, false, poller.stopRequested);
            Rebuild(std::move(rebuild));
            if (pass) {
                Examine({}, true, poller.stopRequested);
                nextPass = m_clock.Now() + m_pollIntervalMs.load(std::memory_order_relaxed);
                m_passCount.fetch_add(1, std::memory_order_release);  // after: a test that saw it can move the clock on
            }
        } catch (const std::exception&) {
            // Out of memory: the records keep their old state, so a later look
            // finds their changes again. Nobody could receive the exception.
        }
    }
    poller.ended.Set();
}

void FileWatcher::ReadKernel() {
    using Kind = platform::FileChange::Kind;
    std::vector<platform::FileChange>& changes = m_work->changes;
    changes.clear();
    m_source->ReadPending(changes);
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

void FileWatcher::FollowKernelSwitch() {
    if (!IsKernelNotificationEnabled()) {
        m_kernel->DetachAll();
        return;
    }
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
        if (!m_kernel->HasChain(record.id)) {
            m_work->rebuild.push_back(record.id);
        } else if (!record.kernelHelp && asked < kRefusedAskedPerPass) {
            m_work->rebuild.push_back(record.id);
            m_work->refusedAskedUpTo = record.id;
            ++asked;
        }
    }
}

void FileWatcher::Rebuild(std::vector<Id> ids) {
    SortUnique(ids);
    std::vector<std::pair<Id, std::shared_ptr<const std::string>>> ways;
    {
        const platform::LockGuard lock(m_lock);
        if (!IsKernelNotificationEnabled()) return;
        for (const Id id : ids) {
            if (const Record* record = m_files->Get(id); record != nullptr && !record->lookupPath->empty()) {
                ways.emplace_back(id, record->lookupPath);
            }
        }
    }
    if (ways.empty()) return;
    std::vector<Chain> chains(ways.size());
    Acquisition acquisition(*this, chains);
    for (std::size_t i = 0; i < ways.size(); ++i) {
        brim::filewatch_detail::AcquireChain(m_fileAccess, *m_source, *ways[i].second, chains[i]);
    }
    std::vector<std::string> lost;
    {
        const platform::LockGuard lock(m_lock);
        for (std::size_t i = 0; i < ways.size(); ++i) {
            if (Record* record = m_files->Get(ways[i].first)) Attach(*record, chains[i], acquisition.Begun(), lost);
        }
        EndAcquisition(acquisition);
    }
    ReportHelpLost(lost);
}

void FileWatcher::Examine(const std::vector<Id>& ids, bool pass, const std::atomic<bool>& stop) {
    // What each record said, for the files not being written (a pass still
    // looks at one written without pause for a whole period).
    const std::uint32_t period = m_pollIntervalMs.load(std::memory_order_relaxed);
    std::vector<Look> looks;
    {
        const platform::LockGuard lock(m_lock);
        std::vector<const Record*> records;
        records.reserve(pass ? m_files->Size() : ids.size());
        if (pass) {
            for (const auto& [id, record] : m_files->All()) records.push_back(&record);
        } else {
            for (const Id id : ids) records.push_back(m_files->Get(id));
        }
        looks.reserve(records.size());
        for (const Record* record : records) {
            if (record == nullptr || record->lookupPath->empty()) continue;  // gone, or never handed to the file system
            if (m_debounce->IsBeingWritten(record->id) && !m_debounce->IsBusyLongerThan(record->id, period)) continue;
            looks.push_back(Look{record->id, record->lookupPath, record->version, m_debounce->Touches(record->id), record->last, {}});
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
            look.report = brim::filewatch_detail::IsChange(look.last, look.seen) &&
                          (m_debounce->Touches(look.id) == look.touches || m_debounce->IsBusyLongerThan(look.id, period));
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

void FileWatcher::SetPollIntervalForTesting(std::uint32_t pollIntervalMs) noexcept {
    m_pollIntervalMs.store(pollIntervalMs, std::memory_order_relaxed);
}

void FileWatcher::RunPassForTesting() { Examine({}, true, kNeverStop); }

std::uint64_t FileWatcher::GetPassCountForTesting() const noexcept { return m_passCount.load(std::memory_order_acquire); }

std::vector<std::pair<CString, int>> FileWatcher::GetWatchedPaths() const {
    const platform::LockGuard lock(m_lock);
    std::vector<std::pair<CString, int>> paths;
    paths.reserve(m_files->Size());
    for (const auto& [id, record] : m_files->All()) paths.emplace_back(record.path, record.refCount);
    return paths;
}

bool FileWatcher::HasKernelHelp(const CString& path) const {
    const platform::LockGuard lock(m_lock);
    const Record* record = m_files->Find(path);
    return record != nullptr && record->kernelHelp && m_kernel->HasChain(record->id) && IsKernelNotificationEnabled();
}

std::size_t FileWatcher::GetKernelWatchCount() const {
    const platform::LockGuard lock(m_lock);
    return m_kernel->WatchCount();
}

bool FileWatcher::IsPolling() const {
    const platform::LockGuard lock(m_lock);
    return m_watchThread != nullptr && !m_watchThread->stopRequested;
}
