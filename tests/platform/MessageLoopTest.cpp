#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/Wnd.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr UINT kMsg = WM_APP + 1;

// Records every message it handles, in order, from whichever thread.
class Recorder : public CWnd {
public:
    struct Seen {
        UINT message;
        WPARAM wParam;
    };
    std::vector<Seen> Snapshot() {
        const std::lock_guard lock(m_mutex);
        return m_seen;
    }
    std::size_t Count() {
        const std::lock_guard lock(m_mutex);
        return m_seen.size();
    }
    std::function<void(UINT, WPARAM)> onMessage;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        {
            const std::lock_guard lock(m_mutex);
            m_seen.push_back({message, wParam});
        }
        if (onMessage) onMessage(message, wParam);
        return static_cast<LRESULT>(wParam) + lParam;
    }

private:
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

TEST(MessageLoopTest, PostedMessagesRunInOrderOnTheOwningThread) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    std::thread::id handledOn;
    target.onMessage = [&](UINT, WPARAM) { handledOn = std::this_thread::get_id(); };
    std::thread worker([&] {
        for (WPARAM i = 0; i < 100; ++i) ASSERT_TRUE(target.PostMessage(kMsg, i, 0));
    });
    worker.join();
    ASSERT_TRUE(test::PumpUntil([&] { return target.Count() == 100; }));
    const auto seen = target.Snapshot();
    for (WPARAM i = 0; i < 100; ++i) EXPECT_EQ(seen[i].wParam, i);
    EXPECT_EQ(handledOn, std::this_thread::get_id());
}

// A modal loop in the handler of 1 handles what was posted behind 1, in order,
// and ends when it has seen 5; nothing is left for the outer loop.
TEST(MessageLoopTest, NestedLoopGoesOnWithTheMessagesPostedBehindItsOwn) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    bool modalEnded = false;
    target.onMessage = [&](UINT, WPARAM w) {
        if (w != 1) return;
        modalEnded = platform::MessageLoop::Current().RunUntil([&] { return target.Count() >= 5; },
                                                              std::chrono::seconds(5));
    };
    std::thread([&] {
        for (WPARAM i = 1; i <= 8; ++i) ASSERT_TRUE(target.PostMessage(kMsg, i, 0));
    }).join();
    ASSERT_TRUE(test::PumpUntil([&] { return target.Count() == 8; }));
    EXPECT_TRUE(modalEnded);
    std::vector<WPARAM> order;
    for (const auto& seen : target.Snapshot()) order.push_back(seen.wParam);
    EXPECT_EQ(order, (std::vector<WPARAM>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(MessageLoopTest, SendFromWorkerBlocksUntilHandledAndComesBeforePosted) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    ASSERT_TRUE(target.PostMessage(kMsg, 1, 0));  // waiting before the send arrives
    std::atomic<LRESULT> result{-1};
    std::thread worker([&] { result = target.SendMessage(kMsg, 2, 40); });
    // Handle nothing until the send is queued behind the post.
    auto& loop = platform::MessageLoop::Current();
    const auto deadline = std::chrono::steady_clock::now() + test::kGenerousTimeout;
    while (loop.PendingCount() < 2) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the send never arrived";
        std::this_thread::yield();
    }
    EXPECT_EQ(result.load(), -1);
    // The worker stays blocked until this thread handles the send.
    ASSERT_TRUE(test::PumpUntil([&] { return result.load() != -1; }));
    worker.join();
    EXPECT_EQ(result.load(), 42);
    const auto seen = target.Snapshot();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].wParam, 2U);  // the sent message overtook the posted one
    EXPECT_EQ(seen[1].wParam, 1U);
}

TEST(MessageLoopTest, SendOnOwningThreadCallsHandlerDirectly) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    EXPECT_EQ(target.SendMessage(kMsg, 5, 1), 6);
    EXPECT_EQ(target.Count(), 1U);
}

