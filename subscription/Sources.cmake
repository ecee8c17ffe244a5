# Sources of the subscription core, added to the BrimSubscriber target.
target_sources(BrimSubscriber
    PRIVATE
        subscription/Subscriber.cpp
        subscription/SubscriptionManager.cpp
        subscription/SubscriptionMap.cpp
        subscription/Subscription.cpp
    PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES
        subscription/Export.h
        subscription/NotificationInfo.h
        subscription/Subscriber.h
        subscription/Subscription.h
        subscription/SubscriptionManager.h
        subscription/SubscriptionMap.h)
