// Order, deferral, leave-out and once-per-call are the reference model's to
// check; the other tests show threads, the real loop, lifetime and failures.

#include "fuzz/SubscriptionMapHarness.h"
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/Wnd.h>
#include "subscription/Recorder.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <thread>

namespace {

const CString K(u"K"), L(u"L");

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

// Keys easy to get wrong (empty, a million units, lone surrogates, NUL units)
// each reach only their own receiver.
TEST_F(SubscriptionMapTest, PostFromWorkerRunsOnUiThreadInOrderWithNullPayload) {
    const std::u16string million(1 << 20, u'x');
    const std::vector<CString> keys{CString(), million, million + u"y", std::u16string_view(u"k\xD800", 2),
                                    std::u16string_view(u"k\xDC00", 2), std::u16string_view(u"a\0b", 3),
                                    std::u16string_view(u"a\0c", 3)};
    std::vector<std::unique_ptr<test::Recorder>> r;
    for (std::size_t i = 0; i < keys.size(); ++i) map->Subscribe(keys[i], r.emplace_back(std::make_unique<test::Recorder>('0' + i, log)).get());
    std::thread([&] {
        for (const CString& key : keys) map->NotifyPost({key});
        map->NotifyPost({keys.rbegin(), keys.rend()});
    }).join();
    EXPECT_EQ(log, "");
    test::PumpPending();
    EXPECT_EQ(log, "01234566543210");
    for (std::size_t i = 0; i < keys.size(); ++i) map->Unsubscribe(keys[i], r[i].get());
    map->NotifyPost(keys), test::PumpPending();
    EXPECT_EQ(log, "01234566543210");
}

// Run() has no time-out, so a lost wake-up would hang it: a guard ends the process instead.
TEST_F(SubscriptionMapTest, SendFromWorkerReturnsAfterEveryUpdateRanOnUiThread) {
    for (test::Recorder* r : {&a, &b, &a}) map->Subscribe(K, r);
    const NotificationInfo info;
    std::string seenOnReturn;
    platform::Event ran;
    std::thread guard([&] { ran.Wait(20000) ? void() : (std::fprintf(stderr, "the loop never woke for the send\n"), std::abort()); });
    auto& loop = platform::MessageLoop::Current();
    std::thread worker([&] {
        map->NotifySend({K}, &info, &b);
        seenOnReturn = log;
        loop.Quit();
    });
    loop.Run();
    ran.Set(), worker.join(), guard.join();
    EXPECT_TRUE(seenOnReturn == "A*" && log == "A*") << seenOnReturn << ", then " << log;
}

TEST_F(SubscriptionMapTest, TryNotifyPostIsRefusedAtTheQueueBoundAndEveryAcceptedOneArrives) {
    map->Subscribe(K, &a);
    test::PumpPending();
    ASSERT_EQ(platform::MessageLoop::Current().PendingCount(), 0U);
    std::size_t accepted = 0;
    std::thread([&] { while (accepted <= CWnd::kPostedQueueLimit && map->TryNotifyPost({K})) ++accepted; }).join();
    EXPECT_EQ(accepted, CWnd::kPostedQueueLimit);
    test::PumpPending();
    EXPECT_TRUE(log == std::string(accepted, 'A') && map->TryNotifyPost({K}));
    test::PumpPending();
}

// A delivery over several keys calls each receiver once, however many it reaches.
TEST_F(SubscriptionMapTest, DeliveryOverSeveralKeysCallsEachOfManyReceiversOnce) {
    std::vector<std::unique_ptr<test::Recorder>> r;
    std::string expected;
    for (char name = 'A'; name < 'A' + 40; ++name) {
        r.push_back(std::make_unique<test::Recorder>(name, log)), expected += name;
        for (const CString& key : {K, L}) map->Subscribe(key, r.back().get());
    }
    map->Notify({L, K}, nullptr, nullptr);
    EXPECT_EQ(log, expected);
    map.reset();
}

// A map built on a worker, before or after the user-interface thread exists, sends and posts to that thread; its
// posts still queued when it is destroyed (here on a worker) do nothing.
TEST_F(SubscriptionMapTest, MapBuiltOnWorkerSendsAndPostsToTheUserInterfaceThread) {
    std::thread([&] { map = std::make_unique<SubscriptionMap>(); }).join();
    EXPECT_TRUE(map->CanDeliverToUserInterfaceThread());
    map->Subscribe(K, &a);
    std::atomic<bool> sent{false};
    std::thread worker([&] { map->NotifyPost({K}), map->NotifySend({K}, nullptr, nullptr), sent = true, map->NotifyPost({K}); });
    ASSERT_TRUE(test::PumpUntil([&] { return sent.load(); }));
    worker.join(), test::PumpPending();
    EXPECT_EQ(log, "AAA");
    EXPECT_TRUE(map->TryNotifyPost({K}));
    std::thread([&] { map.reset(); }).join(), test::PumpPending();
    EXPECT_EQ(log, "AAA");
}

TEST_F(SubscriptionMapTest, MapDestroyedOnWorkerDropsItsQueuedDeliveries) {
    map->Subscribe(K, &a);
    ASSERT_TRUE(map->TryNotifyPost({K}));
    std::thread([&] { map.reset(); }).join(), test::PumpPending();
    EXPECT_EQ(log, "");
}

TEST_F(SubscriptionMapTest, ExceptionFromUpdateLeavesMapUsableErasesDeferredRemovalsAndUnlocks) {
    for (test::Recorder* r : {&a, &b, &c}) map->Subscribe(K, r);
    a.onUpdate = [&] { map->Unsubscribe(K, &c), throw std::runtime_error("receiver failed"); };
    EXPECT_THROW(map->Notify(K, nullptr, nullptr), std::runtime_error);
    a.onUpdate = nullptr;
    EXPECT_EQ(map->SubscriberCount(K), 2U) << "the deferred removal was not erased";
    map->Unsubscribe(K, &b);  // at once: not left delivering
    EXPECT_EQ(map->SubscriberCount(K), 1U);
    std::thread([&] { map->Notify(K, nullptr, nullptr); }).join();  // the lock was released
    EXPECT_EQ(log, "AA!");
}

}  // namespace
