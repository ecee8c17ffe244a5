// Memory, in heap bytes per subscription entry and per watched file.
//
// Each figure is the growth of the heap in use (glibc mallinfo2: bytes in use
// in the arenas plus bytes in chunks obtained with mmap) across making 10,000
// entries, divided by 10,000. Receivers, keys and paths are made before the
// first reading, so only what the registry or watcher itself keeps is counted.
// The benchmark thread makes all allocations and no other thread allocates
// meanwhile.
//
// Rows and implementations:
// - Memory/EntryDistinctKeys: 10,000 entries under 10,000 distinct keys of
//   20 UTF-16 units. Ours: SubscriptionMap (one copy of the key per entry).
//   Peers: one signal per key in a std::unordered_map<std::u16string, ...>,
//   one connection each.
// - Memory/EntrySameKey: 10,000 receivers of one key. Ours: SubscriptionMap.
//   Peers: one signal with 10,000 connections. FloorLoop: a vector of
//   std::function.
// - Memory/WatchedFile: 10,000 files. Ours: FileWatcher::AddFileWatch (the
//   polling thread's stack is mapped outside the heap and not counted).
//   UvFsPoll: the uv_fs_poll_t handle plus what libuv allocates for it, after
//   its first stat has completed.
// - Memory/QueuesAfterBurst: the heap kept, in MiB, once one burst of 10,000
//   posts on each of the 17 subscription types (one type at a time, posted
//   while the user-interface thread is held, so that it waits in the queues
//   up to their bound, then drained) has been delivered: what the queues
//   keep for the rest of the process's life.

#include "BenchSupport.h"
#include "QtPeers.h"

#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <benchmark/benchmark.h>
#include <boost/signals2/signal.hpp>
#include <malloc.h>
#include <sigc++/sigc++.h>
#include <uv.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <thread>
#include <vector>

namespace {

constexpr int kEntries = 10'000;
static_assert(kEntries == bench::kWatchedFiles);

std::int64_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<std::int64_t>(m.uordblks + m.hblkhd);
}

// Runs `make` once, between two heap readings, and reports the growth per entry.
template <class Make>
void MeasureBytes(benchmark::State& state, Make make) {
    double perEntry = 0;
    for (auto _ : state) {
        const std::int64_t before = HeapInUse();
        make();
        perEntry = static_cast<double>(HeapInUse() - before) / kEntries;
    }
    state.counters["bytes_per_entry"] = perEntry;
}

std::vector<std::u16string> DistinctKeys() {
    std::vector<std::u16string> keys;
    for (int i = 0; i < kEntries; ++i) {
        const std::string s = "CatalogueKey" + std::to_string(10'000'000 + i);  // 20 units
        keys.emplace_back(s.begin(), s.end());
    }
    return keys;
}

class OurReceiver : public Subscriber {
public:
    void Update(const NotificationInfo* /*info*/) override {}
};
class QtReceiver : public QObject {
public:
    void OnChanged(const NotificationInfo* /*info*/) {}
};
class SigcReceiver : public sigc::trackable {
public:
    void OnChanged(const NotificationInfo* /*info*/) {}
};
using Signals2 = boost::signals2::signal<void(const NotificationInfo*)>;
using Sigc = sigc::signal<void(const NotificationInfo*)>;

template <class T>
std::vector<std::unique_ptr<T>> Make(int n) {
    std::vector<std::unique_ptr<T>> v;
    for (int i = 0; i < n; ++i) v.push_back(std::make_unique<T>());
    return v;
}

// --- Subscription entries ------------------------------------------------------------

void DistinctOurs(benchmark::State& state) {
    std::vector<CString> keys;
    for (auto& k : DistinctKeys()) keys.emplace_back(k);
    auto rs = Make<OurReceiver>(kEntries);
    auto map = std::make_unique<SubscriptionMap>();
    MeasureBytes(state, [&] {
        for (int i = 0; i < kEntries; ++i) map->Subscribe(keys[static_cast<std::size_t>(i)], rs[static_cast<std::size_t>(i)].get());
    });
    map.reset();
}

template <class Signal, class Receiver, class Connect>
void DistinctPeer(benchmark::State& state, Connect connect) {
    const std::vector<std::u16string> keys = DistinctKeys();
    auto rs = Make<Receiver>(kEntries);
    std::unordered_map<std::u16string, std::unique_ptr<Signal>> table;
    MeasureBytes(state, [&] {
        for (int i = 0; i < kEntries; ++i) {
            auto& signal = table[keys[static_cast<std::size_t>(i)]];
            signal = std::make_unique<Signal>();
            connect(*signal, *rs[static_cast<std::size_t>(i)]);
        }
    });
}

void ConnectQt(QtSender& s, QtReceiver& r) {
    QObject::connect(&s, &QtSender::Changed, &r, &QtReceiver::OnChanged, Qt::DirectConnection);
}
void ConnectSignals2(Signals2& s, SigcReceiver& /*unused*/) {
    s.connect([](const NotificationInfo*) {});
}
void ConnectSigc(Sigc& s, SigcReceiver& r) { s.connect(sigc::mem_fun(r, &SigcReceiver::OnChanged)); }

