#include "subscription/Subscription.h"

#include "subscription/Recorder.h"
#include "subscription/SubscriptionManager.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using test::CallLog;
using test::Names;
using test::NamedSubscriber;

const CString K1(u"K1");
const CString K2(u"K2");

class SubscriptionTest : public testing::Test {
protected:
    SubscriptionMap map;
    CallLog log;
    NamedSubscriber r{"R", log};
    NamedSubscriber s{"S", log};

    Names Deliver(const std::vector<CString>& keys) {
        log.Clear();
        map.Notify(keys, nullptr, nullptr);
        return log.Names();
    }
    Names DeliverEach(const CString& key) {
        log.Clear();
        map.Notify(key, nullptr, nullptr);
        return log.Names();
    }
};

TEST_F(SubscriptionTest, SubscribeReplacesTheSetOfKeys) {
    Subscription sub(&map);
    sub.SetSubscriber(&r, false);
    sub.Subscribe(K1);
    sub.Subscribe(K2);
    EXPECT_EQ(DeliverEach(K1), Names{});
    EXPECT_EQ(DeliverEach(K2), Names{"R"});

    sub.Subscribe({K1, K2});
    sub.Subscribe({K1, K2});  // same keys, same order: nothing changes
    EXPECT_EQ(DeliverEach(K1), Names{"R"});
    EXPECT_EQ(DeliverEach(K2), Names{"R"});

    sub.Subscribe(std::vector<CString>{});
    EXPECT_FALSE(sub.IsSubscribed());
    EXPECT_EQ(Deliver({K1, K2}), Names{});
}

TEST_F(SubscriptionTest, ReorderedKeysAreReenteredBehindOtherSubscribers) {
    Subscription sub(&map);
    sub.SetSubscriber(&r, false);
    sub.Subscribe({K1, K2});
    map.Subscribe(K1, &s);
    EXPECT_EQ(DeliverEach(K1), (Names{"R", "S"}));
    sub.Subscribe({K1, K2});  // same order: R keeps its place
    EXPECT_EQ(DeliverEach(K1), (Names{"R", "S"}));
    sub.Subscribe({K2, K1});
    EXPECT_EQ(DeliverEach(K1), (Names{"S", "R"}));
    EXPECT_EQ(sub.GetKeys(), (std::vector<CString>{K2, K1}));
    EXPECT_TRUE(sub.IsSubscribed({K2, K1}));
    EXPECT_FALSE(sub.IsSubscribed({K1, K2}));
    map.Unsubscribe(K1, &s);
}

TEST_F(SubscriptionTest, InvalidTypeRemembersKeysUntilAValidTypeIsSet) {
    Subscription sub(17);
    sub.SetSubscriber(&r, false);
    sub.Subscribe(K1);
    EXPECT_EQ(sub.GetMap(), nullptr);
    EXPECT_TRUE(sub.IsSubscribed());
    auto& hub = SubscriptionManager::Instance();
    for (int type = 0; type < SUBSCRIPTION_TYPE_COUNT; ++type) hub.Notify(type, K1, nullptr, nullptr);
    EXPECT_EQ(log.Size(), 0U);

    sub.SetType(2);
    EXPECT_EQ(sub.GetMap(), hub.GetSubscriptionMap(2));
    hub.Notify(2, K1, nullptr, nullptr);
    EXPECT_EQ(log.Names(), Names{"R"});

    sub.SetType(-1);  // back to no map: the entry leaves map 2, the key stays
    log.Clear();
    hub.Notify(2, K1, nullptr, nullptr);
    EXPECT_EQ(log.Size(), 0U);
    EXPECT_EQ(sub.GetKeys(), std::vector<CString>{K1});
}

TEST_F(SubscriptionTest, SetMapMovesEntriesInTheirOrder) {
    SubscriptionMap other;
    Subscription sub(&map);
    sub.SetSubscriber(&r, false);
    sub.Subscribe({K2, K1, K2});
    sub.SetMap(&map);  // same map: nothing moves
    EXPECT_EQ(DeliverEach(K2), (Names{"R", "R"}));
    sub.SetMap(&other);
    EXPECT_EQ(Deliver({K1, K2}), Names{});
    log.Clear();
    other.Notify(K2, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"R", "R"}));
    EXPECT_EQ(sub.GetKeys(), (std::vector<CString>{K2, K1, K2}));
    sub.Unsubscribe();
}

