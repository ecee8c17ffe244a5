// Randomised comparison of SubscriptionMap with a reference model.
//
// The model keeps every entry in one vector in subscription order and
// delivers from a snapshot of indices taken when a delivery starts; removals
// during a delivery only mark entries, which the outermost delivery erases.
// It is built differently from the map (no tree, no iterators), so agreement
// on long random sequences, re-entrant actions included, is evidence that the
// map keeps its ordering, deferral and once-per-call rules.
//
// Each sequence is driven by a seed. A failure prints the seed; set
// BRIM_MODEL_SEED to replay one sequence, BRIM_MODEL_SEQUENCES to run more.

#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/SubscriptionMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

class Registry {
public:
    virtual ~Registry() = default;
    virtual void Subscribe(const CString& key, Subscriber* s) = 0;
    virtual void Unsubscribe(const CString& key, Subscriber* s) = 0;
    virtual void Notify(const CString& key, Subscriber* leaveOut) = 0;
    virtual void Notify(const std::vector<CString>& keys, Subscriber* leaveOut) = 0;
};

class RealRegistry final : public Registry {
public:
    void Subscribe(const CString& key, Subscriber* s) override { m_map.Subscribe(key, s); }
    void Unsubscribe(const CString& key, Subscriber* s) override { m_map.Unsubscribe(key, s); }
    void Notify(const CString& key, Subscriber* leaveOut) override { m_map.Notify(key, nullptr, leaveOut); }
    void Notify(const std::vector<CString>& keys, Subscriber* leaveOut) override {
        m_map.Notify(keys, nullptr, leaveOut);
    }

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

    void Notify(const CString& key, Subscriber* leaveOut) override {
        const std::vector<std::size_t> run = RunOf(key);
        if (run.empty()) return;
        const bool saved = std::exchange(m_notifying, true);
        for (const std::size_t i : run) {
            Subscriber* s = m_entries[i].subscriber;
            if (s != nullptr && s != leaveOut) s->Update(nullptr);
        }
        End(saved);
    }

    void Notify(const std::vector<CString>& keys, Subscriber* leaveOut) override {
        std::vector<std::size_t> order;
        for (const CString& key : keys) {
            const auto run = RunOf(key);
            order.insert(order.end(), run.begin(), run.end());
        }
        if (order.empty()) return;
        const bool saved = std::exchange(m_notifying, true);
        std::set<Subscriber*> called;
        for (const std::size_t i : order) {
            Subscriber* s = m_entries[i].subscriber;
            if (s != nullptr && s != leaveOut && called.insert(s).second) s->Update(nullptr);
        }
        End(saved);
    }

private:
    struct Entry {
        CString key;
        Subscriber* subscriber;
    };

    std::vector<std::size_t> RunOf(const CString& key) const {
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
};

const std::vector<CString>& Keys() {
    static const std::vector<CString> keys{CString(u"A"), CString(u"B"), CString(u"C"), CString(u"a")};
    return keys;
}

constexpr int kActors = 6;
constexpr int kMaxDepth = 3;

// Drives one sequence against one registry. Actors record each call and,
// drawing from the same seeded generator, may act on the registry from
// inside their Update; the resulting trace is compared between registries.
class Driver {
public:
    Driver(Registry& registry, std::uint32_t seed) : m_registry(registry), m_random(seed) {
        for (int i = 0; i < kActors; ++i) m_actors.push_back(std::make_unique<Actor>(*this, i));
    }

    std::string Run(int operations) {
        for (int n = 0; n < operations; ++n) Act(0);
        return m_trace.str();
    }

private:
    class Actor : public Subscriber {
    public:
        Actor(Driver& driver, int id) : m_driver(driver), m_id(id) {}
        void Update(const NotificationInfo*) override { m_driver.OnUpdate(*this); }
        int Id() const { return m_id; }

    private:
        Driver& m_driver;
        int m_id;
    };

    int Draw(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }
    Actor* AnyActor() { return m_actors[static_cast<std::size_t>(Draw(kActors))].get(); }
    const CString& AnyKey() { return Keys()[static_cast<std::size_t>(Draw(static_cast<int>(Keys().size())))]; }
    Subscriber* MaybeLeaveOut() { return Draw(4) == 0 ? AnyActor() : nullptr; }

    void OnUpdate(Actor& self) {
        m_trace << m_depth << ':' << self.Id() << ' ';
        if (m_depth >= kMaxDepth || Draw(3) != 0) return;  // most receivers just listen
        switch (Draw(4)) {
            case 0:
                m_registry.Unsubscribe(AnyKey(), &self);
                break;
            case 1:
                m_registry.Unsubscribe(AnyKey(), AnyActor());
                break;
            default:
                Act(m_depth);
                break;
        }
    }

    void Act(int depth) {
        ++m_depth;
        switch (Draw(7)) {
            case 0:
            case 1:
                m_registry.Subscribe(AnyKey(), Draw(20) == 0 ? nullptr : AnyActor());
                break;
            case 2:
                m_registry.Unsubscribe(AnyKey(), AnyActor());
                break;
            case 3:
            case 4: {
                const CString& key = AnyKey();
                m_trace << "| N" << depth << ' ';
                m_registry.Notify(key, MaybeLeaveOut());
                break;
            }
            default: {
                std::vector<CString> keys;
                const int count = Draw(4);
                for (int i = 0; i < count; ++i) keys.push_back(AnyKey());
                m_trace << "| M" << depth << ' ';
                m_registry.Notify(keys, MaybeLeaveOut());
                break;
            }
        }
        --m_depth;
    }

    Registry& m_registry;
    std::mt19937 m_random;
    std::vector<std::unique_ptr<Actor>> m_actors;
    std::ostringstream m_trace;
    int m_depth = 0;
};

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : fallback;
}

TEST(SubscriptionMapModelTest, RandomSequencesMatchTheReferenceModel) {
    constexpr int kOperations = 60;
    const int replay = EnvInt("BRIM_MODEL_SEED", -1);
    const int sequences = replay >= 0 ? 1 : EnvInt("BRIM_MODEL_SEQUENCES", 10000);
    const std::uint32_t firstSeed = replay >= 0 ? static_cast<std::uint32_t>(replay) : 1;
    for (int n = 0; n < sequences; ++n) {
        const std::uint32_t seed = firstSeed + static_cast<std::uint32_t>(n);
        RealRegistry real;
        ModelRegistry model;
        const std::string actual = Driver(real, seed).Run(kOperations);
        const std::string expected = Driver(model, seed).Run(kOperations);
        ASSERT_EQ(actual, expected) << "seed " << seed << " (replay with BRIM_MODEL_SEED=" << seed << ")";
    }
    std::printf("%d sequences from seed %u agree with the model\n", sequences, firstSeed);
}

}  // namespace
