// Costs of our own that have no peer: a delivery to several keys, interning
// data ids, and a handle replacing its keys. The one-key, posting and sending
// figures stand beside their peers in the Peer*Bench files.

#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"
#include "subscription/SubscriptionMap.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

class Counter : public Subscriber {
public:
    void Update(const NotificationInfo* /*info*/) override { ++count; }
    std::uint64_t count = 0;
};

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
