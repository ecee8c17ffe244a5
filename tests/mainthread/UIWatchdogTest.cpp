#include "mainthread/UIWatchdog.h"
#include "platform/TickCount.h"
#include "platform/WinThread.h"
#include "platform/Wnd.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// The tick count the watchdog sees, and how often it has looked at it: each
// probe start and each handled answer reads it exactly once, so a test waits
// for an answer by waiting for one more read.
std::atomic<std::uint32_t> g_now{1000};
std::atomic<int> g_reads{0};

std::uint32_t FakeTicks() {
    g_reads.fetch_add(1);
    return g_now.load();
}

// A period long enough that the periodic timer never fires during a test:
// the test makes every probe step itself with OnTimerCallback.
constexpr std::uint32_t kNoPeriodicProbe = 24U * 60U * 60U * 1000U;

class UIWatchdogProbeTest : public testing::Test {
protected:
    UIWatchdogProbeTest() {
        g_now = 1000;
        g_reads = 0;
        platform::SetTickCountSource(&FakeTicks);
    }
    ~UIWatchdogProbeTest() override { platform::SetTickCountSource(nullptr); }

    void SetUp() override { watchdog.Start(); }
    void TearDown() override { watchdog.Stop(); }

    // Lets the clock move on by `elapsedMs` and pumps the loop until the
    // watchdog's window has handled the answer to the outstanding probe.
    void Answer(std::uint32_t elapsedMs) {
        g_now += elapsedMs;
        const int before = g_reads.load();
        ASSERT_TRUE(test::PumpUntil([&] { return g_reads.load() > before; })) << "the probe was never answered";
    }

    // One probe step, answered after `elapsedMs` by the tick count. A window
    // timer is due 100 ms after its start, so lateness d is elapsed 100 + d.
    double Probe(std::uint32_t elapsedMs) {
        watchdog.OnTimerCallback();
        Answer(elapsedMs);
        return watchdog.GetViewUpdateRate();
    }
    double WindowTimerProbe(std::uint32_t latenessMs) { return Probe(100 + latenessMs); }

    UIWatchdog watchdog{kNoPeriodicProbe};
};

TEST_F(UIWatchdogProbeTest, OnTimeWindowTimerAnswersSettleAtTheFloor) {
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 125.0);
    EXPECT_EQ(WindowTimerProbe(0), 95.75);
    EXPECT_EQ(WindowTimerProbe(0), 73.8125);
    EXPECT_EQ(WindowTimerProbe(0), 57.359375);
    EXPECT_EQ(WindowTimerProbe(0), 50.0);  // 45.01953125 before the floor
    EXPECT_EQ(WindowTimerProbe(0), 50.0);
}

TEST_F(UIWatchdogProbeTest, PromptPostedMessageAnswersHaveNoFloor) {
    watchdog.SetKIVmode(true);
    EXPECT_EQ(Probe(0), 95.75);
    EXPECT_EQ(Probe(0), 73.8125);
    EXPECT_EQ(Probe(0), 57.359375);
    EXPECT_EQ(Probe(0), 45.01953125);
    EXPECT_EQ(Probe(0), 35.7646484375);
    // ...on towards 8 ms; and a long wait moves it past 2000 ms unbounded.
    EXPECT_EQ(Probe(4900), (9808.0 - 35.7646484375) * 0.25 + 35.7646484375);
    EXPECT_GT(watchdog.GetViewUpdateRate(), 2000.0);
}

TEST_F(UIWatchdogProbeTest, UnansweredSecondGrowsTheRateByATenthUpToTheCeiling) {
    for (int i = 0; i < 4; ++i) WindowTimerProbe(0);
    ASSERT_EQ(watchdog.GetViewUpdateRate(), 50.0);
    watchdog.OnTimerCallback();  // starts a window timer that the loop does not handle yet
    watchdog.OnTimerCallback();
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 55.0);
    watchdog.OnTimerCallback();
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 60.5);

    Answer(100);  // the pending timer still ends its probe, on time by now
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 50.0);  // (8 - 60.5) / 4 + 60.5 = 47.375, raised to the floor
    EXPECT_EQ(WindowTimerProbe(4900), 2000.0);      // from the floor as from 125.0 (see the mode switch)
    EXPECT_EQ(WindowTimerProbe(796), 1900.0);
    watchdog.OnTimerCallback();
    watchdog.OnTimerCallback();
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 2000.0);  // not 2090.0
}

