// Many threads at once on the registries, the user-interface dispatch and the
// file watcher.
//
// Eight workers pick, at random, among every operation a client has:
// subscribing and unsubscribing receivers directly and through Subscription
// handles (which they also move, within a thread and from one thread to
// another), the three deliveries, several-keys delivery through a handle,
// interning data ids, and watching, touching and deleting files. Meanwhile
// the test thread, which is the user-interface thread, runs its loop, and the
// file watcher polls every few milliseconds.
//
// What is checked, all the time and at the end:
// - Every post is counted per type and key before it is made; one receiver
//   per key (its ledger) stays subscribed for the whole run and counts what
//   arrives. At the end both counts must be equal for every key, also after a
//   last post has gone round behind all the others. Posts are paced so that
//   no more than kMaxPostsInFlight (plus one per thread) ever wait for the
//   user-interface thread, far below the 10,000 at which the thread's queue
//   refuses a post: every post is accepted (the equal counts confirm it), and
//   exactly-once is checked for all of them.
// - A receiver is flagged removed right after its removal returned on the
//   removing thread; its Update reports any call that starts after that.
// - A receiver called with a post or a send checks that it runs on the
//   user-interface thread, one called by Notify that it runs on the
//   publisher's thread.
// - After every Notify and NotifySend the publisher checks that the key's
//   ledger was called exactly once (none when it was left out), and that a
//   receiver of its own was called exactly once.
// - Nothing hangs: every wait is bounded; workers that do not finish abort
//   the test with what each was doing.
// - File notifications cannot be counted exactly (the watcher folds the
//   changes between two passes into one); their receivers check place and
//   removal like the others, and at the end no watch and no polling thread
//   is left, and a fresh watch still reports a change.
//
// Optional environment: BRIM_STRESS_MS, how long the workers run (default
// 2500); BRIM_STRESS_SEED, the seed of their choices (default random; printed).

#include "filewatch/FileSubscription.h"
#include "filewatch/FileWatcher.h"
#include "platform/CString.h"
#include "platform/WinThread.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"
#include "subscription/SubscriptionMap.h"
#include "support/TempDir.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 8;
constexpr int kFirstType = 1;       // types 1..4 carry the traffic
constexpr int kTypeCount = 4;
constexpr int kKeyCount = 6;        // per type; the last one's ledger re-enters its map
constexpr int kReentrantKey = kKeyCount - 1;
constexpr int kSentinelType = 5;    // the last post of the run goes here
constexpr std::int64_t kMaxPostsInFlight = 1000;
constexpr int kFileCount = 6;
constexpr std::uint32_t kPollIntervalMs = 5;
constexpr int kDataSets = 8;
constexpr int kItemsPerSet = 64;
constexpr std::chrono::milliseconds kDefaultRunTime{2500};

// Caps on what one worker holds at a time.
constexpr std::size_t kMaxDirect = 12;
constexpr std::size_t kMaxHandles = 8;
constexpr std::size_t kMaxFileHandles = 2;
constexpr std::size_t kMaxMailbox = 16;
constexpr std::size_t kRetiredKept = 64;

// --- Violations: counted, the first few described ---------------------------

// The first few are also written to stderr at once: a fault that breaks a
// check may go on to crash the process before the test's end can report.
class Violations {
public:
    void Add(const std::string& what) {
        const std::lock_guard lock(m_mutex);
        ++m_count;
        if (m_first.size() < 20) {
            m_first.push_back(what);
            std::fprintf(stderr, "[ violation] %s\n", what.c_str());
        }
    }
    std::uint64_t Count() {
        const std::lock_guard lock(m_mutex);
        return m_count;
    }
    std::string Describe() {
        const std::lock_guard lock(m_mutex);
        std::string text;
        for (const std::string& what : m_first) text += "  " + what + "\n";
        return text;
    }

private:
    std::mutex m_mutex;
    std::uint64_t m_count = 0;         // guarded by m_mutex
    std::vector<std::string> m_first;  // guarded by m_mutex
};

// --- Payload and receivers ---------------------------------------------------

enum class Delivery { Notify, Send };

// The payload of every Notify and NotifySend of the run. Receivers count into
// it, so the publisher can check the delivery once the call has returned.
struct StressInfo : NotificationInfo {
    StressInfo(Delivery how, const Subscriber* watch) : delivery(how), watched(watch) {}
    const Delivery delivery;
    const std::thread::id publisher = std::this_thread::get_id();
    const Subscriber* const watched;              // a receiver whose calls are counted
    mutable std::atomic<int> ledgerCalls{0};      // calls of any key's ledger
    mutable std::atomic<int> watchedCalls{0};     // calls of `watched`
};

