#include "subscription/SubscriptionManager.h"

#include "mainthread/MainThreadDispatcher.h"
#include "platform/MessageLoop.h"
#include "subscription/Recorder.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <system_error>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

using test::CallLog;
using test::Names;
using test::NamedSubscriber;

const CString K(u"K");

TEST(SubscriptionManagerTest, InvalidTypesAreIgnoredEverywhere) {
    auto& hub = SubscriptionManager::Instance();
    CallLog log;
    NamedSubscriber s1("S1", log);
    for (const int type : {-1, 17, INT_MIN, INT_MAX}) {
        EXPECT_EQ(hub.GetSubscriptionMap(type), nullptr) << type;
        hub.Subscribe(type, K, &s1);
        hub.Notify(type, K, nullptr, nullptr);
        hub.NotifySend(type, K, nullptr, nullptr);
        hub.NotifyPost(type, K);
        hub.Unsubscribe(type, K, &s1);
    }
    test::PumpPending();
    EXPECT_EQ(log.Size(), 0U);
    // No valid map got an entry from the invalid calls either.
    for (int type = 0; type < SUBSCRIPTION_TYPE_COUNT; ++type) hub.Notify(type, K, nullptr, nullptr);
    EXPECT_EQ(log.Size(), 0U);
}

TEST(SubscriptionManagerTest, TypesAreSeparateRegistriesAtStableAddresses) {
    auto& hub = SubscriptionManager::Instance();
    std::set<SubscriptionMap*> maps;
    for (int type = 0; type < SUBSCRIPTION_TYPE_COUNT; ++type) {
        SubscriptionMap* map = hub.GetSubscriptionMap(type);
        ASSERT_NE(map, nullptr);
        EXPECT_EQ(map, hub.GetSubscriptionMap(type));
        maps.insert(map);
    }
    EXPECT_EQ(maps.size(), 17U);
    EXPECT_EQ(hub.GetSubscriptionMap(FILE_SUBSCRIPTION_TYPE), hub.GetSubscriptionMap(0));

    CallLog log;
    NamedSubscriber s1("S1", log);
    hub.Subscribe(3, K, &s1);
    hub.Notify(4, K, nullptr, nullptr);
    EXPECT_EQ(log.Size(), 0U);
    hub.Notify(3, K, nullptr, nullptr);
    hub.Subscribe(16, K, &s1);
    hub.Notify(16, K, nullptr, nullptr);
    EXPECT_EQ(log.Names(), (Names{"S1", "S1"}));
    hub.Unsubscribe(3, K, &s1);
    hub.Unsubscribe(16, K, &s1);
}

TEST(SubscriptionManagerTest, TwiceSubscribedIsCalledTwiceByNotifyOnceBySendAndPost) {
    auto& hub = SubscriptionManager::Instance();  // first call here: maps can send and post
    CallLog log;
    NamedSubscriber s1("S1", log);
    hub.Subscribe(5, K, &s1);
    hub.Subscribe(5, K, &s1);
    hub.Notify(5, K, nullptr, nullptr);
    EXPECT_EQ(log.Size(), 2U);
    log.Clear();
    std::thread sender([&] { hub.NotifySend(5, K, nullptr, nullptr); });
    ASSERT_TRUE(test::PumpUntil([&] { return log.Size() == 1; }));
    sender.join();
    std::thread([&] { hub.NotifyPost(5, K); }).join();
    ASSERT_TRUE(test::PumpUntil([&] { return log.Size() == 2; }));
    test::PumpPending();
    EXPECT_EQ(log.Size(), 2U);
    hub.Unsubscribe(5, K, &s1);
    hub.Unsubscribe(5, K, &s1);
}

TEST(SubscriptionManagerTest, SafeDataIdPtrInternsEqualIdsForTheManagersLife) {
    auto& hub = SubscriptionManager::Instance();
    const CDataId* first = nullptr;
    {
        const auto id = std::make_unique<CDataId>(12, 40512);
        first = hub.GetSafeDataIdPtr(*id);
    }  // the caller's id is gone; the interned one stays
    const CDataId again(12, 40512);
    EXPECT_EQ(hub.GetSafeDataIdPtr(again), first);
    EXPECT_EQ(*first, again);
    EXPECT_NE(hub.GetSafeDataIdPtr(CDataId(12, 40513)), first);
    EXPECT_NE(hub.GetSafeDataIdPtr(CDataId(13, 40512)), first);
}

