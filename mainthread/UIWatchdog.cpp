#include <BrimSubscriber/mainthread/UIWatchdog.h>

#include <BrimSubscriber/mainthread/WindowMessages.h>
#include <BrimSubscriber/platform/ThreadChecker.h>
#include <BrimSubscriber/platform/PeriodicTimer.h>

#include <system_error>
#include <utility>

namespace brim {

namespace {

constexpr UINT_PTR kProbeTimerId = 1;
constexpr std::uint32_t kProbeTimerMs = 100;
constexpr double kMinWindowTimerRate = 50.0;
constexpr double kMaxWindowTimerRate = 2000.0;
constexpr auto kRelaxed = std::memory_order_relaxed;

// A quarter of the way from `rate` towards twice the delay plus 8 ms, in this
// order of operations, so that the figures are reproducible to the last bit.
double Smoothed(double rate, double delayMs) { return ((delayMs + delayMs + 8.0) - rate) * 0.25 + rate; }

}  // namespace

UIWatchdog& UIWatchdog::Instance() {
    static UIWatchdog instance;
    return instance;
}

UIWatchdog::UIWatchdog() : UIWatchdog(kDefaultProbePeriodMs) {}

UIWatchdog::UIWatchdog(std::uint32_t probePeriodMs, const platform::TickClock& clock)
    : m_probePeriodMs(probePeriodMs == 0 ? 1 : probePeriodMs), m_clock(clock) {}

UIWatchdog::~UIWatchdog() { StopProbing(); }

void UIWatchdog::Start() {
    BRIM_DCHECK_THREAD(!m_wnd.IsWindow() || m_wnd.BelongsToCurrentThread(),
                       "UIWatchdog::Start called again on a thread other than the one that started it");
    StopProbing();
    m_wnd.m_pOwner = this;
    try {
        if (!m_wnd.CreateEx("UIWatchdog Callback Window")) return;
    } catch (const std::system_error&) {
        // No descriptor for the thread's message queue: like a periodic timer
        // that cannot start, no probe is made and the rate keeps its value.
        return;
    }
    m_timerId = platform::StartPeriodicTimer(m_probePeriodMs, [this] { OnTimerCallback(); });
}

void UIWatchdog::Stop() {
    BRIM_DCHECK_THREAD(!m_wnd.IsWindow() || m_wnd.BelongsToCurrentThread(),
                       "UIWatchdog::Stop called on a thread other than the one that started it");
    StopProbing();
}

void UIWatchdog::StopProbing() {
    // The periodic timer goes first and its kill waits for a callback in
    // progress: afterwards no callback can start a probe on the window, or
    // reach this object while it is being destroyed.
    platform::KillPeriodicTimer(std::exchange(m_timerId, 0));
    m_wnd.KillTimer(kProbeTimerId);
    m_wnd.DestroyWindow();
    // The answers of outstanding probes went with the window; forgetting the
    // probes lets the next period make new ones.
    m_postTick.store(0, kRelaxed);
    m_timerStartTick.store(0, kRelaxed);
}

void UIWatchdog::OnTimerCallback() {
    if (m_KIVmode.load(kRelaxed)) {
        if (m_postTick.load(kRelaxed) != 0) return;  // still unanswered: nothing changes
        m_postTick.store(m_clock.Now(), kRelaxed);
        // A probe that never went out gets no answer; forget it, or no
        // posted-message probe would ever be made again.
        if (!m_wnd.PostMessage(WM_CALLBACK, 0, 0)) m_postTick.store(0, kRelaxed);
        return;
    }
    if (m_timerStartTick.load(kRelaxed) == 0) {
        m_timerStartTick.store(m_clock.Now(), kRelaxed);
        if (!m_wnd.SetTimer(kProbeTimerId, kProbeTimerMs)) m_timerStartTick.store(0, kRelaxed);
        return;
    }
    // The window timer started in an earlier period has not been handled yet.
    double rate = m_viewUpdateRate.load(kRelaxed);
    rate = rate * 0.1 + rate;
    if (rate > kMaxWindowTimerRate) rate = kMaxWindowTimerRate;
    m_viewUpdateRate.store(rate, kRelaxed);
}

void UIWatchdog::OnCallback() {
    const std::uint32_t now = m_clock.Now();
    const std::uint32_t posted = m_postTick.exchange(0, kRelaxed);
    if (posted == 0 || now < posted) return;  // no probe outstanding, or the tick count wrapped
    const double delay = static_cast<double>(now - posted);
    m_viewUpdateRate.store(Smoothed(m_viewUpdateRate.load(kRelaxed), delay), kRelaxed);
}

void UIWatchdog::OnTimer() {
    m_wnd.KillTimer(kProbeTimerId);  // each window timer serves one probe
    const std::uint32_t now = m_clock.Now();
    const std::uint32_t started = m_timerStartTick.load(kRelaxed);
    if (started == 0) return;  // no probe pending: nothing to measure
    if (now < started) {       // the tick count wrapped
        m_timerStartTick.store(0, kRelaxed);
        return;
    }
    // A timer handled sooner than its interval (the tick count and the
    // timer's clock need not agree to the millisecond) is on time, not late.
    const std::uint32_t elapsed = now - started;
    const double lateness = elapsed > kProbeTimerMs ? static_cast<double>(elapsed - kProbeTimerMs) : 0.0;
    double rate = Smoothed(m_viewUpdateRate.load(kRelaxed), lateness);
    if (rate > kMaxWindowTimerRate) rate = kMaxWindowTimerRate;
    if (rate < kMinWindowTimerRate) rate = kMinWindowTimerRate;
    m_viewUpdateRate.store(rate, kRelaxed);
    m_timerStartTick.store(0, kRelaxed);
}

double UIWatchdog::GetViewUpdateRate() const { return m_viewUpdateRate.load(kRelaxed); }

void UIWatchdog::SetKIVmode(bool postedMessageProbe) { m_KIVmode.store(postedMessageProbe, kRelaxed); }

}  // namespace brim
