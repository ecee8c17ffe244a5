#pragma once

// SubscriptionMap: the registry of one subscription type.
//
// Records which Subscriber wants to hear about which key, and delivers:
// - Notify: at once, on the caller's thread, before the call returns;
// - NotifySend: on the user-interface thread, while the caller waits;
// - NotifyPost: queued to the user-interface thread, with a payload that
//   travels with it (held by std::shared_ptr) or with none.
//
//   SubscriptionMap& map = *SubscriptionManager::Instance().GetSubscriptionMap(3);
//   map.Subscribe(u"RouteChanged", &routeView);
//   map.Notify(u"RouteChanged", &info, nullptr);          // routeView.Update(&info)
//   map.NotifyPost({u"RouteChanged"});                      // later, on the UI thread
//   map.NotifyPost({u"RouteChanged"}, std::make_shared<RouteInfo>(route));  // the same, carrying a result
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
// Ownership: the map never owns or deletes subscribers, nor the payloads of
// Notify and NotifySend. A posted payload is shared: see "Posted payloads".
// A subscriber must be unsubscribed from every key before it is destroyed.
// Limit: an Update must not wait for another thread that needs this map.
// Which thread: NotifySend and NotifyPost deliver on the thread that is the
// user-interface thread at the time of the call (platform/WinThread.h),
// whichever thread built the map and whenever. Posts of one thread keep their
// order while the designation stays; after it moves, deliveries queued
// before still run on the thread they were queued for, if it still runs its
// loop. With no user-interface thread (none designated yet, or it has
// ended) a post is refused and counted in DroppedPostCount, and a send
// delivers nothing and returns; NotifyPost and NotifySend also report it
// through the diagnostics channel (platform/Diagnostics.h), TryNotifyPost
// only answers false. CanDeliverToUserInterfaceThread tells in advance.
// Lifetime: the map may be destroyed on any thread. A posted delivery that
// is running on the user-interface thread then finishes first; one still
// queued is discarded with the map and does nothing.
// Posted payloads: NotifyPost and TryNotifyPost with a
// std::shared_ptr<const NotificationInfo> take a reference that travels with
// the post. Each receiver is lent the payload as Update's argument, exactly
// as Notify lends it: valid until Update returns, not to be kept or deleted.
// The map's reference is released on the user-interface thread after the
// delivery has called every receiver (or has thrown); on the posting thread,
// before the call returns, when the post is refused; and, for a post that is
// queued and then discarded unrun, on the thread that destroys the map, or,
// when the user-interface thread it was queued for has ended, on the thread
// that next asks DroppedPostCount (or destroys the map), whichever comes
// first. Whoever holds the last reference destroys the payload, so its
// destructor must be fine on any of these threads. The payload is const and
// shared: the poster and anyone it gave a reference may go on reading it on
// their threads while receivers read it on the user-interface thread; the
// library never writes to it. Writing to it after the post (mutable
// members, a const_cast) is the writer's to synchronise. A null shared_ptr
// posts without payload, as the one-argument forms do.
// Cost: a post without payload allocates nothing (once the queue has grown
// to the traffic); one with a payload and one key allocates nothing beyond
// the caller's shared_ptr; one with a payload and two or more keys allocates
// one vector for its keys.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/Export.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <memory>
#include <vector>

namespace brim {

class MainThreadDispatcher;
class NotificationInfo;
class Subscriber;

class BRIMSUBSCRIBER_API SubscriptionMap {
public:
    SubscriptionMap();
    SubscriptionMap(const SubscriptionMap&) = delete;
    SubscriptionMap& operator=(const SubscriptionMap&) = delete;
    // Discards the entries without telling the subscribers, and the dispatcher
    // with every delivery still queued in it.
    ~SubscriptionMap();

    // Adds one entry behind the key's existing ones. No duplicate check; a
    // null subscriber is entered and skipped by every delivery.
    void Subscribe(const CString& key, Subscriber* subscriber);

    // Removes the first matching entry in subscription order; does nothing
    // when there is none. During a delivery the entry is only marked. Never
    // throws.
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
    // that cannot be queued (no user-interface thread, or its queue is full)
    // is dropped, counted and reported.
    void NotifyPost(const std::vector<CString>& keys);

    // NotifyPost that tells whether the notification was queued: false when
    // it was dropped (no user-interface thread, it has ended, or its queue is
    // full), in every build; the drop is counted, not reported. A caller that
    // must not lose it keeps what it wanted to announce and tries again later.
    [[nodiscard]] bool TryNotifyPost(const std::vector<CString>& keys);

    // NotifyPost and TryNotifyPost carrying a payload: every receiver's
    // Update gets info.get(). The reference is moved in, and released as the
    // header's "Posted payloads" says: after the delivery, or before the call
    // returns when the post is refused. A null info posts without payload.
    void NotifyPost(const std::vector<CString>& keys, std::shared_ptr<const NotificationInfo> info);
    [[nodiscard]] bool TryNotifyPost(const std::vector<CString>& keys, std::shared_ptr<const NotificationInfo> info);

