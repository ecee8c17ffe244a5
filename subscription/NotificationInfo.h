#pragma once

// NotificationInfo: the base of every payload.
//
// A publisher derives its payload from NotificationInfo and passes a pointer to
// it when it publishes; every receiver gets that same pointer for the duration
// of its Update call. The class holds nothing: a derived payload adds all of
// its data itself, and deleting it through a NotificationInfo pointer runs the
// derived destructor.
//
//   struct LayerMoved : NotificationInfo { int from = 0, to = 0; };
//   LayerMoved info; info.from = 2; info.to = 5;
//   SubscriptionManager::Instance().Notify(3, key, &info, nullptr);
//
// Ownership: a payload belongs to its publisher and is only lent to receivers.
// A posted payload is held by std::shared_ptr<const NotificationInfo>: the
// post shares it until its delivery is over (SubscriptionMap.h, "Posted
// payloads"), and whoever lets go of the last reference destroys it, on
// whatever thread that is.
//
//   hub.NotifyPost(3, key, std::make_shared<const LayerMoved>(moved));   // from a worker

#include <BrimSubscriber/Export.h>

namespace brim {

class BRIMSUBSCRIBER_API NotificationInfo {
public:
    NotificationInfo() = default;
    NotificationInfo(const NotificationInfo&) = default;
    NotificationInfo& operator=(const NotificationInfo&) = default;
    virtual ~NotificationInfo();
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::NotificationInfo;
#endif
