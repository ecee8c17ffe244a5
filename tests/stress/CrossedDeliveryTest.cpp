// Two maps that publish to each other from inside their deliveries.
//
// A map holds its recursive lock for the whole of a delivery, every Update
// included. A receiver of map A that publishes to map B synchronously
// therefore takes B's lock while holding A's; when at the same time another
// thread's receiver of B publishes to A, each thread holds the lock the other
// waits for. Nothing in the library breaks that cycle: the two threads wait
// for ever (the registry documents that an Update must not wait for another
// thread that needs its map). The tests below drive both sides to the
// crossing point deterministically, in a child process that a watcher thread
// ends when the crossing calls do not return, and check that it is stuck:
// - two workers, each in a Notify of its own map, Notify the other map;
// - a worker in a Notify of A sends to B (NotifySend), while the
//   user-interface thread, in a posted delivery of B, Notifies A.
// Crossing with NotifyPost takes no map lock and is safe: the last test runs
// it on two threads at full speed and counts every post.

#include "platform/CString.h"
#include "platform/WinThread.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/SubscriptionManager.h"
#include "subscription/SubscriptionMap.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kTypeA = 7;
constexpr int kTypeB = 8;
const CString kStart(u"crossed/start");
const CString kEcho(u"crossed/echo");
const CString kTally(u"crossed/tally");
const CString kSentinel(u"crossed/sentinel");

// Exit codes of the child process.
constexpr int kDeadlockedExit = 3;
constexpr int kCompletedExit = 4;
constexpr int kSetUpFailedExit = 5;

// How long the crossing calls get once both sides hold their lock. Without
// a deadlock each returns within microseconds.
constexpr std::chrono::seconds kCrossingTimeout{2};
constexpr std::chrono::seconds kSetUpTimeout{20};

[[noreturn]] void ExitChild(int code, const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    ::_exit(code);
}

// The two sides of a crossing meet here: each arrives holding its own map's
// lock and goes on only when the other has arrived too, so both then cross
// with their locks held. Judge() waits for both crossing calls to return and
// ends the child process with the verdict.
class Crossing {
public:
    void Arrive() {
        std::unique_lock lock(m_mutex);
        ++m_arrived;
        m_changed.notify_all();
        if (!m_changed.wait_for(lock, kSetUpTimeout, [this] { return m_arrived == 2; })) {
            ExitChild(kSetUpFailedExit, "crossing: the other side never arrived");
        }
    }
    void Returned() {
        const std::lock_guard lock(m_mutex);
        ++m_returned;
        m_changed.notify_all();
    }
    [[noreturn]] void Judge(const char* deadlock) {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, kSetUpTimeout, [this] { return m_arrived == 2; })) {
            ExitChild(kSetUpFailedExit, "crossing: the sides never arrived");
        }
        if (m_changed.wait_for(lock, kCrossingTimeout, [this] { return m_returned == 2; })) {
            ExitChild(kCompletedExit, "crossing: both crossing calls returned");
        }
        ExitChild(kDeadlockedExit, deadlock);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_arrived = 0;   // guarded by m_mutex
    int m_returned = 0;  // guarded by m_mutex
};

// A receiver that runs an action on every delivery.
class Acting : public Subscriber {
public:
    explicit Acting(std::function<void()> action) : m_action(std::move(action)) {}
    void Update(const NotificationInfo*) override { m_action(); }

private:
    std::function<void()> m_action;
};

// Counts its calls, and those that came anywhere but on the user-interface
// thread with a null payload.
class PostCounter : public Subscriber {
public:
    void Update(const NotificationInfo* info) override {
        calls.fetch_add(1);
        if (info != nullptr || !platform::IsUserInterfaceThread()) misplaced.fetch_add(1);
        if (onUpdate) onUpdate();
    }
    std::atomic<int> calls{0};
    std::atomic<int> misplaced{0};
    std::function<void()> onUpdate;
};

// One map's side of a crossing: the receiver that crosses over on kStart,
// and the one that hears the other side on kEcho.
struct Side {
    Subscriber* cross;
    Subscriber* echo;
};

