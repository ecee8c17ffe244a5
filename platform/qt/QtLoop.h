#pragma once

// QtLoop: runs the calling thread's message loop inside Qt's event loop.
//
// A Qt application keeps its GUI thread in QCoreApplication::exec(). Attaching
// our message loop to that thread makes it the user-interface thread of the
// library: NotifySend and NotifyPost deliveries, the dispatcher's calls, the
// watchdog's probes, file-watch notifications and document updates all run
// there, between Qt's own events.
//
//   int main(int argc, char** argv) {
//       QApplication app(argc, argv);
//       platform::QtLoop brim;          // this thread is now the UI thread
//       ...build windows, subscribe, start workers...
//       return app.exec();
//   }
//
// A QSocketNotifier watches MessageLoop::WakeFd() and a precise single-shot
// QTimer wakes for the next window timer; each wake handles what is pending,
// as MessageLoop::RunPending() does. Nested Qt loops (QDialog::exec from a
// handler) keep handling our messages.
//
// Threading: construct, use and destroy on one thread that runs a Qt event
// loop (the GUI thread, or a QThread's); a QCoreApplication must exist.
// Debug builds report a use elsewhere (kind WrongThread).
// Ownership/Lifetime: destroy it before the thread ends; messages posted
// after that wait for the next attached or running loop of the thread.
// Re-entrancy: handlers may run nested Qt loops or our own RunUntil(), and
// may destroy the QtLoop: the wake in progress then finishes the messages it
// has taken, and a quit request it finds is dropped.
// Exceptions: Qt does not let exceptions pass through its event loop. One
// that leaves a handler is logged with qCritical; the messages behind it stay
// queued and are handled at the next wake.

#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/qt/QtExport.h>

#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace brim {

namespace platform {

class BRIM_QT_API QtLoop {
public:
    using Role = LoopRole;

    explicit QtLoop(Role role = Role::UserInterfaceThread);
    QtLoop(const QtLoop&) = delete;
    QtLoop& operator=(const QtLoop&) = delete;
    ~QtLoop();

    // Called on this thread when MessageLoop::Quit() was asked for while no
    // Run() of ours was in progress, for instance to call
    // QCoreApplication::quit(). Without a handler such a request is dropped.
    void SetQuitHandler(std::function<void()> handler);

private:
    void Wake();
    void ArmTimer();

    MessageLoop m_loop;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QTimer> m_timer;
    std::function<void()> m_quitHandler;
    bool* m_destroyed = nullptr;  // while a wake runs: its flag, which the destructor sets
};

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::QtLoop;
}  // namespace platform
#endif
