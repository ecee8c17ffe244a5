// Order, deferral, leave-out and once-per-call are the reference model's to
// check (once-per-call past the sixteen receivers a delivery keeps on its
// stack: the allocation-failure suite's follow-up); the other tests show
// threads, the real loop, lifetime and failures.

#include "fuzz/SubscriptionMapHarness.h"
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>
#include "subscription/Recorder.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

const CString K(u"K");

// The same harness as the libFuzzer target. BRIM_MODEL_SEED replays one program.
TEST(SubscriptionMapModelTest, SeededProgramsMatchTheReferenceModel) {
    const char* replay = std::getenv("BRIM_MODEL_SEED");
    const unsigned long first = replay != nullptr ? std::strtoul(replay, nullptr, 10) : 1;
    for (unsigned long seed = first; seed < first + (replay != nullptr ? 1 : 10000); ++seed) {
        std::mt19937 random(static_cast<std::uint32_t>(seed));
        std::vector<std::uint8_t> program(40 + random() % 160);
        for (std::uint8_t& choice : program) choice = static_cast<std::uint8_t>(random());
        ASSERT_EQ(harness::FirstDifference(program), -1) << "seed " << seed << " (BRIM_MODEL_SEED)";
    }
}

class SubscriptionMapTest : public testing::Test {
protected:
    std::string log;
    test::Recorder a{'A', log}, b{'B', log}, c{'C', log};
    std::unique_ptr<SubscriptionMap> map = std::make_unique<SubscriptionMap>();  // goes before its receivers
};

// A map built on a worker before the user-interface thread exists (as the hub first reached by a plugin on its
// loader thread) sends and posts to that thread once it does: a send from a worker returns after every Update ran
// there. Its posts still queued when it is destroyed (here on a worker) do nothing. Run() has no time-out, so a lost
// wake-up would hang it: a guard ends the process instead.
TEST_F(SubscriptionMapTest, MapBuiltOnWorkerSendsAndPostsToTheUserInterfaceThread) {
    platform::ClearUserInterfaceThread();
    std::thread([&] { map = std::make_unique<SubscriptionMap>(); }).join();
    EXPECT_FALSE(map->CanDeliverToUserInterfaceThread());
    platform::SetUserInterfaceThread();
    EXPECT_TRUE(map->CanDeliverToUserInterfaceThread());
    for (test::Recorder* r : {&a, &b, &a}) map->Subscribe(K, r);
    const NotificationInfo info;
    std::string seenOnReturn;
    platform::Event ran;
    std::thread guard([&] { ran.Wait(20000) ? void() : (std::fprintf(stderr, "the loop never woke for the send\n"), std::abort()); });
    auto& loop = platform::MessageLoop::Current();
    std::thread worker([&] {
        map->NotifySend({K}, &info, &b);
        seenOnReturn = log;
        map->NotifyPost({K});
        loop.Quit();
    });
    loop.Run();
    ran.Set(), worker.join(), guard.join();
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_TRUE(seenOnReturn == "A*" && log == "A*AB") << seenOnReturn << ", then " << log;
    EXPECT_TRUE(map->TryNotifyPost({K}));
    std::thread([&] { map.reset(); }).join();
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(log, "A*AB");
}

// Where a test's payloads ended: freed how often, how many without their full delivery, and on which thread last.
struct Ends {
    std::atomic<int> freed{0}, wrong{0};
    std::atomic<std::thread::id> lastFreedOn;
    bool EndedHere(int count) const { return freed == count && lastFreedOn.load() == std::this_thread::get_id(); }
};
struct Result : NotificationInfo {
    explicit Result(Ends& ends, int number = 0) : ends(ends), number(number) {}
    ~Result() override { ends.wrong += seen != 5, ends.lastFreedOn = std::this_thread::get_id(), ++ends.freed; }
    Ends& ends;
    const int number;
    mutable std::atomic<int> seen{0};  // receiver A adds 1, B adds 4: 5 when each read it once
};

// Four workers post results while both receivers read them on the user-interface thread (and each poster its own
// reference): each reaches each receiver once and is freed once, after that. A refused post (no user-interface
// thread, a full queue) frees its payload on the poster before returning; a queued one discarded with its map, on
// the destroying thread.
TEST_F(SubscriptionMapTest, PostedPayloadsReachEachReceiverOnceAndAreFreedOnceWhereTheyEnd) {
    auto& hub = SubscriptionManager::Instance();
    const auto reader = [](int bit) {
        return [bit](const NotificationInfo* info) {
            if (const auto* result = dynamic_cast<const Result*>(info)) result->seen += bit;  // else wrong when freed
        };
    };
    CallbackSubscriber ra(reader(1)), rb(reader(4));
    hub.Subscribe(6, K, &ra), hub.Subscribe(6, K, &rb);
    Ends ends;
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) workers.emplace_back([&] {
        for (int i = 1; i <= 500; ++i) {
            auto result = std::make_shared<const Result>(ends, i);
            EXPECT_TRUE(hub.TryNotifyPost(6, K, result) && result->number == i);
        }
    });
    EXPECT_TRUE(test::PumpUntil([&] { return ends.freed == 2000; })) << ends.freed;
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(ends.wrong, 0);
    hub.Unsubscribe(6, K, &ra), hub.Unsubscribe(6, K, &rb);
    Ends unrun;  // of the posts refused or discarded
    platform::ClearUserInterfaceThread();
    std::thread([&] {
        EXPECT_TRUE(!hub.TryNotifyPost(6, K, std::make_shared<const Result>(unrun)) && unrun.EndedHere(1));
    }).join();
    platform::SetUserInterfaceThread();
    {
        const auto filler = test::FillQueue();  // its messages go with it
        EXPECT_TRUE(!map->TryNotifyPost({K}, std::make_shared<const Result>(unrun)) && unrun.EndedHere(2));
    }
    ASSERT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_TRUE(map->TryNotifyPost({K, K}, std::make_shared<const Result>(unrun)));
    std::thread([&] {
        map.reset();
        EXPECT_TRUE(unrun.EndedHere(3));
    }).join();
}

// Posts queued for a user-interface thread that ends before running them (one key, two keys, a payload) are
// discarded unrun: counted once each in DroppedPostCount, the payload freed on the thread that asks, the keys'
// references released (the sanitizer build would report a leaked key). The map then posts to the next such thread.
TEST_F(SubscriptionMapTest, PostsLeftQueuedForAnEndedThreadAreCountedOnceAndFreed) {
    map->Subscribe(K, &a);
    Ends unrun;
    std::thread([&] {
        platform::SetUserInterfaceThread();
        EXPECT_TRUE(map->TryNotifyPost({CString(u"Made on the fly")}) && map->TryNotifyPost({K}));
        EXPECT_TRUE(map->TryNotifyPost({K, CString(u"L")}) && map->TryNotifyPost({K}, std::make_shared<const Result>(unrun)));
    }).join();  // its loop never ran
    platform::SetUserInterfaceThread();
    EXPECT_EQ(map->DroppedPostCount(), 4U);
    EXPECT_TRUE(unrun.EndedHere(1));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_TRUE(map->TryNotifyPost({K}) && brim::testing::RunUntilIdle());
    EXPECT_TRUE(map->DroppedPostCount() == 4U && log == "A") << map->DroppedPostCount() << " " << log;
}

// A lock left held would make the other thread wait for ever: a guard ends the process instead.
TEST_F(SubscriptionMapTest, ExceptionFromUpdateLeavesMapUsableErasesDeferredRemovalsAndUnlocks) {
    for (test::Recorder* r : {&a, &b, &c}) map->Subscribe(K, r);
    a.onUpdate = [&] { map->Unsubscribe(K, &c), throw std::runtime_error("receiver failed"); };
    EXPECT_THROW(map->Notify(K, nullptr, nullptr), std::runtime_error);
    a.onUpdate = nullptr;
    EXPECT_EQ(map->SubscriberCount(K), 2U) << "the deferred removal was not erased";
    map->Unsubscribe(K, &b);  // at once: not left delivering
    EXPECT_EQ(map->SubscriberCount(K), 1U);
    platform::Event unlocked;
    std::thread other([&] { map->Notify(K, nullptr, nullptr), unlocked.Set(); });
    if (!unlocked.Wait(20000)) std::fprintf(stderr, "the map's lock was left held by the throwing delivery\n"), std::abort();
    other.join();
    EXPECT_EQ(log, "AA!");
}

}  // namespace
