#include <BrimSubscriber/subscription/Subscription.h>

#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <utility>

Subscription::Subscription(int type) : m_map(SubscriptionManager::Instance().GetSubscriptionMap(type)) {}

Subscription::Subscription(Subscription&& other) noexcept
    : m_map(std::exchange(other.m_map, nullptr)),
      m_subscriber(std::exchange(other.m_subscriber, nullptr)),
      m_ownsSubscriber(std::exchange(other.m_ownsSubscriber, false)),
      m_keys(std::exchange(other.m_keys, {})) {}

Subscription& Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        Destroy();
        m_map = std::exchange(other.m_map, nullptr);
        m_subscriber = std::exchange(other.m_subscriber, nullptr);
        m_ownsSubscriber = std::exchange(other.m_ownsSubscriber, false);
        m_keys = std::exchange(other.m_keys, {});
    }
    return *this;
}

Subscription::~Subscription() { Destroy(); }

void Subscription::Destroy() noexcept {
    // Entries first: no delivery may reach the receiver once it is deleted.
    Unsubscribe();
    if (m_ownsSubscriber) delete m_subscriber;
    m_subscriber = nullptr;
    m_ownsSubscriber = false;
}

void Subscription::SetType(int type) { SetMap(SubscriptionManager::Instance().GetSubscriptionMap(type)); }

void Subscription::SetMap(SubscriptionMap* map) {
    if (map == m_map) return;
    if (m_keys.empty()) {
        m_map = map;
        return;
    }
    std::vector<CString> keys = m_keys;
    Unsubscribe();
    m_map = map;
    Subscribe(keys);
}

void Subscription::SetSubscriber(Subscriber* subscriber, bool owns) noexcept {
    m_subscriber = subscriber;
    m_ownsSubscriber = owns;
}

void Subscription::SetSubscriber(CallbackSubscriber::Callback callback) {
    SetSubscriber(new CallbackSubscriber(std::move(callback)), true);
}

void Subscription::Subscribe(const CString& key) { Subscribe(std::vector<CString>{key}); }

void Subscription::Subscribe(const std::vector<CString>& keys) {
    if (IsSubscribed(keys)) return;
    // Copy first: an allocation failure then leaves the handle as it was.
    std::vector<CString> copy = keys;
    Unsubscribe();
    if (m_map != nullptr) {
        for (std::size_t i = 0; i < copy.size(); ++i) {
            try {
                m_map->Subscribe(copy[i], m_subscriber);
            } catch (...) {
                // Keep the invariant: the keys remembered are the keys entered.
                copy.resize(i);
                m_keys = std::move(copy);
                throw;
            }
        }
    }
    m_keys = std::move(copy);
}

void Subscription::Unsubscribe() {
    // A handle that outlives the hub (a static one, at exit) has nothing left
    // to withdraw: the hub's maps went with their entries.
    if (m_map != nullptr && !SubscriptionManager::IsGoneMap(m_map)) {
        for (const CString& key : m_keys) m_map->Unsubscribe(key, m_subscriber);
    }
    m_keys.clear();
}

void Subscription::Notify(self_notify_t mode, const NotificationInfo* info) {
    switch (mode) {
        case notify_self_only:
            if (m_subscriber != nullptr) m_subscriber->Update(info);
            break;
        case notify_others:
            if (m_map != nullptr) m_map->Notify(m_keys, info, m_subscriber);
            break;
        case notify_all:
            if (m_map != nullptr) m_map->Notify(m_keys, info, nullptr);
            break;
        default:
            break;
    }
}
