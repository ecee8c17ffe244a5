// The handler handshake's fences, compiled in from the library's source: the
// library keeps them to itself.
#include "platform/internal/AsymmetricFence.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

using brim::platform::detail::AsymmetricFence;

namespace {

// Spins until `word` holds at least `value`, yielding now and then so that a
// loaded machine still lets the other side run.
void AwaitAtLeast(const std::atomic<int>& word, int value) {
    for (int spins = 0; word.load(std::memory_order_acquire) < value; ++spins) {
        if (spins % 64 == 63) std::this_thread::yield();
    }
}

// A few hundred cycles at most, different each round: the side that leaves
// the meeting last is a cache transfer behind, and some rounds must line the
// two stores up.
void Dawdle(std::minstd_rand& random) {
    for (auto n = random() % 512; n > 0; --n) std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace

// The store-buffer test: each side stores its flag, passes its fence and
// reads the other's flag, both sides let go at once in each round. Without
// the fences both reads come out 0 now and then on this kind of machine;
// with them never. The light side is the frequent one (a handler starting),
// the heavy one the seldom one (a target destroyed from another thread).
TEST(AsymmetricFenceTest, NeitherSideReadsPastItsOwnStore) {
    const AsymmetricFence fence;
    constexpr int kRounds = 50'000;
    std::atomic<int> lightFlag{0};
    std::atomic<int> heavyFlag{0};
    std::atomic<int> arrived{0};  // both sides meet before each round
    std::atomic<int> done{0};     // rounds the light side has finished
    std::atomic<int> lightSaw{0};
    const auto meet = [&](int round) {
        arrived.fetch_add(1, std::memory_order_acq_rel);
        AwaitAtLeast(arrived, 2 * (round + 1));
    };
    std::thread light([&] {
        std::minstd_rand random(1);
        for (int round = 0; round < kRounds; ++round) {
            meet(round);
            Dawdle(random);
            lightFlag.store(1, std::memory_order_relaxed);
            fence.Light();
            lightSaw.store(heavyFlag.load(std::memory_order_relaxed), std::memory_order_relaxed);
            done.store(round + 1, std::memory_order_release);
        }
    });
    std::minstd_rand random(2);
    int bothMissed = 0;
    for (int round = 0; round < kRounds; ++round) {
        meet(round);
        Dawdle(random);
        heavyFlag.store(1, std::memory_order_relaxed);
        fence.Heavy();
        const int heavySaw = lightFlag.load(std::memory_order_relaxed);
        AwaitAtLeast(done, round + 1);
        if (heavySaw == 0 && lightSaw.load(std::memory_order_relaxed) == 0) ++bothMissed;
        lightFlag.store(0, std::memory_order_relaxed);
        heavyFlag.store(0, std::memory_order_relaxed);
    }
    light.join();
    EXPECT_EQ(bothMissed, 0) << "rounds in which each side read past the other's store";
}
