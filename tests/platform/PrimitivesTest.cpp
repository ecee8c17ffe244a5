#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/PeriodicTimer.h>
#include <BrimSubscriber/platform/Thread.h>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

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

// The holder may take it again, and it stays held until every take is released; no other thread gets it meanwhile.
// A thread that took and released it leaves nothing behind for a thread made after it (which may reuse its control
// block).
TEST(RecursiveLockTest, HeldUntilTheLastReleaseAndOnlyByItsHolder) {
    platform::RecursiveLock lock;
    const auto takenElsewhere = [&] {
        return std::async(std::launch::async, [&] {
            const bool taken = lock.try_lock();
            if (taken) lock.unlock();
            return taken;
        }).get();
    };
    lock.lock();
    ASSERT_TRUE(lock.try_lock());
    lock.lock();
    lock.unlock(), lock.unlock();
    EXPECT_FALSE(takenElsewhere()) << "released before the last of three takes was";
    lock.unlock();
    EXPECT_TRUE(takenElsewhere());

    std::thread([&] { lock.lock(), lock.unlock(); }).join();
    platform::Event held, checked;
    std::thread later([&] { lock.lock(), held.Set(), checked.Wait(), lock.unlock(); });
    ASSERT_TRUE(held.Wait(20000));
    EXPECT_FALSE(lock.try_lock()) << "taken by two threads at once";
    checked.Set(), later.join();
}

// Threads that find it held sleep until it is released, and one always gets it next: more threads than CPUs, each
// taking it nested, add to a plain counter. A lost wake-up leaves a thread asleep and fails the wait below.
TEST(RecursiveLockTest, ContendedTakesAllCompleteAndExcludeEachOther) {
    platform::RecursiveLock lock;
    constexpr int kThreads = 6;
    constexpr int kRounds = 20'000;
    long counter = 0;
    std::vector<std::thread> threads;
    std::promise<void> finished;
    std::atomic<int> running{kThreads};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                const platform::LockGuard outer(lock);
                const platform::LockGuard inner(lock);
                ++counter;
            }
            if (--running == 0) finished.set_value();
        });
    }
    ASSERT_EQ(finished.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "a thread still waits for the lock";
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
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
