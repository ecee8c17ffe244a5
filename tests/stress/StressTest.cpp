// Workers mix every operation on the hub's maps while the user-interface loop
// runs. Checked: a worker's posts to its three turn keys arrive once each, in
// order; when Notify or NotifySend returns, the key's ledger was called once
// (none when left out), on the right thread; no receiver is called after its
// removal returned; posts made by ledgers of key 0 inside their delivery
// (the map's lock held) arrive too; at the end no entry is left and posts
// reach nobody. BRIM_STRESS_SEED replays the workers' choices.

#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/Subscription.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

namespace {

constexpr int kWorkers = 4;
constexpr int kOpsPerWorker = 20000;
constexpr int kTypes = 4;  // types 1..4 carry the traffic, keys 0..3 in each
constexpr int kTurns = 3;
constexpr int kMaxInFlight = 2000;  // far below the queue's bound: every post must be accepted

struct StressInfo : NotificationInfo {
    explicit StressInfo(bool send) : send(send) {}
    const bool send;
    const std::thread::id publisher = std::this_thread::get_id();
    mutable std::atomic<int> ledgerCalls{0};
};

struct Stress {
    void Violation(const char* what) { violations++ < 10 ? std::fprintf(stderr, "[ violation] %s\n", what) : 0; }
    void Post(int type, const CString& key) { ++inFlight, hub.TryNotifyPost(type, key) ? void() : Violation("a post was refused"); }
    SubscriptionManager& hub = SubscriptionManager::Instance();
    const std::vector<CString> keys{u"stress/0", u"stress/1", u"stress/2", u"stress/3"};
    const CString echoKey{u"stress/echo"};
    std::vector<std::unique_ptr<Subscriber>> ledgers;  // by (type - 1) * 4 + key
    std::atomic<int> violations{0};
    std::atomic<int> inFlight{0};  // posts made and not yet arrived
    std::atomic<int> relayed{0};
    std::array<std::atomic<const CDataId*>, 4096> ids{};  // most interning calls insert: they race
};

// Checks where it runs and that no call starts after its removal returned.
// A ledger (type 1..4) counts into the payload and, for key 0, posts to
// another map; with `count` it counts posts, with `next` also a worker's turns.
struct Receiver : Subscriber {
    Receiver(Stress& s, int type = 0, int key = 0, int* count = nullptr, int* next = nullptr)
        : s(s), type(type), key(key), count(count), next(next) {}
    void Update(const NotificationInfo* info) override {
        if (removed.load()) s.Violation("a receiver was called after its removal returned");
        const auto* stress = dynamic_cast<const StressInfo*>(info);
        const bool onUi = platform::IsUserInterfaceThread();
        const bool placed = info == nullptr ? onUi : stress != nullptr && (stress->send ? onUi : stress->publisher == std::this_thread::get_id());
        if (!placed) s.Violation("a delivery ran on the wrong thread");
        if (stress != nullptr && type != 0) ++stress->ledgerCalls;
        if (type != 0 && key == 0 && s.inFlight.load() < kMaxInFlight) s.Post(1 + type % kTypes, (++s.relayed, s.echoKey));
        if (next != nullptr && std::exchange(*next, (key + 1) % kTurns) != key) s.Violation("a post came out of order, twice or never");
        if (count != nullptr && info == nullptr) ++*count, --s.inFlight;
    }
    Stress& s;
    const int type;
    const int key;
    int* const count;  // *count and *next on the user-interface thread only
    int* const next;
    std::atomic<bool> removed{false};
};

class Worker {
public:
    Worker(Stress& s, int index, std::uint64_t seed) : type(1 + index % kTypes), s(s), m_random(seed + index) {
        for (char16_t j = 0; j < kTurns; ++j) {
            turnKeys.emplace_back(u"stress/turn" + std::u16string{char16_t(u'0' + index), char16_t(u'0' + j)});
            turns.push_back(std::make_unique<Receiver>(s, 0, j, &arrived, &m_next));
        }
    }

    void Run() {
        for (int n = 0; n < kOpsPerWorker; ++n) {
            const auto op = m_random() % 9;
            if (op <= 2) Handle(op);
            else if (op <= 5) Publish(op == 5);
            else if (op == 8) Intern();
            else if (s.inFlight.load() < kMaxInFlight) s.Post(type, turnKeys[static_cast<std::size_t>(posted++ % kTurns)]);
        }
        while (!m_handles.empty()) Drop(0);
    }

    const int type;
    std::vector<CString> turnKeys;
    std::vector<std::unique_ptr<Receiver>> turns;
    int posted = 0;   // on the worker's thread
    int arrived = 0;  // on the user-interface thread

private:
    struct Held {
        std::unique_ptr<Receiver> receiver;  // null when the handle owns it
        Subscription handle;                 // destroyed first
    };

    int Type() { return 1 + static_cast<int>(m_random() % kTypes); }
    const CString& Key() { return s.keys[m_random() % 4]; }