class StressRun;

// A receiver that comes and goes. Its owner sets `removed` right after the
// removal returned; a call that starts later is a violation.
class Transient : public Subscriber {
public:
    Transient(StressRun& run, bool watchesFiles) : m_run(run), m_watchesFiles(watchesFiles) {}
    void Update(const NotificationInfo* info) override;
    std::atomic<bool> removed{false};

private:
    StressRun& m_run;
    const bool m_watchesFiles;
};

// The receiver that stays subscribed to one key of one type for the whole run
// and counts what arrives. The ledger of the last key of each type also
// re-enters its map from inside Update.
class Ledger : public Subscriber {
public:
    Ledger(StressRun& run, int typeIndex, int key) : m_run(run), m_typeIndex(typeIndex), m_key(key) {}
    void Update(const NotificationInfo* info) override;
    std::atomic<std::uint64_t> postsDelivered{0};
    std::atomic<bool> removed{false};

private:
    void Reenter();
    StressRun& m_run;
    const int m_typeIndex;
    const int m_key;
};

// --- The shared state of one run ---------------------------------------------

class StressRun {
public:
    StressRun(std::uint64_t seed, Clock::time_point end, fs::path dir)
        : seed(seed), end(end), dir(std::move(dir)) {
        for (int k = 0; k < kKeyCount; ++k) keys.emplace_back(u"stress/key" + std::u16string(1, char16_t(u'0' + k)));
        for (int f = 0; f < kFileCount; ++f) {
            filePaths.push_back(this->dir / ("watched-" + std::to_string(f) + ".dat"));
            fileKeys.emplace_back(filePaths.back().string());
        }
        for (int t = 0; t < kTypeCount; ++t) {
            for (int k = 0; k < kKeyCount; ++k) ledgers.push_back(std::make_unique<Ledger>(*this, t, k));
        }
    }

    Ledger& LedgerOf(int typeIndex, int key) {
        return *ledgers[static_cast<std::size_t>(typeIndex) * kKeyCount + static_cast<std::size_t>(key)];
    }

    // Checks where a receiver runs: posts and sends on the user-interface
    // thread, Notify on the publisher's thread.
    void CheckPlace(const NotificationInfo* info, const char* who) {
        if (info == nullptr) {
            if (!platform::IsUserInterfaceThread()) violations.Add(std::string(who) + ": post delivered off the UI thread");
            return;
        }
        const auto* stress = dynamic_cast<const StressInfo*>(info);
        if (stress == nullptr) {
            violations.Add(std::string(who) + ": foreign payload");
            return;
        }
        const bool placed = stress->delivery == Delivery::Send ? platform::IsUserInterfaceThread()
                                                               : std::this_thread::get_id() == stress->publisher;
        if (!placed) violations.Add(std::string(who) + ": delivery on the wrong thread");
    }

    // Counts a post before it is made, so the ledger can never be ahead.
    void Post(int typeIndex, int key) {
        posted[static_cast<std::size_t>(typeIndex)][static_cast<std::size_t>(key)].fetch_add(1);
        inFlight.fetch_add(1);
        hub.NotifyPost(kFirstType + typeIndex, keys[static_cast<std::size_t>(key)]);
    }

    // A worker's wait while kMaxPostsInFlight posts are queued; false when
    // room did not come within the generous time-out (nothing is posted then).
    bool WaitForPostRoom() {
        if (inFlight.load() < kMaxPostsInFlight) return true;
        std::unique_lock lock(m_roomMutex);
        m_roomWaiters.fetch_add(1);
        const bool room = m_roomFreed.wait_for(lock, test::kGenerousTimeout,
                                               [this] { return inFlight.load() < kMaxPostsInFlight / 2; });
        m_roomWaiters.fetch_sub(1);
        ++paceWaits;
        return room;
    }

    void OnPostDelivered() {
        const std::int64_t left = inFlight.fetch_sub(1) - 1;
        if (m_roomWaiters.load() > 0 && left < kMaxPostsInFlight / 2) {
            const std::lock_guard lock(m_roomMutex);
            m_roomFreed.notify_all();
        }
    }

    std::uint64_t PostsMade() const {
        std::uint64_t sum = 0;
        for (const auto& type : posted) {
            for (const auto& key : type) sum += key.load();
        }
        return sum;
    }
    std::uint64_t PostsDelivered() const {
        std::uint64_t sum = 0;
        for (const auto& ledger : ledgers) sum += ledger->postsDelivered.load();
        return sum;
    }
    // Below zero only if some post arrived twice; the per-key counts then tell.
    bool EveryPostDelivered() const { return inFlight.load() <= 0; }

