#pragma once

// AsymmetricFence: the two fences of a handshake whose one side runs all the
// time (a handler starting and ending on its thread) and whose other side
// runs seldom (a target destroyed from another thread), so that the frequent
// side costs no fence instruction.
//
// Contract: with a store, Light(), then a load on one thread, and a store,
// Heavy(), then a load on another, at least one of the two loads sees the
// other thread's store (as if both were sequentially consistent fences).
// - Where the kernel offers membarrier's private expedited command, Light()
//   is only a compiler barrier and Heavy() a system call that makes every
//   running thread of the process pass a full barrier (microseconds).
// - Elsewhere both are sequentially consistent fences.
// Which of the two pairs is in use is settled once per process, on the first
// construction, before either side of any handshake runs; every object that
// holds one then agrees with every other.
//
// Threading: any thread.

#include <atomic>

#if defined(__SANITIZE_THREAD__)
#define BRIM_DETAIL_FENCE_BY_EXCHANGE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRIM_DETAIL_FENCE_BY_EXCHANGE 1
#endif
#endif

namespace brim {

namespace platform::detail {

class AsymmetricFence {
public:
    AsymmetricFence() noexcept : m_expedited(ProcessIsRegistered()) {}

    void Light() const noexcept {
        if (m_expedited) {
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            Full();
        }
    }
    void Heavy() const noexcept;

private:
    // Registers the process for expedited barriers on first use; whether it
    // could.
    static bool ProcessIsRegistered() noexcept;

    // A sequentially consistent fence. ThreadSanitizer does not model
    // fences, so its builds order the two sides by a read-modify-write of one
    // shared atomic instead: both sides' exchanges are totally ordered and
    // each synchronises with the one before it, which gives the contract
    // above in terms the sanitizer checks.
    static void Full() noexcept {
#ifdef BRIM_DETAIL_FENCE_BY_EXCHANGE
        static std::atomic<int> order{0};
        order.fetch_add(1, std::memory_order_seq_cst);
#else
        std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
    }

    bool m_expedited;
};

}  // namespace platform::detail

}  // namespace brim
