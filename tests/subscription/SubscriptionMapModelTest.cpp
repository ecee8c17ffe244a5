// Randomised comparison of SubscriptionMap with a reference model.
//
// The model (shared with the fuzz target) keeps every entry in one vector and
// delivers from a snapshot of indices; agreement on long random sequences,
// re-entrant actions included, is evidence that the map keeps its ordering,
// deferral and once-per-call rules.
//
// Each sequence is driven by a seed. A failure prints the seed; set
// BRIM_MODEL_SEED to replay one sequence, BRIM_MODEL_SEQUENCES to run more.

#include "fuzz/SubscriptionMapModel.h"

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

using fuzz::ModelRegistry;
using fuzz::RealRegistry;
using fuzz::Registry;

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
                m_registry.Notify(key, nullptr, MaybeLeaveOut());
                break;
            }
            default: {
                std::vector<CString> keys;
                const int count = Draw(4);
                for (int i = 0; i < count; ++i) keys.push_back(AnyKey());
                m_trace << "| M" << depth << ' ';
                m_registry.Notify(keys, nullptr, MaybeLeaveOut());
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
