#pragma once

// NotificationSpy: a receiver for tests that records every delivery it gets.
//
// It subscribes under each given key of one registry (a subscription type of
// the hub, or a map of the test's own) and keeps one record per key and
// delivery, in the order they ran: the key, the thread, and the payload's
// dynamic type.
//
//   brim::testing::NotificationSpy spy(3, {u"DisplayLayerAdded"});
//   worker.Start();                                       // posts type 3 "DisplayLayerAdded"
//   ASSERT_TRUE(spy.WaitForCount(1));
//   EXPECT_TRUE(spy.Records()[0].userInterfaceThread);
//
// Threading: deliveries may come on any thread; Count, Records and
// WaitForCount may be called on any thread meanwhile. WaitForCount called on
// the user-interface thread runs its loop while it waits, so that sent and
// posted deliveries can arrive; elsewhere it only waits.
// Ownership/Lifetime: the spy unsubscribes every key when destroyed (waiting
// for a delivery to it in progress); it must go before its registry does.
// Re-entrancy: onDelivery runs inside the delivery, after the record is kept
// and with no lock of the spy held, so it may read the spy or (un)subscribe.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

namespace brim::testing {

struct Delivery {
    CString key;                                // the key it was delivered for
    std::thread::id thread;                     // the thread Update ran on
    bool userInterfaceThread = false;           // whether that was the user-interface thread
    const std::type_info* payload = nullptr;    // typeid of the payload; null for none
};

class NotificationSpy {
public:
    // Subscribes under `keys` of the hub's subscription `type`; an invalid
    // type subscribes nothing, so nothing is recorded.
    NotificationSpy(int type, const std::vector<CString>& keys)
        : NotificationSpy(SubscriptionManager::Instance().GetSubscriptionMap(type), keys) {}
    // Subscribes under `keys` of `map`; a null map subscribes nothing.
    NotificationSpy(SubscriptionMap* map, const std::vector<CString>& keys) : m_map(map) {
        for (const CString& key : keys) m_receivers.push_back(std::make_unique<Receiver>(*this, key));
        if (m_map == nullptr) return;
        for (const auto& receiver : m_receivers) m_map->Subscribe(receiver->key, receiver.get());
    }
    NotificationSpy(const NotificationSpy&) = delete;
    NotificationSpy& operator=(const NotificationSpy&) = delete;
    ~NotificationSpy() {
        if (m_map == nullptr) return;
        for (const auto& receiver : m_receivers) m_map->Unsubscribe(receiver->key, receiver.get());
    }

    // Called with each record as it is kept; set it before any delivery.
    std::function<void(const Delivery&)> onDelivery;

    [[nodiscard]] std::size_t Count() const {
        const std::lock_guard lock(m_mutex);
        return m_records.size();
    }
    // A copy of the records so far, in the order the deliveries ran.
    [[nodiscard]] std::vector<Delivery> Records() const {
        const std::lock_guard lock(m_mutex);
        return m_records;
    }
    // Waits until at least `count` records are kept, or `timeout` passes;
    // returns whether they were.
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        if (platform::IsUserInterfaceThread()) {
            return platform::MessageLoop::Current().RunUntil([&] { return Count() >= count; }, timeout);
        }
        std::unique_lock lock(m_mutex);
        return m_recorded.wait_for(lock, timeout, [&] { return m_records.size() >= count; });
    }

private:
    struct Receiver : Subscriber {
        Receiver(NotificationSpy& spy, CString key) : spy(spy), key(std::move(key)) {}
        void Update(const NotificationInfo* info) override {
            spy.Record({key, std::this_thread::get_id(), platform::IsUserInterfaceThread(),
                        info != nullptr ? &typeid(*info) : nullptr});
        }
        NotificationSpy& spy;
        const CString key;
    };

    void Record(const Delivery& delivery) {
        {
            const std::lock_guard lock(m_mutex);
            m_records.push_back(delivery);
        }
        m_recorded.notify_all();
        if (onDelivery) onDelivery(delivery);
    }

    SubscriptionMap* const m_map;
    std::vector<std::unique_ptr<Receiver>> m_receivers;
    mutable std::mutex m_mutex;
    std::condition_variable m_recorded;
    std::vector<Delivery> m_records;  // guarded by m_mutex
};

}  // namespace brim::testing
