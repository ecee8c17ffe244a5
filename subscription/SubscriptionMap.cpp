#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Check.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/Subscriber.h>

#include "subscription/internal/SubscriptionLedger.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

namespace brim {

// Marks the map as delivering for the life of one delivery. On the way out,
// normal or by exception, it restores the previous state, and the outermost
// delivery erases the entries that were removed meanwhile, so the map stays
// consistent and usable even when an Update throws.
class SubscriptionMap::DeliveryScope {
public:
    explicit DeliveryScope(SubscriptionMap& map) BRIM_REQUIRES(map.m_lock)
        : m_map(map), m_saved(std::exchange(map.m_notifying, true)) {}
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;
    // Destroyed before the delivery's lock guard, which is declared first; the
    // analysis cannot see that from the destructor alone.
    ~DeliveryScope() BRIM_NO_THREAD_SAFETY_ANALYSIS {
        m_map.m_notifying = m_saved;
        m_map.CleanUp();
    }

private:
    SubscriptionMap& m_map;
    bool m_saved;
};

namespace {

// The last four units of a key of at least four, as one number: keys of one
// catalogue tend to share a long prefix and differ at the end (a number, a
// suffix), so comparing these first settles most comparisons in one step.
inline std::uint64_t Tail(const CString& key) noexcept {
    std::uint64_t tail = 0;
    if (key.size() >= 4) std::memcpy(&tail, key.c_str() + key.size() - 4, sizeof tail);
    return tail;
}

}  // namespace

// Inline: the map's look-ups, all in this file, compare a few times each.
inline bool SubscriptionMap::KeyOrder::operator()(const CString& a, const CString& b) const noexcept {
    if (a.size() != b.size()) return a.size() < b.size();
    if (a.c_str() == b.c_str()) return false;  // copies of one key share their units
    if (const std::uint64_t ta = Tail(a), tb = Tail(b); ta != tb) return ta < tb;
    return std::memcmp(a.c_str(), b.c_str(), a.size() * sizeof(char16_t)) < 0;
}

namespace {

// The subscribers one delivery has called. The first few are kept on the
// stack and searched in order, which beats any set at that size; only a
// delivery to many distinct subscribers reaches the heap.
class CalledOnce {
public:
    // True the first time `subscriber` is seen.
    bool First(Subscriber* subscriber) {
        const auto few = std::span(m_few).first(m_fewCount);
        if (std::find(few.begin(), few.end(), subscriber) != few.end()) return false;
        if (m_fewCount < m_few.size()) {
            m_few[m_fewCount++] = subscriber;
            return true;
        }
        if (!m_many) m_many.emplace();
        return m_many->insert(subscriber).second;
    }

private:
    // Only the first m_fewCount are ever read: left unset, since a delivery
    // makes one of these each time.
    std::array<Subscriber*, 16> m_few;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::size_t m_fewCount = 0;
    std::optional<std::set<Subscriber*>> m_many;  // made past the first few
};

}  // namespace

// The keys of a posted delivery, copied by reference (a key's copy shares
// its units): up to InPlace of them stay in place, more go to a vector of
// their own. Pointers and reference-counted keys: its bytes may move as they
// are.
template <std::size_t InPlace>
class SubscriptionMap::PostedKeys {
public:
    explicit PostedKeys(std::span<const CString> keys) : m_count(keys.size()) {
        if (keys.size() > m_inPlace.size()) {
            m_more = std::make_unique<std::vector<CString>>(keys.begin(), keys.end());
        } else {
            std::copy(keys.begin(), keys.end(), m_inPlace.begin());
        }
    }
    [[nodiscard]] std::span<const CString> Keys() const noexcept {
        return m_more ? std::span<const CString>(*m_more) : std::span<const CString>(m_inPlace.data(), m_count);
    }

private:
    std::size_t m_count;
    std::array<CString, InPlace> m_inPlace;
    std::unique_ptr<std::vector<CString>> m_more;
};

// A posted delivery without payload of any other number of keys, kept in
// place in the dispatcher's queue (it fits a brim::MoveOnlyFunction's
// in-place storage, so posting allocates nothing): the map and up to two
// keys, or a vector of more.
class SubscriptionMap::PostedDelivery {
public:
    static constexpr bool kTriviallyRelocatable = true;

