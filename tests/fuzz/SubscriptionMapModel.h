#pragma once

// A reference model of SubscriptionMap, and the real map behind the same face.
//
// The model keeps every entry in one vector in subscription order and
// delivers from a list of indices taken when a delivery starts; a removal
// during a delivery only marks its entry, and the outermost delivery erases
// the marked ones. It uses no tree and no per-key runs, so agreement with the
// map on long operation streams is evidence that the map keeps its ordering,
// deferral, leave-out and once-per-call rules.
//
// Queued deliveries are modelled as a FIFO of key lists: Pump takes the lists
// queued so far as a batch and delivers each (null payload, nobody left out);
// a Pump nested in one of those deliveries goes on with the same batch, and
// lists queued meanwhile wait for a later Pump, as the message loop's
// RunPending does. NotifySend on the user-interface thread runs at once, nested.
//
//   RealRegistry real;          // must be built on the user-interface thread
//   ModelRegistry model;
//   real.Subscribe(u"K", &s);   model.Subscribe(u"K", &s);
//
// Threading: both registries are used from the user-interface thread only.

#include "platform/CString.h"
#include "platform/MessageLoop.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/SubscriptionMap.h"

#include <cstddef>
#include <deque>
#include <set>
#include <utility>
#include <vector>

namespace fuzz {

class Registry {
public:
    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    virtual ~Registry() = default;

    virtual void Subscribe(const CString& key, Subscriber* s) = 0;
    virtual void Unsubscribe(const CString& key, Subscriber* s) = 0;
    virtual void Notify(const CString& key, const NotificationInfo* info, Subscriber* leaveOut) = 0;
    virtual void Notify(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) = 0;
    virtual void NotifySend(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) = 0;
    virtual void NotifyPost(const std::vector<CString>& keys) = 0;
    // Delivers what was queued before the call; true when anything was.
    virtual bool Pump() = 0;
    // Queued deliveries not yet run.
    [[nodiscard]] virtual std::size_t Pending() const = 0;
};

class RealRegistry final : public Registry {
public:
    void Subscribe(const CString& key, Subscriber* s) override { m_map.Subscribe(key, s); }
    void Unsubscribe(const CString& key, Subscriber* s) override { m_map.Unsubscribe(key, s); }
    void Notify(const CString& key, const NotificationInfo* info, Subscriber* leaveOut) override {
        m_map.Notify(key, info, leaveOut);
    }
    void Notify(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) override {
        m_map.Notify(keys, info, leaveOut);
    }
    void NotifySend(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) override {
        m_map.NotifySend(keys, info, leaveOut);
    }
    void NotifyPost(const std::vector<CString>& keys) override { m_map.NotifyPost(keys); }
    bool Pump() override { return platform::MessageLoop::Current().RunPending(); }
    [[nodiscard]] std::size_t Pending() const override { return platform::MessageLoop::Current().PendingCount(); }

private:
    SubscriptionMap m_map;
};

class ModelRegistry final : public Registry {
public:
    void Subscribe(const CString& key, Subscriber* s) override { m_entries.push_back({key, s}); }

    void Unsubscribe(const CString& key, Subscriber* s) override {
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            if (m_entries[i].key == key && m_entries[i].subscriber == s) {
                if (m_notifying) {
                    m_entries[i].subscriber = nullptr;
                    m_cleanUpPending = true;
                } else {
                    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
                }
                return;
            }
        }
    }

    void Notify(const CString& key, const NotificationInfo* info, Subscriber* leaveOut) override {
        const std::vector<std::size_t> run = RunOf(key);
        if (run.empty()) return;
        const bool saved = std::exchange(m_notifying, true);
        for (const std::size_t i : run) {
            Subscriber* const s = m_entries[i].subscriber;
            if (s != nullptr && s != leaveOut) s->Update(info);
        }
        End(saved);
    }

    void Notify(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) override {
        std::vector<std::size_t> order;
        for (const CString& key : keys) {
            const std::vector<std::size_t> run = RunOf(key);
            order.insert(order.end(), run.begin(), run.end());
        }
        if (order.empty()) return;
        const bool saved = std::exchange(m_notifying, true);
        std::set<Subscriber*> called;
        for (const std::size_t i : order) {
            Subscriber* const s = m_entries[i].subscriber;
            if (s != nullptr && s != leaveOut && called.insert(s).second) s->Update(info);
        }
        End(saved);
    }

    void NotifySend(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut) override {
        Notify(keys, info, leaveOut);
    }

    void NotifyPost(const std::vector<CString>& keys) override { m_posted.push_back(keys); }

    bool Pump() override {
        if (m_batch.empty()) {
            if (m_posted.empty()) return false;
            m_batch.swap(m_posted);
            ++m_batchEpoch;
        }
        const std::size_t epoch = m_batchEpoch;
        bool handled = false;
        while (!m_batch.empty() && m_batchEpoch == epoch) {
            const std::vector<CString> keys = std::move(m_batch.front());
            m_batch.pop_front();
            handled = true;
            Notify(keys, nullptr, nullptr);
        }
        return handled;
    }

    [[nodiscard]] std::size_t Pending() const override { return m_posted.size() + m_batch.size(); }

private:
    struct Entry {
        CString key;
        Subscriber* subscriber;
    };

    [[nodiscard]] std::vector<std::size_t> RunOf(const CString& key) const {
        std::vector<std::size_t> run;
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            if (m_entries[i].key == key) run.push_back(i);
        }
        return run;
    }

    void End(bool saved) {
        m_notifying = saved;
        if (!saved && m_cleanUpPending) {
            std::erase_if(m_entries, [](const Entry& e) { return e.subscriber == nullptr; });
            m_cleanUpPending = false;
        }
    }

    std::vector<Entry> m_entries;
    bool m_notifying = false;
    bool m_cleanUpPending = false;
    std::deque<std::vector<CString>> m_posted;
    std::deque<std::vector<CString>> m_batch;  // taken by a Pump, run in order by it and by nested ones
    std::size_t m_batchEpoch = 0;
};

}  // namespace fuzz
