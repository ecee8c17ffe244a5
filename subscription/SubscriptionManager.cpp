#include "subscription/SubscriptionManager.h"

#include <mutex>

SubscriptionManager& SubscriptionManager::Instance() {
    static SubscriptionManager instance;
    return instance;
}

SubscriptionManager::SubscriptionManager() = default;
SubscriptionManager::~SubscriptionManager() = default;

SubscriptionMap* SubscriptionManager::GetSubscriptionMap(int type) {
    // Read as unsigned, so every negative type falls outside the range too.
    const auto index = static_cast<unsigned int>(type);
    return index < static_cast<unsigned int>(SUBSCRIPTION_TYPE_COUNT) ? &m_maps[index] : nullptr;
}

void SubscriptionManager::Subscribe(int type, const CString& key, Subscriber* subscriber) {
    if (SubscriptionMap* map = GetSubscriptionMap(type)) map->Subscribe(key, subscriber);
}

void SubscriptionManager::Unsubscribe(int type, const CString& key, Subscriber* subscriber) {
    if (SubscriptionMap* map = GetSubscriptionMap(type)) map->Unsubscribe(key, subscriber);
}

void SubscriptionManager::Notify(int type, const CString& key, const NotificationInfo* info, Subscriber* leaveOut) {
    if (SubscriptionMap* map = GetSubscriptionMap(type)) map->Notify(key, info, leaveOut);
}

void SubscriptionManager::NotifySend(int type, const CString& key, const NotificationInfo* info,
                                     Subscriber* leaveOut) {
    if (SubscriptionMap* map = GetSubscriptionMap(type)) map->NotifySend({key}, info, leaveOut);
}

void SubscriptionManager::NotifyPost(int type, const CString& key) {
    if (SubscriptionMap* map = GetSubscriptionMap(type)) map->NotifyPost({key});
}

const CDataId* SubscriptionManager::GetSafeDataIdPtr(const CDataId& id) {
    const std::lock_guard lock(m_dataIdLock);
    return &*m_dataIds.insert(id).first;  // set elements never move
}