void SubscribeCrossing(SubscriptionMap& a, SubscriptionMap& b, Side sideA, Side sideB) {
    a.Subscribe(kStart, sideA.cross);
    a.Subscribe(kEcho, sideA.echo);
    b.Subscribe(kStart, sideB.cross);
    b.Subscribe(kEcho, sideB.echo);
}

// Child process: thread one runs Notify(A) whose receiver Notifies B; thread
// two runs Notify(B) whose receiver Notifies A.
[[noreturn]] void CrossNotifyOnTwoWorkers() {
    SubscriptionManager& hub = SubscriptionManager::Instance();
    SubscriptionMap& a = *hub.GetSubscriptionMap(kTypeA);
    SubscriptionMap& b = *hub.GetSubscriptionMap(kTypeB);
    Crossing crossing;
    PostCounter echoA;
    PostCounter echoB;
    Acting crossA([&] {
        crossing.Arrive();  // holding A
        b.Notify(kEcho, nullptr, nullptr);
        crossing.Returned();
    });
    Acting crossB([&] {
        crossing.Arrive();  // holding B
        a.Notify(kEcho, nullptr, nullptr);
        crossing.Returned();
    });
    SubscribeCrossing(a, b, {&crossA, &echoA}, {&crossB, &echoB});
    std::thread([&] { a.Notify(kStart, nullptr, nullptr); }).detach();
    std::thread([&] { b.Notify(kStart, nullptr, nullptr); }).detach();
    crossing.Judge(
        "crossed Notify deadlocked: thread one holds map A's lock in its delivery and waits for map B's; "
        "thread two holds map B's lock and waits for map A's");
}

// Child process: a worker in Notify(A) sends to B and waits for the
// user-interface thread, which is in a posted delivery of B and Notifies A.
[[noreturn]] void CrossSendFromWorkerWithNotifyFromUiThread() {
    SubscriptionManager& hub = SubscriptionManager::Instance();
    SubscriptionMap& a = *hub.GetSubscriptionMap(kTypeA);
    SubscriptionMap& b = *hub.GetSubscriptionMap(kTypeB);
    Crossing crossing;
    PostCounter echoA;
    PostCounter echoB;
    Acting crossA([&] {  // on the worker
        crossing.Arrive();  // holding A
        b.NotifySend({kEcho}, nullptr, nullptr);
        crossing.Returned();
    });
    Acting crossB([&] {  // on the user-interface thread
        crossing.Arrive();  // holding B
        a.Notify(kEcho, nullptr, nullptr);
        crossing.Returned();
    });
    SubscribeCrossing(a, b, {&crossA, &echoA}, {&crossB, &echoB});
    b.NotifyPost({kStart});
    std::thread([&] { a.Notify(kStart, nullptr, nullptr); }).detach();
    std::thread([&] {
        crossing.Judge(
            "crossed NotifySend deadlocked: the worker holds map A's lock and waits for the user-interface "
            "thread to deliver its send to map B; the user-interface thread, in a posted delivery of map B, "
            "waits for map A's lock");
    }).detach();
    test::PumpUntil([] { return false; }, 2 * kSetUpTimeout);
    ExitChild(kSetUpFailedExit, "crossing: no verdict");
}

TEST(CrossedDelivery, NotifyFromReceiversOfTwoMapsOnTwoThreadsDeadlocks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(CrossNotifyOnTwoWorkers(), testing::ExitedWithCode(kDeadlockedExit), "crossed Notify deadlocked");
    std::printf("[ crossed  ] two workers crossing with Notify: deadlocked, as the lock order predicts\n");
}

TEST(CrossedDelivery, SendFromWorkerReceiverWhileUiReceiverNotifiesBackDeadlocks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(CrossSendFromWorkerWithNotifyFromUiThread(), testing::ExitedWithCode(kDeadlockedExit),
                "crossed NotifySend deadlocked");
    std::printf("[ crossed  ] worker NotifySend against UI-thread Notify: deadlocked, as the lock order predicts\n");
}

