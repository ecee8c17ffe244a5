// Every allocation of the library's operations, made to fail in turn: the
// standard exception must come out, the object must keep its invariants and
// stay usable, and nothing may leak (the sanitizer builds check that).

#include "FailingAllocator.h"

#include "filewatch/FileWatcher.h"
#include "filewatch/NFData.h"
#include "mainthread/MainThreadDispatcher.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionMap.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// Counts its calls per instance.
struct Counter : Subscriber {
    int calls = 0;
    void Update(const NotificationInfo* /*info*/) override { ++calls; }
};

const CString kShort(u"K");
const CString kLong(u"A key long enough to live on the heap");

// The outcome of one operation run with its n-th allocation failing.
struct Injected {
    bool reached;  // the failing allocation happened
    bool threw;    // std::bad_alloc came out of the operation
};

template <class Op>
Injected Inject(long n, Op&& op) {
    test::FailAt fail(n);
    bool threw = false;
    try {
        op();
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    return {fail.Fired(), threw};
}

// Calls attempt(n) for n = 0, 1, ... until an attempt's operation no longer
// reaches the failing allocation; each attempt builds its own state, injects
// the failure into the operation only, and checks the state afterwards.
// Returns the number of allocations that were made to fail.
int ForEachAllocationFailure(const std::function<Injected(long n)>& attempt) {
    for (long n = 0; n < 100000; ++n) {
        const Injected result = attempt(n);
        if (!result.reached) {
            std::printf("%ld allocations made to fail in turn\n", n);
            return static_cast<int>(n);
        }
        EXPECT_TRUE(result.threw) << "allocation " << n << " failed, but no std::bad_alloc came out";
    }
    ADD_FAILURE() << "the operation never completed";
    return -1;
}

TEST(AllocationFailureTest, SubscribeIsAllOrNothing) {
    const int failures = ForEachAllocationFailure([](long n) -> Injected {
        SubscriptionMap map;
        Counter first;
        Counter second;
        map.Subscribe(kShort, &first);
        const Injected injected = Inject(n, [&] {
            map.Subscribe(kLong, &second);
            map.Subscribe(kShort, &second);
        });
        map.Notify(kLong, nullptr, nullptr);
        map.Notify(kShort, nullptr, nullptr);
        EXPECT_EQ(first.calls, 1);
        EXPECT_LE(second.calls, 2);
        if (!injected.threw) {
            EXPECT_EQ(second.calls, 2);
        }
        // Usable: entries come and go as usual.
        map.Unsubscribe(kShort, &second);
        map.Unsubscribe(kLong, &second);
        map.Subscribe(kLong, &second);
        map.Notify(std::vector<CString>{kLong, kShort}, nullptr, nullptr);
        EXPECT_EQ(first.calls, 2);
        map.Unsubscribe(kLong, &second);
        map.Unsubscribe(kShort, &first);
        return injected;
    });
    EXPECT_GT(failures, 0);
}

TEST(AllocationFailureTest, SeveralKeysNotifyFailingMidDeliveryLeavesTheMapUsable) {
    const int failures = ForEachAllocationFailure([](long n) -> Injected {
        SubscriptionMap map;
        std::vector<Counter> receivers(60);
        std::vector<CString> keys;
        {
                for (int k = 0; k < 40; ++k) keys.emplace_back("key " + std::to_string(k));
            for (std::size_t i = 0; i < receivers.size(); ++i) map.Subscribe(keys[i % keys.size()], &receivers[i]);
        }
        // A receiver that removes another during the delivery, so a failure
        // after it must still end the delivery state.
        const Injected injected = Inject(n, [&] { map.Notify(keys, nullptr, nullptr); });
        int total = 0;
        for (const Counter& r : receivers) {
            EXPECT_LE(r.calls, 1);
            total += r.calls;
        }
        if (!injected.threw) {
            EXPECT_EQ(total, 60);
        }
        // Not stuck delivering: a removal now is immediate, and the next
        // delivery reaches everyone else exactly once.
        map.Unsubscribe(keys[0], &receivers[0]);
        for (Counter& r : receivers) r.calls = 0;
        map.Notify(keys, nullptr, nullptr);
        EXPECT_EQ(receivers[0].calls, 0);
        EXPECT_EQ(receivers[1].calls, 1);
        for (std::size_t i = 1; i < receivers.size(); ++i) map.Unsubscribe(keys[i % keys.size()], &receivers[i]);
        return injected;
    });
    EXPECT_GT(failures, 0);
}

TEST(AllocationFailureTest, NotifySendAndPostEitherDeliverOnceOrNotAtAll) {
    const int failures = ForEachAllocationFailure([](long n) -> Injected {
        SubscriptionMap map;  // built on the user-interface thread: it can send and post
        Counter r;
        {
                map.Subscribe(kLong, &r);
        }
        const std::vector<CString> keys{kLong};
        const Injected injected = Inject(n, [&] {
            map.NotifySend(keys, nullptr, nullptr);
            map.NotifyPost(keys);
        });
        test::PumpPending();
        if (injected.threw) {
            EXPECT_LE(r.calls, 1);
        } else {
            EXPECT_EQ(r.calls, 2);
        }
        r.calls = 0;
        map.NotifySend(keys, nullptr, nullptr);
        map.NotifyPost(keys);
        test::PumpPending();
        EXPECT_EQ(r.calls, 2);
        map.Unsubscribe(kLong, &r);
        return injected;
    });
    EXPECT_GT(failures, 0);
}

TEST(AllocationFailureTest, DispatchAsyncThatThrowsQueuesNothing) {
    const int failures = ForEachAllocationFailure([](long n) -> Injected {
        MainThreadDispatcher dispatcher;
        auto captured = std::make_shared<std::string>(200, 'x');  // copied into the call: allocates
        int runs = 0;
        const Injected injected = Inject(n, [&] {
            dispatcher.DispatchAsync([&runs, captured, copy = *captured] { runs += copy.empty() ? 0 : 1; });
        });
        test::PumpPending();
        EXPECT_EQ(runs, injected.threw ? 0 : 1);
        dispatcher.DispatchAsync([&runs] { ++runs; });
        test::PumpPending();
        EXPECT_EQ(runs, injected.threw ? 1 : 2);
        return injected;
    });
    EXPECT_GT(failures, 0);
}

TEST(AllocationFailureTest, HandleSubscribeKeepsItsKeysEqualToItsEntries) {
    const int failures = ForEachAllocationFailure([](long n) -> Injected {
        SubscriptionMap map;
        Counter r;
        std::vector<CString> before;
        std::vector<CString> after;
        Subscription sub(&map);
        {
                before = {CString(u"before one"), CString(u"before two, long enough for the heap")};
            after = {CString(u"after one, long enough for the heap"), CString(u"after two"), kLong};
            sub.SetSubscriber(&r, false);
            sub.Subscribe(before);
        }
        const Injected injected = Inject(n, [&] { sub.Subscribe(after); });
        // Exactly the remembered keys are entered, once each.
        std::vector<CString> all = before;
        all.insert(all.end(), after.begin(), after.end());
        for (const CString& key : all) {
            r.calls = 0;
            map.Notify(key, nullptr, nullptr);
            const bool remembered = std::find(sub.GetKeys().begin(), sub.GetKeys().end(), key) != sub.GetKeys().end();
            EXPECT_EQ(r.calls, remembered ? 1 : 0) << key.ToUtf8();
        }
        if (!injected.threw) {
            EXPECT_EQ(sub.GetKeys(), after);
        }
        sub.Subscribe(after);
        EXPECT_EQ(sub.GetKeys(), after);
        return injected;
    });
    EXPECT_GT(failures, 0);
}

TEST(AllocationFailureTest, AddFileWatchRegistersCompletelyOrNotAtAll) {
    const int failures = ForEachAllocationFailure([](long n) -> Injected {
        FileWatcher watcher(24 * 60 * 60 * 1000);  // no pass runs on its own
        const CString present(u"/nonexistent/already watched.xyz");
        const CString added(u"/nonexistent/a file with a long enough name.xyz");
        {
                EXPECT_TRUE(watcher.AddFileWatch(present));
        }
        bool accepted = false;
        const Injected injected = Inject(n, [&] { accepted = watcher.AddFileWatch(added); });
        EXPECT_EQ(watcher.GetWatchCountForTesting(added), (injected.threw || !accepted) ? 0 : 1);
        EXPECT_EQ(watcher.GetRecordCountForTesting(), (injected.threw || !accepted) ? 1U : 2U);
        EXPECT_TRUE(watcher.IsPollingForTesting());
        EXPECT_TRUE(watcher.AddFileWatch(added));
        watcher.RemoveFileWatch(added);
        if (!injected.threw && accepted) watcher.RemoveFileWatch(added);
        watcher.RemoveFileWatch(present);
        EXPECT_EQ(watcher.GetRecordCountForTesting(), 0U);
        EXPECT_FALSE(watcher.IsPollingForTesting());
        return injected;
    });
    EXPECT_GT(failures, 0);
}

TEST(AllocationFailureTest, NFDataAddKeepsRecordsSortedAndUnique) {
    const int failures = ForEachAllocationFailure([](long n) -> Injected {
        NFData data;
        NFData::DataUpdate update;
        {
                for (const char* name : {"b.xyz", "d.xyz"}) {
                NFData::DataUpdate record;
                record.m_fileName = CString(name);
                record.m_ids = {CDataId(1, 1)};
                data.Add(record);
            }
            update.m_fileName = CString("c.xyz, a name long enough for the heap");
            update.m_ids = {CDataId(1, 2), CDataId(1, 3)};
        }
        const Injected injected = Inject(n, [&] {
            data.Add(update);
            NFData::DataUpdate more = update;
            more.m_fileName = CString("b.xyz");
            data.Add(more);
        });
        for (int i = 1; i < data.NumFileUpdates(); ++i) {
            EXPECT_LT(data.GetFileUpdate(i - 1).m_fileName, data.GetFileUpdate(i).m_fileName);
        }
        if (!injected.threw) {
            EXPECT_EQ(data.NumFileUpdates(), 3);
        }
        data.Add(update);
        EXPECT_NE(data.GetFileUpdate(update.m_fileName), nullptr);
        return injected;
    });
    EXPECT_GT(failures, 0);
}

}  // namespace
