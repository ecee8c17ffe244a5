// The minimal example's exchange checked with the package's testing support
// (BrimSubscriber::Testing): a worker's post is heard once, on the
// user-interface thread, without payload; what its receivers post in turn is
// handled before the loop goes idle; a payload's type is recorded.

#include <BrimSubscriber/BrimSubscriber.h>
#include <BrimSubscriber/testing/NotificationSpy.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>

#include <cstdio>
#include <thread>

struct LayerCount : NotificationInfo {};

int main() {
    CWinApp app;
    auto& hub = SubscriptionManager::Instance();
    brim::testing::NotificationSpy spy(3, {u"DisplayLayerAdded", u"LayerListRefreshed", u"LayerListShown"});
    spy.onDelivery = [&hub](const brim::testing::Delivery& delivery) {  // each posts the next
        if (delivery.key == u"DisplayLayerAdded") hub.NotifyPost(3, u"LayerListRefreshed");
        if (delivery.key == u"LayerListRefreshed" && delivery.payload == nullptr) hub.NotifyPost(3, u"LayerListShown");
    };
    std::thread worker([&hub] { hub.NotifyPost(3, u"DisplayLayerAdded"); });
    const bool heard = spy.WaitForCount(1);
    worker.join();
    const bool idle = brim::testing::RunUntilIdle() && spy.Count() == 3;
    const LayerCount count;
    hub.Notify(3, u"LayerListRefreshed", &count, nullptr);

    const auto records = spy.Records();
    const bool ok = heard && idle && records.size() == 4 && records[0].key == u"DisplayLayerAdded" &&
                    records[0].userInterfaceThread && records[0].thread == std::this_thread::get_id() &&
                    records[0].payload == nullptr && records[2].key == u"LayerListShown" &&
                    records[3].payload != nullptr && *records[3].payload == typeid(LayerCount);
    std::printf("%s: heard %d, idle %d, %zu records\n", ok ? "passed" : "FAILED", heard, idle, records.size());
    return ok ? 0 : 1;
}
