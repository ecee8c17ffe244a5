#include <BrimSubscriber/subscription/Subscription.h>

#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace brim {

namespace {

// Receivers that handles on this thread are calling directly (notify_self_only),
// and the owned ones among them that were replaced meanwhile: each is deleted
// when the outermost direct call of it returns.
thread_local std::vector<Subscriber*> t_calledDirectly;
thread_local std::vector<Subscriber*> t_deleteOnReturn;

class DirectCall {
public:
    explicit DirectCall(Subscriber* subscriber) : m_subscriber(subscriber) { t_calledDirectly.push_back(subscriber); }
    DirectCall(const DirectCall&) = delete;
    DirectCall& operator=(const DirectCall&) = delete;
    ~DirectCall() {
        t_calledDirectly.pop_back();
        if (t_deleteOnReturn.empty()) return;  // nothing replaced meanwhile: the usual case
        if (std::find(t_calledDirectly.begin(), t_calledDirectly.end(), m_subscriber) != t_calledDirectly.end()) return;
        const auto pending = std::find(t_deleteOnReturn.begin(), t_deleteOnReturn.end(), m_subscriber);
        if (pending == t_deleteOnReturn.end()) return;
        t_deleteOnReturn.erase(pending);
        delete m_subscriber;
    }

private:
    Subscriber* m_subscriber;
};

bool IsCalledDirectly(const Subscriber* subscriber) {
    return std::find(t_calledDirectly.begin(), t_calledDirectly.end(), subscriber) != t_calledDirectly.end();
}

}  // namespace

Subscription::Subscription(int type) : m_map(SubscriptionManager::Instance().MapFor(type, "Subscription(type)")) {}

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

void Subscription::SetType(int type) {
    SetMap(SubscriptionManager::Instance().MapFor(type, "Subscription::SetType"));
}

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

void Subscription::SetSubscriber(Subscriber* subscriber, bool owns) {
    if (subscriber == m_subscriber) {
        m_ownsSubscriber = owns;
        return;
    }
    Subscriber* const earlier = m_subscriber;
    const bool deleteEarlier = m_ownsSubscriber && earlier != nullptr;
    SubscriptionMap* const map = m_map != nullptr && !SubscriptionManager::IsGoneMap(m_map) ? m_map : nullptr;
    // An owned receiver replaced from inside a delivery (its own Update,
    // perhaps) is deleted when the delivery ends. Noted first: if that
    // cannot be done, nothing has changed yet.
    const bool deferred = deleteEarlier && map != nullptr && map->DeleteAfterDelivery(earlier);
    // One being called directly by a handle (notify_self_only) is deleted
    // when that call returns.
    const bool onReturn = deleteEarlier && !deferred && IsCalledDirectly(earlier);
    if (onReturn) t_deleteOnReturn.push_back(earlier);
    if (map != nullptr && !m_keys.empty()) {
        // The new receiver is entered under every key before the earlier one
        // is withdrawn, so a failure is undone by withdrawals alone, which
        // never throw. The result is the same as withdrawing first: each new
        // entry goes behind the key's other subscribers.
        std::size_t entered = 0;
        try {
            for (; entered < m_keys.size(); ++entered) map->Subscribe(m_keys[entered], subscriber);
        } catch (...) {
            while (entered > 0) map->Unsubscribe(m_keys[--entered], subscriber);
            if (deferred) map->ForgetDeleteAfterDelivery(earlier);
            if (onReturn) t_deleteOnReturn.pop_back();
            throw;
        }
        for (const CString& key : m_keys) map->Unsubscribe(key, earlier);
    }
    m_subscriber = subscriber;
    m_ownsSubscriber = owns;
    if (deleteEarlier && !deferred && !onReturn) delete earlier;
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
            if (m_subscriber != nullptr) {
                const DirectCall call(m_subscriber);
                m_subscriber->Update(info);
            }
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

}  // namespace brim
