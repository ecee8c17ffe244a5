#include <BrimSubscriber/subscription/SubscriptionManager.h>

#include <BrimSubscriber/platform/Diagnostics.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace brim {

namespace {

// Where the hub's maps are, and whether the hub is gone. Constant-initialised
// and trivially destructible, so they stay readable throughout exit, when
// handles that outlive the hub are destroyed.
constinit std::atomic<const SubscriptionMap*> g_hubMaps{nullptr};
constinit std::atomic<bool> g_hubGone{false};

}  // namespace

SubscriptionManager& SubscriptionManager::Instance() {
    static SubscriptionManager instance;
    return instance;
}

SubscriptionManager::SubscriptionManager() {
    for (int type = 0; type < SUBSCRIPTION_TYPE_COUNT; ++type) m_maps[static_cast<std::size_t>(type)].m_type = type;
    g_hubMaps.store(m_maps.data(), std::memory_order_release);
}

SubscriptionManager::~SubscriptionManager() { g_hubGone.store(true, std::memory_order_release); }

bool SubscriptionManager::IsGoneMap(const SubscriptionMap* map) noexcept {
    if (!g_hubGone.load(std::memory_order_acquire)) return false;
    const SubscriptionMap* first = g_hubMaps.load(std::memory_order_acquire);
    const std::less<const SubscriptionMap*> before;
    return !before(map, first) && before(map, first + SUBSCRIPTION_TYPE_COUNT);
}

SubscriptionMap* SubscriptionManager::GetSubscriptionMap(int type) {
    // Read as unsigned, so every negative type falls outside the range too.
    const auto index = static_cast<unsigned int>(type);
    return index < static_cast<unsigned int>(SUBSCRIPTION_TYPE_COUNT) ? &m_maps[index] : nullptr;
}

SubscriptionMap* SubscriptionManager::MapFor(int type, const char* operation) {
    SubscriptionMap* map = GetSubscriptionMap(type);
    if (map == nullptr) ReportInvalidType(type, operation);
    return map;
}

void SubscriptionManager::ReportInvalidType(int type, const char* operation) noexcept {
    brim::ReportDiagnostic(brim::DiagnosticKind::InvalidSubscriptionType, type,
                           "%s with subscription type %d, outside 0-%d: nothing done", operation, type,
                           SUBSCRIPTION_TYPE_COUNT - 1);
}

void SubscriptionManager::Subscribe(int type, const CString& key, Subscriber* subscriber) {
    if (SubscriptionMap* map = MapFor(type, "Subscribe")) map->Subscribe(key, subscriber);
}

void SubscriptionManager::Unsubscribe(int type, const CString& key, Subscriber* subscriber) {
    if (SubscriptionMap* map = MapFor(type, "Unsubscribe")) map->Unsubscribe(key, subscriber);
}

void SubscriptionManager::Notify(int type, const CString& key, const NotificationInfo* info, Subscriber* leaveOut) {
    if (SubscriptionMap* map = MapFor(type, "Notify")) map->Notify(key, info, leaveOut);
}

void SubscriptionManager::NotifySend(int type, const CString& key, const NotificationInfo* info,
                                     Subscriber* leaveOut) {
    if (SubscriptionMap* map = MapFor(type, "NotifySend")) map->NotifySend({key}, info, leaveOut);
}

void SubscriptionManager::NotifyPost(int type, const CString& key) {
    if (SubscriptionMap* map = MapFor(type, "NotifyPost")) static_cast<void>(map->Post(std::span(&key, 1), true));
}

bool SubscriptionManager::TryNotifyPost(int type, const CString& key) {
    SubscriptionMap* map = MapFor(type, "TryNotifyPost");
    return map != nullptr && map->Post(std::span(&key, 1), false);
}

// A refused post releases its payload before returning. The caller destroys
// a by-value argument only after the call, so an invalid type lets go of it
// here.
void SubscriptionManager::NotifyPost(int type, const CString& key, std::shared_ptr<const NotificationInfo> info) {
    if (SubscriptionMap* map = MapFor(type, "NotifyPost")) {
        static_cast<void>(map->Post(std::span(&key, 1), std::move(info), true));
    } else {
        info.reset();
    }
}

bool SubscriptionManager::TryNotifyPost(int type, const CString& key, std::shared_ptr<const NotificationInfo> info) {
    SubscriptionMap* map = MapFor(type, "TryNotifyPost");
    if (map == nullptr) info.reset();
    return map != nullptr && map->Post(std::span(&key, 1), std::move(info), false);
}

std::size_t SubscriptionManager::SubscriberCount(int type, const CString& key) {
    const SubscriptionMap* map = GetSubscriptionMap(type);
    return map != nullptr ? map->SubscriberCount(key) : 0;
}

std::uint64_t SubscriptionManager::DroppedPostCount() {
    std::uint64_t dropped = 0;
    for (const SubscriptionMap& map : m_maps) dropped += map.DroppedPostCount();
    return dropped;
}

bool SubscriptionManager::CanDeliverToUserInterfaceThread(int type) {
    const SubscriptionMap* map = GetSubscriptionMap(type);
    return map != nullptr && map->CanDeliverToUserInterfaceThread();
}

const CDataId* SubscriptionManager::GetSafeDataIdPtr(const CDataId& id) {
    const platform::LockGuard lock(m_dataIdLock);
    return &*m_dataIds.insert(id).first;  // set elements never move
}

}  // namespace brim