TEST(SubscriptionManagerTest, SafeDataIdPtrFromManyThreadsGivesOnePointerPerId) {
    auto& hub = SubscriptionManager::Instance();
    constexpr int kThreads = 4;
    constexpr int kIds = 300;
    std::vector<std::vector<const CDataId*>> seen(kThreads, std::vector<const CDataId*>(kIds));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread walks the ids in its own order so that first
            // insertions race.
            for (int n = 0; n < kIds; ++n) {
                const int i = (t % 2 == 0) ? n : kIds - 1 - n;
                seen[t][i] = hub.GetSafeDataIdPtr(CDataId(7, static_cast<std::uint64_t>(i)));
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<const CDataId*> distinct;
    for (int i = 0; i < kIds; ++i) {
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]) << "id " << i;
        EXPECT_EQ(*seen[0][i], CDataId(7, static_cast<std::uint64_t>(i)));
        distinct.insert(seen[0][i]);
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kIds));
}

TEST(SubscriptionManagerThreadTest, ManagerFirstBuiltOnWorkerCannotSendOrPost) {
    SubscriptionManager* hub = nullptr;
    std::thread([&] { hub = &SubscriptionManager::Instance(); }).join();
    CallLog log;
    NamedSubscriber s1("S1", log);
    hub->Subscribe(1, K, &s1);
    for (int type = 0; type < SUBSCRIPTION_TYPE_COUNT; ++type) EXPECT_FALSE(hub->CanDeliverToUserInterfaceThread(type));
    // Debug builds stop at the first such call and name the type.
    EXPECT_DEBUG_DEATH(hub->NotifyPost(1, K), "NotifyPost on subscription type 1,");
    EXPECT_DEBUG_DEATH(hub->NotifySend(1, K, nullptr, nullptr), "NotifySend on subscription type 1,");
    test::PumpPending();
    EXPECT_EQ(log.Size(), 0U);
    hub->Notify(1, K, nullptr, nullptr);
    EXPECT_EQ(log.Size(), 1U);
    hub->Unsubscribe(1, K, &s1);
}

// Started with too few file descriptors: the hub's first use says so with
// the system's error, and works once descriptors are free again.
TEST(SubscriptionManagerThreadTest, DescriptorShortageAtFirstUseIsReportedAndRetried) {
    const auto scenario = [] {
        // The sanitizers need descriptors of their own the first time they
        // check a type; let them meet the map's and the dispatcher's first.
        std::thread([] {
            const SubscriptionMap map;
            const MainThreadDispatcher dispatcher;
        }).join();
        try {
            throw std::system_error(std::make_error_code(std::errc::too_many_files_open));
        } catch (const std::system_error& e) {
            if (e.code() != std::errc::too_many_files_open || e.what() == nullptr) std::_Exit(9);
        }
        const rlimit limit{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::_Exit(10);
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
        const auto expectShortage = [](const auto& attempt, int status) {
            try {
                attempt();
            } catch (const std::system_error& e) {
                if (e.code() == std::errc::too_many_files_open) return;
            }
            std::_Exit(status);
        };
        expectShortage([] { SubscriptionManager::Instance(); }, 11);
        expectShortage([] { platform::MessageLoop::Current(); }, 12);
        for (const int fd : taken) ::close(fd);

        auto& hub = SubscriptionManager::Instance();
        CallLog log;
        NamedSubscriber s1("S1", log);
        hub.Subscribe(3, K, &s1);
        hub.NotifyPost(3, K);
        if (!test::PumpUntil([&] { return log.Size() == 1; })) std::_Exit(13);
        hub.Unsubscribe(3, K, &s1);
        std::_Exit(0);
    };
    EXPECT_EXIT(scenario(), testing::ExitedWithCode(0), "");
}

}  // namespace
