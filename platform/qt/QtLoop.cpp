#include <BrimSubscriber/platform/ThreadChecker.h>
#include <BrimSubscriber/platform/qt/QtLoop.h>

#include <BrimSubscriber/platform/WinThread.h>

#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>

#include <utility>

namespace brim {

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

QtLoop::~QtLoop() {
    BRIM_DCHECK_THREAD(m_loop.BelongsToCurrentThread(), "a QtLoop destroyed off the thread whose loop it attached");
    if (m_destroyed == nullptr) return;
    // Destroyed by a handler of one of its own wakes: that wake learns of it,
    // and the notifier or timer whose signal is being delivered outlives the
    // delivery, silenced, until the event loop deletes it.
    *m_destroyed = true;
    QObject::disconnect(m_notifier.get(), nullptr, nullptr, nullptr);
    QObject::disconnect(m_timer.get(), nullptr, nullptr, nullptr);
    m_notifier->setEnabled(false);
    m_timer->stop();
    m_notifier.release()->deleteLater();
    m_timer.release()->deleteLater();
}

void QtLoop::SetQuitHandler(std::function<void()> handler) {
    BRIM_DCHECK_THREAD(m_loop.BelongsToCurrentThread(), "QtLoop::SetQuitHandler called off the loop's thread");
    m_quitHandler = std::move(handler);
}

void QtLoop::Wake() {
    // A handler may destroy the adapter; the wake then goes on with its own
    // copy of the loop and touches nothing of the adapter after it.
    bool destroyed = false;
    bool* const outer = std::exchange(m_destroyed, &destroyed);
    MessageLoop loop = m_loop;
    loop.RunPendingForDriver(
        [this, &destroyed] {
            if (destroyed || !m_quitHandler) return;
            const std::function<void()> handler = m_quitHandler;  // it may destroy the adapter
            handler();
        },
        [](const char* what) { qCritical("BrimSubscriber: a message handler threw: %s", what); });
    if (destroyed) {
        if (outer != nullptr) *outer = true;  // an enclosing wake must stop as well
        return;
    }
    m_destroyed = outer;
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

}  // namespace brim
