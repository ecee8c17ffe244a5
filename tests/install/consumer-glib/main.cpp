// A GLib client of the installed package: the main thread runs a GMainLoop
// with the message loop attached, so a worker's NotifyPost reaches the
// receiver through g_main_loop_run, which the receiver then quits.

#include "platform/MessageLoop.h"
#include "platform/WinThread.h"
#include "platform/glib/GlibLoop.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"

#include <glib.h>

#include <cstdio>
#include <thread>

namespace {
struct Receiver : Subscriber {
    int calls = 0;
    bool inGlib = true;
    void Update(const NotificationInfo*) override {
        ++calls;
        inGlib = inGlib && platform::IsUserInterfaceThread() && g_main_depth() > 0;
        platform::MessageLoop::Current().Quit();  // passed to the quit handler
    }
};
}  // namespace

int main() {
    platform::GlibLoop brim;  // this thread is the user-interface thread
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    brim.SetQuitHandler([loop] { g_main_loop_quit(loop); });
    SubscriptionManager::Instance();  // first use on the user-interface thread
    auto* receiver = new Receiver;
    Subscription sub(4);
    sub.SetSubscriber(receiver, true);
    sub.Subscribe(u"LayerAdded");

    std::thread worker;
    // The worker posts once the loop runs; the timeout only ends a lost post.
    g_idle_add(
        [](gpointer w) -> gboolean {
            *static_cast<std::thread*>(w) =
                std::thread([] { SubscriptionManager::Instance().NotifyPost(4, u"LayerAdded"); });
            return G_SOURCE_REMOVE;
        },
        &worker);
    g_timeout_add_seconds(
        20,
        [](gpointer l) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(l));
            return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    if (worker.joinable()) worker.join();
    g_main_loop_unref(loop);

    std::printf("glib consumer: %d deliveries, inside g_main_loop_run: %s\n", receiver->calls,
                receiver->inGlib ? "yes" : "no");
    return receiver->calls == 1 && receiver->inGlib ? 0 : 1;
}