    SubscriptionManager& hub = SubscriptionManager::Instance();
    const std::uint64_t seed;
    const Clock::time_point end;
    const fs::path dir;
    std::vector<CString> keys;
    const CString innerKey{u"stress/inner"};
    std::vector<fs::path> filePaths;
    std::vector<CString> fileKeys;
    std::vector<std::unique_ptr<Ledger>> ledgers;
    Violations violations;

    std::array<std::array<std::atomic<std::uint64_t>, kKeyCount>, kTypeCount> posted{};
    std::atomic<std::int64_t> inFlight{0};
    std::atomic<std::uint64_t> paceWaits{0};
    std::atomic<std::uint64_t> postsFromReceivers{0};
    std::atomic<std::uint64_t> reentrantRounds{0};
    std::atomic<std::uint64_t> transientCalls{0};
    std::atomic<std::uint64_t> fileDeliveries{0};
    std::array<std::atomic<const CDataId*>, std::size_t{kDataSets} * kItemsPerSet> idSlots{};

    std::atomic<int> workersDone{0};

    // Handles given from one worker to another.
    struct Held {
        std::unique_ptr<Transient> receiver;  // null when the handle owns its receiver
        Subscription handle;                  // declared last: destroyed first
    };
    std::mutex mailboxMutex;
    std::vector<Held> mailbox;  // guarded by mailboxMutex

private:
    std::mutex m_roomMutex;
    std::condition_variable m_roomFreed;
    std::atomic<int> m_roomWaiters{0};
};

void Transient::Update(const NotificationInfo* info) {
    m_run.transientCalls.fetch_add(1, std::memory_order_relaxed);
    if (removed.load(std::memory_order_acquire)) m_run.violations.Add("a receiver was called after its removal returned");
    m_run.CheckPlace(info, m_watchesFiles ? "file receiver" : "receiver");
    if (m_watchesFiles) {
        m_run.fileDeliveries.fetch_add(1, std::memory_order_relaxed);
        if (info != nullptr) m_run.violations.Add("a file receiver got a payload");
    }
    if (const auto* stress = dynamic_cast<const StressInfo*>(info); stress != nullptr && stress->watched == this) {
        stress->watchedCalls.fetch_add(1);
    }
}

void Ledger::Update(const NotificationInfo* info) {
    if (removed.load(std::memory_order_acquire)) m_run.violations.Add("a ledger was called after its removal returned");
    m_run.CheckPlace(info, "ledger");
    if (info == nullptr) {
        postsDelivered.fetch_add(1);
        m_run.OnPostDelivered();
    } else if (const auto* stress = dynamic_cast<const StressInfo*>(info)) {
        stress->ledgerCalls.fetch_add(1);
        if (stress->watched == this) stress->watchedCalls.fetch_add(1);
    }
    if (m_key == kReentrantKey) Reenter();
}

// From inside a delivery, with the map's lock held: subscribe a receiver to
// another key of the same map, deliver to it, remove it, deliver again (it
// must not be called), intern an id, and post to another type's key when the
// pacing allows (a receiver never waits: it holds the map's lock).
void Ledger::Reenter() {
    SubscriptionMap& map = *m_run.hub.GetSubscriptionMap(kFirstType + m_typeIndex);
    Transient inner(m_run, false);
    map.Subscribe(m_run.innerKey, &inner);
    const StressInfo info(Delivery::Notify, &inner);
    map.Notify(m_run.innerKey, &info, nullptr);
    map.Unsubscribe(m_run.innerKey, &inner);
    inner.removed.store(true, std::memory_order_release);
    map.Notify(m_run.innerKey, &info, nullptr);
    if (info.watchedCalls.load() != 1) {
        m_run.violations.Add("re-entrant delivery: inner receiver called " + std::to_string(info.watchedCalls.load()) +
                             " times, expected once");
    }
    const CDataId id(1, static_cast<std::uint64_t>(m_typeIndex));
    if (!(*m_run.hub.GetSafeDataIdPtr(id) == id)) m_run.violations.Add("re-entrant delivery: wrong interned id");
    if (m_run.inFlight.load() < kMaxPostsInFlight) {
        m_run.Post((m_typeIndex + 1) % kTypeCount, 0);
        m_run.postsFromReceivers.fetch_add(1, std::memory_order_relaxed);
    }
    m_run.reentrantRounds.fetch_add(1, std::memory_order_relaxed);
}

// --- One worker -----------------------------------------------------------------

