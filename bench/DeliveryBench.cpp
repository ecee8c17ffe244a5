// The cost of the three ways of delivering.
//
// Synchronous figures are ns per publish on the calling thread. The
// user-interface figures run a real user-interface loop on a thread of its
// own; the benchmark thread is the publishing worker.

#include "BenchSupport.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/WinThread.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"
#include "subscription/SubscriptionMap.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class Counter : public Subscriber {
public:
    void Update(const NotificationInfo* /*info*/) override { ++count; }
    std::uint64_t count = 0;
};

void BM_NotifyOneKey(benchmark::State& state) {
    SubscriptionMap map;
    std::vector<Counter> receivers(static_cast<std::size_t>(state.range(0)));
    const CString key(u"DisplayLayerChanged");
    for (auto& r : receivers) map.Subscribe(key, &r);
    for (int i = 0; i < 1000; ++i) map.Subscribe(CString(std::to_string(i)), &receivers.front());
    const NotificationInfo info;
    for (auto _ : state) map.Notify(key, &info, nullptr);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotifyOneKey)->Arg(1)->Arg(10);

void BM_NotifySeveralKeys(benchmark::State& state) {
    SubscriptionMap map;
    std::vector<Counter> receivers(10);
    const std::vector<CString> keys{CString(u"RouteChanged"), CString(u"RouteSelected"), CString(u"Missing")};
    for (auto& r : receivers) {
        map.Subscribe(keys[0], &r);
        map.Subscribe(keys[1], &r);
    }
    const NotificationInfo info;
    for (auto _ : state) map.Notify(keys, &info, nullptr);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotifySeveralKeys);

// Posts from the benchmark thread (a worker) and counts until the last one
// has run on the user-interface thread.
void BM_NotifyPostThroughput(benchmark::State& state) {
    bench::UiThread ui;
    const CString key(u"FileChanged");
    struct Signaller : Subscriber {
        std::atomic<std::uint64_t> count{0};
        std::uint64_t target = 0;
        platform::Event done;
        void Update(const NotificationInfo*) override {
            if (++count == target) done.Set();
        }
    } receiver;
    ui.Map().Subscribe(key, &receiver);
    const std::vector<CString> keys{key};
    constexpr int kBatch = 1000;  // well inside the posted-queue bound
    for (auto _ : state) {
        receiver.target = receiver.count.load() + kBatch;
        for (int i = 0; i < kBatch; ++i) ui.Map().NotifyPost(keys);
        receiver.done.Wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    ui.Map().Unsubscribe(key, &receiver);
}
BENCHMARK(BM_NotifyPostThroughput)->UseRealTime();

// Round trip of one NotifySend from a worker: queue, wake the user-interface
// thread, deliver, release the worker.
void BM_NotifySendRoundTrip(benchmark::State& state) {
    bench::UiThread ui;
    Counter receiver;
    const CString key(u"SelectionChanged");
    ui.Map().Subscribe(key, &receiver);
    const std::vector<CString> keys{key};
    const NotificationInfo info;
    for (auto _ : state) ui.Map().NotifySend(keys, &info, nullptr);
    state.SetItemsProcessed(state.iterations());
    ui.Map().Unsubscribe(key, &receiver);
}
BENCHMARK(BM_NotifySendRoundTrip)->UseRealTime();

}  // namespace



namespace {

// Interning a data id that is already in the pool (the usual case) and one
// that is new each time (the pool grows, so this is the worst case).
void BM_GetSafeDataIdPtrHit(benchmark::State& state) {
    auto& hub = SubscriptionManager::Instance();
    for (std::uint64_t i = 0; i < 10000; ++i) hub.GetSafeDataIdPtr(CDataId(1, i));
    std::uint64_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(hub.GetSafeDataIdPtr(CDataId(1, i++ % 10000)));
}
BENCHMARK(BM_GetSafeDataIdPtrHit);

void BM_GetSafeDataIdPtrMiss(benchmark::State& state) {
    auto& hub = SubscriptionManager::Instance();
    static std::uint64_t next = 0;
    for (auto _ : state) benchmark::DoNotOptimize(hub.GetSafeDataIdPtr(CDataId(2, next++)));
}
BENCHMARK(BM_GetSafeDataIdPtrMiss);

// A handle replacing its set of 10 keys by another set of 10 (all entries
// removed and entered again), alternating between two sets.
void BM_SubscriptionReplaceTenKeys(benchmark::State& state) {
    SubscriptionMap map;
    Counter receiver;
    std::vector<CString> a;
    std::vector<CString> b;
    for (int i = 0; i < 10; ++i) {
        a.emplace_back("LayerKeyA" + std::to_string(i));
        b.emplace_back("LayerKeyB" + std::to_string(i));
    }
    for (int i = 0; i < 1000; ++i) map.Subscribe(CString(std::to_string(i)), &receiver);
    Subscription sub(&map);
    sub.SetSubscriber(&receiver, false);
    bool flip = false;
    for (auto _ : state) {
        sub.Subscribe(flip ? a : b);
        flip = !flip;
    }
    sub.Unsubscribe();
}
BENCHMARK(BM_SubscriptionReplaceTenKeys);

}  // namespace
