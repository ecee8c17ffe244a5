#pragma once

// The Qt 6 side of the side-by-side benchmarks: a sender whose signals are
// connected directly, queued or blocking-queued, depending on the benchmark,
// and the process's one application object that Qt's threads need.
// Receivers are plain QObject subclasses connected with the functor-based
// connect, which needs no generated code; only the signals here go through moc.
//
// Threading: Qt's rules. A signal may be emitted from any thread; a queued
// connection runs the receiver on the thread its receiver object lives in.

#include <BrimSubscriber/subscription/NotificationInfo.h>

#include <QCoreApplication>
#include <QMetaType>
#include <QObject>

#include <memory>

class QtSender : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

Q_SIGNALS:
    // Synchronous delivery and blocking-queued round trips carry the payload
    // pointer, as our Notify and NotifySend do.
    void Changed(const NotificationInfo* info);
    // Posting carries nothing, as our NotifyPost without payload.
    void Posted();
    // Posting a result that travels with the post, as our NotifyPost with a payload.
    void PostedResult(std::shared_ptr<const NotificationInfo> info);
};

// Lets queued and blocking-queued connections carry the payload pointer, and
// queued ones the shared payload.
Q_DECLARE_METATYPE(const NotificationInfo*)
Q_DECLARE_METATYPE(std::shared_ptr<const NotificationInfo>)

namespace bench {

// A QThread needs an application object to exist before it can run an event
// loop, and a process has at most one. It is created once, on the first
// benchmark thread that needs it, and never run. Call it before starting a
// QThread.
inline void EnsureQtApplication() {
    static int argc = 1;
    static char name[] = "brimsub-bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = [] {
        qRegisterMetaType<const NotificationInfo*>();
        qRegisterMetaType<std::shared_ptr<const NotificationInfo>>();
        return new QCoreApplication(argc, argv);  // lives until exit
    }();
    static_cast<void>(app);
}

}  // namespace bench