TEST_F(SubscriptionTest, DestroyingAnOwningHandleRemovesEntriesBeforeDeletingTheReceiver) {
    // The receiver checks, while being destroyed, that the map no longer
    // reaches it: a delivery to it then would be a call on a dying object.
    struct Probe : Subscriber {
        SubscriptionMap* map = nullptr;
        bool* reachableAtDeletion = nullptr;
        bool delivered = false;
        void Update(const NotificationInfo*) override { delivered = true; }
        ~Probe() override {
            delivered = false;
            map->Notify(K1, nullptr, nullptr);
            *reachableAtDeletion = delivered;
        }
    };
    bool reachable = true;
    auto* probe = new Probe;
    probe->map = &map;
    probe->reachableAtDeletion = &reachable;
    {
        Subscription sub(&map);
        sub.SetSubscriber(probe, true);
        sub.Subscribe(K1);
    }
    EXPECT_FALSE(reachable);

    {
        Subscription notOwning(&map);
        notOwning.SetSubscriber(&r, false);
        notOwning.Subscribe(K1);
    }
    r.Update(nullptr);  // still alive
}

TEST_F(SubscriptionTest, MovedHandlesTransferEntriesAndOwnership) {
    Subscription source(&map);
    source.SetSubscriber(&r, false);
    source.Subscribe({K1, K2});
    Subscription target(std::move(source));
    EXPECT_FALSE(source.IsSubscribed());  // NOLINT(bugprone-use-after-move): moved-from state is specified
    EXPECT_EQ(source.GetSubscriber(), nullptr);
    { Subscription drop(std::move(source)); }  // destroying an empty handle removes nothing
    EXPECT_EQ(DeliverEach(K1), Names{"R"});

    Subscription assigned(&map);
    assigned.SetSubscriber(&s, false);
    assigned.Subscribe(K2);
    assigned = std::move(target);  // S's entry goes, R's are taken over
    EXPECT_EQ(Deliver({K1, K2}), Names{"R"});
    assigned = Subscription();
    EXPECT_EQ(Deliver({K1, K2}), Names{});
}

TEST_F(SubscriptionTest, NotifyModesChooseWhoIsCalled) {
    Subscription sub(&map);
    sub.SetSubscriber(&r, false);
    sub.Subscribe({K1, K2});
    map.Subscribe(K2, &s);
    map.Subscribe(K1, &r);  // another entry for R, made elsewhere
    const NotificationInfo info;

    log.Clear();
    sub.Notify(notify_others, &info);
    EXPECT_EQ(log.Names(), Names{"S"});
    EXPECT_EQ(log.Calls()[0].info, &info);

    log.Clear();
    sub.Notify(notify_all, &info);
    EXPECT_EQ(log.Names(), (Names{"R", "S"}));

    log.Clear();
    sub.Notify(notify_self_only, &info);
    sub.Notify(static_cast<self_notify_t>(3), &info);
    EXPECT_EQ(log.Names(), Names{"R"});

    Subscription detached;
    detached.SetSubscriber(&s, false);
    log.Clear();
    detached.Notify(notify_self_only, nullptr);  // no map, no keys
    detached.Notify(notify_all, nullptr);
    EXPECT_EQ(log.Names(), Names{"S"});
    map.Unsubscribe(K2, &s);
    map.Unsubscribe(K1, &r);
}

TEST_F(SubscriptionTest, HandleUsedFromInsideDeliveryDefersItsRemovals) {
    Subscription sub(&map);
    sub.SetSubscriber(&r, false);
    sub.Subscribe({K1});
    map.Subscribe(K1, &s);
    r.onUpdate = [&](const NotificationInfo*) { sub.Subscribe(K2); };  // leaves K1 mid-delivery
    EXPECT_EQ(DeliverEach(K1), (Names{"R", "S"}));
    r.onUpdate = nullptr;
    EXPECT_EQ(DeliverEach(K1), Names{"S"});
    EXPECT_EQ(DeliverEach(K2), Names{"R"});
    map.Unsubscribe(K1, &s);
}

}  // namespace
