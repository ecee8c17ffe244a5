// Order, deferral, leave-out and once-per-call are the reference model's to
// check (once-per-call past the sixteen receivers a delivery keeps on its
// stack: the allocation-failure suite's follow-up); the other tests show
// threads, the real loop, lifetime and failures.

#include "fuzz/SubscriptionMapHarness.h"
#include <BrimSubscriber/platform/Event.h>
#include "subscription/Recorder.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <thread>

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

// A map built on a worker before the user-interface thread exists (as the hub first reached by a plugin on its
// loader thread) sends and posts to that thread once it does; its posts still queued when it is destroyed (here on
// a worker) do nothing.
TEST_F(SubscriptionMapTest, MapBuiltOnWorkerSendsAndPostsToTheUserInterfaceThread) {
    platform::ClearUserInterfaceThread();
    std::thread([&] { map = std::make_unique<SubscriptionMap>(); }).join();
    EXPECT_FALSE(map->CanDeliverToUserInterfaceThread());
    platform::SetUserInterfaceThread();
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
