#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <thread>


// A worker's async calls run later on the owning thread, in order, and leave the caller's function empty; its sync
// call returns after it ran there. Empty callables of every kind, async and sync, from a worker and on the owning
// thread, are accepted and run nothing; the calls behind them still run.
TEST(MainThreadDispatcherTest, CallsFromAWorkerRunOnTheOwningThreadAsyncInOrderSyncBeforeReturning) {
    MainThreadDispatcher dispatcher;
    std::string trace;  // written on the owning thread only
    const auto owner = std::this_thread::get_id();
    const auto record = [&](char c) { return [&, c] { trace += std::this_thread::get_id() == owner ? c : '!'; }; };
    void (*nullFunction)() = nullptr;
    std::thread([&] {
        for (std::function<void()> call : {record('a'), record('b'), record('c')}) {
            EXPECT_TRUE(dispatcher.DispatchAsync(std::move(call)));
            EXPECT_FALSE(call);  // NOLINT(bugprone-use-after-move)
        }
    }).join();
    EXPECT_EQ(dispatcher.QueuedCount(), 3U);
    EXPECT_TRUE(dispatcher.DispatchAsync(brim::MoveOnlyFunction<void()>()) && dispatcher.DispatchAsync(nullptr));
    EXPECT_TRUE(dispatcher.DispatchSync(std::function<void()>()) && dispatcher.DispatchSync(nullFunction));
    std::atomic<int> sync{0};  // 1: it ran on the owning thread; 2: before DispatchSync returned
    std::thread worker([&] {
        EXPECT_TRUE(dispatcher.DispatchAsync(std::function<void()>()) && dispatcher.DispatchAsync(nullFunction));
        EXPECT_TRUE(dispatcher.DispatchSync(std::function<void()>()) && dispatcher.DispatchSync(nullptr));
        dispatcher.DispatchSync([&] { sync = std::this_thread::get_id() == owner; }), sync = sync * 2;
    });
    ASSERT_TRUE(test::PumpUntil([&] { return sync == 2; })) << sync;
    worker.join();
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_TRUE(trace == "abc" && dispatcher.QueuedCount() == 0) << trace;
}

// Calls that can never run: discarded with their dispatcher, refused when the owning thread's queue is full or its
// thread has ended, sent to an ended thread. None runs, each is freed at once, and nothing of them stays queued.
TEST(MainThreadDispatcherTest, CallsThatCannotRunAreFreedAndLeaveNothingQueued) {
    std::unique_ptr<MainThreadDispatcher> orphan;
    std::thread([&] { orphan = std::make_unique<MainThreadDispatcher>(); }).join();
    using brim::DispatchStatus;
    const std::function<void(std::function<void()>)> cases[] = {
        [](auto call) { MainThreadDispatcher().DispatchAsync(std::move(call)); },
        [](auto call) {
            MainThreadDispatcher dispatcher;
            const auto full = test::FillQueue();
            EXPECT_EQ(dispatcher.TryDispatchAsync(std::move(call)), DispatchStatus::QueueFull);
            EXPECT_EQ(dispatcher.QueuedCount(), 0U);
        },
        [&](auto call) { EXPECT_EQ(orphan->TryDispatchAsync(std::move(call)), DispatchStatus::ThreadGone); },
        [&](auto call) { EXPECT_EQ(orphan->TryDispatchSync(std::move(call)), DispatchStatus::ThreadGone); },
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        auto token = std::make_shared<bool>(false);
        cases[i]([token] { *token = true; });
        EXPECT_TRUE(brim::testing::RunUntilIdle());
        EXPECT_TRUE(!*token && token.use_count() == 1) << "case " << i << " ran or kept its callable";
    }
    EXPECT_EQ(orphan->QueuedCount(), 0U);
}

// An exception from a callable passes out of the loop; the next call still runs. Instance() is one object, which
// reaches the user-interface thread whichever thread calls it.
TEST(MainThreadDispatcherTest, ExceptionLeavesItUsableAndInstanceIsOneObject) {
    MainThreadDispatcher& instance = MainThreadDispatcher::Instance();
    bool ran = false;
    instance.DispatchAsync([] { throw std::runtime_error("callable failed"); });
    std::thread([&] { EXPECT_TRUE(&MainThreadDispatcher::Instance() == &instance && instance.DispatchAsync([&] { ran = true; })); }).join();
    EXPECT_THROW(brim::testing::RunUntilIdle(), std::runtime_error);
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_TRUE(ran);
}

// Destroyed on a worker while the owning thread runs its queued calls (a legal call, in every build), it waits until
// the callable running there has returned. In the first round that callable waits up to 200 ms for the destructor to
// return, which one that does not wait does meanwhile. The worker queues more calls just before it destroys the
// dispatcher, so the owning thread starts taking them while the destructor runs.
TEST(MainThreadDispatcherTest, DestroyedOnAWorkerWaitsForTheCallableRunningThere) {
    for (int round = 0; round < 300; ++round) {
        auto dispatcher = std::make_unique<MainThreadDispatcher>();
        platform::Event running, queued, gone;
        std::atomic<bool> destroyed{false};
        bool destroyedWhileRunning = false;
        dispatcher->DispatchAsync([&] {
            running.Set(), queued.Wait();
            if (round == 0) gone.Wait(200);
            destroyedWhileRunning = destroyed;
        });
        std::thread worker([&] {
            running.Wait();
            for (int i = 0; i < 20; ++i) dispatcher->DispatchAsync([] {});
            queued.Set(), dispatcher.reset(), destroyed = true, gone.Set();
        });
        ASSERT_TRUE(test::PumpUntil([&] { return destroyed.load(); }));
        worker.join();
        ASSERT_TRUE(brim::testing::RunUntilIdle());
        ASSERT_FALSE(destroyedWhileRunning) << "round " << round;
    }
}

// A dispatcher that follows the user-interface thread: its calls go to the thread designated at the time of each
// dispatch; none are refused and counted while no thread is designated or the designated one has ended; a call queued
// for a thread that then ended is counted as discarded. The test thread is designated again at the end.
TEST(MainThreadDispatcherTest, FollowingDispatcherGoesWhereTheDesignationIs) {
    MainThreadDispatcher follower{MainThreadDispatcher::FollowUserInterfaceThread{}};
    std::string trace;  // written by whichever thread runs the calls, read after they joined
    platform::Event designated, queued;
    std::thread ui([&] {
        platform::SetUserInterfaceThread();
        designated.Set();
        queued.Wait();
        platform::MessageLoop::Current().Run();
    });
    designated.Wait();
    EXPECT_TRUE(follower.DispatchAsync([&] { trace += 'w', platform::MessageLoop::Current().Quit(); }));  // to it
    EXPECT_TRUE(follower.DispatchAsync([&] { trace += 'x'; }));  // not run: that thread ends first
    queued.Set();
    ui.join();
    EXPECT_FALSE(follower.CanDispatch());
    EXPECT_FALSE(follower.DispatchAsync([&] { trace += 'y'; }));  // its thread has ended
    platform::ClearUserInterfaceThread();  // none is designated
    EXPECT_EQ(follower.TryDispatchAsync([&] { trace += 'z'; }), brim::DispatchStatus::NoThread);
    EXPECT_EQ(follower.TryDispatchSync([&] { trace += 'z'; }), brim::DispatchStatus::NoThread);
    platform::SetUserInterfaceThread();
    EXPECT_TRUE(follower.DispatchAsync([&] { trace += 'h'; }));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(trace, "wh");
    EXPECT_EQ(follower.RefusedCount(), 2U);
    EXPECT_EQ(follower.DiscardedCount(), 1U);
}