enum Op : int {
    kSubscribe,
    kUnsubscribe,
    kHandleSubscribe,
    kHandleResubscribe,
    kHandleMove,
    kHandleMoveAssign,
    kHandleGive,
    kHandleTake,
    kHandleRemove,
    kHandleNotify,
    kNotify,
    kNotifySend,
    kNotifyPost,
    kDataId,
    kFileTouch,
    kFileDelete,
    kFileWatch,
    kFileUnwatch,
    kOpCount
};

constexpr std::array<const char*, kOpCount> kOpNames = {
    "Subscribe",   "Unsubscribe", "handle Subscribe", "handle re-Subscribe", "handle move",
    "handle move-assign", "handle give", "handle take", "handle remove", "handle Notify",
    "Notify",      "NotifySend",  "NotifyPost",       "GetSafeDataIdPtr",    "file touch",
    "file delete", "file watch",  "file unwatch"};

// Relative weights of the operations.
constexpr std::array<int, kOpCount> kOpWeights = {10, 10, 6, 3, 4, 3, 2, 2, 6, 5, 14, 10, 14, 5, 3, 1, 1, 1};

struct Counts {
    std::array<std::uint64_t, kOpCount> ops{};
    std::uint64_t Total() const {
        std::uint64_t sum = 0;
        for (const std::uint64_t n : ops) sum += n;
        return sum;
    }
};

class Worker {
public:
    Worker(StressRun& run, int index)
        : m_run(run), m_random(run.seed + static_cast<std::uint64_t>(index)),
          m_pick(kOpWeights.begin(), kOpWeights.end()) {}

    void Run() {
        while (Clock::now() < m_run.end) {
            const int op = m_pick(m_random);
            current.store(op, std::memory_order_relaxed);
            Do(op);
            ++counts.ops[static_cast<std::size_t>(op)];
        }
        current.store(-1, std::memory_order_relaxed);
        RemoveEverything();
        current.store(-2, std::memory_order_relaxed);
    }

    Counts counts;
    std::atomic<int> current{-1};  // the operation in progress, for a report of a hang

private:
    using Held = StressRun::Held;
    struct Direct {
        std::unique_ptr<Transient> receiver;
        int typeIndex;
        int key;
    };
    struct FileHold {
        std::unique_ptr<Transient> receiver;
        std::unique_ptr<FileSubscription> files;
    };

    int Below(int n) { return static_cast<int>(m_random() % static_cast<std::uint64_t>(n)); }
    std::size_t Below(std::size_t n) { return static_cast<std::size_t>(m_random() % n); }
    int TrafficKey() { return Below(kKeyCount); }

    // Two different keys, or one.
    std::vector<CString> SomeKeys() {
        const int first = TrafficKey();
        if (Below(2) == 0) return {m_run.keys[static_cast<std::size_t>(first)]};
        const int second = (first + 1 + Below(kKeyCount - 1)) % kKeyCount;
        return {m_run.keys[static_cast<std::size_t>(first)], m_run.keys[static_cast<std::size_t>(second)]};
    }

    void Retire(std::unique_ptr<Transient> receiver) {
        if (!receiver) return;
        m_retired.push_back(std::move(receiver));
        if (m_retired.size() > kRetiredKept) m_retired.pop_front();
    }

    void Do(int op) {
        switch (op) {
            case kSubscribe: return Subscribe();
            case kUnsubscribe: return Unsubscribe();
            case kHandleSubscribe: return HandleSubscribe();
            case kHandleResubscribe: return HandleResubscribe();
            case kHandleMove: return HandleMove();
            case kHandleMoveAssign: return HandleMoveAssign();
            case kHandleGive: return HandleGive();
            case kHandleTake: return HandleTake();
            case kHandleRemove: return HandleRemove();
            case kHandleNotify: return HandleNotify();
            case kNotify: return Publish(Delivery::Notify);
            case kNotifySend: return Publish(Delivery::Send);
            case kNotifyPost: return Post();
            case kDataId: return Intern();
            case kFileTouch: return FileTouch();
            case kFileDelete: return FileDelete();
            case kFileWatch: return FileWatch();
            case kFileUnwatch: return FileUnwatch();
            default: return;
        }
    }

    void Subscribe() {
        if (m_direct.size() >= kMaxDirect) return Unsubscribe();
        Direct direct{std::make_unique<Transient>(m_run, false), Below(kTypeCount), TrafficKey()};
        m_run.hub.Subscribe(kFirstType + direct.typeIndex, m_run.keys[static_cast<std::size_t>(direct.key)],
                            direct.receiver.get());
        m_direct.push_back(std::move(direct));
    }

