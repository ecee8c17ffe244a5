#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/Wnd.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <numeric>
#include <thread>


using platform::MessageLoop;
constexpr UINT kMsg = WM_APP + 1;

// Records the wParam of each message it handles (WM_TIMER as minus the timer's id) and returns wParam + lParam.
struct Recorder : CWnd {
    explicit Recorder(bool create = true) { if (create) CreateEx("recorder"); }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        seen.push_back(message == WM_TIMER ? -static_cast<int>(wParam) : static_cast<int>(wParam));
        if (onMessage) onMessage(seen.back());
        return static_cast<LRESULT>(wParam) + lParam;
    }
    std::vector<int> seen;  // written by handlers only
    std::function<void(int)> onMessage;
};

std::vector<int> Count(int from, int to) { std::vector<int> v(to - from + 1); return std::iota(v.begin(), v.end(), from), v; }

// Spins, handling nothing, until done(); false after the generous time-out.
bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + test::kGenerousTimeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return done();
}

// Run() until Quit(); a window timer ends, as a failure, a Run() that never returns.
void RunGuarded() {
    Recorder guard;
    guard.onMessage = [](int) { ADD_FAILURE() << "Run() did not return"; MessageLoop::Current().Quit(); };
    guard.SetTimer(1, static_cast<UINT>(test::kGenerousTimeout.count()));
    MessageLoop::Current().Run();
}

// Each case has a window of the test thread and that thread's loop.
struct MessageLoopTest : testing::Test {
    Recorder target;
    MessageLoop& loop = MessageLoop::Current();
};

// A target destroyed by an earlier handler of the batch gets nothing more.
TEST_F(MessageLoopTest, PostedMessagesRunInOrderUpToTheQueueBound) {
    Recorder destroyedFirst;
    target.onMessage = [&](int) { destroyedFirst.DestroyWindow(); };
    ASSERT_TRUE(destroyedFirst.PostMessage(kMsg, -1, 0));
    std::thread([&] {
        for (std::size_t i = 0; i < CWnd::kPostedQueueLimit - 2; ++i) target.PostMessage(kMsg, i, 0);
        EXPECT_TRUE(destroyedFirst.PostMessage(kMsg, -2, 0) && !target.PostMessage(kMsg, -3, 0));
    }).join();
    EXPECT_EQ(loop.PendingCount(), CWnd::kPostedQueueLimit);  // as before the refused post
    ASSERT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(target.seen, Count(0, CWnd::kPostedQueueLimit - 3));
    EXPECT_EQ(destroyedFirst.seen, std::vector<int>{-1});
    EXPECT_TRUE(target.PostMessage(kMsg, 7, 0));  // room again
    std::size_t accepted = 0;  // what is left of the batch being run counts toward the bound
    target.onMessage = [&](int w) { w == 7 ? std::thread([&] { while (target.PostMessage(kMsg, 0, 0)) ++accepted; }).join() : void(); };
    ASSERT_TRUE(target.PostMessage(kMsg, 8, 0));
    ASSERT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(accepted, CWnd::kPostedQueueLimit - 1);
}

// Each post or send of a worker wakes a Run() that sleeps, or is going to sleep, waiting for work: the worker waits
// for each before the next, thousands of times. A Quit ends Run() after its message; a Quit with no Run() waits for
// the next. An exception passes out of the pass. Either way the rest stays queued, in order, and still wakes a loop
// that drives ours.
TEST_F(MessageLoopTest, RunWakesForEachPostAndQuitOrExceptionLeavesTheRestQueuedInOrder) {
    constexpr int kTurns = 20000;
    std::atomic<int> handled{0};
    target.onMessage = [&](int w) {
        handled = w;
        if (w == kTurns || w == kTurns + 4) loop.Quit();
        if (w == kTurns + 2) throw std::runtime_error("handler failed");
    };
    std::thread worker([&] {
        for (int i = 1; i <= kTurns; ++i) {
            // Posted the moment the last one was handled, while the loop heads back to sleep.
            ASSERT_TRUE(i % 2 == 1 ? target.PostMessage(kMsg, i, 0) && WaitFor([&] { return handled == i; })
                                   : target.SendMessage(kMsg, i, 0) == i);
        }
        for (int i = kTurns + 1; i <= kTurns + 4; ++i) target.PostMessage(kMsg, i, 0);
    });
    RunGuarded();
    worker.join();
    EXPECT_EQ(loop.PendingCount(), 4U);
    EXPECT_THROW(loop.RunPending(), std::runtime_error);
    pollfd fd{loop.WakeFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&fd, 1, 0), 1);
    loop.Quit();
    RunGuarded();
    EXPECT_EQ(loop.PendingCount(), 2U);
    RunGuarded();
    EXPECT_EQ(target.seen, Count(1, kTurns + 4));
}

