#pragma once

// Subscription: a handle that keeps one receiver subscribed to a set of keys
// in one registry.
//
// The handle remembers the map, the receiver and the keys, so that a client
// can replace the whole set of keys in one call, move it to another type,
// publish to its own keys, and be sure every entry is removed (and an owned
// receiver deleted) when the handle goes away.
//
//   Subscription sub(3);                                   // type 3
//   sub.SetSubscriber(new LayerList(doc), true);           // the handle owns it
//   // or, without a class of its own:
//   sub.SetSubscriber([&](const NotificationInfo*) { doc.Refresh(); });
//   sub.Subscribe({GeneralSubKeys::DISPLAY_LAYER_ADDED,
//                  GeneralSubKeys::DISPLAY_LAYER_DELETED});
//   sub.Notify(notify_others, &info);                       // everyone but us
//   // ~Subscription: entries removed, then the receiver deleted
//
// Subscribe replaces the set: subscribing one key after another leaves only
// the last. Re-subscribing the same keys in the same order changes nothing; in
// another order they are removed and entered again (which moves the receiver
// behind the other subscribers of those keys).
//
// Threading: a handle has no lock and is used by one thread at a time; every
// change of the map goes through the map's own lock.
// Re-entrancy: a handle may be used from inside an Update of the same map on
// the delivering thread; removals then take effect as deferred removals.
// Ownership: the map is never owned; the receiver is owned only when
// SetSubscriber was told so. Move-only: a moved-from handle is empty.
// Swapping receivers: SetSubscriber on a subscribed handle moves its keys to
// the new receiver (the earlier one is withdrawn from each key, the new one
// entered, in the handle's key order), then deletes an owned earlier
// receiver once none of its entries is left; replaced from inside a delivery
// (its own Update, say), it is deleted when that delivery has ended.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/Subscriber.h>

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace brim {

class NotificationInfo;
class SubscriptionMap;

enum self_notify_t {
    notify_self_only = 0,  // only the handle's own receiver, called directly
    notify_others = 1,     // every subscriber of the handle's keys except its receiver
    notify_all = 2,        // every subscriber of the handle's keys
};

class BRIMSUBSCRIBER_API Subscription {
public:
    Subscription() = default;
    // The manager's map of the type; null (keys only remembered) for an
    // invalid type. Builds the manager when it is the first caller.
    explicit Subscription(int type);
    explicit Subscription(SubscriptionMap* map) noexcept : m_map(map) {}

    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    ~Subscription();

    void SetType(int type);
    void SetMap(SubscriptionMap* map);
    // The handle's keys move to `subscriber`; an owned earlier receiver is
    // deleted after its entries are gone (see above). The same pointer again
    // changes only whether the handle owns it. Throws std::bad_alloc when an
    // entry cannot be made; the handle and the map are then unchanged.
    void SetSubscriber(Subscriber* subscriber, bool owns);
    // Same as SetSubscriber(new CallbackSubscriber(callback), true).
    void SetSubscriber(CallbackSubscriber::Callback callback);

    void Subscribe(const CString& key);
    void Subscribe(const std::vector<CString>& keys);

    // Keys are UTF-16 (u"Key") or UTF-8 that the compiler knows as such
    // (u8"Key"); narrow literals, whose encoding it cannot tell, are refused
    // with one message instead of a page of template errors.
    template <class Narrow>
        requires std::is_same_v<Narrow, const char*>
    void Subscribe(std::initializer_list<Narrow> /*keys*/) {
        static_assert(!std::is_same_v<Narrow, Narrow>,
                      "BrimSubscriber keys are UTF-16 or UTF-8: write {u\"A\", u\"B\"} or {u8\"A\", u8\"B\"}");
    }
    template <std::size_t N>
    void Subscribe(const char (&/*key*/)[N]) {
        static_assert(N == 0, "BrimSubscriber keys are UTF-16 or UTF-8: write u\"Key\" or u8\"Key\", "
                             "or CString(\"Key\") to convert UTF-8 bytes");
    }
    void Unsubscribe();

    [[nodiscard]] bool IsSubscribed() const noexcept { return !m_keys.empty(); }
    [[nodiscard]] bool IsSubscribed(const std::vector<CString>& keys) const { return m_keys == keys; }

    // notify_self_only works without map or keys; other values of the mode do
    // nothing.
    void Notify(self_notify_t mode, const NotificationInfo* info);

    [[nodiscard]] const std::vector<CString>& GetKeys() const noexcept { return m_keys; }
    [[nodiscard]] SubscriptionMap* GetMap() const noexcept { return m_map; }
    [[nodiscard]] Subscriber* GetSubscriber() const noexcept { return m_subscriber; }

private:
    void Destroy() noexcept;

    SubscriptionMap* m_map = nullptr;
    Subscriber* m_subscriber = nullptr;
    bool m_ownsSubscriber = false;
    std::vector<CString> m_keys;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::NotificationInfo;
using brim::Subscription;
using brim::SubscriptionMap;
using brim::notify_all;
using brim::notify_others;
using brim::notify_self_only;
using brim::self_notify_t;
#endif
