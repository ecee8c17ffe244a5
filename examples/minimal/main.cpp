// The smallest complete program: the main thread is the user-interface thread
// and runs the library's own message loop; a worker posts a notification that
// a receiver hears on the main thread.

#include <BrimSubscriber/BrimSubscriber.h>

#include <cstdio>
#include <thread>

int main() {
    CWinApp app;                                   // this thread is the user-interface thread
    Subscription layers(3);                        // the hub's first use, here: type 3
    layers.SetSubscriber([](const NotificationInfo*) {
        std::puts("a layer was added");            // on the user-interface thread
        platform::MessageLoop::Current().Quit();
    });
    layers.Subscribe(u"DisplayLayerAdded");
    std::thread worker([] { SubscriptionManager::Instance().NotifyPost(3, u"DisplayLayerAdded"); });
    platform::MessageLoop::Current().Run();        // until Quit()
    worker.join();
}
