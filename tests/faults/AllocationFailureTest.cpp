// Every allocation of an operation, made to fail in turn: std::bad_alloc must come out,
// and the object must look as if the operation had not run or had run completely, and go
// on working (each observation ends with a follow-up). The sanitizer builds add no leak.

#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/filewatch/NFData.h>
#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/Subscription.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {
thread_local long t_countdown = -1;  // the calling thread's allocations left before the failing one; -1: none fails
thread_local bool t_fired = false, t_threw = false;
}  // namespace

// The other forms of new and delete reach these through the standard library. The deletes stay out of line, so
// that the compiler pairs each delete with this new instead of seeing free() meet operator new's pointer.
void* operator new(std::size_t size) {
    if (t_countdown >= 0 && t_countdown-- == 0 && (t_fired = true)) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Runs op not at all (mode -2), to completion (-1), or with allocation number `mode` failing.
template <class Op>
void Apply(long mode, Op&& op) {
    if (mode == -2) return;
    t_countdown = mode;
    try { op(); } catch (const std::bad_alloc&) { t_threw = true; }
    t_countdown = -1;
}

std::string Str(auto... values) { return ((std::to_string(values) + ' ') + ...); }

struct Counter : Subscriber {
    void Update(const NotificationInfo*) override { ++calls, action ? action() : void(); }
    int calls = 0;
    std::function<void()> action;
};

const CString kLong(u"A key long enough to live on the heap");

// Sixty receivers under forty keys, so that the several-keys delivery's
// scratch outgrows its buffer on the stack; the first receiver removes the
// last during a delivery. op 0: Subscribe, 1: Notify, 2: NotifySend,
// 3: TryNotifyPost, 4: the dispatcher's DispatchAsync.
std::string OnMap(long mode, int op) {
    std::vector<Counter> r(60);  // outlives the map that holds it
    SubscriptionMap map;         // built on the user-interface thread: it sends and posts
    MainThreadDispatcher dispatcher;
    std::vector<CString> keys;
    for (int k = 0; k < 40; ++k) keys.emplace_back("key number " + std::to_string(k));
    for (std::size_t i = 1; i < r.size(); ++i) map.Subscribe(keys[i % keys.size()], &r[i]);
    r[1].action = [&] { map.Unsubscribe(keys[19], &r[59]); };
    bool queued = false;
    Apply(mode, [&] {
        if (op == 0) map.Subscribe(kLong, &r[0]);
        if (op == 1) map.Notify(keys, nullptr, nullptr);
        if (op == 2) map.NotifySend(keys, nullptr, nullptr);
        if (op == 3) queued = map.TryNotifyPost(keys);
        if (op == 4) queued = dispatcher.DispatchAsync([&r, keys] { r[0].calls += static_cast<int>(keys.size()); });
    });
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    std::string seen = Str(queued, r[0].calls, map.SubscriberCount(keys[19]));
    map.Unsubscribe(keys[1], &r[1]);  // at once: the map is not left delivering
    map.Subscribe(keys[1], &r[0]);
    keys.push_back(kLong);
    for (Counter& c : r) c.calls = 0;
    map.NotifySend(keys, nullptr, nullptr), map.NotifyPost(keys), dispatcher.DispatchAsync([&r] { ++r[1].calls; });
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    for (const Counter& c : r) seen += std::to_string(c.calls);
    return seen + Str(map.SubscriberCount(keys[1]), map.SubscriberCount(kLong), dispatcher.QueuedCount());
}

// Not all or nothing: a failure keeps the keys entered so far, and the handle
// remembers exactly those ('=' per key); the follow-up enters the rest.
std::string HandleSubscribe(long mode, int) {
    SubscriptionMap map;
    Subscription sub(&map);
    const std::vector<CString> all{u"b1", kLong, kLong + u"2", u"a2", u"K"}, after(all.begin() + 2, all.end());
    sub.Subscribe({all[0], all[1]});
    Apply(mode, [&] { sub.Subscribe(after); });
    std::string seen;
    for (int round = 0; round < 2; ++round, sub.Subscribe(after)) {
        for (const CString& key : all) seen += std::cmp_equal(map.SubscriberCount(key), std::ranges::count(sub.GetKeys(), key)) ? '=' : '!';
    }
    return seen + std::to_string(sub.GetKeys() == after);
}

// A receiver swapped on a subscribed handle: all its keys move, or none.
std::string HandleSetSubscriber(long mode, int) {
    Counter first, second;  // outlive the map that holds them
    SubscriptionMap map;
    Subscription sub(&map);
    const std::vector<CString> keys{u"b1", kLong, kLong + u"2", u"a2"};
    sub.SetSubscriber(&first, false), sub.Subscribe(keys);
    Apply(mode, [&] { sub.SetSubscriber(&second, false); });
    map.Notify(keys, nullptr, nullptr);
    return Str(first.calls, second.calls, sub.GetSubscriber() == &second, map.SubscriberCount(kLong));
}

std::string AddFileWatch(long mode, int) {
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = 24 * 60 * 60 * 1000});  // no pass on its own
    const CString added(u"/nonexistent/a file with a name long enough for the heap.xyz");
    watcher.AddFileWatch(CString(u"/nonexistent/watched.xyz"));
    bool accepted = false;
    Apply(mode, [&] { accepted = watcher.AddFileWatch(added); });
    std::string seen = Str(accepted, watcher.AddFileWatch(added), watcher.IsPolling());
    for (const auto& [path, count] : watcher.GetWatchedPaths()) {
        seen += path.ToUtf8() + Str(count);
        for (int i = 0; i < count; ++i) watcher.RemoveFileWatch(path);
    }
    return seen + Str(watcher.GetWatchedPaths().size(), watcher.IsPolling());
}

