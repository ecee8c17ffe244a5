#include "subscription/SubscriptionMap.h"

#include "mainthread/MainThreadDispatcher.h"
#include "platform/WinThread.h"
#include "subscription/Subscriber.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory_resource>
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

bool SubscriptionMap::KeyOrder::operator()(const CString& a, const CString& b) const noexcept {
    if (a.size() != b.size()) return a.size() < b.size();
    return std::memcmp(a.c_str(), b.c_str(), a.size() * sizeof(char16_t)) < 0;
}

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
    auto it = m_entries.find(key);
    const bool added = it == m_entries.end();
    if (added) it = m_entries.emplace(key, Run()).first;
    try {
        it->second.push_back(subscriber);  // behind the key's earlier entries
    } catch (...) {
        if (added) m_entries.erase(it);  // all or nothing: no empty run is left behind
        throw;
    }
}

void SubscriptionMap::Unsubscribe(const CString& key, Subscriber* subscriber) {
    const std::lock_guard lock(m_lock);
    const auto it = m_entries.find(key);
    if (it == m_entries.end()) return;
    Run& run = it->second;
    const auto entry = std::find(run.begin(), run.end(), subscriber);
    if (entry == run.end()) return;
    if (m_notifying) {
        *entry = nullptr;  // a running delivery may still walk over this place
        m_cleanUpPending = true;
    } else {
        run.erase(entry);
        if (run.empty()) m_entries.erase(it);
    }
}

void SubscriptionMap::Notify(const CString& key, const NotificationInfo* info, Subscriber* leaveOut) {
    const std::lock_guard lock(m_lock);
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.empty()) return;
    const Run& run = it->second;
    // Entries added under the key during the delivery go behind this one.
    const std::size_t count = run.size();
    const DeliveryScope scope(*this);
    for (std::size_t i = 0; i < count; ++i) {
        Subscriber* const subscriber = run[i];  // read afresh: an Update may have removed it
        if (subscriber != nullptr && subscriber != leaveOut) subscriber->Update(info);
    }
}

void SubscriptionMap::Notify(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) {
    // The runs and the set of subscribers already called live in a buffer on
    // the stack; only a delivery to many keys or subscribers reaches the heap.
    std::array<std::byte, 1024> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init): scratch memory
    std::pmr::monotonic_buffer_resource scratch(buffer.data(), buffer.size());
    const std::lock_guard lock(m_lock);
    std::pmr::vector<std::pair<const Run*, std::size_t>> runs(&scratch);  // each key's entries and their count now
    runs.reserve(keys.size());
    for (const CString& key : keys) {
        const auto it = m_entries.find(key);
        if (it != m_entries.end() && !it->second.empty()) runs.emplace_back(&it->second, it->second.size());
    }
    if (runs.empty()) return;
    const DeliveryScope scope(*this);
    std::pmr::set<Subscriber*> called(&scratch);
    for (const auto& [run, count] : runs) {
        for (std::size_t i = 0; i < count; ++i) {
            Subscriber* const subscriber = (*run)[i];
            if (subscriber != nullptr && subscriber != leaveOut && called.insert(subscriber).second) {
                subscriber->Update(info);
            }
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
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        std::erase(it->second, nullptr);
        it = it->second.empty() ? m_entries.erase(it) : std::next(it);
    }
    m_cleanUpPending = false;
}