TEST(MessageLoopTest, DestroyingTargetReleasesWaitingSenderAndDropsPosts) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    ASSERT_TRUE(target.PostMessage(kMsg, 1, 0));
    platform::Event sending;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        sending.Set();
        EXPECT_EQ(target.SendMessage(kMsg, 7, 0), 0);
        returned = true;
    });
    ASSERT_TRUE(sending.Wait(20000));
    // The send is queued (or about to be): destroying the target must free it
    // either way, never leave the worker blocked.
    target.DestroyWindow();
    worker.join();
    EXPECT_TRUE(returned.load());
    test::PumpPending();
    EXPECT_EQ(target.Count(), 0U);  // neither the post nor the send was handled
    EXPECT_FALSE(target.PostMessage(kMsg, 2, 0));
    EXPECT_FALSE(target.IsWindow());
}

TEST(MessageLoopTest, SendToTargetOfEndedThreadReturnsInsteadOfBlocking) {
    Recorder target;
    std::thread owner([&] { ASSERT_TRUE(target.CreateEx("owned by a short thread")); });
    owner.join();  // the thread ends without destroying its target
    EXPECT_EQ(target.SendMessage(kMsg, 1, 0), 0);
    EXPECT_FALSE(target.PostMessage(kMsg, 1, 0));
}

TEST(MessageLoopTest, SenderBlockedWhenOwningThreadEndsIsReleased) {
    Recorder target;
    platform::Event created;
    platform::Event mayEnd;
    std::thread owner([&] {
        target.CreateEx("owner ends while a send waits");
        created.Set();
        mayEnd.Wait();
        // Ends without running its loop.
    });
    ASSERT_TRUE(created.Wait(20000));
    std::thread sender([&] { EXPECT_EQ(target.SendMessage(kMsg, 1, 0), 0); });
    mayEnd.Set();
    sender.join();
    owner.join();
    EXPECT_EQ(target.Count(), 0U);
}

TEST(MessageLoopTest, PostFailsWhenQueueIsFullAndRecoversWhenDrained) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    for (std::size_t i = 0; i < CWnd::kPostedQueueLimit; ++i) ASSERT_TRUE(target.PostMessage(kMsg, i, 0));
    EXPECT_FALSE(target.PostMessage(kMsg, 0, 0));
    test::PumpPending();
    EXPECT_EQ(target.Count(), CWnd::kPostedQueueLimit);
    EXPECT_TRUE(target.PostMessage(kMsg, 0, 0));
}

TEST(MessageLoopTest, HandlerThatRepostsDoesNotHoldRunPendingForever) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    target.onMessage = [&](UINT, WPARAM) { target.PostMessage(kMsg, 0, 0); };
    ASSERT_TRUE(target.PostMessage(kMsg, 0, 0));
    EXPECT_TRUE(platform::MessageLoop::Current().RunPending());
    EXPECT_EQ(target.Count(), 1U);
    target.onMessage = nullptr;
    test::PumpPending();
}

TEST(MessageLoopTest, TimerFiresAfterPostedMessagesAndStopsWhenKilled) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    constexpr UINT_PTR kTimer = 9;
    std::thread worker([&] { ASSERT_TRUE(target.SetTimer(kTimer, 20)); });  // any thread may set it
    worker.join();
    ASSERT_TRUE(test::PumpUntil([&] {
        const auto seen = target.Snapshot();
        return !seen.empty();
    }));
    // Once due, the timer message waits behind posted messages.
    ASSERT_TRUE(target.PostMessage(kMsg, 1, 0));
    ASSERT_TRUE(test::PumpUntil([&] { return target.Count() >= 3; }));
    auto seen = target.Snapshot();
    EXPECT_EQ(seen[0].message, WM_TIMER);
    EXPECT_EQ(seen[0].wParam, kTimer);
    EXPECT_EQ(seen[1].message, kMsg);
    EXPECT_EQ(seen[2].message, WM_TIMER);
    target.onMessage = [&](UINT message, WPARAM) {
        if (message == WM_TIMER) target.KillTimer(kTimer);
    };
    ASSERT_TRUE(test::PumpUntil([&] { return target.Count() >= 4; }));
    EXPECT_EQ(platform::MessageLoop::Current().TimeUntilNextTimerMs(), -1);
    EXPECT_FALSE(target.KillTimer(kTimer));
}