    void Drop(std::size_t at) {
        std::swap(m_handles[at], m_handles.back());
        m_handles.back().handle = Subscription();  // removes the entries, deletes an owned receiver
        if (m_handles.back().receiver) m_handles.back().receiver->removed = true;
        m_retired.push_back(std::move(m_handles.back().receiver));  // kept alive: a late call is reported, not a crash
        m_handles.pop_back();
    }
    // Drops a handle, re-subscribes one (sometimes to the same keys: a no-op),
    // or makes one, owning its receiver or not.
    void Handle(unsigned choice) {
        if (m_handles.size() >= 6 || (choice == 0 && !m_handles.empty())) return Drop(m_random() % m_handles.size());
        const std::vector<CString> keys{Key(), s.keys[m_random() % 2]};
        if (choice == 1 && !m_handles.empty()) return m_handles[m_random() % m_handles.size()].handle.Subscribe(keys);
        Held& held = m_handles.emplace_back(Held{m_random() % 2 ? std::make_unique<Receiver>(s) : nullptr, Subscription(Type())});
        held.handle.SetSubscriber(held.receiver ? held.receiver.get() : new Receiver(s), !held.receiver);
        held.handle.Subscribe(keys);
    }
    void Publish(bool send) {
        const int t = Type();
        const CString& key = Key();
        const auto index = static_cast<std::size_t>(t - 1) * 4 + static_cast<std::size_t>(&key - s.keys.data());
        Subscriber* const leaveOut = m_random() % 8 == 0 ? s.ledgers[index].get() : nullptr;
        const StressInfo info(send);
        if (send) s.hub.NotifySend(t, key, &info, leaveOut);
        else s.hub.Notify(t, key, &info, leaveOut);
        if (info.ledgerCalls.load() != (leaveOut != nullptr ? 0 : 1)) s.Violation("a ledger was not called exactly once");
    }

    // Ids interned by several threads at once: one pointer per id, to an equal id.
    void Intern() {
        const CDataId id(9, m_random() % s.ids.size());
        const CDataId* interned = s.hub.GetSafeDataIdPtr(id);
        const CDataId* first = nullptr;
        if (!(*interned == id) || (!s.ids[id.GetItem()].compare_exchange_strong(first, interned) && first != interned)) s.Violation("two pointers for one id");
    }

    Stress& s;
    std::mt19937_64 m_random;
    int m_next = 0;  // the turn whose post comes next; on the user-interface thread only
    std::vector<Held> m_handles;
    std::vector<std::unique_ptr<Receiver>> m_retired;
};

TEST(StressTest, WorkersMixEveryOperationWhileTheUiLoopRuns) {
    Stress s;  // reaches the hub first, on the user-interface thread
    const std::uint64_t seed = std::getenv("BRIM_STRESS_SEED") ? std::strtoull(std::getenv("BRIM_STRESS_SEED"), nullptr, 10) : std::random_device()();
    std::printf("[ stress   ] seed %llu (BRIM_STRESS_SEED)\n", static_cast<unsigned long long>(seed));
    std::vector<std::tuple<int, CString, Receiver*>> kept;  // subscribed for the whole run
    for (int i = 0; i < kTypes * 4; ++i) {
        kept.emplace_back(1 + i / 4, s.keys[i % 4], static_cast<Receiver*>(s.ledgers.emplace_back(std::make_unique<Receiver>(s, 1 + i / 4, i % 4)).get()));
    }
    int echoes = 0;
    Receiver echo(s, 0, 0, &echoes);
    for (int t = 1; t <= kTypes; ++t) kept.emplace_back(t, s.echoKey, &echo);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        Worker& w = *workers.emplace_back(std::make_unique<Worker>(s, i, seed));
        for (int j = 0; j < kTurns; ++j) kept.emplace_back(w.type, w.turnKeys[j], w.turns[j].get());
    }
    for (const auto& [type, key, receiver] : kept) s.hub.Subscribe(type, key, receiver);

    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (auto& worker : workers) threads.emplace_back([&done, w = worker.get()] { w->Run(), ++done; });
    if (!test::PumpUntil([&] { return done.load() == kWorkers && s.inFlight.load() == 0; }, std::chrono::minutes(2))) {
        std::fprintf(stderr, "stuck (deadlock?): %d workers done, %d posts in flight\n", done.load(), s.inFlight.load());
        std::abort();  // the stuck threads cannot be joined
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(echoes, s.relayed.load());
    for (const auto& worker : workers) EXPECT_EQ(worker->arrived, worker->posted);
    for (const auto& [type, key, receiver] : kept) s.hub.Unsubscribe(type, key, receiver), receiver->removed = true;
    for (const auto& [type, key, receiver] : kept) EXPECT_EQ(s.hub.GetSubscriptionMap(type)->SubscriberCount(key), 0U), s.hub.NotifyPost(type, key);
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(s.violations.load(), 0);
}

}  // namespace