    PostedDelivery(SubscriptionMap& map, std::span<const CString> keys) : m_map(&map), m_keys(keys) {}
    void operator()() { m_map->Deliver(m_keys.Keys(), nullptr, nullptr); }

private:
    SubscriptionMap* m_map;
    PostedKeys<2> m_keys;
};

// A posted delivery with a payload, in place as well: the map, the payload's
// reference and one key (56 bytes); two or more keys go to a vector. Two
// keys in place as above would need 72 bytes, past the in-place storage,
// whose size is part of the binary interface; and making every queued call
// larger for a payload that most posts do not carry would cost every post
// memory and copying. So the payload's posts have a kind of their own and a
// queued call stays the same size for both. A std::shared_ptr is two
// pointers and nothing points back at it: its bytes may move as they are too.
// The reference goes when the call is destroyed: after it ran, when it is
// refused, or with the queue that discards it.
class SubscriptionMap::PostedDeliveryWithInfo {
public:
    static constexpr bool kTriviallyRelocatable = true;

    PostedDeliveryWithInfo(SubscriptionMap& map, std::span<const CString> keys,
                           std::shared_ptr<const NotificationInfo>&& info)
        : m_map(&map), m_info(std::move(info)), m_keys(keys) {}
    void operator()() { m_map->Deliver(m_keys.Keys(), m_info.get(), nullptr); }

private:
    SubscriptionMap* m_map;
    std::shared_ptr<const NotificationInfo> m_info;
    PostedKeys<1> m_keys;
};

SubscriptionMap::SubscriptionMap()
    : m_dispatcher(std::make_unique<MainThreadDispatcher>(MainThreadDispatcher::FollowUserInterfaceThread{})) {}

SubscriptionMap::~SubscriptionMap() {
    // First, whatever the thread and whether or not the application object is
    // still alive: a dispatcher may be destroyed anywhere. Off the threads it
    // delivered to it waits for a posted delivery running there, and the
    // deliveries still queued go with it, so none reaches the map once it is
    // gone.
    m_dispatcher.reset();
    subscription_ledger::MapGone(this);  // its entries go with it, unannounced to their receivers
}

void SubscriptionMap::Subscribe(const CString& key, Subscriber* subscriber) {
    const platform::LockGuard lock(m_lock);
    auto it = m_entries.find(key);
    const bool added = it == m_entries.end();
    if (added) it = m_entries.emplace(key, Run()).first;
    try {
        it->second.push_back(subscriber);  // behind the key's earlier entries
    } catch (...) {
        if (added) m_entries.erase(it);  // all or nothing: no empty run is left behind
        throw;
    }
    try {
        subscription_ledger::Entered(subscriber, this, m_type, key);
    } catch (...) {
        it->second.pop_back();
        if (it->second.empty()) m_entries.erase(it);
        throw;
    }
}

void SubscriptionMap::Unsubscribe(const CString& key, Subscriber* subscriber) {
    const platform::LockGuard lock(m_lock);
    const auto it = m_entries.find(key);
    if (it == m_entries.end()) return;
    Run& run = it->second;
    const auto entry = std::find(run.begin(), run.end(), subscriber);
    if (entry == run.end()) return;
    if (m_notifying) {
        try {
            m_marked.push_back(it);
        } catch (const std::bad_alloc&) {
            m_cleanAll = true;  // no room to note the run: the clean-up visits them all
        }
        *entry = nullptr;  // a running delivery may still walk over this place
        subscription_ledger::Removed(subscriber, this, key);
        m_cleanUpPending = true;
    } else {
        run.erase(entry);
        subscription_ledger::Removed(subscriber, this, key);
        if (run.empty()) m_entries.erase(it);
    }
}

void SubscriptionMap::Notify(const CString& key, const NotificationInfo* info, Subscriber* leaveOut) {
    DeliverKey(key, info, leaveOut, false);
}

// Starts a cache line, so that its loop's place in the lines, and with it
// the loop's speed, does not move with the code before it: a build that only
// moved this function by half a line delivered to ten receivers a tenth
// slower.
[[gnu::aligned(64)]]
void SubscriptionMap::DeliverKey(const CString& key, const NotificationInfo* info, Subscriber* leaveOut,
                                 bool oncePerSubscriber) {
    const platform::LockGuard lock(m_lock);
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.empty()) return;
    const Run& run = it->second;
    // Entries added under the key during the delivery go behind this one.
    const std::size_t count = run.size();
    const bool once = oncePerSubscriber && count > 1;  // one entry cannot repeat a subscriber
    const DeliveryScope scope(*this);
    CalledOnce called;
    for (std::size_t i = 0; i < count; ++i) {
        Subscriber* const subscriber = run[i];  // read afresh: an Update may have removed it
        if (subscriber == nullptr || subscriber == leaveOut || (once && !called.First(subscriber))) continue;
        subscriber->Update(info);
    }
}

