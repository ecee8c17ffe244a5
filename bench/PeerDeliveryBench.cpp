// Synchronous delivery, ns per publish, side by side with peer libraries.
//
// Rows:
// - OneKey0/1/10/100: one key (one signal) with that many receivers.
// - ThousandKeysHit10 / ThousandKeysMiss: 1,000 keys spread over the 17
//   subscription types, one receiver each except the published key, which
//   has 10; the miss publishes a key that has no entry in its type.
// - Reentrant: of the two receivers on the published key, one unsubscribes
//   itself, subscribes a replacement (which the running delivery must not
//   reach) and publishes a second key with one receiver. The replacement does
//   the same on the next publish, so every iteration does the same work.
//
// Implementations:
// - Ours: SubscriptionMap (one-key rows) and SubscriptionManager (the
//   thousand-key rows), receivers derived from Subscriber.
// - Qt: Qt 6 signal with Qt::DirectConnection to member functions of
//   QObject receivers (functor-based connect).
// - Signals2: boost::signals2::signal with its default (locking) mutex.
// - Sigc: sigc::signal of libsigc++ 3 to members of sigc::trackable
//   receivers. It takes no lock: it is not thread-safe, unlike the others.
// - FloorLoop: a std::recursive_mutex held while a plain loop calls a
//   std::vector<std::function>.
// - FloorLookup: the same after a std::unordered_map<std::u16string, ...>
//   lookup of the key, under the same lock, built in a shared library of its
//   own (floor/FloorTable.h): like ours, it calls across into the receivers.
// The Ours rows of the one-key and thousand-key kinds also measure ours and
// FloorLookup in alternation (counter `floor_ratio`, see PairPublishes), and
// the one-key rows ours and Qt (counter `qt_ratio`): the rows themselves run
// minutes apart in a whole run, while this host's speed drifts over minutes,
// so the ratio of two rows says more about the host than the code.
// For keyed rows every peer keeps one signal per key in a
// std::unordered_map<std::u16string, ...> per type, and takes a std::mutex
// around the lookup, because a table shared between threads needs one; the
// signal is then emitted outside that mutex.
// The floors of the re-entrant row mark removed slots and compact after the
// outermost delivery, and only reach slots present when the delivery began,
// which is what our map guarantees; a plain loop could not survive the row.
//
// Every receiver adds one to a counter of its own.

#include "BenchSupport.h"
#include "QtPeers.h"
#include "floor/FloorTable.h"

#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <benchmark/benchmark.h>
#include <boost/signals2/signal.hpp>
#include <sigc++/sigc++.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kTypes = SUBSCRIPTION_TYPE_COUNT;
constexpr int kKeys = 1'000;
constexpr double kMinTime = 0.05;
constexpr int kRepetitions = 3;

std::u16string KeyName(int i) {
    const std::string s = "CatalogueEntryKey" + std::to_string(i);
    return {s.begin(), s.end()};
}
// The published key of the thousand-key rows, its type, and a key of the
// same length that no type holds.
const int kHitIndex = 517;
int TypeOf(int i) { return i % kTypes; }
std::u16string MissKey() { return u"CatalogueMissingKey"; }
std::u16string OneKey() { return u"DisplayLayerChanged"; }

// --- Receivers -----------------------------------------------------------------

class OurCounter : public Subscriber {
public:
    void Update(const NotificationInfo* /*info*/) override { ++count; }
    std::uint64_t count = 0;
};

class QtCounter : public QObject {
public:
    void OnChanged(const NotificationInfo* /*info*/) { ++count; }
    std::uint64_t count = 0;
};

class SigcCounter : public sigc::trackable {
public:
    void OnChanged(const NotificationInfo* /*info*/) { ++count; }
    std::uint64_t count = 0;
};

struct PlainCounter {
    std::uint64_t count = 0;
};

using Signals2 = boost::signals2::signal<void(const NotificationInfo*)>;
using Sigc = sigc::signal<void(const NotificationInfo*)>;
using Slot = std::function<void(const NotificationInfo*)>;

template <class T>
std::vector<std::unique_ptr<T>> Make(std::int64_t n) {
    std::vector<std::unique_ptr<T>> v;
    for (std::int64_t i = 0; i < n; ++i) v.push_back(std::make_unique<T>());
    return v;
}

void Finish(benchmark::State& state) { state.SetItemsProcessed(state.iterations()); }

