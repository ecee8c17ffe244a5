// A Qt client of the installed package, headless: the main thread runs
// QCoreApplication::exec() with the message loop attached, so a worker's
// NotifyPost reaches the receiver through Qt's loop, which the receiver quits.

#include "platform/MessageLoop.h"
#include "platform/WinThread.h"
#include "platform/qt/QtLoop.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <thread>

namespace {
struct Receiver : Subscriber {
    int calls = 0;
    bool inQt = true;
    void Update(const NotificationInfo*) override {
        ++calls;
        inQt = inQt && platform::IsUserInterfaceThread() && QThread::currentThread()->loopLevel() > 0;
        platform::MessageLoop::Current().Quit();  // passed to the quit handler
    }
};
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Qt built with reduced relocations needs its clients built with -fPIC,
    // which the package's flags must give: otherwise the client has copies of
    // Qt's meta-objects, and qobject_cast fails on Qt's own objects.
    if (qobject_cast<QCoreApplication*>(QCoreApplication::instance()) == nullptr) {
        std::printf("qt consumer: qobject_cast fails; built without -fPIC?\n");
        return 1;
    }
    platform::QtLoop brim;  // this thread is the user-interface thread
    brim.SetQuitHandler([] { QCoreApplication::quit(); });
    auto& hub = SubscriptionManager::Instance();
    auto* receiver = new Receiver;
    Subscription sub(4);
    sub.SetSubscriber(receiver, true);
    sub.Subscribe(u"LayerAdded");

    std::thread worker;
    // The worker posts once the loop runs; the timeout only ends a lost post.
    QTimer::singleShot(0, &app, [&] { worker = std::thread([&] { hub.NotifyPost(4, u"LayerAdded"); }); });
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(1); });
    const int status = QCoreApplication::exec();
    if (worker.joinable()) worker.join();

    std::printf("qt consumer: %d deliveries, inside exec(): %s\n", receiver->calls, receiver->inQt ? "yes" : "no");
    return status == 0 && receiver->calls == 1 && receiver->inQt ? 0 : 1;
}