// Receivers of A and B, on two threads at once, each post to the other map
// from inside their delivery. A post takes no map lock, so nothing waits. The
// posted deliveries run on the user-interface thread, where the receiver of
// A's echo, with A's lock held, also Notifies B directly: nesting in one
// order only (A, then B) is no cycle, whatever the workers hold. (Had B's echo
// also Notified A, the user-interface thread alone would take the two locks
// in both orders, which ThreadSanitizer rightly reports as an inversion.)
// 2 x kRounds posts can never fill the user-interface thread's queue (10,000),
// so every post is accepted and each must arrive exactly once.
TEST(CrossedDelivery, PostsFromReceiversOfTwoMapsArriveExactlyOnce) {
    constexpr int kRounds = 2000;
    SubscriptionManager& hub = SubscriptionManager::Instance();
    SubscriptionMap& a = *hub.GetSubscriptionMap(kTypeA);
    SubscriptionMap& b = *hub.GetSubscriptionMap(kTypeB);

    std::atomic<int> postedToA{0};
    std::atomic<int> postedToB{0};
    Acting crossA([&] {
        postedToB.fetch_add(1);
        b.NotifyPost({kEcho});
    });
    Acting crossB([&] {
        postedToA.fetch_add(1);
        a.NotifyPost({kEcho});
    });
    PostCounter echoA;
    PostCounter echoB;
    std::atomic<int> tallies{0};
    Acting tally([&] { tallies.fetch_add(1); });
    echoA.onUpdate = [&] { b.Notify(kTally, nullptr, nullptr); };
    PostCounter sentinel;
    SubscribeCrossing(a, b, {&crossA, &echoA}, {&crossB, &echoB});
    b.Subscribe(kTally, &tally);
    a.Subscribe(kSentinel, &sentinel);

    std::atomic<int> finished{0};
    std::thread one([&] {
        for (int i = 0; i < kRounds; ++i) a.Notify(kStart, nullptr, nullptr);
        finished.fetch_add(1);
    });
    std::thread two([&] {
        for (int i = 0; i < kRounds; ++i) b.Notify(kStart, nullptr, nullptr);
        finished.fetch_add(1);
    });
    const bool done = test::PumpUntil(
        [&] { return finished.load() == 2 && echoA.calls.load() == kRounds && echoB.calls.load() == kRounds; });
    if (!done) {
        std::fprintf(stderr, "crossed posts did not finish: %d threads done, %d/%d echoes\n", finished.load(),
                     echoA.calls.load(), echoB.calls.load());
        ADD_FAILURE() << "crossed posts did not finish (deadlock?)";
        std::fflush(nullptr);
        std::abort();  // the stuck threads cannot be joined
    }
    one.join();
    two.join();

    // One more post, behind all the others: nothing arrives twice.
    a.NotifyPost({kSentinel});
    ASSERT_TRUE(test::PumpUntil([&] { return sentinel.calls.load() == 1; }));
    EXPECT_EQ(postedToA.load(), kRounds);
    EXPECT_EQ(postedToB.load(), kRounds);
    EXPECT_EQ(echoA.calls.load(), kRounds);
    EXPECT_EQ(echoB.calls.load(), kRounds);
    EXPECT_EQ(tallies.load(), kRounds);
    EXPECT_EQ(echoA.misplaced.load() + echoB.misplaced.load(), 0);

    for (SubscriptionMap* map : {&a, &b}) {
        map->Unsubscribe(kStart, map == &a ? static_cast<Subscriber*>(&crossA) : &crossB);
        map->Unsubscribe(kEcho, map == &a ? static_cast<Subscriber*>(&echoA) : &echoB);
    }
    b.Unsubscribe(kTally, &tally);
    a.Unsubscribe(kSentinel, &sentinel);
    std::printf("[ crossed  ] crossed posts: %d Notify per thread, %d + %d posts delivered exactly once, "
                "%d nested Notify from the UI thread\n",
                kRounds, echoA.calls.load(), echoB.calls.load(), tallies.load());
}

}  // namespace
