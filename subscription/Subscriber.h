#pragma once

// Subscriber: the interface of a receiver.
//
// Whoever wants to hear about a key derives from Subscriber, implements
// Update, and subscribes itself (or lets a Subscription handle do it).
//
//   class LayerList : public Subscriber {
//       void Update(const NotificationInfo* info) override { Refresh(); }
//   };
//
// Update contract:
// - It runs on the publishing thread for Notify, and on the user-interface
//   thread for NotifySend and NotifyPost. After a NotifyPost without payload
//   the payload is null; one posted with a payload arrives as that payload.
// - The payload pointer is valid only until Update returns, however it came.
// - It runs with the delivering registry's lock held. It may subscribe,
//   unsubscribe and publish again on the same registry from the same thread,
//   but must not wait for another thread that needs that registry.
// - It is expected not to throw; an exception passes out of the delivery and
//   leaves the registry usable.
//
// Lifetime: destroying a Subscriber does not unsubscribe it. It must be
// unsubscribed from every key of every registry first (a Subscription handle
// does that for its receiver).

#include <BrimSubscriber/Export.h>

#include <functional>

namespace brim {

class NotificationInfo;

class BRIMSUBSCRIBER_API Subscriber {
public:
    Subscriber() = default;
    Subscriber(const Subscriber&) = default;
    Subscriber& operator=(const Subscriber&) = default;
    virtual ~Subscriber();

    virtual void Update(const NotificationInfo* info) = 0;
};

// CallbackSubscriber: a receiver made from a callable, for the common case of
// a receiver with no state of its own beyond what the callable captures.
//
//   Subscription layers(3);
//   layers.SetSubscriber([&](const NotificationInfo*) { list.Refresh(); });  // owned by the handle
//
// Update calls the callable with the payload; an empty callable does nothing.
// The same contract as any Update holds for it.
class BRIMSUBSCRIBER_API CallbackSubscriber final : public Subscriber {
public:
    using Callback = std::function<void(const NotificationInfo* info)>;

    explicit CallbackSubscriber(Callback callback) noexcept : m_callback(std::move(callback)) {}
    void Update(const NotificationInfo* info) override;

private:
    Callback m_callback;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::CallbackSubscriber;
using brim::NotificationInfo;
using brim::Subscriber;
#endif