TEST(MessageLoopTest, QuitFromAnotherThreadEndsRun) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    auto& loop = platform::MessageLoop::Current();
    std::thread quitter;
    target.onMessage = [&](UINT, WPARAM) { quitter = std::thread([&loop] { loop.Quit(); }); };
    ASSERT_TRUE(target.PostMessage(kMsg, 1, 0));
    loop.Run();  // returns only through the Quit above
    quitter.join();
    EXPECT_EQ(target.Count(), 1U);
}

TEST(MessageLoopTest, WakeFdBecomesReadableForEmbeddingLoops) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    auto& loop = platform::MessageLoop::Current();
    test::PumpPending();
    EXPECT_GE(loop.WakeFd(), 0);
    EXPECT_EQ(loop.TimeUntilNextTimerMs(), -1);
    pollfd fd{loop.WakeFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&fd, 1, 0), 0);
    std::thread([&] { target.PostMessage(kMsg, 3, 0); }).join();
    EXPECT_EQ(::poll(&fd, 1, 0), 1);
    EXPECT_EQ(loop.TimeUntilNextTimerMs(), 0);  // work is waiting
    EXPECT_TRUE(loop.RunPending());
    EXPECT_EQ(target.Count(), 1U);
}

}  // namespace

namespace {

TEST(MessageLoopTest, MessagesBehindAThrowingHandlerOrAQuitStayQueuedInOrder) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    target.onMessage = [&](UINT, WPARAM w) {
        if (w == 2) throw std::runtime_error("handler failed");
        if (w == 4) platform::MessageLoop::Current().Quit();
    };
    for (WPARAM i = 1; i <= 6; ++i) ASSERT_TRUE(target.PostMessage(kMsg, i, 0));
    EXPECT_THROW(platform::MessageLoop::Current().RunPending(), std::runtime_error);
    platform::MessageLoop::Current().Run();  // handles 3 and 4, then quits
    EXPECT_EQ(platform::MessageLoop::Current().PendingCount(), 2U);
    test::PumpPending();
    std::vector<WPARAM> order;
    for (const auto& seen : target.Snapshot()) order.push_back(seen.wParam);
    EXPECT_EQ(order, (std::vector<WPARAM>{1, 2, 3, 4, 5, 6}));
}

TEST(MessageLoopTest, TargetDestroyedByAnEarlierHandlerGetsNoMoreMessages) {
    Recorder first;
    Recorder second;
    ASSERT_TRUE(first.CreateEx("first"));
    ASSERT_TRUE(second.CreateEx("second"));
    first.onMessage = [&](UINT, WPARAM) { second.DestroyWindow(); };
    ASSERT_TRUE(first.PostMessage(kMsg, 1, 0));
    ASSERT_TRUE(second.PostMessage(kMsg, 2, 0));
    test::PumpPending();
    EXPECT_EQ(first.Count(), 1U);
    EXPECT_EQ(second.Count(), 0U);
}

}  // namespace

namespace {

TEST(MessageLoopTest, SendWhileTheLoopHasQuitWaitsForTheLoopToRunAgain) {
    Recorder target;
    ASSERT_TRUE(target.CreateEx("target"));
    auto& loop = platform::MessageLoop::Current();
    loop.Quit();
    loop.Run();  // the loop has quit; the thread lives on
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] { result = target.SendMessage(kMsg, 5, 1); });
    const auto deadline = std::chrono::steady_clock::now() + test::kGenerousTimeout;
    while (loop.PendingCount() == 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the send never arrived";
        std::this_thread::yield();
    }
    EXPECT_EQ(result.load(), -1);  // held, not dropped, while nobody runs the loop
    ASSERT_TRUE(test::PumpUntil([&] { return result.load() != -1; }));
    sender.join();
    EXPECT_EQ(result.load(), 6);
}

}  // namespace