    void RemoveDirect(std::size_t at) {
        Direct direct = std::move(m_direct[at]);
        m_direct.erase(m_direct.begin() + static_cast<std::ptrdiff_t>(at));
        m_run.hub.Unsubscribe(kFirstType + direct.typeIndex, m_run.keys[static_cast<std::size_t>(direct.key)],
                              direct.receiver.get());
        direct.receiver->removed.store(true, std::memory_order_release);
        Retire(std::move(direct.receiver));
    }

    void Unsubscribe() {
        if (m_direct.empty()) return Subscribe();
        RemoveDirect(Below(m_direct.size()));
    }

    void HandleSubscribe() {
        if (m_handles.size() >= kMaxHandles) return HandleRemove();
        Held held{nullptr, Subscription(kFirstType + Below(kTypeCount))};
        if (Below(4) == 0) {
            held.handle.SetSubscriber(new Transient(m_run, false), true);  // the handle deletes it
        } else {
            held.receiver = std::make_unique<Transient>(m_run, false);
            held.handle.SetSubscriber(held.receiver.get(), false);
        }
        held.handle.Subscribe(SomeKeys());
        m_handles.push_back(std::move(held));
    }

    void HandleResubscribe() {
        if (m_handles.empty()) return HandleSubscribe();
        Held& held = m_handles[Below(m_handles.size())];
        const std::vector<CString> keys = SomeKeys();
        held.handle.Subscribe(keys);
        if (held.handle.GetKeys() != keys) m_run.violations.Add("a handle does not remember the keys it subscribed");
    }

    static bool IsEmptyHandle(const Subscription& handle) {
        return !handle.IsSubscribed() && handle.GetMap() == nullptr && handle.GetSubscriber() == nullptr;
    }

    // Move-constructs the handle into a new place and back.
    void HandleMove() {
        if (m_handles.empty()) return HandleSubscribe();
        Held& held = m_handles[Below(m_handles.size())];
        const std::vector<CString> keys = held.handle.GetKeys();
        Subscription moved(std::move(held.handle));
        if (!IsEmptyHandle(held.handle)) m_run.violations.Add("a moved-from handle is not empty");
        held.handle = std::move(moved);
        if (held.handle.GetKeys() != keys) m_run.violations.Add("a moved handle lost its keys");
    }

    // Move-assigns one handle over another: the target's receiver is removed.
    void HandleMoveAssign() {
        if (m_handles.size() < 2) return HandleSubscribe();
        const std::size_t to = Below(m_handles.size());
        const std::size_t from = (to + 1 + Below(m_handles.size() - 1)) % m_handles.size();
        Held& target = m_handles[to];
        Held& source = m_handles[from];
        target.handle = std::move(source.handle);
        if (target.receiver) {
            target.receiver->removed.store(true, std::memory_order_release);
            Retire(std::move(target.receiver));
        }
        target.receiver = std::move(source.receiver);
        if (!IsEmptyHandle(source.handle)) m_run.violations.Add("a moved-from handle is not empty");
        m_handles.erase(m_handles.begin() + static_cast<std::ptrdiff_t>(from));
    }

    void HandleGive() {
        if (m_handles.empty()) return HandleSubscribe();
        const std::size_t at = Below(m_handles.size());
        {
            const std::lock_guard lock(m_run.mailboxMutex);
            if (m_run.mailbox.size() >= kMaxMailbox) return;
            m_run.mailbox.push_back(std::move(m_handles[at]));
        }
        m_handles.erase(m_handles.begin() + static_cast<std::ptrdiff_t>(at));
    }

    void HandleTake() {
        if (m_handles.size() >= kMaxHandles) return HandleRemove();
        const std::lock_guard lock(m_run.mailboxMutex);
        if (m_run.mailbox.empty()) return;
        m_handles.push_back(std::move(m_run.mailbox.back()));
        m_run.mailbox.pop_back();
    }

    void RemoveHandle(std::size_t at) {
        Held held = std::move(m_handles[at]);
        m_handles.erase(m_handles.begin() + static_cast<std::ptrdiff_t>(at));
        if (Below(2) == 0) {
            held.handle.Unsubscribe();
        } else {
            Subscription gone = std::move(held.handle);  // the destructor removes (and deletes an owned receiver)
        }
        if (held.receiver) {
            held.receiver->removed.store(true, std::memory_order_release);
            Retire(std::move(held.receiver));
        }
    }

    void HandleRemove() {
        if (m_handles.empty()) return HandleSubscribe();
        RemoveHandle(Below(m_handles.size()));
    }