void SubscriptionMap::Notify(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) {
    Deliver(keys, info, leaveOut);
}

void SubscriptionMap::Deliver(std::span<const CString> keys, const NotificationInfo* info, Subscriber* leaveOut) {
    if (keys.size() == 1) return DeliverKey(keys.front(), info, leaveOut, true);
    const platform::LockGuard lock(m_lock);
    // Each key's entries and their count now, so entries added during the
    // delivery are not reached. A few keys stay on the stack.
    using Reach = std::pair<const Run*, std::size_t>;
    std::array<Reach, 4> fewRuns{};
    std::vector<Reach> manyRuns;
    std::size_t runCount = 0;
    for (const CString& key : keys) {
        const auto it = m_entries.find(key);
        if (it == m_entries.end() || it->second.empty()) continue;
        if (runCount < fewRuns.size()) {
            fewRuns[runCount] = {&it->second, it->second.size()};
        } else {
            if (manyRuns.empty()) manyRuns.assign(fewRuns.begin(), fewRuns.end());
            manyRuns.emplace_back(&it->second, it->second.size());
        }
        ++runCount;
    }
    if (runCount == 0) return;
    const std::span<const Reach> runs = manyRuns.empty() ? std::span<const Reach>(fewRuns.data(), runCount)
                                                         : std::span<const Reach>(manyRuns);
    const DeliveryScope scope(*this);
    CalledOnce called;
    for (const auto& [run, count] : runs) {
        for (std::size_t i = 0; i < count; ++i) {
            Subscriber* const subscriber = (*run)[i];
            if (subscriber != nullptr && subscriber != leaveOut && called.First(subscriber)) {
                subscriber->Update(info);
            }
        }
    }
}

std::size_t SubscriptionMap::SubscriberCount(const CString& key) const {
    const platform::LockGuard lock(m_lock);
    const auto it = m_entries.find(key);
    return it == m_entries.end() ? 0 : it->second.size();
}

std::uint64_t SubscriptionMap::DroppedPostCount() const noexcept {
    return m_dispatcher->RefusedCount() + m_dispatcher->DiscardedCount();
}

bool SubscriptionMap::CanDeliverToUserInterfaceThread() const { return m_dispatcher->CanDispatch(); }

void SubscriptionMap::NotifySend(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) {
    m_dispatcher->ReportRefusal(
        m_dispatcher->TryDispatchSync([this, &keys, info, leaveOut] { Notify(keys, info, leaveOut); }), m_type);
}

void SubscriptionMap::NotifyPost(const std::vector<CString>& keys) { static_cast<void>(Post(keys, true)); }

bool SubscriptionMap::TryNotifyPost(const std::vector<CString>& keys) { return Post(keys, false); }