// A modal loop in the handler of 1 goes on with what was posted behind 1, in order. The outer pass stops where a
// nested one (here a failed one, in the handler of 9) left off: what was posted during it waits for the next pass.
TEST_F(MessageLoopTest, NestedLoopGoesOnWithTheMessagesPostedBehindItsOwn) {
    target.onMessage = [&](int w) {
        if (w == 1 && !loop.RunUntil([&] { return target.seen.size() >= 5; }, test::kGenerousTimeout)) ADD_FAILURE();
        if (w == 10) throw std::runtime_error("nested handler failed");
        if (w != 9) return;
        target.PostMessage(kMsg, 10, 0), target.PostMessage(kMsg, 11, 0);
        EXPECT_THROW(loop.RunPending(), std::runtime_error);
    };
    std::thread([&] { for (int i = 1; i <= 9; ++i) target.PostMessage(kMsg, i, 0); }).join();
    EXPECT_TRUE(loop.RunPending());
    EXPECT_EQ(target.seen, Count(1, 10));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(target.seen, Count(1, 11));
}

// A worker's send cuts in before the rest of the posted batch and blocks until handled; on the owning thread a send
// is a direct call.
TEST_F(MessageLoopTest, SendFromWorkerBlocksUntilHandledAndCutsInBeforePosted) {
    std::atomic<LRESULT> result{-1};
    std::thread sender;
    target.onMessage = [&](int w) {
        if (w != 1) return;
        sender = std::thread([&] { result = target.SendMessage(kMsg, 7, 35); });
        ASSERT_TRUE(WaitFor([&] { return loop.PendingCount() == 2; })) << "the send never arrived";
        EXPECT_EQ(result.load(), -1);
    };
    ASSERT_TRUE(target.PostMessage(kMsg, 1, 0) && target.PostMessage(kMsg, 2, 0));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    sender.join();
    EXPECT_EQ(result.load(), 42);
    target.onMessage = nullptr;
    EXPECT_EQ(target.SendMessage(kMsg, 5, 1), 6);
    EXPECT_EQ(target.seen, (std::vector<int>{1, 7, 2, 5}));
}

// A send whose target is destroyed, or whose owning thread ends, before or while it waits: it returns unhandled, and
// nothing of the target stays queued.
TEST_F(MessageLoopTest, UnhandledSendReturnsAndLeavesNothingQueued) {
    for (const int c : {0, 1, 2, 3}) {
        const bool threadEnds = c & 1, whileWaiting = c & 2;
        SCOPED_TRACE(testing::Message() << "thread ends " << threadEnds << ", while waiting " << whileWaiting);
        Recorder remote(false);
        platform::Event created;
        std::atomic<std::size_t> leftAfterDestroy{0};
        std::thread owner([&] {
            ASSERT_TRUE(remote.CreateEx("owner") && remote.PostMessage(kMsg, 1, 0));
            created.Set();
            EXPECT_TRUE(!whileWaiting || WaitFor([] { return MessageLoop::Current().PendingCount() == 2; }));
            if (!threadEnds) remote.DestroyWindow(), leftAfterDestroy = MessageLoop::Current().PendingCount();
        });
        ASSERT_TRUE(created.Wait(20000));
        if (!whileWaiting) owner.join();
        EXPECT_FALSE(remote.TrySendMessage(kMsg, 2, 0).has_value());
        if (whileWaiting) owner.join();
        EXPECT_TRUE(remote.seen.empty() && !remote.PostMessage(kMsg, 3, 0));
        EXPECT_EQ(leftAfterDestroy.load(), 0U);
    }
}

