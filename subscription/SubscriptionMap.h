#pragma once

// SubscriptionMap: the registry of one subscription type.
//
// Records which Subscriber wants to hear about which key, and delivers:
// - Notify: at once, on the caller's thread, before the call returns;
// - NotifySend: on the user-interface thread, while the caller waits;
// - NotifyPost: queued to the user-interface thread, with a null payload.
//
//   SubscriptionMap& map = *SubscriptionManager::Instance().GetSubscriptionMap(3);
//   map.Subscribe(u"RouteChanged", &routeView);
//   map.Notify(u"RouteChanged", &info, nullptr);          // routeView.Update(&info)
//   map.NotifyPost({u"RouteChanged"});                      // later, on the UI thread
//
// Keys are ordered and compared exactly by UTF-16 code unit. Entries of one
// key are delivered in the order of subscription. The same subscriber may be
// entered under a key several times: the one-key Notify then calls it once
// per entry, the several-keys forms once per call.
//
// Threading: every operation may be called from any thread. Subscribe,
// Unsubscribe and Notify hold the map's recursive lock for their whole run,
// every Update call included; another thread waits meanwhile.
// Re-entrancy: an Update may Subscribe, Unsubscribe, Notify and NotifyPost on
// the same map (and NotifySend when it runs on the user-interface thread).
// An entry removed during a delivery is skipped at once and erased when the
// outermost delivery on this map ends; an entry added during a delivery is
// not reached by it.
// Ownership: the map never owns or deletes subscribers or payloads. A
// subscriber must be unsubscribed from every key before it is destroyed.
// Limit: an Update must not wait for another thread that needs this map.
// Dispatcher: only a map constructed on the user-interface thread can
// NotifySend and NotifyPost; on any other map both do nothing.

#include "platform/CString.h"
#include "platform/Lock.h"
#include "subscription/Export.h"

#include <map>
#include <memory>
#include <vector>

class MainThreadDispatcher;
class NotificationInfo;
class Subscriber;

class BRIMSUBSCRIBER_API SubscriptionMap {
public:
    SubscriptionMap();
    SubscriptionMap(const SubscriptionMap&) = delete;
    SubscriptionMap& operator=(const SubscriptionMap&) = delete;
    // Off the user-interface thread, the dispatcher is handed to the
    // process-wide dispatcher to be destroyed on its own thread.
    ~SubscriptionMap();

    // Adds one entry behind the key's existing ones. No duplicate check; a
    // null subscriber is entered and skipped by every delivery.
    void Subscribe(const CString& key, Subscriber* subscriber);

    // Removes the first matching entry in subscription order; does nothing
    // when there is none. During a delivery the entry is only marked.
    void Unsubscribe(const CString& key, Subscriber* subscriber);

    // Calls Update(info) on each entry of the key, in subscription order,
    // except entries of leaveOut. info and leaveOut may be null.
    void Notify(const CString& key, const NotificationInfo* info, Subscriber* leaveOut);

    // Same for several keys, in the vector's order; each distinct subscriber is
    // called at most once, at the place of its first entry.
    void Notify(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut);

    // Runs the several-keys Notify on the user-interface thread and returns
    // when it has finished. Nothing is copied: the arguments must stay valid,
    // which they do since the caller waits.
    void NotifySend(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut);

    // Queues the several-keys Notify, with a null payload and nobody left
    // out, for the user-interface thread. The keys are copied. A notification
    // that cannot be queued (the thread's queue is full) is dropped.
    void NotifyPost(const std::vector<CString>& keys);

private:
    // Entries by key, each key's entries in subscription order. One tree
    // node per distinct key keeps look-ups short and a delivery's walk
    // contiguous; entries are addressed by index, since a subscription made
    // during a delivery may grow (and move) the key's vector.
    using Run = std::vector<Subscriber*>;
    // The tree's own order: by length, then by the units' bytes. Keys are
    // equal exactly when their units are, as everywhere; the order itself is
    // never visible (deliveries follow the caller's keys and subscription
    // order) and is chosen because it compares in a few instructions.
    struct KeyOrder {
        bool operator()(const CString& a, const CString& b) const noexcept;
    };
    using Entries = std::map<CString, Run, KeyOrder>;

    class DeliveryScope;
    struct Liveness;
    void CleanUp();

    Entries m_entries;                                // guarded by m_lock
    bool m_notifying = false;                         // guarded by m_lock
    bool m_cleanUpPending = false;                    // guarded by m_lock
    mutable platform::RecursiveLock m_lock;
    std::unique_ptr<MainThreadDispatcher> m_dispatcher;  // set at construction only
    // Shared with queued deliveries, so that one that runs after the map is
    // gone (its dispatcher outlives it when the map dies off the
    // user-interface thread) does nothing instead of touching a dead map.
    std::shared_ptr<Liveness> m_liveness;
};