    // The entries under `key`: one per subscription, so a subscriber entered
    // twice counts twice. Removals made during a delivery take effect when the
    // outermost delivery on this map ends, and are counted until then; that
    // clean-up also erases the key's entries of a null subscriber. Waits while
    // another thread delivers on this map.
    [[nodiscard]] std::size_t SubscriberCount(const CString& key) const;

    // Posts of this map refused (no user-interface thread, its queue full,
    // or it has ended) and posts queued and then discarded unrun because the
    // thread they were queued for ended. A post that finds no receiver when
    // it runs is not a drop. Cheap; any thread.
    [[nodiscard]] std::uint64_t DroppedPostCount() const noexcept;

    // Whether a NotifySend or NotifyPost made now would reach a user-interface
    // thread: one is designated and has not ended. The same for every map.
    [[nodiscard]] bool CanDeliverToUserInterfaceThread() const;

private:
    // Entries by key, each key's entries in subscription order. One tree
    // node per distinct key keeps look-ups short and a delivery's walk
    // contiguous; entries are addressed by index, since a subscription made
    // during a delivery may grow (and move) the key's vector.
    using Run = std::vector<Subscriber*>;
    // The tree's own order: by length, then by the last four units, then by
    // the units' bytes. Keys are equal exactly when their units are, as
    // everywhere; the order itself is never visible (deliveries follow the
    // caller's keys and subscription order) and is chosen because it
    // compares in a few instructions.
    struct KeyOrder {
        bool operator()(const CString& a, const CString& b) const noexcept;
    };
    using Entries = std::map<CString, Run, KeyOrder>;

    friend class SubscriptionManager;  // names its maps by type
    friend class Subscription;         // defers deleting a receiver it replaced during a delivery
    class DeliveryScope;
    template <std::size_t InPlace>
    class PostedKeys;
    class PostedDelivery;
    class PostedDeliveryWithInfo;
    void Deliver(std::span<const CString> keys, const NotificationInfo* info, Subscriber* leaveOut);
    // One key's delivery: each entry in turn, or with oncePerSubscriber each
    // distinct subscriber once, at the place of its first entry.
    void DeliverKey(const CString& key, const NotificationInfo* info, Subscriber* leaveOut, bool oncePerSubscriber);
    // TryNotifyPost of any run of keys (the hub posts one key without
    // building a vector for it); `report`: a refusal is misuse, reported.
    bool Post(std::span<const CString> keys, bool report);
    // The same with a payload; a null one takes the path above.
    bool Post(std::span<const CString> keys, std::shared_ptr<const NotificationInfo>&& info, bool report);
    void CleanUp() BRIM_REQUIRES(m_lock);
    // When a delivery on this map runs on the calling thread (holding the
    // lock while one is marked running can only mean that), takes the
    // receiver to delete when the outermost delivery ends and returns true.
    bool DeleteAfterDelivery(Subscriber* subscriber);
    void ForgetDeleteAfterDelivery(Subscriber* subscriber) noexcept;

    // The lock is held across every Update of a delivery and may be taken
    // again by an Update on the same thread (it is recursive). The analysis
    // checks each function on its own, so it sees every access below made
    // under the lock, but not that a re-entrant call comes from inside a
    // delivery; DeliveryScope and CleanUp require the lock explicitly.
    Entries m_entries BRIM_GUARDED_BY(m_lock);
    bool m_notifying BRIM_GUARDED_BY(m_lock) = false;
    bool m_cleanUpPending BRIM_GUARDED_BY(m_lock) = false;
    bool m_cleanAll BRIM_GUARDED_BY(m_lock) = false;  // a removal could not be noted in m_marked
    // Receivers a handle replaced during a delivery, deleted when it ends.
    std::vector<Subscriber*> m_retired BRIM_GUARDED_BY(m_lock);
    // The runs in which a delivery marked entries removed, for the clean-up to
    // visit instead of the whole map (a run may be listed more than once).
    std::vector<Entries::iterator> m_marked BRIM_GUARDED_BY(m_lock);
    mutable platform::RecursiveLock m_lock;
    // Set at construction only; it follows the user-interface thread. Its
    // queues hold the posted deliveries, so destroying it first (which waits
    // for one running on its thread) guarantees no delivery reaches a
    // destroyed map.
    std::unique_ptr<MainThreadDispatcher> m_dispatcher;
    int m_type = -1;  // the subscription type, for diagnostics; -1 outside the hub
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::MainThreadDispatcher;
using brim::NotificationInfo;
using brim::Subscriber;
using brim::SubscriptionMap;
#endif