void SubscriptionMap::NotifyPost(const std::vector<CString>& keys, std::shared_ptr<const NotificationInfo> info) {
    static_cast<void>(Post(keys, std::move(info), true));
}

bool SubscriptionMap::TryNotifyPost(const std::vector<CString>& keys, std::shared_ptr<const NotificationInfo> info) {
    return Post(keys, std::move(info), false);
}

namespace {

// Whether a post was queued; when asked, reports a refusal in the registry's terms.
bool Settle(const MainThreadDispatcher& dispatcher, DispatchStatus status, int type, bool report) {
    if (report && status != DispatchStatus::Accepted) dispatcher.ReportRefusal(status, type);
    return status == DispatchStatus::Accepted;
}

// Queues a posted delivery (in place: it must not allocate) and settles it.
template <class Delivery>
bool Offer(MainThreadDispatcher& dispatcher, Delivery&& delivery, int type, bool report) {
    static_assert(MoveOnlyFunction<void()>::kFitsInPlace<Delivery>, "posting must not allocate");
    return Settle(dispatcher, dispatcher.TryDispatchAsync(std::forward<Delivery>(delivery)), type, report);
}

}  // namespace

bool SubscriptionMap::Post(std::span<const CString> keys, bool report) {
    if (keys.size() == 1) {
        // The commonest post goes as a key, not as a call (see TryDispatchKey).
        const auto deliver = [](void* map, const CString& key) {
            static_cast<SubscriptionMap*>(map)->DeliverKey(key, nullptr, nullptr, true);
        };
        return Settle(*m_dispatcher, m_dispatcher->TryDispatchKey(deliver, this, keys.front()), m_type, report);
    }
    return Offer(*m_dispatcher, PostedDelivery(*this, keys), m_type, report);
}

bool SubscriptionMap::Post(std::span<const CString> keys, std::shared_ptr<const NotificationInfo>&& info,
                           bool report) {
    if (!info) return Post(keys, report);
    // A refused call is destroyed inside the dispatch, on this thread, and
    // the reference with it: nothing of the payload outlives the refusal.
    return Offer(*m_dispatcher, PostedDeliveryWithInfo(*this, keys, std::move(info)), m_type, report);
}

void SubscriptionMap::CleanUp() {
    if (m_notifying || !m_cleanUpPending) return;
    if (m_cleanAll) {
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            std::erase(it->second, nullptr);
            it = it->second.empty() ? m_entries.erase(it) : std::next(it);
        }
    } else {
        // Only the runs that deliveries marked; a run listed twice is visited
        // once, since the first visit may erase it.
        std::sort(m_marked.begin(), m_marked.end(),
                  [](Entries::iterator a, Entries::iterator b) { return std::less<>()(&*a, &*b); });
        m_marked.erase(std::unique(m_marked.begin(), m_marked.end()), m_marked.end());
        for (const Entries::iterator it : m_marked) {
            std::erase(it->second, nullptr);
            if (it->second.empty()) m_entries.erase(it);
        }
    }
    m_marked.clear();
    m_cleanAll = false;
    m_cleanUpPending = false;
    if (!m_retired.empty()) {
        // Deleted last, under the lock but with the map consistent: a
        // receiver's destructor may use the map again.
        std::vector<Subscriber*> retired;
        retired.swap(m_retired);
        for (Subscriber* subscriber : retired) delete subscriber;
    }
}

bool SubscriptionMap::DeleteAfterDelivery(Subscriber* subscriber) {
    const platform::LockGuard lock(m_lock);
    if (!m_notifying) return false;  // no delivery runs on this thread: the caller deletes it now
    m_retired.push_back(subscriber);
    m_cleanUpPending = true;
    return true;
}

void SubscriptionMap::ForgetDeleteAfterDelivery(Subscriber* subscriber) noexcept {
    const platform::LockGuard lock(m_lock);
    if (!m_retired.empty() && m_retired.back() == subscriber) m_retired.pop_back();
}

}  // namespace brim
