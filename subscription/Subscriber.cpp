#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>

// Out of line so that each class has one home for its vtable and type
// information, which keeps dynamic_cast and exceptions working across the
// library boundary.
NotificationInfo::~NotificationInfo() = default;
Subscriber::~Subscriber() = default;

void CallbackSubscriber::Update(const NotificationInfo* info) {
    if (m_callback) m_callback(info);
}
