#pragma once

// Scenarios that every toolkit adapter passes in the toolkit's own loop on the test thread. A toolkit side derives
// from Toolkit<Self, Adapter> and gives RunLoop() (a loop, nested or not, until Quit() ends the innermost),
// Every(ms, f) (calls f every ms until it returns false) and hands critical messages to Add(kCritical).

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>
#include <BrimSubscriber/testing/NotificationSpy.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace scenarios {

inline constexpr UINT kMsg = WM_APP + 1;
inline constexpr int kCritical = -1000;

template <class Self, class Adapter>
struct Toolkit {
    Toolkit() { platform::ClearUserInterfaceThread(); }  // attaching the adapter must designate it
    void Attach() { m_adapter.reset(), m_adapter = std::make_unique<Adapter>(); }
    void Detach() { m_adapter.reset(); }
    Adapter& Attached() { return *m_adapter; }
    // Runs a toolkit loop until Quit(); false when the generous time-out ended it instead.
    bool Run() {
        auto state = std::make_shared<int>(0);  // 1: timed out, 2: returned
        self().Every(static_cast<int>(test::kGenerousTimeout.count()), [this, state] {
            if (*state == 0) *state = 1, self().Quit();
            return false;
        });
        self().RunLoop();
        return std::exchange(*state, 2) == 0;
    }
    // Values in arrival order (the quitAt-th ends Run()); `misplaced` counts those that arrived off the toolkit thread.
    void Add(int value) {
        const std::lock_guard lock(m_mutex);
        m_values.push_back(value);
        misplaced += std::this_thread::get_id() != m_thread || !platform::IsUserInterfaceThread();
        if (m_values.size() == quitAt) self().Quit();
    }
    std::vector<int> Values() {
        const std::lock_guard lock(m_mutex);
        return m_values;
    }
    std::atomic<int> misplaced{0};
    std::size_t quitAt = 0;
    Self& self() { return static_cast<Self&>(*this); }
    const std::thread::id m_thread = std::this_thread::get_id();
    std::unique_ptr<Adapter> m_adapter;  // on the heap: a use after Detach() is caught
    std::mutex m_mutex;
    std::vector<int> m_values;  // guarded by m_mutex
};

struct Target : CWnd {
    explicit Target(std::function<void(UINT, WPARAM, LPARAM)> handler) : handler(std::move(handler)) { CreateEx("target"); }
    LRESULT WindowProc(UINT message, WPARAM w, LPARAM l) override { return handler(message, w, l), 0; }
    std::function<void(UINT, WPARAM, LPARAM)> handler;
};

// A thread that is always joined: one blocked in a send to a toolkit loop that no longer runs is freed by running
// ours, as a failure.
struct Worker {
    explicit Worker(std::function<void()> body) : thread([this, body = std::move(body)] { body(), done = true; }) {}
    ~Worker() {
        EXPECT_TRUE(test::PumpUntil([this] { return done.load(); })) << "a worker never finished";
        thread.join();
    }
    std::atomic<bool> done{false};
    std::thread thread;  // last: starts once the rest exists
};

// Every service delivers through the toolkit's loop at once: a worker's NotifyPost series and dispatcher calls (these
// in order), its NotifySend, a window timer the worker sets, and a window timer set far off on the toolkit thread,
// outside our handlers, then re-set to soon.
template <class Tk>
void EveryServiceDeliversThroughTheToolkitLoop() {
    Tk tk;
    SubscriptionMap map;
    brim::testing::NotificationSpy spy(&map, {u"posted", u"sent"});
    spy.onDelivery = [&](const brim::testing::Delivery& delivery) { tk.Add(delivery.key == u"posted" ? 1 : 2); };
    MainThreadDispatcher dispatcher;
    Target probe([&](UINT, WPARAM, LPARAM) { probe.KillTimer(2), tk.Add(3); });
    Target timer([&](UINT, WPARAM, LPARAM) { timer.KillTimer(1), tk.Add(4); });
    tk.Every(0, [&] { return timer.SetTimer(1, 600000), false; });
    tk.Every(30, [&] { return timer.SetTimer(1, 20), false; });
    Worker worker([&] {
        for (int i = 0; i < 50; ++i) map.NotifyPost({u"posted"}), dispatcher.DispatchAsync([&tk, i] { tk.Add(100 + i); });
        const NotificationInfo info;
        map.NotifySend({u"sent"}, &info, nullptr);
        EXPECT_EQ(std::ranges::count(tk.Values(), 2), 1) << "NotifySend returned before its delivery";
        probe.SetTimer(2, 1);
    });
    tk.quitAt = 103;  // nothing else wakes the toolkit loop meanwhile
    ASSERT_TRUE(tk.Run()) << tk.Values().size() << " deliveries";
    std::vector<int> values = tk.Values(), expected;
    std::stable_sort(values.begin(), values.end(), [](int a, int b) { return (a < 100 ? a : 0) < (b < 100 ? b : 0); });
    for (int i = 0; i < 50; ++i) expected.push_back(100 + i);  // the dispatched calls, in order
    expected.resize(100, 1);
    expected.insert(expected.end(), {2, 3, 4});
    EXPECT_EQ(values, expected);
    EXPECT_EQ(tk.misplaced, 0);
}

