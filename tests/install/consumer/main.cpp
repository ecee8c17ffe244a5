// A client of the installed package: subscribes, publishes and posts through
// the hub, the way an application links and includes the library.

#include "payloads/SubKeys.h"
#include "platform/MessageLoop.h"
#include "platform/WinThread.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {
struct Counter : Subscriber {
    int calls = 0;
    void Update(const NotificationInfo*) override { ++calls; }
};
}  // namespace

int main() {
    CWinApp app;
    auto& hub = SubscriptionManager::Instance();
    auto* counter = new Counter;
    Subscription sub(4);
    sub.SetSubscriber(counter, true);
    sub.Subscribe(GeneralSubKeys::DISPLAY_LAYER_ADDED);
    hub.Notify(4, GeneralSubKeys::DISPLAY_LAYER_ADDED, nullptr, nullptr);
    std::thread([&] { hub.NotifyPost(4, GeneralSubKeys::DISPLAY_LAYER_ADDED); }).join();
    platform::MessageLoop::Current().RunUntil([&] { return counter->calls == 2; }, std::chrono::seconds(20));
    std::printf("consumer: %d deliveries\n", counter->calls);
    return counter->calls == 2 ? 0 : 1;
}