// Ours against the floor, or a peer, in alternation after the row's own loop:
// turns of publishes of each (bench::AlternatedThreadCpuRatio). `counter`
// becomes ours' total over the other's.
template <class Ours, class Other>
void PairPublishes(benchmark::State& state, const char* counter, Ours ours, Other other) {
    state.counters[counter] = bench::AlternatedThreadCpuRatio(100, 1'000, ours, other);
}

// --- One key ------------------------------------------------------------------

using bench::FloorTable;

// FloorLookup's one-key row: its receivers on one key of a FloorTable.
class OneKeyFloor {
public:
    explicit OneKeyFloor(int receivers) : m_receivers(Make<PlainCounter>(receivers)) {
        for (auto& r : m_receivers) m_table.Add(m_key, [c = r.get()](const NotificationInfo*) { ++c->count; });
    }
    void Publish(const NotificationInfo* info) { m_table.Publish(m_key, info); }

private:
    std::vector<std::unique_ptr<PlainCounter>> m_receivers;
    FloorTable m_table;
    const std::u16string m_key = OneKey();
};

// The Qt row's one key: a signal with its receivers, direct connections.
class OneKeyQtSignal {
public:
    explicit OneKeyQtSignal(int receivers) : m_receivers(Make<QtCounter>(receivers)) {
        for (auto& r : m_receivers) {
            QObject::connect(&m_sender, &QtSender::Changed, r.get(), &QtCounter::OnChanged, Qt::DirectConnection);
        }
    }
    void Publish(const NotificationInfo* info) { Q_EMIT m_sender.Changed(info); }

private:
    std::vector<std::unique_ptr<QtCounter>> m_receivers;
    QtSender m_sender;  // declared last: destroyed, and so disconnected, first
};

void OneKeyOurs(benchmark::State& state, int receivers) {
    SubscriptionMap map;
    auto rs = Make<OurCounter>(receivers);
    const CString key(OneKey());
    for (auto& r : rs) map.Subscribe(key, r.get());
    const NotificationInfo info;
    for (auto _ : state) map.Notify(key, &info, nullptr);
    OneKeyFloor floor(receivers);
    PairPublishes(state, "floor_ratio", [&] { map.Notify(key, &info, nullptr); }, [&] { floor.Publish(&info); });
    OneKeyQtSignal qt(receivers);
    PairPublishes(state, "qt_ratio", [&] { map.Notify(key, &info, nullptr); }, [&] { qt.Publish(&info); });
    for (auto& r : rs) map.Unsubscribe(key, r.get());
    Finish(state);
}

void OneKeyQt(benchmark::State& state, int receivers) {
    OneKeyQtSignal qt(receivers);
    const NotificationInfo info;
    for (auto _ : state) qt.Publish(&info);
    Finish(state);
}

void OneKeySignals2(benchmark::State& state, int receivers) {
    Signals2 signal;
    auto rs = Make<PlainCounter>(receivers);
    for (auto& r : rs) signal.connect([c = r.get()](const NotificationInfo*) { ++c->count; });
    const NotificationInfo info;
    for (auto _ : state) signal(&info);
    Finish(state);
}

void OneKeySigc(benchmark::State& state, int receivers) {
    Sigc signal;
    auto rs = Make<SigcCounter>(receivers);
    for (auto& r : rs) signal.connect(sigc::mem_fun(*r, &SigcCounter::OnChanged));
    const NotificationInfo info;
    for (auto _ : state) signal.emit(&info);
    Finish(state);
}

void OneKeyFloorLoop(benchmark::State& state, int receivers) {
    std::recursive_mutex lock;
    std::vector<Slot> slots;
    auto rs = Make<PlainCounter>(receivers);
    for (auto& r : rs) slots.emplace_back([c = r.get()](const NotificationInfo*) { ++c->count; });
    const NotificationInfo info;
    for (auto _ : state) {
        const std::lock_guard guard(lock);
        for (const Slot& slot : slots) slot(&info);
    }
    Finish(state);
}

void OneKeyFloorLookup(benchmark::State& state, int receivers) {
    OneKeyFloor floor(receivers);
    const NotificationInfo info;
    for (auto _ : state) floor.Publish(&info);
    Finish(state);
}

// --- A thousand keys over the types ------------------------------------------------

// One signal per key and type, looked up under a mutex, emitted outside it.
template <class Signal>
class KeyedSignals {
public:
    Signal& Get(int type, const std::u16string& key) {
        const std::lock_guard guard(m_lock);
        auto& slot = m_types[static_cast<std::size_t>(type)][key];
        if (!slot) slot = std::make_unique<Signal>();
        return *slot;
    }
    Signal* Find(int type, const std::u16string& key) {
        const std::lock_guard guard(m_lock);
        auto& map = m_types[static_cast<std::size_t>(type)];
        const auto it = map.find(key);
        return it == map.end() ? nullptr : it->second.get();
    }

private:
    std::mutex m_lock;
    std::array<std::unordered_map<std::u16string, std::unique_ptr<Signal>>, kTypes> m_types;  // guarded by m_lock
};

// Receivers per key of the thousand-key rows.
int ReceiversOf(int i) { return i == kHitIndex ? 10 : 1; }

// FloorLookup's thousand-key rows: a FloorTable per type.
class ThousandFloor {
public:
    explicit ThousandFloor(bool hit) : m_receivers(Make<PlainCounter>(kKeys + 9)), m_key(hit ? KeyName(kHitIndex) : MissKey()) {
        std::size_t next = 0;
        for (int i = 0; i < kKeys; ++i) {
            for (int j = 0; j < ReceiversOf(i); ++j) {
                m_tables[static_cast<std::size_t>(TypeOf(i))].Add(
                    KeyName(i), [c = m_receivers[next++].get()](const NotificationInfo*) { ++c->count; });
            }
        }
    }
    void Publish(const NotificationInfo* info) { m_tables[static_cast<std::size_t>(TypeOf(kHitIndex))].Publish(m_key, info); }

private:
    std::vector<std::unique_ptr<PlainCounter>> m_receivers;
    std::array<FloorTable, kTypes> m_tables;
    const std::u16string m_key;
};

void ThousandOurs(benchmark::State& state, bool hit) {
    auto& hub = SubscriptionManager::Instance();
    std::vector<std::unique_ptr<OurCounter>> rs;
    std::vector<std::pair<int, CString>> entries;
    for (int i = 0; i < kKeys; ++i) {
        for (int j = 0; j < ReceiversOf(i); ++j) {
            rs.push_back(std::make_unique<OurCounter>());
            entries.emplace_back(TypeOf(i), CString(KeyName(i)));
            hub.Subscribe(TypeOf(i), entries.back().second, rs.back().get());
        }
    }
    const CString key(hit ? KeyName(kHitIndex) : MissKey());
    const int type = TypeOf(kHitIndex);
    const NotificationInfo info;
    for (auto _ : state) hub.Notify(type, key, &info, nullptr);
    ThousandFloor floor(hit);
    PairPublishes(state, "floor_ratio", [&] { hub.Notify(type, key, &info, nullptr); }, [&] { floor.Publish(&info); });
    for (std::size_t i = 0; i < entries.size(); ++i) hub.Unsubscribe(entries[i].first, entries[i].second, rs[i].get());
    Finish(state);
}

template <class Signal, class Receiver, class Connect, class Emit>
void ThousandPeer(benchmark::State& state, bool hit, Connect connect, Emit emit) {
    KeyedSignals<Signal> table;
    std::vector<std::unique_ptr<Receiver>> rs;
    for (int i = 0; i < kKeys; ++i) {
        Signal& signal = table.Get(TypeOf(i), KeyName(i));
        for (int j = 0; j < ReceiversOf(i); ++j) {
            rs.push_back(std::make_unique<Receiver>());
            connect(signal, *rs.back());
        }
    }
    const std::u16string key = hit ? KeyName(kHitIndex) : MissKey();
    const int type = TypeOf(kHitIndex);
    const NotificationInfo info;
    for (auto _ : state) {
        if (Signal* signal = table.Find(type, key)) emit(*signal, &info);
    }
    Finish(state);
}

void ThousandQt(benchmark::State& state, bool hit) {
    ThousandPeer<QtSender, QtCounter>(
        state, hit,
        [](QtSender& s, QtCounter& r) { QObject::connect(&s, &QtSender::Changed, &r, &QtCounter::OnChanged, Qt::DirectConnection); },
        [](QtSender& s, const NotificationInfo* info) { Q_EMIT s.Changed(info); });
}

void ThousandSignals2(benchmark::State& state, bool hit) {
    ThousandPeer<Signals2, PlainCounter>(
        state, hit, [](Signals2& s, PlainCounter& r) { s.connect([c = &r](const NotificationInfo*) { ++c->count; }); },
        [](Signals2& s, const NotificationInfo* info) { s(info); });
}

void ThousandSigc(benchmark::State& state, bool hit) {
    ThousandPeer<Sigc, SigcCounter>(
        state, hit, [](Sigc& s, SigcCounter& r) { s.connect(sigc::mem_fun(r, &SigcCounter::OnChanged)); },
        [](Sigc& s, const NotificationInfo* info) { s.emit(info); });
}

void ThousandFloorLookup(benchmark::State& state, bool hit) {
    ThousandFloor floor(hit);
    const NotificationInfo info;
    for (auto _ : state) floor.Publish(&info);
    Finish(state);
}

// --- Re-entrant delivery ------------------------------------------------------------

const CString kReentrantKey(u"RouteChanged");
const CString kSecondKey(u"RouteSelected");

// Unsubscribes itself, subscribes its partner and publishes the second key.
class OurSwapper : public Subscriber {
public:
    OurSwapper(SubscriptionMap& map, OurSwapper*& partner) : m_map(map), m_partner(partner) {}
    void Update(const NotificationInfo* info) override {
        ++count;
        m_map.Unsubscribe(kReentrantKey, this);
        m_map.Subscribe(kReentrantKey, m_partner);
        m_map.Notify(kSecondKey, info, nullptr);
    }
    std::uint64_t count = 0;

private:
    SubscriptionMap& m_map;
    OurSwapper*& m_partner;
};

void ReentrantOurs(benchmark::State& state) {
    SubscriptionMap map;
    OurCounter stable;
    OurCounter second;
    OurSwapper* partnerOfA = nullptr;
    OurSwapper* partnerOfB = nullptr;
    OurSwapper a(map, partnerOfA);
    OurSwapper b(map, partnerOfB);
    partnerOfA = &b;
    partnerOfB = &a;
    map.Subscribe(kReentrantKey, &stable);
    map.Subscribe(kReentrantKey, &a);
    map.Subscribe(kSecondKey, &second);
    const NotificationInfo info;
    for (auto _ : state) map.Notify(kReentrantKey, &info, nullptr);
    map.Unsubscribe(kReentrantKey, &stable);
    map.Unsubscribe(kReentrantKey, &a);
    map.Unsubscribe(kReentrantKey, &b);
    map.Unsubscribe(kSecondKey, &second);
    if (a.count + b.count != static_cast<std::uint64_t>(state.iterations()) || second.count != a.count + b.count) {
        state.SkipWithError("re-entrant delivery reached the wrong receivers");
    }
    Finish(state);
}

class QtSwapper : public QObject {
public:
    void OnChanged(const NotificationInfo* info) {
        ++count;
        QObject::disconnect(connection);
        partner->connection = QObject::connect(first, &QtSender::Changed, partner, &QtSwapper::OnChanged, Qt::DirectConnection);
        Q_EMIT second->Changed(info);
    }
    QtSender* first = nullptr;
    QtSender* second = nullptr;
    QtSwapper* partner = nullptr;
    QMetaObject::Connection connection;
    std::uint64_t count = 0;
};

void ReentrantQt(benchmark::State& state) {
    QtSender first;
    QtSender second;
    QtCounter stable;
    QtCounter secondReceiver;
    QtSwapper a;
    QtSwapper b;
    for (QtSwapper* s : {&a, &b}) {
        s->first = &first;
        s->second = &second;
    }
    a.partner = &b;
    b.partner = &a;
    QObject::connect(&first, &QtSender::Changed, &stable, &QtCounter::OnChanged, Qt::DirectConnection);
    a.connection = QObject::connect(&first, &QtSender::Changed, &a, &QtSwapper::OnChanged, Qt::DirectConnection);
    QObject::connect(&second, &QtSender::Changed, &secondReceiver, &QtCounter::OnChanged, Qt::DirectConnection);
    const NotificationInfo info;
    for (auto _ : state) Q_EMIT first.Changed(&info);
    if (a.count + b.count != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("re-entrant delivery reached the wrong receivers");
    }
    Finish(state);
}

struct Signals2Swapper {
    Signals2* first = nullptr;
    Signals2* second = nullptr;
    Signals2Swapper* partner = nullptr;
    boost::signals2::connection connection;
    std::uint64_t count = 0;
    void OnChanged(const NotificationInfo* info) {
        ++count;
        connection.disconnect();
        Signals2Swapper* p = partner;
        p->connection = first->connect([p](const NotificationInfo* i) { p->OnChanged(i); });
        (*second)(info);
    }
};

void ReentrantSignals2(benchmark::State& state) {
    Signals2 first;
    Signals2 second;
    PlainCounter stable;
    PlainCounter secondReceiver;
    Signals2Swapper a;
    Signals2Swapper b;
    for (Signals2Swapper* s : {&a, &b}) {
        s->first = &first;
        s->second = &second;
    }
    a.partner = &b;
    b.partner = &a;
    first.connect([c = &stable](const NotificationInfo*) { ++c->count; });
    a.connection = first.connect([p = &a](const NotificationInfo* i) { p->OnChanged(i); });
    second.connect([c = &secondReceiver](const NotificationInfo*) { ++c->count; });
    const NotificationInfo info;
    for (auto _ : state) first(&info);
    if (a.count + b.count != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("re-entrant delivery reached the wrong receivers");
    }
    Finish(state);
}

class SigcSwapper : public sigc::trackable {
public:
    void OnChanged(const NotificationInfo* info) {
        ++count;
        connection.disconnect();
        partner->connection = first->connect(sigc::mem_fun(*partner, &SigcSwapper::OnChanged));
        second->emit(info);
    }
    Sigc* first = nullptr;
    Sigc* second = nullptr;
    SigcSwapper* partner = nullptr;
    sigc::connection connection;
    std::uint64_t count = 0;
};

void ReentrantSigc(benchmark::State& state) {
    Sigc first;
    Sigc second;
    SigcCounter stable;
    SigcCounter secondReceiver;
    SigcSwapper a;
    SigcSwapper b;
    for (SigcSwapper* s : {&a, &b}) {
        s->first = &first;
        s->second = &second;
    }
    a.partner = &b;
    b.partner = &a;
    first.connect(sigc::mem_fun(stable, &SigcCounter::OnChanged));
    a.connection = first.connect(sigc::mem_fun(a, &SigcSwapper::OnChanged));
    second.connect(sigc::mem_fun(secondReceiver, &SigcCounter::OnChanged));
    const NotificationInfo info;
    for (auto _ : state) first.emit(&info);
    if (a.count + b.count != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("re-entrant delivery reached the wrong receivers");
    }
    Finish(state);
}

// The floors' re-entrancy-safe slot list: a removed slot is marked and erased
// after the outermost delivery; slots added during a delivery go behind the
// count it started with. A deque keeps a running slot in place while others
// are appended. Used under one recursive lock shared by every list of a
// floor, as our map shares one lock between its keys.
class FloorSlots {
public:
    struct Entry {
        Slot slot;
        std::uint64_t id;
        bool live;
    };
    std::uint64_t Add(Slot slot) {
        m_entries.push_back(Entry{std::move(slot), ++m_nextId, true});
        return m_nextId;
    }
    void Remove(std::uint64_t id) {
        for (Entry& e : m_entries) {
            if (e.live && e.id == id) {
                e.live = false;
                m_dirty = true;
                return;
            }
        }
    }
    void Publish(const NotificationInfo* info) {
        const std::size_t n = m_entries.size();
        ++m_depth;
        for (std::size_t i = 0; i < n; ++i) {
            if (m_entries[i].live) m_entries[i].slot(info);
        }
        if (--m_depth == 0 && m_dirty) {
            std::erase_if(m_entries, [](const Entry& e) { return !e.live; });
            m_dirty = false;
        }
    }

private:
    std::deque<Entry> m_entries;
    std::uint64_t m_nextId = 0;
    int m_depth = 0;
    bool m_dirty = false;
};

// `lookup` maps a key name to its slot list: directly for FloorLoop, through
// an unordered_map for FloorLookup.
template <class Lookup>
void ReentrantFloor(benchmark::State& state, Lookup lookup) {
    std::recursive_mutex lock;
    const std::u16string firstKey = kReentrantKey.str();
    const std::u16string secondKey = kSecondKey.str();
    struct Swapper {
        std::uint64_t id = 0;
        std::uint64_t count = 0;
        Swapper* partner = nullptr;
    } a, b;
    a.partner = &b;
    b.partner = &a;
    PlainCounter stable;
    PlainCounter secondReceiver;
    std::function<void(Swapper*, const NotificationInfo*)> swap = [&](Swapper* self, const NotificationInfo* info) {
        const std::lock_guard guard(lock);
        ++self->count;
        lookup(firstKey).Remove(self->id);
        Swapper* p = self->partner;
        p->id = lookup(firstKey).Add([&swap, p](const NotificationInfo* i) { swap(p, i); });
        lookup(secondKey).Publish(info);
    };
    lookup(firstKey).Add([c = &stable](const NotificationInfo*) { ++c->count; });
    a.id = lookup(firstKey).Add([&swap, p = &a](const NotificationInfo* i) { swap(p, i); });
    lookup(secondKey).Add([c = &secondReceiver](const NotificationInfo*) { ++c->count; });
    const NotificationInfo info;
    for (auto _ : state) {
        const std::lock_guard guard(lock);
        lookup(firstKey).Publish(&info);
    }
    if (a.count + b.count != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("re-entrant delivery reached the wrong receivers");
    }
    Finish(state);
}

void ReentrantFloorLoop(benchmark::State& state) {
    FloorSlots first;
    FloorSlots second;
    ReentrantFloor(state, [&](const std::u16string& key) -> FloorSlots& { return key == u"RouteChanged" ? first : second; });
}

void ReentrantFloorLookup(benchmark::State& state) {
    std::unordered_map<std::u16string, FloorSlots> lists;
    lists[kReentrantKey.str()];
    lists[kSecondKey.str()];
    ReentrantFloor(state, [&](const std::u16string& key) -> FloorSlots& { return lists.find(key)->second; });
}

// --- Registration -------------------------------------------------------------------

// CPU time of the benchmark thread, the median of three runs: the work is
// single-threaded, and on a shared machine wall time would also count the
// moments the thread was not running at all.
void Configure(benchmark::internal::Benchmark* b) {
    b->MinTime(kMinTime)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
}

const bool kRegistered = [] {
    for (int n : {0, 1, 10, 100}) {
        const std::string row = "Sync/OneKey" + std::to_string(n) + "/";
        Configure(benchmark::RegisterBenchmark((row + "Ours").c_str(), OneKeyOurs, n));
        Configure(benchmark::RegisterBenchmark((row + "Qt").c_str(), OneKeyQt, n));
        Configure(benchmark::RegisterBenchmark((row + "Signals2").c_str(), OneKeySignals2, n));
        Configure(benchmark::RegisterBenchmark((row + "Sigc").c_str(), OneKeySigc, n));
        Configure(benchmark::RegisterBenchmark((row + "FloorLoop").c_str(), OneKeyFloorLoop, n));
        Configure(benchmark::RegisterBenchmark((row + "FloorLookup").c_str(), OneKeyFloorLookup, n));
    }
    for (bool hit : {true, false}) {
        const std::string row = hit ? "Sync/ThousandKeysHit10/" : "Sync/ThousandKeysMiss/";
        Configure(benchmark::RegisterBenchmark((row + "Ours").c_str(), ThousandOurs, hit));
        Configure(benchmark::RegisterBenchmark((row + "Qt").c_str(), ThousandQt, hit));
        Configure(benchmark::RegisterBenchmark((row + "Signals2").c_str(), ThousandSignals2, hit));
        Configure(benchmark::RegisterBenchmark((row + "Sigc").c_str(), ThousandSigc, hit));
        Configure(benchmark::RegisterBenchmark((row + "FloorLookup").c_str(), ThousandFloorLookup, hit));
    }
    Configure(benchmark::RegisterBenchmark("Sync/Reentrant/Ours", ReentrantOurs));
    Configure(benchmark::RegisterBenchmark("Sync/Reentrant/Qt", ReentrantQt));
    Configure(benchmark::RegisterBenchmark("Sync/Reentrant/Signals2", ReentrantSignals2));
    Configure(benchmark::RegisterBenchmark("Sync/Reentrant/Sigc", ReentrantSigc));
    Configure(benchmark::RegisterBenchmark("Sync/Reentrant/FloorLoop", ReentrantFloorLoop));
    Configure(benchmark::RegisterBenchmark("Sync/Reentrant/FloorLookup", ReentrantFloorLookup));
    return true;
}();

}  // namespace
