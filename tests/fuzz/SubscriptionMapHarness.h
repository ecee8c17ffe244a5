#pragma once

// SubscriptionMap against a reference model, driven by a byte string. The
// model keeps every entry in one vector in subscription order and delivers
// from the indices it finds when a delivery starts; a removal during a
// delivery clears its entry, and the outermost delivery erases the cleared
// ones. Posts are a FIFO: Pump takes those queued so far as a batch, a nested
// Pump goes on with that batch (then takes the next), and the outer one stops
// once a nested one has taken a newer batch, as the message loop's RunPending
// does.
//
// A program is read one byte per choice (0 past its end): an action % 8 is
// 0,1 Subscribe, 2 Unsubscribe, 3 Notify(key), 4 Notify(keys), 5 NotifySend,
// 6 NotifyPost, 7 Pump, with keys from a pool of 8 (case, empty, NUL unit,
// lone surrogate, pair), six receivers or null, three payloads or null.
// Inside an Update (to depth 4), % 8: 4 unsubscribe self, 5 unsubscribe any
// receiver, 6-7 one more action. Only on the user-interface thread, where
// the map sends and posts.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <span>
#include <vector>

namespace harness {

struct RealRegistry : SubscriptionMap {
    static bool Pump() { return platform::MessageLoop::Current().RunPending(); }
};

class ModelRegistry {
public:
    void Subscribe(const CString& key, Subscriber* s) { m_entries.push_back({key, s}); }
    void Unsubscribe(const CString& key, Subscriber* s) {
        const auto it = std::ranges::find(m_entries, Entry{key, s});
        if (it != m_entries.end() && m_depth == 0) m_entries.erase(it);
        else if (it != m_entries.end()) it->subscriber = nullptr;  // null entries are never delivered: erasing all later is invisible
    }
    void Notify(const CString& key, const NotificationInfo* i, Subscriber* leaveOut) { Deliver({key}, i, leaveOut, false); }
    void Notify(const std::vector<CString>& keys, const NotificationInfo* i, Subscriber* leaveOut) { Deliver(keys, i, leaveOut, true); }
    void NotifySend(const std::vector<CString>& keys, const NotificationInfo* i, Subscriber* leaveOut) { Deliver(keys, i, leaveOut, true); }
    void NotifyPost(const std::vector<CString>& keys) { m_posted.push_back(keys); }
    // A Pump that finds a batch left by an outer one finishes it, then takes
    // what was posted by then.
    bool Pump() {
        const bool leftover = !m_batch.empty();
        if (!leftover && !Take()) return false;
        RunBatch();
        if (leftover && m_batch.empty() && Take()) RunBatch();
        return true;
    }

private:
    bool Take() { return !m_posted.empty() && (m_batch.swap(m_posted), ++m_batchEpoch, true); }
    void RunBatch() {
        for (const auto epoch = m_batchEpoch; !m_batch.empty() && m_batchEpoch == epoch;) {
            const std::vector<CString> keys = std::move(m_batch.front());
            m_batch.pop_front();
            Deliver(keys, nullptr, nullptr, true);
        }
    }
    struct Entry {
        CString key;
        Subscriber* subscriber;
        bool operator==(const Entry&) const = default;
    };
    void Deliver(const std::vector<CString>& keys, const NotificationInfo* info, Subscriber* leaveOut, bool once) {
        std::vector<std::size_t> order;  // indices stay valid: nothing is erased while m_depth > 0
        for (const CString& key : keys) {
            for (std::size_t i = 0; i < m_entries.size(); ++i) m_entries[i].key == key ? order.push_back(i) : void();
        }
        ++m_depth;
        std::set<Subscriber*> called;
        for (const std::size_t i : order) {
            Subscriber* const s = m_entries[i].subscriber;
            if (s != nullptr && s != leaveOut && (!once || called.insert(s).second)) s->Update(info);
        }
        if (--m_depth == 0) std::erase_if(m_entries, [](const Entry& e) { return e.subscriber == nullptr; });
    }

    std::vector<Entry> m_entries;
    int m_depth = 0;
    std::deque<std::vector<CString>> m_posted;
    std::deque<std::vector<CString>> m_batch;  // taken by a Pump, run by it and by nested ones
    std::size_t m_batchEpoch = 0;
};

// Runs a program on one registry. The trace holds one word per action and
// per Update (depth, receiver, payload), so two traces compare with ==.
template <class Registry>
class Driver {
public:
    Driver(Registry& registry, std::span<const std::uint8_t> program) : m_registry(registry), m_program(program) {
        for (int i = 0; i < 6; ++i) m_receivers.push_back(std::make_unique<Receiver>(*this, i));
    }

