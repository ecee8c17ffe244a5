#pragma once

// UIWatchdog: measures how promptly the user-interface thread handles its
// messages and turns the measurement into a view update rate.
//
// Once per probe period (a second by default) a periodic timer probes the
// user-interface thread from the timer's own thread, in one of two ways:
// - window-timer probe (the default): start a 100 ms window timer on the
//   watchdog's hidden window and measure how late its WM_TIMER is handled;
// - posted-message probe (SetKIVmode(true)): post WM_CALLBACK to the hidden
//   window and measure how long it waits before it is handled.
// Each answer moves the rate a quarter of the way towards twice the measured
// delay plus 8 ms. The window-timer probe also raises the rate by a tenth for
// every period in which its probe is still unanswered, and keeps the rate
// between 50 ms and 2000 ms; the posted-message probe has no bounds.
//
//   UIWatchdog& watchdog = UIWatchdog::Instance();
//   watchdog.Start();                                  // on the UI thread
//   ...
//   viewTimer.SetInterval(watchdog.GetViewUpdateRate());   // any thread
//   ...
//   watchdog.Stop();                                   // on the UI thread
//
// The rate starts at 125.0 ms and keeps its value across Stop and Start. A
// window timer answered sooner than its 100 ms interval counts as on time. A
// lost probe does not end the probing: a probe whose post or window timer
// cannot be started is forgotten at once, Start and Stop forget any probe
// whose answer went with the old window, and a new one is made at the next
// period. An answer that arrives when no probe is outstanding, or after the
// 32-bit tick count has wrapped, measures nothing.
//
// Threading: Start and Stop on the thread that owns the window (the
// user-interface thread that called Start; debug builds report a call
// elsewhere through the diagnostics channel, kind WrongThread);
// destruction on any thread (at exit it runs wherever the process ends, and
// waits for a handler of the window running on its thread); GetViewUpdateRate and
// SetKIVmode on any thread; OnTimerCallback on any thread, one at a time (the
// periodic timer's own calls never overlap). No lock is taken; the shared
// fields are atomic and independent of one another, so a concurrent update
// from the other thread may overwrite one smoothing or growth step.
// Ownership/Lifetime: the watchdog owns its window and its periodic timer.
// Stop and the destructor wait for a periodic callback in progress, so no
// callback touches the watchdog after they return. Not copyable or movable.
// Re-entrancy: Stop and the destructor must not be called from inside the
// periodic callback (that is, from the timer's thread).

#include <BrimSubscriber/platform/TickCount.h>
#include <BrimSubscriber/mainthread/CallbackWindow.h>
#include <BrimSubscriber/Export.h>

#include <atomic>
#include <cstdint>

namespace brim {

class BRIMSUBSCRIBER_API UIWatchdog {
public:
    // The process-wide watchdog, constructed by the first call on any thread.
    static UIWatchdog& Instance();

    static constexpr std::uint32_t kDefaultProbePeriodMs = 1000;
    static constexpr double kInitialViewUpdateRate = 125.0;

    // Creates neither window nor timer.
    UIWatchdog();
    // Same, with another probe period (0 is treated as 1 ms) and the clock
    // that measures the answers (the system's tick count by default; the
    // clock must outlive the watchdog). Lets an application probe more or
    // less often than once a second, and a test drive time exactly.
    explicit UIWatchdog(std::uint32_t probePeriodMs, const platform::TickClock& clock = platform::SystemTickClock());
    UIWatchdog(const UIWatchdog&) = delete;
    UIWatchdog& operator=(const UIWatchdog&) = delete;
    // Does what Stop does; on the thread that called Start.
    ~UIWatchdog();

    // Starts probing the calling thread, which must run a message loop. On a
    // running watchdog it replaces the window and the periodic timer. If the
    // window or the periodic timer cannot be created, no probe is made and
    // the rate keeps its value.
    void Start();

    // Stops probing: kills the periodic timer (waiting for a callback in
    // progress), then the window timer and the window. Does nothing more on a
    // stopped watchdog.
    void Stop();

    // One probe step; the periodic timer calls it every probe period. Never
    // waits and allocates nothing. Public so that the timer's callback can
    // reach it; on a watchdog without window it changes nothing.
    void OnTimerCallback();

    // The smoothed interval, in milliseconds, at which views should update.
    [[nodiscard]] double GetViewUpdateRate() const;

    // true selects the posted-message probe from the next period on; a probe
    // of the other kind under way still completes through its own handler.
    void SetKIVmode(bool postedMessageProbe);

private:
    friend class CallbackWindow<UIWatchdog>;
    using CallbackWnd = CallbackWindow<UIWatchdog>;

    void OnCallback();  // answer to a posted-message probe
    void OnTimer();     // answer to a window-timer probe
    void OnCallbackMessage(WPARAM /*unused*/, LPARAM /*unused*/) { OnCallback(); }
    void OnTimerMessage(WPARAM /*timerId*/) { OnTimer(); }
    void StopProbing();

    CallbackWnd m_wnd;
    const std::uint32_t m_probePeriodMs;
    const platform::TickClock& m_clock;
    std::uint32_t m_timerId = 0;  // the periodic timer; written on the window's thread only
    // Shared between the timer's thread and the window's thread; relaxed,
    // since nothing relates the value of one field to that of another.
    std::atomic<std::uint32_t> m_postTick{0};        // 0: no posted-message probe outstanding
    std::atomic<std::uint32_t> m_timerStartTick{0};  // 0: no window-timer probe pending
    std::atomic<double> m_viewUpdateRate{kInitialViewUpdateRate};
    std::atomic<bool> m_KIVmode{false};
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::UIWatchdog;
#endif
