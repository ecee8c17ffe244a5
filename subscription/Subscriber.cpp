#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>

#include "subscription/internal/SubscriptionLedger.h"

namespace brim {

// Out of line so that each class has one home for its vtable and type
// information, which keeps dynamic_cast and exceptions working across the
// library boundary.
NotificationInfo::~NotificationInfo() = default;

// Debug builds check that no registry still holds the receiver.
Subscriber::~Subscriber() { subscription_ledger::ReceiverGone(this); }

void CallbackSubscriber::Update(const NotificationInfo* info) {
    if (m_callback) m_callback(info);
}

}  // namespace brim
