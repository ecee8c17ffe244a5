#include <BrimSubscriber/mainthread/UIWatchdog.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <atomic>


// The watchdog's time; each probe start and each handled answer reads it once.
struct ManualClock : platform::TickClock {
    std::uint32_t Now() const override { return ++reads, now.load(); }
    std::atomic<std::uint32_t> now{1000};
    mutable std::atomic<int> reads{0};
};

// One step of a script, and the rate after it. The clock moves on by `ms` first, except for B and T.
//   P  a probe period passes (OnTimerCallback);  A  the loop handles the answer to the outstanding probe
//   B  a period, then its answer `ms` later;     T  the clock is set to `ms`
//   K  the posted-message probe is selected;     W  the window-timer probe
//   F  a period while the loop's posted queue is full;  S  Stop and Start;  X  Stop
struct Step { char what; std::uint32_t ms; double rate; };
using Script = std::pair<const char*, std::vector<Step>>;

class UIWatchdogTest : public testing::TestWithParam<Script> {};

TEST_P(UIWatchdogTest, RateFollowsTheProbes) {
    ManualClock clock;
    UIWatchdog watchdog(24U * 3600U * 1000U, clock);  // no periodic probe: the test makes each step
    watchdog.Start();
    const auto answer = [&](int before) {
        ASSERT_TRUE(test::PumpUntil([&] { return clock.reads > before; })) << "the probe was never answered";
    };
    for (std::size_t i = 0; i < GetParam().second.size(); ++i) {
        const Step step = GetParam().second[i];
        if (step.what != 'B' && step.what != 'T') clock.now += step.ms;
        if (step.what == 'B') watchdog.OnTimerCallback(), clock.now += step.ms, answer(clock.reads);
        if (step.what == 'P') watchdog.OnTimerCallback();
        if (step.what == 'A') answer(clock.reads);
        if (step.what == 'T') clock.now = step.ms;
        if (step.what == 'K' || step.what == 'W') watchdog.SetKIVmode(step.what == 'K');
        if (step.what == 'S' || step.what == 'X') watchdog.Stop();
        if (step.what == 'S') watchdog.Start();
        if (step.what == 'F') {
            const auto full = test::FillQueue();
            watchdog.OnTimerCallback();
        }
        EXPECT_EQ(watchdog.GetViewUpdateRate(), step.rate) << "after step " << i << " '" << step.what << "'";
    }
}

// A window timer is due 100 ms after its start: an answer after 100 + d ms is d late.
INSTANTIATE_TEST_SUITE_P(Scripts, UIWatchdogTest, testing::Values(
    Script{"WindowTimerAnswersOnTimeSettleAtTheFloor",
           {{'B', 100, 95.75}, {'B', 100, 73.8125}, {'B', 100, 57.359375}, {'B', 100, 50.0}, {'B', 100, 50.0}}},
    Script{"PostedAnswersHaveNoBounds",
           {{'K', 0, 125}, {'B', 0, 95.75}, {'B', 0, 73.8125}, {'B', 0, 57.359375}, {'B', 0, 45.01953125},
            {'B', 4900, 2485.7646484375}}},
    Script{"UnansweredPeriodsGrowTheRateByATenthUpTo2000",
           {{'P', 0, 125}, {'P', 0, 137.5}, {'P', 0, 151.25}, {'A', 100, 115.4375},
            {'B', 5000, 2000}, {'P', 0, 2000}, {'P', 0, 2000}}},
    Script{"EarlyWindowTimerIsOnTime", {{'B', 40, 95.75}, {'B', 99, 73.8125}, {'B', 0, 57.359375}}},
    Script{"WindowTimerAnsweredAFewMillisecondsLate",
           {{'B', 103, 97.25}, {'B', 107, 78.4375}, {'B', 101, 61.328125}, {'B', 300, 147.99609375}}},
    Script{"WrappedTickCountMeasuresNothing",
           {{'T', 0xFFFFFFF0U, 125}, {'B', 0x20 + 100, 125}, {'B', 100, 95.75}, {'K', 0, 95.75},
            {'T', 0xFFFFFFFFU, 95.75}, {'B', 5, 95.75}, {'B', 0, 73.8125}}},
    Script{"PostedProbeIsNotRepeatedWhileOutstanding", {{'K', 0, 125}, {'P', 0, 125}, {'P', 500, 125}, {'A', 40, 365.75}}},
    Script{"PendingWindowTimerEndsUnderItsOwnRulesAfterAModeSwitch",
           {{'P', 0, 125}, {'K', 0, 125}, {'A', 5000, 2000}, {'B', 4900, 3952}}},
    Script{"StopKeepsTheRateAndForgetsLostProbes",
           {{'B', 100, 95.75}, {'P', 0, 95.75}, {'S', 0, 95.75}, {'P', 0, 95.75}, {'A', 100, 73.8125},
            {'K', 0, 73.8125}, {'P', 0, 73.8125}, {'S', 0, 73.8125}, {'B', 0, 57.359375}}},
    Script{"ProbeThatCannotGoOutIsForgotten",
           {{'K', 0, 125}, {'F', 0, 125}, {'B', 0, 95.75}, {'W', 0, 95.75}, {'X', 0, 95.75}, {'P', 0, 95.75},
            {'P', 0, 95.75}}}),
    [](const testing::TestParamInfo<Script>& info) { return info.param.first; });