    // Several-keys delivery through a handle: each key's ledger once, the
    // handle's own receiver once (notify_all), never (notify_others) or only
    // it (notify_self_only).
    void HandleNotify() {
        if (m_handles.empty()) return HandleSubscribe();
        Subscription& handle = m_handles[Below(m_handles.size())].handle;
        const auto mode = static_cast<self_notify_t>(Below(3));
        const StressInfo info(Delivery::Notify, handle.GetSubscriber());
        handle.Notify(mode, &info);
        const int ledgers = mode == notify_self_only ? 0 : static_cast<int>(handle.GetKeys().size());
        const int own = mode == notify_others ? 0 : 1;
        if (info.ledgerCalls.load() != ledgers || info.watchedCalls.load() != own) {
            m_run.violations.Add("handle Notify mode " + std::to_string(mode) + ": " +
                                 std::to_string(info.ledgerCalls.load()) + " ledger calls (expected " +
                                 std::to_string(ledgers) + "), " + std::to_string(info.watchedCalls.load()) +
                                 " calls of its receiver (expected " + std::to_string(own) + ")");
        }
    }

    // Notify or NotifySend to one key, often one that a receiver of this
    // worker is subscribed to: when the call returns, the key's ledger has
    // been called once (or not, when left out) and that receiver once.
    void Publish(Delivery how) {
        int typeIndex = Below(kTypeCount);
        int key = TrafficKey();
        const Subscriber* watched = nullptr;
        if (!m_direct.empty() && Below(2) == 0) {
            const Direct& direct = m_direct[Below(m_direct.size())];
            typeIndex = direct.typeIndex;
            key = direct.key;
            watched = direct.receiver.get();
        }
        Ledger& ledger = m_run.LedgerOf(typeIndex, key);
        Subscriber* const leaveOut = Below(8) == 0 ? &ledger : nullptr;
        const StressInfo info(how, watched);
        const CString& name = m_run.keys[static_cast<std::size_t>(key)];
        if (how == Delivery::Send) {
            m_run.hub.NotifySend(kFirstType + typeIndex, name, &info, leaveOut);
        } else {
            m_run.hub.Notify(kFirstType + typeIndex, name, &info, leaveOut);
        }
        const int expected = leaveOut != nullptr ? 0 : 1;
        if (info.ledgerCalls.load() != expected) {
            m_run.violations.Add(std::string(how == Delivery::Send ? "NotifySend" : "Notify") +
                                 " returned with the ledger called " + std::to_string(info.ledgerCalls.load()) +
                                 " times, expected " + std::to_string(expected));
        }
        if (watched != nullptr && info.watchedCalls.load() != 1) {
            m_run.violations.Add(std::string(how == Delivery::Send ? "NotifySend" : "Notify") +
                                 " returned with a subscribed receiver called " +
                                 std::to_string(info.watchedCalls.load()) + " times, expected once");
        }
    }

    void Post() {
        if (!m_run.WaitForPostRoom()) {
            m_run.violations.Add("posts were not delivered: no room within the time-out");
            return;
        }
        m_run.Post(Below(kTypeCount), TrafficKey());
    }

    void Intern() {
        const int set = Below(kDataSets);
        const int item = Below(kItemsPerSet);
        const CDataId id(static_cast<std::uint32_t>(set), static_cast<std::uint64_t>(item));
        const CDataId* const interned = m_run.hub.GetSafeDataIdPtr(id);
        if (!(*interned == id)) m_run.violations.Add("GetSafeDataIdPtr returned another id");
        const CDataId* expected = nullptr;
        auto& slot = m_run.idSlots[static_cast<std::size_t>(set) * kItemsPerSet + static_cast<std::size_t>(item)];
        if (!slot.compare_exchange_strong(expected, interned) && expected != interned) {
            m_run.violations.Add("GetSafeDataIdPtr returned two pointers for one id");
        }
    }

    const fs::path& SomeFile() { return m_run.filePaths[Below(m_run.filePaths.size())]; }

    void FileTouch() {
        // Appending changes the size, whatever the time stamp's resolution.
        std::ofstream out(SomeFile(), std::ios::binary | std::ios::app);
        out << 'x';
    }

    void FileDelete() {
        std::error_code ignored;
        fs::remove(SomeFile(), ignored);
    }

    void FileWatch() {
        if (m_files.size() >= kMaxFileHandles) return FileUnwatch();
        FileHold hold{std::make_unique<Transient>(m_run, true), std::make_unique<FileSubscription>()};
        hold.files->SetSubscriber(hold.receiver.get(), false);
        const std::size_t first = Below(m_run.fileKeys.size());
        std::vector<CString> paths{m_run.fileKeys[first]};
        if (Below(2) == 0) paths.push_back(m_run.fileKeys[(first + 1) % m_run.fileKeys.size()]);
        if (!hold.files->Subscribe(paths)) m_run.violations.Add("FileSubscription::Subscribe failed");
        m_files.push_back(std::move(hold));
    }