TEST_F(UIWatchdogProbeTest, UnansweredPostedProbeIsNotRepeatedAndChangesNothing) {
    watchdog.SetKIVmode(true);
    watchdog.OnTimerCallback();
    watchdog.OnTimerCallback();
    watchdog.OnTimerCallback();
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 125.0);
    EXPECT_EQ(g_reads.load(), 1);  // one probe made, two periods skipped
    Answer(40);
    test::PumpPending();  // a second posted probe would be answered here
    EXPECT_EQ(g_reads.load(), 2);
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 115.75);  // (88 - 125) / 4 + 125
}

TEST_F(UIWatchdogProbeTest, ModeSwitchLetsThePendingWindowTimerEndUnderItsOwnRules) {
    watchdog.OnTimerCallback();  // window timer pending
    watchdog.SetKIVmode(true);
    Answer(100 + 4900);
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 2000.0);  // bounded: the window-timer rules held
    EXPECT_EQ(Probe(4900), 3952.0);                   // the next probe is posted, and unbounded
}

TEST_F(UIWatchdogProbeTest, WindowTimerAnsweredBeforeItsIntervalIsOnTime) {
    // The tick count and the timer's own clock need not agree to the
    // millisecond; an answer 40 ms after the start is lateness 0, not 2^32 ms.
    EXPECT_EQ(Probe(40), 95.75);
    EXPECT_EQ(Probe(99), 73.8125);
    EXPECT_EQ(Probe(100), 57.359375);
}

TEST_F(UIWatchdogProbeTest, StopAndStartForgetProbesWhoseAnswersWentWithTheWindow) {
    EXPECT_EQ(WindowTimerProbe(0), 95.75);

    watchdog.OnTimerCallback();  // window timer pending...
    watchdog.Stop();             // ...and dropped with the window
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 95.75);  // Stop keeps the rate
    watchdog.Start();
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 95.75);  // and so does Start
    watchdog.OnTimerCallback();                      // a new probe, not an unanswered second
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 95.75);
    Answer(100);
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 73.8125);

    watchdog.SetKIVmode(true);
    watchdog.OnTimerCallback();  // posted probe outstanding...
    watchdog.Start();            // ...and dropped with the replaced window
    EXPECT_EQ(Probe(0), 57.359375);
}

TEST_F(UIWatchdogProbeTest, ProbeThatCannotGoOutIsForgotten) {
    // Fill the loop's posted-message queue so that the probe's post fails.
    CWnd sink;
    ASSERT_TRUE(sink.CreateEx("sink"));
    while (sink.PostMessage(WM_APP + 1, 0, 0)) {
    }
    watchdog.SetKIVmode(true);
    watchdog.OnTimerCallback();
    test::PumpPending();
    EXPECT_EQ(Probe(0), 95.75);  // the next period posts a new probe

    // Without a window no window timer can start either: no probe is pending,
    // so the next period does not count as an unanswered one.
    UIWatchdog stopped{kNoPeriodicProbe};
    stopped.OnTimerCallback();
    stopped.OnTimerCallback();
    EXPECT_EQ(stopped.GetViewUpdateRate(), 125.0);
}

TEST_F(UIWatchdogProbeTest, AnswerWithNoProbeOutstandingMeasuresNothing) {
    // A probe posted at tick 0 is indistinguishable from none: the next period
    // posts again, and the older message's answer finds no probe outstanding.
    watchdog.SetKIVmode(true);
    g_now = 0;
    watchdog.OnTimerCallback();
    g_now = 1000;
    watchdog.OnTimerCallback();
    g_now = 1010;
    ASSERT_TRUE(test::PumpUntil([] { return g_reads.load() == 4; }));
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 100.75);  // one answer of 10 ms; not one of 1010 ms
}

