#include "subscription/SubscriptionMap.h"

#include "mainthread/MainThreadDispatcher.h"
#include "platform/WinThread.h"
#include "subscription/Subscriber.h"

#include <iterator>
#include <mutex>
#include <set>
#include <utility>

// Marks the map as delivering for the life of one delivery. On the way out,
// normal or by exception, it restores the previous state, and the outermost
// delivery erases the entries that were removed meanwhile, so the map stays
// consistent and usable even when an Update throws.
class SubscriptionMap::DeliveryScope {
public:
    explicit DeliveryScope(SubscriptionMap& map) : m_map(map), m_saved(std::exchange(map.m_notifying, true)) {}
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;
    ~DeliveryScope() {
        m_map.m_notifying = m_saved;
        m_map.CleanUp();
    }

private:
    SubscriptionMap& m_map;
    bool m_saved;
};

struct SubscriptionMap::Liveness {
    platform::RecursiveLock lock;  // held by a queued delivery while it runs
    bool alive = true;             // guarded by lock
};

SubscriptionMap::SubscriptionMap() : m_liveness(std::make_shared<Liveness>()) {
    if (platform::IsUserInterfaceThread()) {
        m_dispatcher = std::make_unique<MainThreadDispatcher>();
    }
}

SubscriptionMap::~SubscriptionMap() {
    {
        // Waits for a queued delivery that is running on the user-interface
        // thread right now; later ones find the map dead.
        const std::lock_guard lock(m_liveness->lock);
        m_liveness->alive = false;
    }
    if (m_dispatcher && !platform::IsUserInterfaceThread()) {
        // The dispatcher's window belongs to the user-interface thread and may
        // only be destroyed there. If that cannot be queued, the dispatcher is
        // leaked rather than destroyed on the wrong thread. A map without a
        // dispatcher has nothing to hand over, and must not be the first user
        // of the process-wide dispatcher on a thread other than its own.
        auto owned = std::make_shared<std::unique_ptr<MainThreadDispatcher>>(std::move(m_dispatcher));
        if (!MainThreadDispatcher::Instance().DispatchAsync([owned] { owned->reset(); })) {
            static_cast<void>(owned->release());
        }
    }
    m_dispatcher.reset();
}

void SubscriptionMap::Subscribe(const CString& key, Subscriber* subscriber) {
    const std::lock_guard lock(m_lock);
    // A multimap inserts behind the existing equal keys, keeping subscription order.
    m_entries.emplace(key, subscriber);
}

void SubscriptionMap::Unsubscribe(const CString& key, Subscriber* subscriber) {
    const std::lock_guard lock(m_lock);
    auto [it, end] = m_entries.equal_range(key);
    for (; it != end; ++it) {
        if (it->second == subscriber) break;
    }
    if (it == end) return;
    if (m_notifying) {
        it->second = nullptr;  // a running delivery may still hold an iterator to it
        m_cleanUpPending = true;
    } else {
        m_entries.erase(it);
    }
}

void SubscriptionMap::Notify(const CString& key, const NotificationInfo* info, Subscriber* leaveOut) {
    const std::lock_guard lock(m_lock);
    const auto [first, end] = m_entries.equal_range(key);
    if (first == end) return;
    // Entries added under the key during the delivery go behind this one.
    const auto last = std::prev(end);
    const DeliveryScope scope(*this);
    for (auto it = first;; ++it) {
        Subscriber* const subscriber = it->second;
        if (subscriber != nullptr && subscriber != leaveOut) subscriber->Update(info);
        if (it == last) break;
    }
}

void SubscriptionMap::Notify(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) {
    const std::lock_guard lock(m_lock);
    std::vector<std::pair<Entries::iterator, Entries::iterator>> runs;  // first and last entry of each key
    for (const CString& key : keys) {
        const auto [first, end] = m_entries.equal_range(key);
        if (first != end) runs.emplace_back(first, std::prev(end));
    }
    if (runs.empty()) return;
    const DeliveryScope scope(*this);
    std::set<Subscriber*> called;
    for (const auto& [first, last] : runs) {
        for (auto it = first;; ++it) {
            Subscriber* const subscriber = it->second;
            if (subscriber != nullptr && subscriber != leaveOut && called.insert(subscriber).second) {
                subscriber->Update(info);
            }
            if (it == last) break;
        }
    }
}

void SubscriptionMap::NotifySend(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) {
    if (!m_dispatcher) return;
    m_dispatcher->DispatchSync([this, &keys, info, leaveOut] { Notify(keys, info, leaveOut); });
}

void SubscriptionMap::NotifyPost(const std::vector<CString>& keys) {
    if (!m_dispatcher) return;
    m_dispatcher->DispatchAsync([this, liveness = m_liveness, keys] {
        const std::lock_guard lock(liveness->lock);
        if (liveness->alive) Notify(keys, nullptr, nullptr);
    });
}

void SubscriptionMap::CleanUp() {
    if (m_notifying || !m_cleanUpPending) return;
    std::erase_if(m_entries, [](const auto& entry) { return entry.second == nullptr; });
    m_cleanUpPending = false;
}
