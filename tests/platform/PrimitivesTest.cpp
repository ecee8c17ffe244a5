#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/PeriodicTimer.h>
#include <BrimSubscriber/platform/Thread.h>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

TEST(EventTest, AutoResetsAndTellsASignalFromATimeout) {
    platform::Event event;
    EXPECT_FALSE(event.Wait(0));
    event.Set(), event.Set();  // two Sets before a Wait count as one
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(10));
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.Wait(20000));
    setter.join();
}

TEST(ThreadTest, LowPriorityRaisesTheNiceValueAndJoinFromTheThreadItselfReturns) {
    for (const auto priority : {platform::ThreadPriority::Normal, platform::ThreadPriority::Low}) {
        platform::Thread thread;
        platform::Event started;
        std::atomic<int> nice{-100};
        ASSERT_TRUE(thread.Start([&] { started.Wait(), nice = ::getpriority(PRIO_PROCESS, ::gettid()), thread.Join(); }, priority));
        EXPECT_FALSE(thread.Start([] {}));  // already runs one
        started.Set(), thread.Join();  // and the thread's own Join above returned
        EXPECT_FALSE(thread.IsStarted());
        EXPECT_EQ(nice.load() > ::getpriority(PRIO_PROCESS, 0), priority == platform::ThreadPriority::Low);
    }
}

// The third callback holds on for up to 200 ms: a kill that does not wait for it returns while it still runs, which
// the test sees after the kill has returned.
TEST(PeriodicTimerTest, RunsEveryPeriodAndKillWaitsForTheRunningCallback) {
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
    platform::Event third, neverSet;
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t id = platform::StartPeriodicTimer(20, [&] {
        if (++calls != 3) return;
        third.Set(), neverSet.Wait(200), finished = true;
    });
    ASSERT_TRUE(id != 0 && third.Wait(20000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    platform::KillPeriodicTimer(id);
    EXPECT_TRUE(finished.load()) << "KillPeriodicTimer returned while its callback ran";
    EXPECT_EQ(calls.load(), 3);
    platform::KillPeriodicTimer(id), platform::KillPeriodicTimer(0);  // unknown ids are ignored
}

TEST(PeriodicTimerTest, KillFromInsideItsOwnCallbackEndsIt) {
    std::atomic<std::uint32_t> id{0};
    std::atomic<int> calls{0};
    platform::Event started, killedItself;
    id = platform::StartPeriodicTimer(1, [&] { started.Wait(), ++calls, platform::KillPeriodicTimer(id), killedItself.Set(); });
    started.Set();  // id is stored before the kill
    ASSERT_TRUE(killedItself.Wait(20000));
    EXPECT_EQ(calls.load(), 1);
}

#if BRIM_DCHECK_IS_ON
// Ranked locks taken in the stated order pass, and a released lock no longer counts; a lock taken while one of a
// higher rank is held stops a debug build before it can deadlock.
TEST(LockRankDeathTest, ALockTakenAgainstTheOrderStopsADebugBuild) {
    using brim::platform::LockRank;
    using Guard = platform::LockGuard<platform::CriticalSection>;
    platform::CriticalSection dispatcher(LockRank::DispatcherQueue), handle(LockRank::WindowHandle),
        queue(LockRank::ThreadQueue);
    { const Guard a(dispatcher), b(handle), c(queue); }
    { const Guard c(queue); }
    { const Guard a(dispatcher); }
    EXPECT_DEATH(
        {
            const Guard c(queue);
            platform::UniqueLock a(dispatcher);
        },
        "lock order: a dispatcher queue lock taken while a thread queue lock is held");
}
#endif
