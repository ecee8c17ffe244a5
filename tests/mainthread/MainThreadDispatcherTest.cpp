#include "mainthread/MainThreadDispatcher.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/Wnd.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Collects a trace of events from any thread.
class Trace {
public:
    void Add(std::string event) {
        const std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::vector<std::string> Get() {
        const std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::size_t Size() {
        const std::lock_guard lock(m_mutex);
        return m_events.size();
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

using Events = std::vector<std::string>;

TEST(MainThreadDispatcherTest, AsyncCallsFromWorkerRunLaterOnOwningThreadInOrder) {
    MainThreadDispatcher dispatcher;
    Trace trace;
    const auto owner = std::this_thread::get_id();
    std::thread worker([&] {
        for (const char* name : {"a", "b", "c"}) {
            std::function<void()> call = [&trace, owner, name] {
                trace.Add(std::this_thread::get_id() == owner ? name : "wrong thread");
            };
            EXPECT_TRUE(dispatcher.DispatchAsync(std::move(call)));
            EXPECT_FALSE(call);  // NOLINT(bugprone-use-after-move): dispatch leaves the caller's function empty
        }
    });
    worker.join();
    EXPECT_EQ(trace.Size(), 0U);  // nothing runs before the loop does
    ASSERT_TRUE(test::PumpUntil([&] { return trace.Size() == 3; }));
    test::PumpPending();
    EXPECT_EQ(trace.Get(), (Events{"a", "b", "c"}));
}

TEST(MainThreadDispatcherTest, SyncOnOwningThreadRunsAtOnceAheadOfQueuedAsyncCalls) {
    MainThreadDispatcher dispatcher;
    Trace trace;
    dispatcher.DispatchAsync([&] { trace.Add("async 1"); });
    dispatcher.DispatchAsync([&] { trace.Add("async 2"); });
    EXPECT_TRUE(dispatcher.DispatchSync([&] { trace.Add("sync"); }));
    EXPECT_EQ(trace.Get(), (Events{"sync"}));
    test::PumpPending();
    EXPECT_EQ(trace.Get(), (Events{"sync", "async 1", "async 2"}));
}

TEST(MainThreadDispatcherTest, SyncFromWorkerReturnsAfterCallRanOnOwningThread) {
    MainThreadDispatcher dispatcher;
    const auto owner = std::this_thread::get_id();
    std::atomic<bool> returned{false};
    bool ranOnOwner = false;
    std::thread worker([&] {
        dispatcher.DispatchSync([&] { ranOnOwner = std::this_thread::get_id() == owner; });
        // The callable's write is visible here: it ran before the send returned.
        EXPECT_TRUE(ranOnOwner);
        returned = true;
    });
    ASSERT_TRUE(test::PumpUntil([&] { return returned.load(); }));
    worker.join();
}

TEST(MainThreadDispatcherTest, CallablesMayDispatchAgainNestedOrQueued) {
    MainThreadDispatcher dispatcher;
    Trace trace;
    dispatcher.DispatchAsync([&] {
        trace.Add("outer begins");
        dispatcher.DispatchAsync([&] { trace.Add("queued from inside"); });
        dispatcher.DispatchSync([&] { trace.Add("nested sync"); });
        trace.Add("outer ends");
    });
    ASSERT_TRUE(test::PumpUntil([&] { return trace.Size() == 4; }));
    EXPECT_EQ(trace.Get(), (Events{"outer begins", "nested sync", "outer ends", "queued from inside"}));
}

TEST(MainThreadDispatcherTest, DestroyedDispatcherDiscardsQueuedCallsUnrunAndFreesCaptures) {
    auto captured = std::make_shared<int>(7);
    std::weak_ptr<int> watch = captured;
    bool ran = false;
    {
        MainThreadDispatcher dispatcher;
        dispatcher.DispatchAsync([&ran, captured] { ran = true; });
        dispatcher.DispatchAsync([&ran, captured] { ran = true; });
        captured.reset();
        EXPECT_FALSE(watch.expired());
    }
    EXPECT_TRUE(watch.expired());
    test::PumpPending();  // the posted doorbells are gone with the window
    EXPECT_FALSE(ran);
}

TEST(MainThreadDispatcherTest, FailedPostReturnsFalseAndDestroysTheCallable) {
    MainThreadDispatcher dispatcher;
    // Fill this thread's posted queue so the doorbell cannot be rung.
    class Filler : public CWnd {} filler;
    ASSERT_TRUE(filler.CreateEx("filler"));
    std::size_t queued = 1;  // the dispatch below is not counted
    while (filler.PostMessage(WM_APP + 7, 0, 0)) ++queued;
    ASSERT_GE(queued, CWnd::kPostedQueueLimit - 1);

    auto captured = std::make_shared<int>(1);
    std::weak_ptr<int> watch = captured;
    bool ran = false;
    EXPECT_FALSE(dispatcher.DispatchAsync([&ran, captured] { ran = true; }));
    captured.reset();
    EXPECT_TRUE(watch.expired());  // destroyed at once, not kept in the queue
    test::PumpPending();
    // With room again, dispatch works and the failed callable never runs.
    EXPECT_TRUE(dispatcher.DispatchAsync([] {}));
    test::PumpPending();
    EXPECT_FALSE(ran);
}

TEST(MainThreadDispatcherTest, EmptyCallableAndSyncFromAnotherOwnerAreHarmless) {
    MainThreadDispatcher dispatcher;
    EXPECT_TRUE(dispatcher.DispatchAsync(std::function<void()>()));
    EXPECT_TRUE(dispatcher.DispatchSync(std::function<void()>()));
    test::PumpPending();

    // A dispatcher whose owning thread has ended: a sync dispatch returns
    // instead of waiting for a thread that will never answer.
    // Nothing that can never run stays queued: memory stays flat however
    // often it is tried.
    std::unique_ptr<MainThreadDispatcher> orphan;
    std::thread([&] { orphan = std::make_unique<MainThreadDispatcher>(); }).join();
    bool ran = false;
    auto captured = std::make_shared<int>(1);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(orphan->DispatchSync([&ran, captured] { ran = true; }));
        EXPECT_FALSE(orphan->DispatchAsync([&ran, captured] { ran = true; }));
    }
    EXPECT_EQ(captured.use_count(), 1);
    EXPECT_EQ(orphan->QueuedCount(), 0U);
    EXPECT_FALSE(ran);
    orphan.reset();
}

// A worker destroying the dispatcher while one of its callables runs on the
// owning thread waits for that callable to return.
TEST(MainThreadDispatcherTest, DestroyedOffItsThreadWaitsForTheCallableRunningThere) {
    auto dispatcher = std::make_unique<MainThreadDispatcher>();
    platform::Event started;
    std::atomic<bool> destroyed{false};
    bool destroyedWhileRunning = true;
    dispatcher->DispatchAsync([&] {
        started.Set();
        // Long enough for the worker to reach the destructor on any sane machine.
        for (int i = 0; i < 20 && !destroyed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        destroyedWhileRunning = destroyed;
    });
    std::thread worker([&] {
        started.Wait();
        dispatcher.reset();
        destroyed = true;
    });
    ASSERT_TRUE(test::PumpUntil([&] { return destroyed.load(); }));
    worker.join();
    EXPECT_FALSE(destroyedWhileRunning);
}

TEST(MainThreadDispatcherTest, ExceptionFromCallableLeavesDispatcherUsable) {
    MainThreadDispatcher dispatcher;
    dispatcher.DispatchAsync([] { throw std::runtime_error("callable failed"); });
    EXPECT_THROW(test::PumpPending(), std::runtime_error);
    bool ran = false;
    dispatcher.DispatchAsync([&] { ran = true; });
    test::PumpPending();
    EXPECT_TRUE(ran);
}

TEST(MainThreadDispatcherTest, InstanceIsOneObjectOwnedByFirstCaller) {
    MainThreadDispatcher& first = MainThreadDispatcher::Instance();
    MainThreadDispatcher* seenOnWorker = nullptr;
    std::thread([&] { seenOnWorker = &MainThreadDispatcher::Instance(); }).join();
    EXPECT_EQ(&first, seenOnWorker);
    bool ran = false;
    std::thread([&] { MainThreadDispatcher::Instance().DispatchAsync([&] { ran = true; }); }).join();
    ASSERT_TRUE(test::PumpUntil([&] { return ran; }));
}

}  // namespace