// A modal toolkit loop in the handler of 1 handles what was posted behind 1, then a worker's send and post; 9, posted
// after the modal, comes last. An exception leaving a handler, posted or sent, std:: or not, is logged as a critical
// at once, releases the sender, and the messages behind it still run.
template <class Tk>
void NestedToolkitLoopAndFailingHandlersKeepTheOrder() {
    Tk tk;
    std::atomic<bool> threeHandled{false};
    std::optional<Worker> worker;
    Target target([&](UINT, WPARAM w, LPARAM) {
        tk.Add(static_cast<int>(w));
        if (w == 1) {
            worker.emplace([&] { threeHandled.wait(false), target.SendMessage(kMsg, 4, 0), target.PostMessage(kMsg, 5, 0); });
            EXPECT_TRUE(tk.Run()) << "the nested loop did not handle our messages";
            tk.Add(100), target.PostMessage(kMsg, 9, 0);
        }
        if (w == 3) threeHandled = true, threeHandled.notify_one();
        if (w == 5 || w == 9) tk.Quit();
        if (w == 2) throw std::runtime_error("posted handler failed");
        if (w == 4) throw std::logic_error("sent handler failed");
        if (w == 5) throw 5;
    });
    for (WPARAM w : {1, 2, 3}) target.PostMessage(kMsg, w, 0);
    ASSERT_TRUE(tk.Run());
    worker.reset();
    EXPECT_EQ(tk.Values(), (std::vector<int>{1, 2, kCritical, 3, 4, kCritical, 5, kCritical, 100, 9}));
    EXPECT_EQ(tk.misplaced, 0);
}

// A handler destroys the adapter and asks to quit: the wake in progress stops after it, the destroyed adapter's quit
// handler never runs, and nothing of ours (posted or timer) runs until a new adapter handles it all, in order. A quit
// request while no Run() of ours is in progress goes to the quit handler.
template <class Tk>
void AdapterDestroyedByItsOwnHandlerLeavesTheRestToTheNext() {
    Tk tk;
    bool attached = true;
    tk.Attached().SetQuitHandler([] { ADD_FAILURE() << "the destroyed adapter's quit handler ran"; });
    Target target([&](UINT message, WPARAM w, LPARAM) {
        EXPECT_TRUE(attached) << "a handler ran without an adapter";
        tk.Add(message == WM_TIMER ? -1 : static_cast<int>(w));
        if (message == WM_TIMER) target.KillTimer(1);
        if (tk.Values().size() == 4) platform::MessageLoop::Current().Quit();
        if (message == kMsg && w == 1) tk.Detach(), attached = false, platform::MessageLoop::Current().Quit();
    });
    ASSERT_TRUE(target.PostMessage(kMsg, 1, 0) && target.PostMessage(kMsg, 2, 0));
    tk.Every(50, [&] {
        EXPECT_TRUE(target.PostMessage(kMsg, 3, 0) && target.SetTimer(1, 10));
        tk.Every(150, [&] { return tk.Quit(), false; });  // well past the timer's due time
        return false;
    });
    ASSERT_TRUE(tk.Run());
    EXPECT_EQ(tk.Values(), std::vector<int>{1});
    tk.Attach();
    attached = true;
    tk.Attached().SetQuitHandler([&] { tk.Quit(); });
    ASSERT_TRUE(tk.Run()) << "the new adapter did not handle what was left, or its quit handler was not called";
    std::vector<int> values = tk.Values();
    EXPECT_EQ(std::erase(values, -1), 1U);
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3}));
}

}  // namespace scenarios

#define BRIM_TOOLKIT_SCENARIO(suite, Toolkit, name) \
    TEST(suite, name) { scenarios::name<Toolkit>(); }
#define BRIM_TOOLKIT_SCENARIO_TESTS(suite, Toolkit)                                          \
    BRIM_TOOLKIT_SCENARIO(suite, Toolkit, EveryServiceDeliversThroughTheToolkitLoop)         \
    BRIM_TOOLKIT_SCENARIO(suite, Toolkit, NestedToolkitLoopAndFailingHandlersKeepTheOrder)   \
    BRIM_TOOLKIT_SCENARIO(suite, Toolkit, AdapterDestroyedByItsOwnHandlerLeavesTheRestToTheNext)