    void RemoveFileHold(std::size_t at) {
        FileHold hold = std::move(m_files[at]);
        m_files.erase(m_files.begin() + static_cast<std::ptrdiff_t>(at));
        hold.files->Unsubscribe();
        hold.receiver->removed.store(true, std::memory_order_release);
        hold.files.reset();
        Retire(std::move(hold.receiver));
    }

    void FileUnwatch() {
        if (m_files.empty()) return FileWatch();
        RemoveFileHold(Below(m_files.size()));
    }

    void RemoveEverything() {
        while (!m_direct.empty()) RemoveDirect(m_direct.size() - 1);
        while (!m_handles.empty()) RemoveHandle(m_handles.size() - 1);
        while (!m_files.empty()) RemoveFileHold(m_files.size() - 1);
        m_retired.clear();
    }

    StressRun& m_run;
    std::mt19937_64 m_random;
    std::discrete_distribution<int> m_pick;
    std::vector<Direct> m_direct;
    std::vector<Held> m_handles;
    std::vector<FileHold> m_files;
    std::deque<std::unique_ptr<Transient>> m_retired;  // removed, kept alive a while
};

// Counts the posts that reach it; the last post of the run goes to it.
class Sentinel : public Subscriber {
public:
    void Update(const NotificationInfo*) override { calls.fetch_add(1); }
    std::atomic<int> calls{0};
};

class FileReceiver : public Subscriber {
public:
    void Update(const NotificationInfo*) override { calls.fetch_add(1); }
    std::atomic<int> calls{0};
};

std::uint64_t SeedFromEnvironment() {
    if (const char* text = std::getenv("BRIM_STRESS_SEED"); text != nullptr && *text != '\0') {
        return std::strtoull(text, nullptr, 0);
    }
    std::random_device random;
    return (std::uint64_t{random()} << 32) | random();
}

std::chrono::milliseconds RunTimeFromEnvironment() {
    if (const char* text = std::getenv("BRIM_STRESS_MS"); text != nullptr && *text != '\0') {
        return std::chrono::milliseconds(std::strtoll(text, nullptr, 10));
    }
    return kDefaultRunTime;
}


// --- The test ---------------------------------------------------------------------

