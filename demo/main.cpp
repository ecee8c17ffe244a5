// brimsub-demo: receivers subscribed to keys, publishers on worker threads
// using the three ways of delivering, and the user-interface loop on the main
// thread. Each line says what arrived, where, on which thread and how late.

#include "platform/MessageLoop.h"
#include "platform/WinThread.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

thread_local const char* t_threadName = "worker";

// A payload that carries its send time, so receivers can say how late it is.
struct Stamped : NotificationInfo {
    explicit Stamped(std::string what) : what(std::move(what)) {}
    std::string what;
    Clock::time_point sent = Clock::now();
};

std::atomic<int> g_deliveries{0};

class Printer : public Subscriber {
public:
    explicit Printer(const char* name) : m_name(name) {}
    void Update(const NotificationInfo* info) override {
        const auto* stamped = dynamic_cast<const Stamped*>(info);
        if (stamped != nullptr) {
            const auto late = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - stamped->sent);
            std::printf("  %-10s got %-28s on %-9s %6lld us after publishing\n", m_name, stamped->what.c_str(),
                        t_threadName, static_cast<long long>(late.count()));
        } else {
            std::printf("  %-10s got %-28s on %-9s (posted: no payload)\n", m_name, "a posted notification",
                        t_threadName);
        }
        ++g_deliveries;
    }

private:
    const char* m_name;
};

}  // namespace

int main() {
    CWinApp app;  // this thread is the user-interface thread
    t_threadName = "ui";
    auto& loop = platform::MessageLoop::Current();

    // The first use of the hub is on the UI thread, so every type can send and post.
    auto& hub = SubscriptionManager::Instance();
    constexpr int kRouteType = 3;
    const CString changed(u"RouteChanged");
    const CString selected(u"RouteSelected");
    // Each module keeps its receiver in a handle that owns it: destroying the
    // handle unsubscribes every key and then deletes the receiver.
    Subscription listView(kRouteType);
    listView.SetSubscriber(new Printer("ListView"), true);
    listView.Subscribe(changed);
    Subscription mapView(kRouteType);
    mapView.SetSubscriber(new Printer("MapView"), true);
    mapView.Subscribe({changed, selected});
    Subscription statusBar(kRouteType);
    statusBar.SetSubscriber(new Printer("StatusBar"), true);
    statusBar.Subscribe(selected);
    SubscriptionMap& routes = *hub.GetSubscriptionMap(kRouteType);

    std::printf("Notify from a worker runs the receivers on that worker:\n");
    std::thread([&] {
        t_threadName = "worker-1";
        const Stamped info("RouteChanged via Notify");
        hub.Notify(kRouteType, changed, &info, nullptr);
    }).join();

    std::printf("NotifySend from a worker runs them on the UI thread while the worker waits:\n");
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        t_threadName = "worker-2";
        const Stamped info("both keys via NotifySend");
        routes.NotifySend({changed, selected}, &info, listView.GetSubscriber());  // ListView left out
        std::printf("  worker-2 resumes after the UI thread delivered\n");
        sent = true;
    });
    loop.RunUntil([&] { return sent.load(); }, std::chrono::seconds(10));
    sender.join();

    std::printf("NotifyPost from a worker queues them for the UI thread, without a payload:\n");
    std::thread([&] {
        t_threadName = "worker-3";
        hub.NotifyPost(kRouteType, selected);
        routes.NotifyPost({changed, selected});
        std::printf("  worker-3 posted twice and went on at once\n");
    }).join();
    const int expected = 2 + 2 + 2 + 3;
    loop.RunUntil([&] { return g_deliveries.load() == expected; }, std::chrono::seconds(10));

    std::printf("A handle publishes to its own keys, leaving itself out:\n");
    const Stamped own("MapView's keys, others only");
    mapView.Notify(notify_others, &own);
    const int total = expected + 2;
    std::printf("%d deliveries, as expected: %s\n", g_deliveries.load(), g_deliveries == total ? "yes" : "no");
    return g_deliveries == total ? 0 : 1;
}