TEST_F(UIWatchdogProbeTest, TickCountWrapDiscardsTheMeasurementAndEndsTheProbe) {
    g_now = 0xFFFFFFF0U;
    watchdog.OnTimerCallback();
    Answer(0x20 + 100);  // wraps to 0x70
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 125.0);
    watchdog.OnTimerCallback();  // a new probe: the old one has ended
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 125.0);
    Answer(100);
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 95.75);

    watchdog.SetKIVmode(true);
    g_now = 0xFFFFFFFFU;
    watchdog.OnTimerCallback();
    Answer(5);
    EXPECT_EQ(watchdog.GetViewUpdateRate(), 95.75);
    EXPECT_EQ(Probe(0), 73.8125);  // and probing goes on
}

// --- The periodic timer against a real loop -----------------------------------

// Blocks the first periodic callback inside its tick-count read until the test
// has begun to destroy the watchdog, then holds it a little longer, so that a
// destructor that did not wait would finish while the callback is still
// inside the watchdog.
struct CallbackRace {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;        // guarded by mutex
    bool destroying = false;     // guarded by mutex
    bool finished = false;       // guarded by mutex
    bool sawDestroyed = false;   // guarded by mutex
    std::atomic<bool> destroyed{false};
    std::atomic<bool> first{true};
};
CallbackRace* g_race = nullptr;

std::uint32_t RacingTicks() {
    CallbackRace& race = *g_race;
    if (platform::IsUserInterfaceThread() || !race.first.exchange(false)) return 1000;
    std::unique_lock lock(race.mutex);
    race.entered = true;
    race.cv.notify_all();
    race.cv.wait_for(lock, test::kGenerousTimeout, [&] { return race.destroying; });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the overlap, not a wait for anything
    lock.lock();
    race.sawDestroyed = race.destroyed.load();
    race.finished = true;
    race.cv.notify_all();
    return 1000;  // the watchdog now stores it and starts its window timer
}

TEST(UIWatchdogTest, DestructionWaitsForAPeriodicCallbackInProgress) {
    CallbackRace race;
    g_race = &race;
    platform::SetTickCountSource(&RacingTicks);
    auto watchdog = std::make_unique<UIWatchdog>(1);
    watchdog->Start();
    {
        std::unique_lock lock(race.mutex);
        ASSERT_TRUE(race.cv.wait_for(lock, test::kGenerousTimeout, [&] { return race.entered; }));
        race.destroying = true;
        race.cv.notify_all();
    }
    watchdog.reset();
    race.destroyed = true;
    {
        std::unique_lock lock(race.mutex);
        EXPECT_TRUE(race.finished);  // the destructor returned only after the callback
        ASSERT_TRUE(race.cv.wait_for(lock, test::kGenerousTimeout, [&] { return race.finished; }));
        EXPECT_FALSE(race.sawDestroyed);
    }
    platform::SetTickCountSource(nullptr);
    g_race = nullptr;
}

// A window whose every message keeps the user-interface thread busy for a
// second, as a long piece of work would.
class BusyWork : public CWnd {
protected:
    LRESULT WindowProc(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/) override {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return 0;
    }
};

class UIWatchdogLoopTest : public testing::TestWithParam<bool> {};

TEST_P(UIWatchdogLoopTest, BusyLoopRaisesTheRateAndAPromptLoopLowersItAgain) {
    UIWatchdog watchdog{200};
    watchdog.SetKIVmode(GetParam());
    watchdog.Start();
    BusyWork busy;
    ASSERT_TRUE(busy.CreateEx("busy"));
    ASSERT_TRUE(busy.PostMessage(WM_APP + 1, 0, 0));

    // Probes made during the busy second are answered only after it.
    ASSERT_TRUE(test::PumpUntil([&] { return watchdog.GetViewUpdateRate() > 300.0; }))
        << "rate stayed at " << watchdog.GetViewUpdateRate();
    // With nothing else to do, the loop answers at once and the rate falls.
    ASSERT_TRUE(test::PumpUntil([&] { return watchdog.GetViewUpdateRate() < 100.0; }))
        << "rate stayed at " << watchdog.GetViewUpdateRate();
    watchdog.Stop();
}

INSTANTIATE_TEST_SUITE_P(Probes, UIWatchdogLoopTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "PostedMessage" : "WindowTimer";
                         });

}  // namespace