// variant 0: into a new record; 1: merged into the record of b.xyz.
std::string NFDataAdd(long mode, int variant) {
    NFData data;
    NFData::DataUpdate update;
    update.m_ids = {CDataId(1, 1), CDataId(1, 4)};
    for (const char* name : {"b.xyz", "d.xyz"}) data.Add((update.m_fileName = CString(name), update));
    update.m_fileName = CString(variant == 0 ? "c.xyz, a name long enough for the heap" : "b.xyz");
    update.m_ids = {CDataId(1, 3), CDataId(1, 2), CDataId(1, 1)};
    Apply(mode, [&] { data.Add(update); });
    data.Add(update);
    std::string seen;
    for (int i = 0; i < data.NumFileUpdates(); ++i) {
        seen += data.GetFileUpdate(i).m_fileName.ToUtf8();
        for (const CDataId& id : data.GetFileUpdate(i).m_ids) seen += Str(id.GetItem());
    }
    return seen;
}

struct Operation {
    const char* name;
    std::string (*observe)(long mode, int variant);
    int variant;
    bool absorbs = false;  // delivers inside the operation: a removal made by a receiver absorbs its failure
    friend void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }
};

const Operation kOperations[] = {
    {"Subscribe", OnMap, 0},         {"NotifySeveralKeys", OnMap, 1, true}, {"NotifySend", OnMap, 2, true},
    {"TryNotifyPost", OnMap, 3},     {"DispatchAsync", OnMap, 4},         {"SubscriptionSubscribe", HandleSubscribe, 0},
    {"SubscriptionSetSubscriber", HandleSetSubscriber, 0},
    {"AddFileWatch", AddFileWatch, 0}, {"NFDataAddNewRecord", NFDataAdd, 0}, {"NFDataAddMerged", NFDataAdd, 1},
};

class AllocationFailureTest : public testing::TestWithParam<Operation> {};

TEST_P(AllocationFailureTest, EachFailureThrowsAndLeavesTheObjectAsBeforeOrAfterAndUsable) {
    const Operation& op = GetParam();
    const std::string before = op.observe(-2, op.variant), after = op.observe(-1, op.variant);
    long n = 0;
    for (; n < 100000; ++n) {
        t_fired = t_threw = false;
        const std::string seen = op.observe(n, op.variant);
        if (!t_fired) break;
        // A removal during a delivery absorbs its failure (the clean-up then visits every key): complete.
        EXPECT_TRUE(t_threw || (op.absorbs && seen == after)) << "allocation " << n << " failed, but no std::bad_alloc came out";
        EXPECT_TRUE(seen == before || seen == after) << "allocation " << n << ": " << seen << "\nbefore: " << before << "\nafter: " << after;
    }
    EXPECT_TRUE(n > 0 && n < 100000) << n << " allocations";
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailureTest, testing::ValuesIn(kOperations),
                         [](const testing::TestParamInfo<Operation>& info) { return std::string(info.param.name); });

}  // namespace
