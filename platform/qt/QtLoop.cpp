#include "platform/qt/QtLoop.h"

#include "platform/WinThread.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>

#include <utility>

namespace platform {

QtLoop::QtLoop(Role role)
    : m_loop(MessageLoop::Current()),
      m_notifier(std::make_unique<QSocketNotifier>(static_cast<qintptr>(m_loop.WakeFd()), QSocketNotifier::Read)),
      m_timer(std::make_unique<QTimer>()) {
    // Window timers are measured by the watchdog; a coarse timer could fire
    // up to 5% of the interval late.
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setSingleShot(true);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { Wake(); });
    QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this] { Wake(); });
    if (role == Role::UserInterfaceThread) SetUserInterfaceThread();
    ArmTimer();
}

QtLoop::~QtLoop() = default;

void QtLoop::SetQuitHandler(std::function<void()> handler) { m_quitHandler = std::move(handler); }

void QtLoop::Wake() {
    m_loop.RunPendingForDriver(m_quitHandler, [](const char* what) {
        qCritical("BrimSubscriber: a message handler threw: %s", what);
    });
    ArmTimer();
}

void QtLoop::ArmTimer() {
    // Messages that are still waiting keep the fd readable, so the notifier
    // fires again; the timer only has to cover window timers.
    const int ms = m_loop.TimeUntilNextTimerMs();
    if (ms < 0) {
        m_timer->stop();
    } else {
        m_timer->start(ms);
    }
}

}  // namespace platform
