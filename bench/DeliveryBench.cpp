// Costs of our own that have no peer: a delivery to several keys, interning
// data ids, and a handle replacing its keys. The one-key, posting and sending
// figures stand beside their peers in the Peer*Bench files.

#include <BrimSubscriber/filewatch/NFData.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/Subscription.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

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

// A receiver that unsubscribes and subscribes itself again inside Update,
// while the map holds Arg unrelated keys: the clean-up after each delivery
// visits only what the delivery marked, so the time stays flat as Arg grows.
void BM_ReentrantDeliveryAmongUnrelatedKeys(benchmark::State& state) {
    SubscriptionMap map;
    Counter bystander;
    for (std::int64_t i = 0; i < state.range(0); ++i) map.Subscribe(CString("unrelated " + std::to_string(i)), &bystander);
    const CString key(u"RouteChanged");
    class Resubscriber : public Subscriber {
    public:
        Resubscriber(SubscriptionMap& map, const CString& key) : m_map(map), m_key(key) {}
        void Update(const NotificationInfo* /*info*/) override {
            m_map.Unsubscribe(m_key, this);
            m_map.Subscribe(m_key, this);
        }

    private:
        SubscriptionMap& m_map;
        const CString& m_key;
    } receiver(map, key);
    map.Subscribe(key, &receiver);
    for (auto _ : state) map.Notify(key, nullptr, nullptr);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReentrantDeliveryAmongUnrelatedKeys)->Arg(1000)->Arg(1000000);

// Four threads, each subscribing and unsubscribing receivers of its own
// under its own keys of one shared map: the churn of modules that open and
// close views. CPU time per subscribe-and-unsubscribe pair.
void BM_SubscribeChurn(benchmark::State& state) {
    static SubscriptionMap map;
    const CString key("ChurnKey" + std::to_string(state.thread_index()));
    std::vector<Counter> receivers(8);
    for (auto _ : state) {
        for (Counter& r : receivers) map.Subscribe(key, &r);
        for (Counter& r : receivers) map.Unsubscribe(key, &r);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(receivers.size()));
}
BENCHMARK(BM_SubscribeChurn)->Threads(4);

// Merging two updates of one file that carry Arg ids each, half of them
// shared: n log n, so ten times the ids cost a little over ten times the time.
void BM_NFDataMergeIds(benchmark::State& state) {
    const auto count = static_cast<std::uint64_t>(state.range(0));
    NFData::DataUpdate first;
    NFData::DataUpdate second;
    first.m_fileName = second.m_fileName = CString(u"/survey/line 12.xyz");
    for (std::uint64_t i = 0; i < count; ++i) {
        first.m_ids.emplace_back(1, i);
        second.m_ids.emplace_back(1, i + count / 2);
    }
    for (auto _ : state) {
        NFData data;
        data.Add(first);
        data.Add(second);
        benchmark::DoNotOptimize(data.GetFileUpdate(0).m_ids.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NFDataMergeIds)->Arg(1000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace
