# Sources of the subscription core, added to the BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        subscription/Subscriber.cpp
        subscription/SubscriptionLedger.cpp
        subscription/internal/SubscriptionLedger.h
        subscription/SubscriptionManager.cpp
        subscription/SubscriptionMap.cpp
        subscription/Subscription.cpp)
brim_public_headers(BrimSubscriber BASE ${PROJECT_SOURCE_DIR} FILES
    subscription/NotificationInfo.h
    subscription/Subscriber.h
    subscription/Subscription.h
    subscription/SubscriptionManager.h
    subscription/SubscriptionMap.h)