void DistinctQt(benchmark::State& state) { DistinctPeer<QtSender, QtReceiver>(state, ConnectQt); }
void DistinctSignals2(benchmark::State& state) { DistinctPeer<Signals2, SigcReceiver>(state, ConnectSignals2); }
void DistinctSigc(benchmark::State& state) { DistinctPeer<Sigc, SigcReceiver>(state, ConnectSigc); }

void SameKeyOurs(benchmark::State& state) {
    const CString key(u"DisplayLayerChanged0");
    auto rs = Make<OurReceiver>(kEntries);
    auto map = std::make_unique<SubscriptionMap>();
    MeasureBytes(state, [&] {
        for (auto& r : rs) map->Subscribe(key, r.get());
    });
    map.reset();
}

template <class Signal, class Receiver, class Connect>
void SameKeyPeer(benchmark::State& state, Connect connect) {
    auto rs = Make<Receiver>(kEntries);
    auto signal = std::make_unique<Signal>();
    MeasureBytes(state, [&] {
        for (auto& r : rs) connect(*signal, *r);
    });
}

void SameKeyQt(benchmark::State& state) { SameKeyPeer<QtSender, QtReceiver>(state, ConnectQt); }
void SameKeySignals2(benchmark::State& state) { SameKeyPeer<Signals2, SigcReceiver>(state, ConnectSignals2); }
void SameKeySigc(benchmark::State& state) { SameKeyPeer<Sigc, SigcReceiver>(state, ConnectSigc); }
void SameKeyFloorLoop(benchmark::State& state) {
    std::vector<std::function<void(const NotificationInfo*)>> slots;
    MeasureBytes(state, [&] {
        for (int i = 0; i < kEntries; ++i) slots.emplace_back([](const NotificationInfo*) {});
    });
}

// --- Watched files -------------------------------------------------------------------

void WatchedFileOurs(benchmark::State& state) {
    std::vector<CString> paths;
    for (const std::string& p : bench::WatchedFileSet::Paths()) paths.emplace_back(p);
    auto watcher = std::make_unique<FileWatcher>(FileWatcher::Options{.pollIntervalMs = 3'600'000});
    MeasureBytes(state, [&] {
        for (const CString& path : paths) watcher->AddFileWatch(path);
    });
    for (const CString& path : paths) watcher->RemoveFileWatch(path);
}

void WatchedFileUv(benchmark::State& state) {
    const std::vector<std::string>& paths = bench::WatchedFileSet::Paths();
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::unique_ptr<uv_fs_poll_t[]> handles;
    MeasureBytes(state, [&] {
        handles = std::make_unique<uv_fs_poll_t[]>(paths.size());
        for (std::size_t i = 0; i < paths.size(); ++i) {
            uv_fs_poll_init(&loop, &handles[i]);
            uv_fs_poll_start(
                &handles[i], [](uv_fs_poll_t*, int, const uv_stat_t*, const uv_stat_t*) {}, paths[i].c_str(), 3'600'000);
        }
        while (loop.active_reqs.count != 0) uv_run(&loop, UV_RUN_ONCE);
    });
    for (std::size_t i = 0; i < paths.size(); ++i) {
        uv_fs_poll_stop(&handles[i]);
        uv_close(reinterpret_cast<uv_handle_t*>(&handles[i]), nullptr);
    }
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
}

void QueuesAfterBurstOurs(benchmark::State& state) {
    bench::HubUiThread::Instance().Designate();  // a posting row before this one may have cleared it
    auto& hub = SubscriptionManager::Instance();
    const CString key(u"Burst");
    double kept = 0;
    for (auto _ : state) {
        const std::int64_t before = HeapInUse();
        for (int type = 0; type < SUBSCRIPTION_TYPE_COUNT; ++type) {
            // The user-interface thread is held while the burst is posted, so
            // the whole burst waits in the queues at once, up to their bound.
            platform::Event posted;
            while (!MainThreadDispatcher::Instance().DispatchAsync([&posted] { posted.Wait(); })) std::this_thread::yield();
            for (int i = 0; i < kEntries && hub.TryNotifyPost(type, key); ++i) {
            }
            posted.Set();
            bench::HubUiThread::Instance().Flush();
        }
        kept = static_cast<double>(HeapInUse() - before) / (1024.0 * 1024.0);
    }
    state.counters["MiB_kept"] = kept;
}

// --- Registration -------------------------------------------------------------------

const bool kRegistered = [] {
    const auto add = [](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, fn)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
    };
    add("Memory/EntryDistinctKeys/Ours", DistinctOurs);
    add("Memory/EntryDistinctKeys/Qt", DistinctQt);
    add("Memory/EntryDistinctKeys/Signals2", DistinctSignals2);
    add("Memory/EntryDistinctKeys/Sigc", DistinctSigc);
    add("Memory/EntrySameKey/Ours", SameKeyOurs);
    add("Memory/EntrySameKey/Qt", SameKeyQt);
    add("Memory/EntrySameKey/Signals2", SameKeySignals2);
    add("Memory/EntrySameKey/Sigc", SameKeySigc);
    add("Memory/EntrySameKey/FloorLoop", SameKeyFloorLoop);
    add("Memory/WatchedFile/Ours", WatchedFileOurs);
    add("Memory/WatchedFile/UvFsPoll", WatchedFileUv);
    add("Memory/QueuesAfterBurst/Ours", QueuesAfterBurstOurs);
    return true;
}();

}  // namespace
