#include "subscription/SubscriptionMap.h"

#include "mainthread/MainThreadDispatcher.h"
#include "subscription/Recorder.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using test::CallLog;
using test::Names;
using test::NamedSubscriber;

const CString K(u"K");
const CString K1(u"K1");
const CString K2(u"K2");
const CString L(u"L");

class SubscriptionMapTest : public testing::Test {
protected:
    SubscriptionMap map;
    CallLog log;
    NamedSubscriber s1{"S1", log};
    NamedSubscriber s2{"S2", log};
    NamedSubscriber s3{"S3", log};
    NamedSubscriber s4{"S4", log};
};

TEST_F(SubscriptionMapTest, DeliversInSubscriptionOrderWithThePayload) {
    map.Subscribe(K, &s1);
    map.Subscribe(K, &s2);
    map.Subscribe(K1, &s3);
    const NotificationInfo info;
    map.Notify(K, &info, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S2"}));
    for (const auto& call : log.Calls()) EXPECT_EQ(call.info, &info);
    log.Clear();
    map.Notify(CString(u"k"), &info, nullptr);  // keys differ by case
    map.Notify(CString(u"K "), &info, nullptr);
    EXPECT_EQ(log.Size(), 0U);
}

TEST_F(SubscriptionMapTest, DuplicateEntriesCountPerEntryInOneKeyFormAndOnceInSeveralKeys) {
    map.Subscribe(K, &s1);
    map.Subscribe(K, &s1);
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S1"}));
    log.Clear();
    map.Notify(std::vector<CString>{K, K}, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1"}));
    log.Clear();
    map.Unsubscribe(K, &s1);  // one call removes one entry
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1"}));
}

TEST_F(SubscriptionMapTest, SeveralKeysCallEachSubscriberOnceAtItsFirstPlace) {
    map.Subscribe(K2, &s2);
    map.Subscribe(K1, &s1);
    map.Subscribe(K2, &s1);
    map.Notify(std::vector<CString>{K2, K1}, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S2", "S1"}));
    log.Clear();
    map.Notify(std::vector<CString>{K1, CString(u"none"), K2}, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S2"}));
}

TEST_F(SubscriptionMapTest, LeftOutSubscriberIsNotCalledUnderAnyKey) {
    map.Subscribe(K1, &s1);
    map.Subscribe(K1, &s2);
    map.Subscribe(K2, &s1);
    map.Subscribe(K2, &s1);
    map.Notify(K2, nullptr, &s1);
    EXPECT_EQ(log.Size(), 0U);
    map.Notify(std::vector<CString>{K1, K2}, nullptr, &s1);
    EXPECT_EQ(log.Names(), (Names{"S2"}));
}

TEST_F(SubscriptionMapTest, UnsubscribeLaterReceiverDuringDeliverySkipsIt) {
    map.Subscribe(K, &s1);
    map.Subscribe(K, &s2);
    map.Subscribe(K, &s3);
    s1.onUpdate = [&](const NotificationInfo*) { map.Unsubscribe(K, &s2); };
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S3"}));
    log.Clear();
    s1.onUpdate = nullptr;
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S3"}));
    // The removed entry is really gone: a new S2 entry is the only one.
    map.Subscribe(K, &s2);
    map.Unsubscribe(K, &s2);
    log.Clear();
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S3"}));
}

TEST_F(SubscriptionMapTest, UnsubscribeSelfAndEarlierDuringSeveralKeysDelivery) {
    map.Subscribe(K1, &s1);
    map.Subscribe(K1, &s2);
    map.Subscribe(K2, &s1);
    map.Subscribe(K2, &s3);
    s2.onUpdate = [&](const NotificationInfo*) {
        map.Unsubscribe(K1, &s2);
        map.Unsubscribe(K2, &s3);
        map.Unsubscribe(K2, &s1);
    };
    map.Notify(std::vector<CString>{K1, K2}, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S2"}));
    log.Clear();
    map.Notify(std::vector<CString>{K1, K2}, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1"}));
}

TEST_F(SubscriptionMapTest, SubscribeDuringDeliveryIsReachedOnlyByTheNextOne) {
    map.Subscribe(K, &s1);
    s1.onUpdate = [&](const NotificationInfo*) {
        map.Subscribe(K, &s4);
        s1.onUpdate = nullptr;
    };
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1"}));
    log.Clear();
    map.Notify(std::vector<CString>{K}, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S4"}));
}

TEST_F(SubscriptionMapTest, NestedDeliveryDefersErasureToTheOutermost) {
    map.Subscribe(K, &s1);
    map.Subscribe(K, &s2);
    map.Subscribe(L, &s3);
    map.Subscribe(L, &s4);
    s3.onUpdate = [&](const NotificationInfo*) {
        map.Unsubscribe(L, &s4);  // inside the nested delivery
        map.Unsubscribe(K, &s2);  // an entry the outer delivery has yet to reach
    };
    s1.onUpdate = [&](const NotificationInfo*) {
        map.Notify(L, nullptr, nullptr);
        EXPECT_EQ(map.SubscriberCount(L), 2U) << "erased before the outermost delivery ended";
    };
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S3"}));
    EXPECT_EQ(map.SubscriberCount(K), 1U) << "a removal deferred during the delivery was never erased";
    EXPECT_EQ(map.SubscriberCount(L), 1U);
    log.Clear();
    s1.onUpdate = nullptr;
    s3.onUpdate = nullptr;
    map.Notify(std::vector<CString>{K, L}, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S3"}));
}

TEST_F(SubscriptionMapTest, NullSubscriberAndUnknownRemovalsAreHarmless) {
    map.Subscribe(K, nullptr);
    map.Subscribe(K, &s1);
    map.Unsubscribe(K, &s2);
    map.Unsubscribe(CString(u"absent"), &s1);
    map.Notify(K, nullptr, nullptr);
    map.Notify(CString(u"absent"), nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1"}));
    map.Unsubscribe(K, nullptr);
}

TEST_F(SubscriptionMapTest, ExceptionFromUpdateLeavesMapUsableAndCleansUp) {
    map.Subscribe(K, &s1);
    map.Subscribe(K, &s2);
    map.Subscribe(K, &s3);
    s1.onUpdate = [&](const NotificationInfo*) {
        map.Unsubscribe(K, &s3);
        throw std::runtime_error("receiver failed");
    };
    EXPECT_THROW(map.Notify(K, nullptr, nullptr), std::runtime_error);
    s1.onUpdate = nullptr;
    log.Clear();
    // Not stuck "delivering": removals are immediate again and S3 is gone.
    map.Unsubscribe(K, &s2);
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1"}));
    // The lock was released: another thread can use the map.
    std::thread([&] { map.Subscribe(K, &s4); }).join();
}

TEST_F(SubscriptionMapTest, ConcurrentPublishersSerialiseOnTheMap) {
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> calls{0};
    struct Counting : Subscriber {
        std::atomic<int>* inside;
        std::atomic<int>* maxInside;
        std::atomic<int>* calls;
        void Update(const NotificationInfo*) override {
            const int now = ++*inside;
            int seen = maxInside->load();
            while (now > seen && !maxInside->compare_exchange_weak(seen, now)) {
            }
            ++*calls;
            --*inside;
        }
    } counting;
    counting.inside = &inside;
    counting.maxInside = &maxInside;
    counting.calls = &calls;
    map.Subscribe(K, &counting);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                map.Notify(K, nullptr, nullptr);
                map.Subscribe(L, &counting);
                map.Unsubscribe(L, &counting);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), 2000);
    EXPECT_EQ(maxInside.load(), 1);
}

TEST_F(SubscriptionMapTest, PostFromWorkerRunsOnUiThreadInOrderWithNullPayload) {
    map.Subscribe(K1, &s1);
    map.Subscribe(K2, &s2);
    map.Subscribe(K2, &s1);
    std::thread worker([&] {
        map.NotifyPost({K1, K2});
        map.NotifyPost({K2});
    });
    worker.join();
    EXPECT_EQ(log.Size(), 0U);
    ASSERT_TRUE(test::PumpUntil([&] { return log.Size() == 4; }));
    EXPECT_EQ(log.Names(), (Names{"S1", "S2", "S2", "S1"}));
    for (const auto& call : log.Calls()) {
        EXPECT_EQ(call.info, nullptr);
        EXPECT_EQ(call.thread, std::this_thread::get_id());
    }
}

TEST_F(SubscriptionMapTest, SendFromWorkerReturnsAfterEveryUpdateRanOnUiThread) {
    map.Subscribe(K, &s1);
    map.Subscribe(K, &s2);
    map.Subscribe(K, &s1);
    const NotificationInfo info;
    std::atomic<bool> returned{false};
    std::size_t seenOnReturn = 0;
    std::thread worker([&] {
        map.NotifySend({K}, &info, &s2);
        seenOnReturn = log.Size();
        returned = true;
    });
    ASSERT_TRUE(test::PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(seenOnReturn, 1U);
    ASSERT_EQ(log.Names(), (Names{"S1"}));
    EXPECT_EQ(log.Calls()[0].info, &info);
    EXPECT_EQ(log.Calls()[0].thread, std::this_thread::get_id());
}

TEST_F(SubscriptionMapTest, SendOnUiThreadFromInsideDeliveryRunsNested) {
    map.Subscribe(K, &s1);
    map.Subscribe(L, &s2);
    s1.onUpdate = [&](const NotificationInfo*) { map.NotifySend({L}, nullptr, nullptr); };
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S2"}));
}

TEST(SubscriptionMapThreadTest, MapBuiltOnWorkerCannotSendOrPostButNotifies) {
    std::unique_ptr<SubscriptionMap> map;
    std::thread([&] { map = std::make_unique<SubscriptionMap>(); }).join();
    EXPECT_FALSE(map->CanDeliverToUserInterfaceThread());
    CallLog log;
    NamedSubscriber s1("S1", log);
    map->Subscribe(K, &s1);
    // Debug builds stop at once and say why; release builds deliver nothing.
    EXPECT_DEBUG_DEATH(map->NotifySend({K}, nullptr, nullptr), "NotifySend on subscription type -1");
    EXPECT_DEBUG_DEATH(EXPECT_FALSE(map->TryNotifyPost({K})), "NotifyPost on subscription type -1");
    test::PumpPending();
    EXPECT_EQ(log.Size(), 0U);
    map->Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1"}));
    map->Unsubscribe(K, &s1);
    std::thread([&] { map.reset(); }).join();  // destroyed off the UI thread, with no dispatcher
}

TEST(SubscriptionMapThreadTest, MapDestroyedOnWorkerDropsItsQueuedDeliveries) {
    auto map = std::make_unique<SubscriptionMap>();
    EXPECT_TRUE(map->CanDeliverToUserInterfaceThread());
    CallLog log;
    NamedSubscriber s1("S1", log);
    map->Subscribe(K, &s1);
    EXPECT_TRUE(map->TryNotifyPost({K}));
    std::thread([&] { map.reset(); }).join();
    test::PumpPending();
    EXPECT_EQ(log.Size(), 0U);
}

// A posted delivery that runs in a nested loop inside a delivery of the same
// map takes the map's lock in the same order as one run by the outer loop.
TEST_F(SubscriptionMapTest, PostedDeliveryInANestedLoopInsideADeliveryOfTheSameMap) {
    map.Subscribe(K, &s1);
    map.Subscribe(L, &s2);
    ASSERT_TRUE(map.TryNotifyPost({L}));
    test::PumpPending();
    s1.onUpdate = [&](const NotificationInfo*) {
        ASSERT_TRUE(map.TryNotifyPost({L}));
        EXPECT_TRUE(test::PumpUntil([&] { return log.Size() == 3; }));
    };
    map.Notify(K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S2", "S1", "S2"}));
}

}  // namespace

namespace {

TEST_F(SubscriptionMapTest, UnusualKeysAreOrdinaryDistinctKeys) {
    const char16_t lone[] = {u'k', 0xD800, 0};
    const char16_t otherLone[] = {u'k', 0xDC00, 0};
    const std::vector<CString> keys{
        CString(),                                          // empty
        CString(std::u16string(1 << 20, u'x')),             // a million units
        CString(std::u16string(1 << 20, u'x') + u"y"),      // differs only at the end
        CString(lone),                                      // not valid UTF-16
        CString(otherLone),
        CString(std::u16string(u"a\0b", 3)),                // embedded NUL
        CString(std::u16string(u"a\0c", 3)),
    };
    std::vector<std::unique_ptr<NamedSubscriber>> receivers;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        receivers.push_back(std::make_unique<NamedSubscriber>(std::to_string(i), log));
        map.Subscribe(keys[i], receivers.back().get());
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        log.Clear();
        map.Notify(keys[i], nullptr, nullptr);
        EXPECT_EQ(log.Names(), Names{std::to_string(i)}) << "key " << i;
    }
    log.Clear();
    map.NotifyPost(keys);
    test::PumpPending();
    EXPECT_EQ(log.Size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) map.Unsubscribe(keys[i], receivers[i].get());
    log.Clear();
    map.Notify(keys, nullptr, nullptr);
    EXPECT_EQ(log.Size(), 0U);
}

}  // namespace