TEST(RegistryStress, EightWorkersMixEveryOperationWhileUiLoopAndWatcherRun) {
    SubscriptionManager& hub = SubscriptionManager::Instance();  // maps built on the UI thread
    FileWatcher& watcher = FileWatcher::Instance();
    watcher.SetPollIntervalForTesting(kPollIntervalMs);

    const std::uint64_t seed = SeedFromEnvironment();
    const std::chrono::milliseconds runTime = RunTimeFromEnvironment();
    std::printf("[ stress   ] seed %llu (BRIM_STRESS_SEED), run time %lld ms (BRIM_STRESS_MS)\n",
                static_cast<unsigned long long>(seed), static_cast<long long>(runTime.count()));

    test::TempDir dir;
    StressRun run(seed, Clock::now() + runTime, dir.Path());
    for (const fs::path& path : run.filePaths) std::ofstream(path, std::ios::binary) << "start";
    for (int t = 0; t < kTypeCount; ++t) {
        for (int k = 0; k < kKeyCount; ++k) {
            hub.Subscribe(kFirstType + t, run.keys[static_cast<std::size_t>(k)], &run.LedgerOf(t, k));
        }
    }
    Sentinel sentinel;
    const CString sentinelKey(u"stress/sentinel");
    hub.Subscribe(kSentinelType, sentinelKey, &sentinel);

    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kWorkers; ++i) workers.push_back(std::make_unique<Worker>(run, i));
    std::vector<std::thread> threads;
    for (auto& worker : workers) {
        threads.emplace_back([&run, &worker] {
            worker->Run();
            run.workersDone.fetch_add(1);
        });
    }

    // The UI loop runs while the workers do; their sends and posts need it.
    if (!test::PumpUntil([&] { return run.workersDone.load() == kWorkers; }, runTime + test::kGenerousTimeout)) {
        std::string doing;
        for (std::size_t i = 0; i < workers.size(); ++i) {
            const int op = workers[i]->current.load();
            doing += "  worker " + std::to_string(i) + ": " +
                     (op >= 0 ? kOpNames[static_cast<std::size_t>(op)] : op == -1 ? "removing its subscriptions" : "done") +
                     "\n";
        }
        std::fprintf(stderr, "workers did not finish in time (deadlock?):\n%s", doing.c_str());
        ADD_FAILURE() << "workers did not finish in time (deadlock?):\n" << doing;
        std::fflush(nullptr);
        std::abort();  // the stuck threads cannot be joined
    }
    for (std::thread& thread : threads) thread.join();

    // Handles left in the mailbox: this thread is their only user now.
    for (StressRun::Held& held : run.mailbox) {
        held.handle.Unsubscribe();
        if (held.receiver) held.receiver->removed.store(true, std::memory_order_release);
    }
    run.mailbox.clear();

    // Every post made must arrive; then one more, behind all of them, shows
    // that none arrives twice.
    ASSERT_TRUE(test::PumpUntil([&] { return run.EveryPostDelivered(); }))
        << run.PostsMade() << " posts made, " << run.PostsDelivered() << " delivered";
    hub.NotifyPost(kSentinelType, sentinelKey);
    ASSERT_TRUE(test::PumpUntil([&] { return sentinel.calls.load() == 1; }));
    for (int t = 0; t < kTypeCount; ++t) {
        for (int k = 0; k < kKeyCount; ++k) {
            EXPECT_EQ(run.LedgerOf(t, k).postsDelivered.load(),
                      run.posted[static_cast<std::size_t>(t)][static_cast<std::size_t>(k)].load())
                << "posts to type " << kFirstType + t << " key " << k;
        }
    }

    // Every watch went with its worker: no record and no polling thread are
    // left, and the watcher still reports a change.
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 0U);
    EXPECT_FALSE(watcher.IsPollingForTesting());
    {
        const fs::path& path = run.filePaths.front();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << "after the run";
        FileReceiver receiver;
        FileSubscription files;
        files.SetSubscriber(&receiver, false);
        ASSERT_TRUE(files.Subscribe(run.fileKeys.front()));
        std::ofstream(path, std::ios::binary | std::ios::app) << " and changed";
        EXPECT_TRUE(test::PumpUntil([&] { return receiver.calls.load() >= 1; })) << "the watcher reported nothing";
        files.Unsubscribe();
    }
    EXPECT_FALSE(watcher.IsPollingForTesting());

    // The ledgers go too; posts to their keys reach nobody.
    for (int t = 0; t < kTypeCount; ++t) {
        for (int k = 0; k < kKeyCount; ++k) {
            Ledger& ledger = run.LedgerOf(t, k);
            hub.Unsubscribe(kFirstType + t, run.keys[static_cast<std::size_t>(k)], &ledger);
            ledger.removed.store(true, std::memory_order_release);
            hub.NotifyPost(kFirstType + t, run.keys[static_cast<std::size_t>(k)]);
        }
    }
    hub.NotifyPost(kSentinelType, sentinelKey);
    ASSERT_TRUE(test::PumpUntil([&] { return sentinel.calls.load() == 2; }));
    hub.Unsubscribe(kSentinelType, sentinelKey, &sentinel);

    EXPECT_EQ(run.violations.Count(), 0U) << run.violations.Describe();

    Counts total;
    for (const auto& worker : workers) {
        for (std::size_t op = 0; op < kOpCount; ++op) total.ops[op] += worker->counts.ops[op];
    }
    std::printf("[ stress   ] %d workers, %llu operations:", kWorkers, static_cast<unsigned long long>(total.Total()));
    for (std::size_t op = 0; op < kOpCount; ++op) {
        std::printf("%s %s %llu", op == 0 ? "" : ",", kOpNames[op], static_cast<unsigned long long>(total.ops[op]));
    }
    std::printf("\n[ stress   ] posts: %llu made (%llu of them by receivers), %llu delivered exactly once; "
                "workers paced %llu times\n",
                static_cast<unsigned long long>(run.PostsMade()),
                static_cast<unsigned long long>(run.postsFromReceivers.load()),
                static_cast<unsigned long long>(run.PostsDelivered()),
                static_cast<unsigned long long>(run.paceWaits.load()));
    std::printf("[ stress   ] sends %llu, notifies %llu (+%llu through handles), re-entrant rounds %llu, "
                "transient receiver calls %llu, file notifications %llu, polling passes %llu, violations %llu\n",
                static_cast<unsigned long long>(total.ops[kNotifySend]),
                static_cast<unsigned long long>(total.ops[kNotify]),
                static_cast<unsigned long long>(total.ops[kHandleNotify]),
                static_cast<unsigned long long>(run.reentrantRounds.load()),
                static_cast<unsigned long long>(run.transientCalls.load()),
                static_cast<unsigned long long>(run.fileDeliveries.load()),
                static_cast<unsigned long long>(watcher.GetPassCountForTesting()),
                static_cast<unsigned long long>(run.violations.Count()));
}

}  // namespace