    std::vector<std::uint32_t> Run() {
        while (m_pos < m_program.size() && m_updates < kMaxUpdates) Act();
        for (int round = 0; round < 64 && m_registry.Pump();) ++round;
        return std::move(m_trace);
    }

private:
    static constexpr std::size_t kMaxPosts = 2000;  // far below the thread queue's bound
    static constexpr std::size_t kMaxUpdates = std::size_t{1} << 19;

    struct Receiver final : Subscriber {
        Receiver(Driver& driver, int id) : driver(driver), id(id) {}
        void Update(const NotificationInfo* info) override { driver.OnUpdate(*this, info); }
        Driver& driver;
        const int id;
    };

    std::uint8_t Next() { return m_pos < m_program.size() ? m_program[m_pos++] : 0; }
    const CString& Key() {
        static const CString pool[] = {u"A", u"B", u"a", u"", std::u16string_view(u"A\0B", 3),
                                       std::u16string_view(u"\xD800", 1), u"\U0001F600", u"RouteChanged/a longer key"};
        return pool[Next() % 8];
    }
    std::vector<CString> Keys() {
        std::vector<CString> keys(Next() % 5);
        for (CString& key : keys) key = Key();
        return keys;
    }
    Subscriber* Pick(int choices) {
        const std::size_t i = Next() % choices;
        return i < m_receivers.size() ? m_receivers[i].get() : nullptr;
    }
    const NotificationInfo* Payload(std::uint8_t choice) {
        static const NotificationInfo payloads[3];
        return choice % 4 < 3 ? &payloads[choice % 4] : nullptr;
    }
    void Record(std::uint32_t tag, int a, std::uint32_t b, std::uint32_t c) {
        m_trace.push_back(tag << 24 | static_cast<std::uint32_t>(a) << 16 | b << 8 | c);
    }

    void OnUpdate(Receiver& self, const NotificationInfo* info) {
        std::uint8_t payload = 0;
        while (payload < 4 && Payload(payload) != info) ++payload;
        Record(1, m_depth, static_cast<std::uint32_t>(self.id), payload);
        if (++m_updates >= kMaxUpdates || m_depth >= 4) return;
        const std::uint8_t choice = Next() % 8;
        if (choice == 4) m_registry.Unsubscribe(Key(), &self);
        if (choice == 5) {
            const CString& key = Key();
            m_registry.Unsubscribe(key, Pick(7));
        }
        if (choice >= 6) Act();
    }

    // Arguments are drawn into locals first: a call may evaluate its arguments in any order.
    void Act() {
        ++m_depth;
        const std::uint8_t op = Next() % 8;
        Record(2, m_depth, op, 0);
        if (op <= 2) {
            const CString& key = Key();
            Subscriber* const s = Pick(7);
            if (op < 2) m_registry.Subscribe(key, s);
            else m_registry.Unsubscribe(key, s);
        } else if (op <= 5) {
            const std::vector<CString> keys = op == 3 ? std::vector<CString>{Key()} : Keys();
            const NotificationInfo* const info = Payload(Next());
            Subscriber* const leaveOut = Pick(8);
            if (op == 3) m_registry.Notify(keys[0], info, leaveOut);
            else if (op == 4) m_registry.Notify(keys, info, leaveOut);
            else m_registry.NotifySend(keys, info, leaveOut);
        } else if (op == 6) {
            const std::vector<CString> keys = Keys();
            if (m_posts++ < kMaxPosts) m_registry.NotifyPost(keys);
        } else {
            m_registry.Pump();
        }
        --m_depth;
    }

    Registry& m_registry;
    std::span<const std::uint8_t> m_program;
    std::size_t m_pos = 0;
    std::vector<std::unique_ptr<Receiver>> m_receivers;
    std::vector<std::uint32_t> m_trace;
    int m_depth = 0;
    std::size_t m_updates = 0;
    std::size_t m_posts = 0;
};

// Runs the program on a fresh map and on the model; returns the index of the
// first trace entry where they differ, or -1 when the traces are equal.
inline long FirstDifference(std::span<const std::uint8_t> program) {
    ModelRegistry model;
    const std::vector<std::uint32_t> expected = Driver<ModelRegistry>(model, program).Run();
    auto map = std::make_unique<RealRegistry>();
    Driver<RealRegistry> driver(*map, program);
    const std::vector<std::uint32_t> real = driver.Run();
    map.reset();  // before the driver's receivers, which it may still hold
    const auto [a, b] = std::ranges::mismatch(real, expected);
    return a == real.end() && b == expected.end() ? -1 : static_cast<long>(a - real.begin());
}

}  // namespace harness