struct ManualTimerClock : brim::platform::TimerClock {
    std::chrono::steady_clock::time_point Now() const override { return now; }
    std::chrono::steady_clock::time_point now{};
};

// What a loop that drives ours uses: the wake descriptor, the next timer's deadline, RunPending. Under the loop's own
// clock, set by the test: due timers fire after the posted messages, earliest deadline first, each again an interval
// after the pass that ran it; a restart, from any thread, moves a deadline; a timer killed by an earlier handler of the
// same pass, or whose target went, does not fire; a thousand timers not yet due change nothing.
TEST_F(MessageLoopTest, WakeFdAndWindowTimersByDeadlineDriveAnEmbeddingLoop) {
    ManualTimerClock clock;
    ASSERT_TRUE(brim::testing::RunUntilIdle());
    pollfd fd{loop.WakeFd(), POLLIN, 0};
    EXPECT_TRUE(::poll(&fd, 1, 0) == 0 && loop.TimeUntilNextTimerMs() == -1);
    loop.SetTimerClock(&clock);
    Recorder b;
    std::vector<int> order;
    const auto at = [&](int ms) {
        clock.now = std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms));
        EXPECT_TRUE(brim::testing::RunUntilIdle());
        return std::exchange(order, {});
    };
    at(0);
    target.onMessage = b.onMessage = [&](int w) { order.push_back(w); };
    target.SetTimer(1, 30), target.SetTimer(2, 10), b.SetTimer(3, 25);
    for (UINT i = 0; i < 1000; ++i) b.SetTimer(100 + i, 1000 + i);
    EXPECT_EQ(loop.TimeUntilNextTimerMs(), 10);
    EXPECT_EQ(at(9), std::vector<int>{});
    EXPECT_EQ(at(10), std::vector<int>{-2});
    std::thread([&] { target.PostMessage(kMsg, 5, 0); }).join();
    EXPECT_TRUE(::poll(&fd, 1, 0) == 1 && loop.TimeUntilNextTimerMs() == 0);  // work is waiting
    EXPECT_EQ(at(31), (std::vector<int>{5, -2, -3, -1}));  // due at 20, 25, 30
    std::thread([&] { target.SetTimer(1, 600000), target.SetTimer(1, 100); }).join();  // now due at 131
    target.onMessage = [&](int w) { order.push_back(w), b.KillTimer(3); };
    EXPECT_EQ(at(60), std::vector<int>{-2});  // 2 due at 41 kills 3, due at 56
    b.DestroyWindow();
    EXPECT_EQ(loop.TimeUntilNextTimerMs(), 10);  // 2, due at 70
    EXPECT_EQ(at(200), (std::vector<int>{-2, -1}));
    // A modal loop in a timer's handler runs the timers due by then; the outer pass goes on with its own.
    target.SetTimer(1, 9), target.SetTimer(2, 10);                         // due at 209 and 210
    for (UINT i = 3; i <= 6; ++i) target.SetTimer(i, 12 + i);            // due at 215 to 218
    target.onMessage = [&](int w) {
        order.push_back(w);
        if (order.size() != 1) return;
        clock.now += std::chrono::milliseconds(8);
        EXPECT_TRUE(loop.RunPending());
    };
    EXPECT_EQ(at(210), (std::vector<int>{-1, -3, -4, -5, -6, -2}));
    for (UINT i = 1; i <= 6; ++i) EXPECT_TRUE(target.KillTimer(i));
    EXPECT_TRUE(!target.KillTimer(2));
    EXPECT_EQ(loop.TimeUntilNextTimerMs(), -1);
    loop.SetTimerClock(nullptr);
}
